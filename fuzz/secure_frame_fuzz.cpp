// The secure frame of every channel: parsing and opening arbitrary bytes, and
// sealing arbitrary plaintexts, under a fixed key with each nonce prefix
// (control tablet->host, control host->tablet directional, media, input).
//
// Input, read twice:
// - as a received frame: ParseSecureFrame and OpenAesGcm under every prefix;
// - as material: byte 0 chooses the prefix (bits 0-1), a bit to flip (the
//   rest); bytes 1-8 the counter; the rest is the plaintext to seal.
//
// Invariants:
// - the parse reports exactly the header bytes (flags, big-endian counter)
//   and the rest as payload, and accepts exactly the inputs of at least 13
//   bytes that start with the magic;
// - nothing opens that was not sealed: when arbitrary bytes open under the
//   fixed key, they are the frame the sealer makes for that plaintext (only
//   the flags byte, which the envelope does not authenticate, may differ);
// - a sealed frame parses back to its header, opens to its plaintext under
//   its own prefix and counter only, not under another prefix, counter or
//   key, and not after any single bit of its payload is flipped or its last
//   byte is cut off; both sealing calls give the same bytes.

#include <array>
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "host/common/byte_order.h"
#include "host/security/secure_frame.h"

namespace orvane::fuzz {
namespace {

using security::kSecureFrameHeaderBytes;

constexpr std::array<uint32_t, 4> kPrefixes = {security::kNonceControl, security::kNonceControlHostDirectional,
                                               security::kNonceMedia, security::kNonceInput};

crypto::AesGcm& Cipher() {
  static crypto::AesGcm cipher;
  return cipher;
}

void AsReceived(ByteView input) {
  security::SecureFrameView view;
  const bool parsed = security::ParseSecureFrame(input, &view);
  const bool magic = input.size() >= 4 && std::memcmp(input.data(), security::kSecureFrameMagic, 4) == 0;
  FUZZ_CHECK(security::HasSecureFrameMagic(input) == magic);
  FUZZ_CHECK(parsed == (magic && input.size() >= kSecureFrameHeaderBytes));
  if (!parsed) return;
  FUZZ_CHECK(view.flags == input[4]);
  FUZZ_CHECK(view.counter == LoadBe64(input.data() + 5));
  FUZZ_CHECK(view.payload.data() == input.data() + kSecureFrameHeaderBytes);
  FUZZ_CHECK(view.payload.size() == input.size() - kSecureFrameHeaderBytes);

  Bytes plaintext;
  for (const uint32_t prefix : kPrefixes) {
    if (!security::OpenAesGcm(Cipher(), FixedKey(), prefix, view.counter, view.payload, &plaintext)) {
      FUZZ_CHECK(plaintext.empty());
      continue;
    }
    Bytes resealed = security::SealSecureFrame(Cipher(), FixedKey(), prefix, view.counter, plaintext);
    FUZZ_CHECK(resealed.size() == input.size());
    resealed[4] = input[4];
    FUZZ_CHECK(std::memcmp(resealed.data(), input.data(), input.size()) == 0);
  }
}

void AsMaterial(ByteView input) {
  FuzzReader in(input.data(), input.size());
  const uint8_t choice = in.Byte();
  const uint64_t counter = in.U64();
  const ByteView plaintext = in.Rest();
  const uint32_t prefix = kPrefixes[choice & 3];

  const Bytes frame = security::SealSecureFrame(Cipher(), FixedKey(), prefix, counter, plaintext);
  FUZZ_CHECK(frame.size() == kSecureFrameHeaderBytes + plaintext.size() + crypto::kAesGcmTagBytes);
  Bytes into(7, 0xCC);  // storage that is reused
  FUZZ_CHECK(security::SealSecureFrameInto(Cipher(), FixedKey(), prefix, counter, plaintext, &into));
  FUZZ_CHECK(into == frame);
  const Bytes sealed = security::SealAesGcm(Cipher(), FixedKey(), prefix, counter, plaintext);
  FUZZ_CHECK(sealed.size() == frame.size() - kSecureFrameHeaderBytes);
  FUZZ_CHECK(std::memcmp(sealed.data(), frame.data() + kSecureFrameHeaderBytes, sealed.size()) == 0);

  security::SecureFrameView view;
  FUZZ_CHECK(security::ParseSecureFrame(frame, &view));
  FUZZ_CHECK(view.encrypted() && view.flags == security::kSecureFrameEncryptedFlag);
  FUZZ_CHECK(view.counter == counter);

  Bytes opened;
  FUZZ_CHECK(security::OpenAesGcm(Cipher(), FixedKey(), prefix, counter, view.payload, &opened));
  FUZZ_CHECK(opened.size() == plaintext.size() &&
             (plaintext.empty() || std::memcmp(opened.data(), plaintext.data(), plaintext.size()) == 0));
  for (const uint32_t other : kPrefixes) {
    if (other != prefix) FUZZ_CHECK(!security::OpenAesGcm(Cipher(), FixedKey(), other, counter, view.payload, &opened));
  }
  FUZZ_CHECK(!security::OpenAesGcm(Cipher(), FixedKey(), prefix, counter + 1, view.payload, &opened));
  FUZZ_CHECK(!security::OpenAesGcm(Cipher(), OtherKey(), prefix, counter, view.payload, &opened));
  FUZZ_CHECK(!security::OpenAesGcm(Cipher(), ByteView(FixedKey()).first(15), prefix, counter, view.payload, &opened));

  Bytes tampered(view.payload.begin(), view.payload.end());
  const size_t bit = (static_cast<size_t>(choice >> 2) * 131 + static_cast<size_t>(counter)) % (tampered.size() * 8);
  tampered[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
  FUZZ_CHECK(!security::OpenAesGcm(Cipher(), FixedKey(), prefix, counter, tampered, &opened));
  FUZZ_CHECK(opened.empty());
  FUZZ_CHECK(!security::OpenAesGcm(Cipher(), FixedKey(), prefix, counter, view.payload.first(view.payload.size() - 1),
                                   &opened));
}

}  // namespace
}  // namespace orvane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  orvane::fuzz::QuietLogs();
  const orvane::fuzz::ByteView input(data, size);
  orvane::fuzz::AsReceived(input);
  orvane::fuzz::AsMaterial(input);
  return 0;
}
