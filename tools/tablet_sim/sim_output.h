#pragma once
// The simulator's printed lines. Every line is written and flushed at once,
// because tests read the output of a running simulator from a file.

#include <cstdarg>
#include <cstdio>
#include <functional>
#include <string>

#include "host/common/printf_check.h"

namespace orvane::sim {

inline constexpr size_t kMaxOutputLineBytes = 2048;

class SimOutput {
 public:
  // error: true for failures (standard error), false for events (standard output).
  using Sink = std::function<void(bool error, const std::string& line)>;

  // Prints to standard output and standard error; quiet keeps only errors.
  explicit SimOutput(bool quiet);
  // Lines go to the sink (tests); quiet applies the same way.
  SimOutput(Sink sink, bool quiet);

  void Info(const char* format, ...) ORVANE_PRINTF(2, 3);
  void Error(const char* format, ...) ORVANE_PRINTF(2, 3);

 private:
  void Emit(bool error, const char* format, va_list args) ORVANE_PRINTF(3, 0);

  Sink sink_;
  bool quiet_;
};

}  // namespace orvane::sim
