#include "tools/tablet_sim/sim_output.h"

#include <cstdarg>
#include <utility>

namespace orvane::sim {

SimOutput::SimOutput(bool quiet)
    : sink_([](bool error, const std::string& line) {
        std::FILE* f = error ? stderr : stdout;
        std::fputs(line.c_str(), f);
        std::fputc('\n', f);
        std::fflush(f);
      }),
      quiet_(quiet) {}

SimOutput::SimOutput(Sink sink, bool quiet) : sink_(std::move(sink)), quiet_(quiet) {}

void SimOutput::Info(const char* format, ...) {
  if (quiet_) return;
  va_list args;
  va_start(args, format);
  Emit(false, format, args);
  va_end(args);
}

void SimOutput::Error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Emit(true, format, args);
  va_end(args);
}

void SimOutput::Emit(bool error, const char* format, va_list args) {
  char buffer[kMaxOutputLineBytes];
  std::vsnprintf(buffer, sizeof buffer, format, args);
  if (sink_) sink_(error, buffer);
}

}  // namespace orvane::sim
