#pragma once
// Small helpers for the services a test starts as child processes (a
// private X server, a sound daemon): finding the program, reaping it, and
// ending it by its own process id.

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace orvane::testing {

// Monotonic milliseconds.
int64_t SteadyNowMs();
// The first executable `name` on PATH; empty when there is none.
std::string FindOnPath(const std::string& name);
// Waits for the child to end, at most limit_ms; true when it was reaped.
bool ReapWithin(pid_t pid, int limit_ms);
// SIGTERM, then SIGKILL after stop_wait_ms, and reaps the child.
void EndChild(pid_t pid, int stop_wait_ms);
// "what: strerror(errno)".
std::string ErrnoText(const char* what);

}  // namespace orvane::testing
