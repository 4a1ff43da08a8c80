// Secret protection on Linux: AES-256-GCM under a per-user random key kept in
// the data folder as "protection.key" (32 raw bytes, mode 0600).
//
// The key is created on first use under a private temporary name and then
// hard-linked to its final name, so no process ever sees a partly written
// key file and two processes that race to create it end up sharing the one
// that was linked first. A key file that is the wrong size, readable by
// others or owned by another user is refused, never replaced: replacing it
// would make every blob protected so far unreadable.

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <string>

#include "host/common/data_folder.h"
#include "host/common/file_io.h"
#include "host/common/logger.h"
#include "host/security/secret_protection.h"

namespace orvane::security {

namespace {

constexpr uint8_t kBlobFormat = 0x01;
constexpr size_t kKeyBytes = 32;
constexpr size_t kBlobOverhead = 1 + crypto::kAesGcmNonceBytes + crypto::kAesGcmTagBytes;
constexpr char kKeyFileName[] = "protection.key";

// Wipes the key when it leaves scope.
struct KeyBuffer {
  std::array<uint8_t, kKeyBytes> bytes{};
  ~KeyBuffer() { crypto::SecureWipe(bytes.data(), bytes.size()); }
};

enum class KeyStatus { kOk, kAbsent, kUnavailable };

bool Fail(HostResult* result, SecretProtectionCode code, std::string message, HResult hr = kEFail) {
  if (result) *result = HostResult::Failure(code, std::move(message), hr);
  return false;
}

bool Succeed(HostResult* result) {
  if (result) *result = HostResult::Success();
  return true;
}

std::filesystem::path KeyPath() { return DataFolderOrCurrent() / kKeyFileName; }

// Reads exactly 32 bytes from an open key file after checking what it is.
KeyStatus ReadKeyFrom(int fd, const std::filesystem::path& path, KeyBuffer* key, HostResult* result) {
  const std::string where = PathToUtf8(path);
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    const int err = errno;
    LogError("[Crypto] Cannot inspect protection key %s: errno %d", where.c_str(), err);
    Fail(result, kSecretUnavailable, "protection key cannot be inspected", HResultFromWin32(err));
    return KeyStatus::kUnavailable;
  }
  if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0 ||
      st.st_size != static_cast<off_t>(kKeyBytes)) {
    LogError("[Crypto] Refusing protection key %s: it must be a %zu-byte file of this user with mode 0600 "
             "(mode %03o, %lld bytes)",
             where.c_str(), kKeyBytes, static_cast<unsigned>(st.st_mode & 0777), static_cast<long long>(st.st_size));
    Fail(result, kSecretUnavailable, "protection key file is not acceptable");
    return KeyStatus::kUnavailable;
  }
  size_t done = 0;
  while (done < kKeyBytes) {
    const ssize_t n = read(fd, key->bytes.data() + done, kKeyBytes - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int err = n < 0 ? errno : 0;
      LogError("[Crypto] Cannot read protection key %s: errno %d", where.c_str(), err);
      Fail(result, kSecretUnavailable, "protection key cannot be read", err ? HResultFromWin32(err) : kEFail);
      return KeyStatus::kUnavailable;
    }
    done += static_cast<size_t>(n);
  }
  return KeyStatus::kOk;
}

KeyStatus ReadKey(const std::filesystem::path& path, KeyBuffer* key, HostResult* result) {
  int fd = -1;
  do {
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int err = errno;
    if (err == ENOENT) return KeyStatus::kAbsent;
    LogError("[Crypto] Cannot open protection key %s: errno %d", PathToUtf8(path).c_str(), err);
    Fail(result, kSecretUnavailable, "protection key cannot be opened", HResultFromWin32(err));
    return KeyStatus::kUnavailable;
  }
  const KeyStatus status = ReadKeyFrom(fd, path, key, result);
  close(fd);
  return status;
}

