#pragma once
// What the simulated tablet remembers between runs (--state-file): the
// device credential it got by pairing, with the client_id it belongs to,
// and the host identity key it saw first. A small text file of its own:
//
//   # orvane-tablet-sim state
//   version=1
//   client_id=<the client_id's bytes as lower-case hex>
//   credential=<32 bytes as lower-case hex>
//   host_identity=<65 bytes as lower-case hex>
//
// Every key but version is optional; credential comes only with client_id.
// The file is read as untrusted input: bounded before it is read, every
// line validated, and anything unexpected makes the whole file "damaged",
// which the simulator refuses to use or to overwrite (it may hold the only
// copy of a pairing). It is written through the safe-replace helper
// (temporary file, flush, rename) and, outside Windows, readable by the
// owner only.

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

#include "host/security/crypto.h"

namespace orvane::sim {

inline constexpr size_t kMaxStateFileBytes = 4096;
inline constexpr char kStateFileHeader[] = "# orvane-tablet-sim state";

struct SimState {
  std::string client_id;         // whom the credential belongs to; empty with no credential
  crypto::Bytes credential;      // 32 bytes, or empty
  crypto::Bytes host_identity;   // 65 bytes (0x04 || X || Y), or empty

  SimState() = default;
  ~SimState() { crypto::SecureWipe(credential); }
  SimState(const SimState&) = default;
  SimState& operator=(const SimState&) = default;
};

enum class StateLoadStatus : int {
  kLoaded = 0,      // the file was read and is valid
  kAbsent = 1,      // no file yet: a tablet that remembers nothing
  kUnreadable = 2,  // it exists but could not be read
  kTooLarge = 3,    // larger than kMaxStateFileBytes; not read
  kDamaged = 4,     // read, but not a valid state file
};

// "loaded", "absent", "unreadable", "too-large", "damaged".
const char* StateLoadStatusName(StateLoadStatus status);

struct StateLoadResult {
  StateLoadStatus status = StateLoadStatus::kAbsent;
  std::string why;  // kDamaged: the first problem ("line 3: ..."); kUnreadable: the system error
};

// The strict reader; *state is written only on success, *why names the
// first problem otherwise.
bool ParseSimState(std::string_view text, SimState* state, std::string* why);
// The file's text (LF line ends).
std::string FormatSimState(const SimState& state);

// Reads and validates the file; *state is left empty unless kLoaded.
StateLoadResult LoadSimState(const std::filesystem::path& path, SimState* state);
// Writes the file safely; false and *why (when given) on failure.
bool SaveSimState(const std::filesystem::path& path, const SimState& state, std::string* why);

// Lower-case hex, and its strict reverse (even length, 0-9 a-f A-F only).
std::string ToHex(crypto::ByteView bytes);
bool FromHex(std::string_view text, crypto::Bytes* bytes);

}  // namespace orvane::sim
