#include "tools/tablet_sim/sim_state.h"

#include <string>
#include <system_error>
#include <utility>

#include "host/common/file_io.h"
#include "host/common/host_result.h"
#include "host/common/utf.h"
#include "tools/tablet_sim/sim_options.h"

namespace orvane::sim {
namespace {

constexpr size_t kCredentialBytes = 32;

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The file text holds the credential: wiped once it has been read.
struct WipedText {
  std::string text;
  ~WipedText() {
    if (!text.empty()) crypto::SecureWipe(text.data(), text.size());
  }
};

std::string LineProblem(size_t line, std::string_view what) {
  std::string why = "line " + std::to_string(line) + ": ";
  why.append(what);
  return why;
}

}  // namespace

const char* StateLoadStatusName(StateLoadStatus status) {
  switch (status) {
    case StateLoadStatus::kLoaded: return "loaded";
    case StateLoadStatus::kAbsent: return "absent";
    case StateLoadStatus::kUnreadable: return "unreadable";
    case StateLoadStatus::kTooLarge: return "too-large";
    case StateLoadStatus::kDamaged: return "damaged";
  }
  return "damaged";
}

std::string ToHex(crypto::ByteView bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
  }
  return out;
}

bool FromHex(std::string_view text, crypto::Bytes* bytes) {
  crypto::SecureWipe(*bytes);
  if (text.size() % 2 != 0) return false;
  crypto::Bytes out;
  out.reserve(text.size() / 2);
  for (size_t i = 0; i < text.size(); i += 2) {
    const int hi = HexDigit(text[i]);
    const int lo = HexDigit(text[i + 1]);
    if (hi < 0 || lo < 0) {
      crypto::SecureWipe(out);
      return false;
    }
    out.push_back(static_cast<uint8_t>((hi << 4) | lo));
  }
  *bytes = std::move(out);
  return true;
}

bool ParseSimState(std::string_view text, SimState* state, std::string* why) {
  SimState parsed;
  bool seen_version = false;
  bool seen_client_id = false;
  bool seen_credential = false;
  bool seen_identity = false;
  size_t line_number = 0;
  size_t start = 0;
  while (start < text.size()) {
    ++line_number;
    const size_t end = text.find('\n', start);
    std::string_view line = text.substr(start, end == std::string_view::npos ? end : end - start);
    start = end == std::string_view::npos ? text.size() : end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      *why = LineProblem(line_number, "not KEY=VALUE");
      return false;
    }
    const std::string_view key = line.substr(0, eq);
    const std::string_view value = line.substr(eq + 1);
    bool* seen = nullptr;
    if (key == "version") {
      seen = &seen_version;
    } else if (key == "client_id") {
      seen = &seen_client_id;
    } else if (key == "credential") {
      seen = &seen_credential;
    } else if (key == "host_identity") {
      seen = &seen_identity;
    } else {
      *why = LineProblem(line_number, "unknown key");
      return false;
    }
    if (*seen) {
      *why = LineProblem(line_number, "repeated key");
      return false;
    }
    *seen = true;
    if (key == "version") {
      if (value != "1") {
        *why = LineProblem(line_number, "unsupported version");
        return false;
      }
    } else if (key == "client_id") {
      crypto::Bytes id;
      if (value.empty() || value.size() > 2 * kMaxClientIdBytes || !FromHex(value, &id)) {
        *why = LineProblem(line_number, "client_id is not 1.." + std::to_string(kMaxClientIdBytes) + " bytes of hex");
        return false;
      }
      parsed.client_id.assign(id.begin(), id.end());
      if (!IsValidUtf8(parsed.client_id)) {
        *why = LineProblem(line_number, "client_id is not UTF-8");
        return false;
      }
    } else if (key == "credential") {
      if (value.size() != 2 * kCredentialBytes || !FromHex(value, &parsed.credential)) {
        *why = LineProblem(line_number, "credential is not 32 bytes of hex");
        return false;
      }
    } else {  // host_identity
      if (value.size() != 2 * crypto::kP256PublicKeyBytes || !FromHex(value, &parsed.host_identity) ||
          parsed.host_identity[0] != crypto::kP256UncompressedPrefix) {
        *why = LineProblem(line_number, "host_identity is not a 65-byte uncompressed P-256 key in hex");
        return false;
      }
    }
  }
  if (!seen_version) {
    *why = "no version line";
    return false;
  }
  if (seen_credential && !seen_client_id) {
    *why = "a credential without client_id";
    return false;
  }
  *state = std::move(parsed);
  return true;
}

std::string FormatSimState(const SimState& state) {
  std::string text = kStateFileHeader;
  text += "\nversion=1\n";
  if (!state.client_id.empty()) {
    text += "client_id=" +
            ToHex(crypto::ByteView(reinterpret_cast<const uint8_t*>(state.client_id.data()), state.client_id.size())) +
            "\n";
  }
  // A credential means nothing without the client_id it was derived for.
  if (!state.credential.empty() && !state.client_id.empty()) {
    text += "credential=" + ToHex(state.credential) + "\n";
  }
  if (!state.host_identity.empty()) text += "host_identity=" + ToHex(state.host_identity) + "\n";
  return text;
}

StateLoadResult LoadSimState(const std::filesystem::path& path, SimState* state) {
  *state = SimState();
  StateLoadResult result;
  FileReadResult read = ReadFileBounded(path, kMaxStateFileBytes);
  WipedText text{std::move(read.bytes)};
  switch (read.status) {
    case FileReadStatus::kAbsent:
      result.status = StateLoadStatus::kAbsent;
      return result;
    case FileReadStatus::kUnreadable:
      result.status = StateLoadStatus::kUnreadable;
      result.why = "error " + std::to_string(read.error);
      return result;
    case FileReadStatus::kTooLarge:
      result.status = StateLoadStatus::kTooLarge;
      result.why = "larger than " + std::to_string(kMaxStateFileBytes) + " bytes";
      return result;
    case FileReadStatus::kOk:
      break;
  }
  if (!ParseSimState(text.text, state, &result.why)) {
    result.status = StateLoadStatus::kDamaged;
    return result;
  }
  result.status = StateLoadStatus::kLoaded;
  return result;
}

bool SaveSimState(const std::filesystem::path& path, const SimState& state, std::string* why) {
  WipedText text{FormatSimState(state)};
  HostResult result;
  if (!SafeReplaceFile(path, text.text, &result)) {
    if (why != nullptr) *why = result.message + " (code " + std::to_string(result.code) + ")";
    return false;
  }
#ifndef _WIN32
  // The credential lets anyone who reads it use the host as this tablet.
  std::error_code error;
  std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::replace, error);
  if (error) {
    if (why != nullptr) *why = "written, but its permissions could not be restricted: " + error.message();
    return false;
  }
#endif
  return true;
}

}  // namespace orvane::sim