bool WriteAll(int fd, const uint8_t* data, size_t length) {
  size_t done = 0;
  while (done < length) {
    const ssize_t n = write(fd, data + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Creates a new key file, or reads the one another process created first.
KeyStatus CreateKey(const std::filesystem::path& path, KeyBuffer* key, HostResult* result) {
  const std::string where = PathToUtf8(path);
  if (!crypto::RandomBytes(key->bytes.data(), key->bytes.size())) {
    Fail(result, kSecretUnavailable, "no random bytes for the protection key");
    return KeyStatus::kUnavailable;
  }
  uint8_t suffix_bytes[8];
  if (!crypto::RandomBytes(suffix_bytes, sizeof(suffix_bytes))) {
    Fail(result, kSecretUnavailable, "no random bytes for the protection key");
    return KeyStatus::kUnavailable;
  }
  std::string suffix = ".";
  for (uint8_t b : suffix_bytes) {
    static const char kHex[] = "0123456789abcdef";
    suffix += kHex[b >> 4];
    suffix += kHex[b & 15];
  }
  suffix += ".tmp";
  std::filesystem::path temp = path;
  temp += suffix;

  int fd = -1;
  do {
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int err = errno;
    LogError("[Crypto] Cannot create protection key %s: errno %d", where.c_str(), err);
    Fail(result, kSecretUnavailable, "protection key cannot be created", HResultFromWin32(err));
    return KeyStatus::kUnavailable;
  }
  // The creation mode is filtered by the umask; make sure it is exactly 0600.
  bool ok = fchmod(fd, 0600) == 0 && WriteAll(fd, key->bytes.data(), key->bytes.size()) && fsync(fd) == 0;
  int err = ok ? 0 : errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok && link(temp.c_str(), path.c_str()) != 0) {
    err = errno;
    ok = false;
  }
  unlink(temp.c_str());
  if (!ok) {
    if (err == EEXIST) {
      // Another process (or thread) won the race: use its key.
      crypto::SecureWipe(key->bytes.data(), key->bytes.size());
      const KeyStatus theirs = ReadKey(path, key, result);
      if (theirs == KeyStatus::kAbsent) {
        Fail(result, kSecretUnavailable, "protection key vanished while it was being created");
        return KeyStatus::kUnavailable;
      }
      return theirs;
    }
    LogError("[Crypto] Cannot write protection key %s: errno %d", where.c_str(), err);
    Fail(result, kSecretUnavailable, "protection key cannot be written", err ? HResultFromWin32(err) : kEFail);
    return KeyStatus::kUnavailable;
  }
  // Make the new name durable before anything is protected with the key.
  const std::filesystem::path dir = path.has_parent_path() ? path.parent_path() : std::filesystem::path(".");
  const int dfd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    fsync(dfd);
    close(dfd);
  }
  LogInfo("[Crypto] Created protection key %s", where.c_str());
  return KeyStatus::kOk;
}

crypto::ByteView EntropyBytes(std::string_view entropy) {
  return crypto::ByteView(reinterpret_cast<const uint8_t*>(entropy.data()), entropy.size());
}

}  // namespace

bool ProtectSecret(crypto::ByteView plaintext, std::string_view entropy, crypto::Bytes* blob, HostResult* result) {
  if (blob == nullptr) return Fail(result, kSecretInvalidInput, "no output", kEInvalidArg);
  blob->clear();
  if (plaintext.empty() || plaintext.size() > crypto::kAesGcmMaxInputBytes ||
      entropy.size() > crypto::kAesGcmMaxInputBytes) {
    return Fail(result, kSecretInvalidInput, "secret must be 1 byte to 16 MiB", kEInvalidArg);
  }
  const std::filesystem::path path = KeyPath();
  KeyBuffer key;
  KeyStatus status = ReadKey(path, &key, result);
  if (status == KeyStatus::kAbsent) status = CreateKey(path, &key, result);
  if (status != KeyStatus::kOk) return false;

  uint8_t nonce[crypto::kAesGcmNonceBytes];
  if (!crypto::RandomBytes(nonce, sizeof(nonce))) return Fail(result, kSecretUnavailable, "no random nonce");
  crypto::AesGcm aes;
  if (!aes.SetKey(key.bytes)) return Fail(result, kSecretUnavailable, "protection key set-up failed");
  crypto::Bytes sealed = aes.Seal(nonce, plaintext, EntropyBytes(entropy));
  if (sealed.empty()) return Fail(result, kSecretUnavailable, "protection failed");
  blob->reserve(1 + sizeof(nonce) + sealed.size());
  blob->push_back(kBlobFormat);
  blob->insert(blob->end(), nonce, nonce + sizeof(nonce));
  blob->insert(blob->end(), sealed.begin(), sealed.end());
  return Succeed(result);
}

bool UnprotectSecret(crypto::ByteView blob, std::string_view entropy, crypto::Bytes* plaintext,
                     HostResult* result) {
  if (plaintext == nullptr) return Fail(result, kSecretInvalidInput, "no output", kEInvalidArg);
  crypto::SecureWipe(*plaintext);
  // A blob carries at least one byte of secret: ProtectSecret refuses empty ones.
  if (blob.size() < kBlobOverhead + 1 || blob[0] != kBlobFormat ||
      blob.size() > kBlobOverhead + crypto::kAesGcmMaxInputBytes || entropy.size() > crypto::kAesGcmMaxInputBytes) {
    return Fail(result, kSecretInvalidInput, "not a protected blob", kEInvalidArg);
  }
  const std::filesystem::path path = KeyPath();
  KeyBuffer key;
  const KeyStatus status = ReadKey(path, &key, result);
  if (status == KeyStatus::kAbsent) {
    // No key has ever been made here, so the blob was made elsewhere (or the
    // key was deleted): it can never open.
    return Fail(result, kSecretRefused, "no protection key exists for this user");
  }
  if (status != KeyStatus::kOk) return false;
  crypto::AesGcm aes;
  if (!aes.SetKey(key.bytes)) return Fail(result, kSecretUnavailable, "protection key set-up failed");
  const crypto::ByteView nonce = blob.subspan(1, crypto::kAesGcmNonceBytes);
  const crypto::ByteView sealed = blob.subspan(1 + crypto::kAesGcmNonceBytes);
  if (!aes.Open(nonce, sealed, EntropyBytes(entropy), plaintext)) {
    const HostResult open_result = aes.last_result();
    if (open_result.code == crypto::kCryptoAuthFailed) {
      return Fail(result, kSecretRefused, "protected blob does not open (damaged, other key or other purpose)");
    }
    return Fail(result, kSecretUnavailable, "unprotect failed: " + open_result.message);
  }
  return Succeed(result);
}

}  // namespace orvane::security
