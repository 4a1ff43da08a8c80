#pragma once
// Result record shared by the host's components: a component returns a bool
// and keeps its last HostResult. Codes are per component; 0 is success.

#include <cstdint>
#include <string>

namespace orvane {

// HRESULT-shaped values, kept as 32-bit integers so that portable code can
// carry them on every platform.
using HResult = int32_t;
inline constexpr HResult kSOk = 0;
inline constexpr HResult kEFail = static_cast<HResult>(0x80004005u);
inline constexpr HResult kEInvalidArg = static_cast<HResult>(0x80070057u);
inline constexpr HResult kEOutOfMemory = static_cast<HResult>(0x8007000Eu);
inline constexpr HResult kENotImpl = static_cast<HResult>(0x80004001u);

// HRESULT_FROM_WIN32: 0x8007 in the upper half, the error in the lower 16
// bits; an error of 0 or less passes unchanged.
constexpr HResult HResultFromWin32(int32_t error) {
  return error <= 0 ? error
                    : static_cast<HResult>((static_cast<uint32_t>(error) & 0x0000FFFFu) | 0x80070000u);
}

struct HostResult {
  int code = 0;
  std::string message;
  HResult hr = kSOk;

  static HostResult Success() { return {}; }
  static HostResult Failure(int code, std::string message, HResult hr = kEFail) {
    return HostResult{code, std::move(message), hr};
  }
  bool ok() const { return code == 0; }
  // "code=%d msg=%s hr=0x%08lX"
  std::string ToString() const;
};

}  // namespace orvane
