#pragma once
// Scheduling class of the stream's threads. Windows registers the thread
// with the multimedia class scheduler under a task name ("Pro Audio",
// "Playback", "Games") and reverts it at the end of the scope; Linux only
// names the thread (there is no such scheduler, so the scope reports that it
// did not register, and the thread runs normally).

#include <string>

namespace orvane {

// Platform calls: register the calling thread with `task` (the handle to
// revert with, null on failure) and name it; revert a registration.
void* RegisterThreadTask(const char* task, const char* thread_name);
void RevertThreadTask(void* handle);

class ThreadTaskScope {
 public:
  ThreadTaskScope(const char* task, const char* thread_name) : handle_(RegisterThreadTask(task, thread_name)) {}
  ~ThreadTaskScope() {
    if (handle_ != nullptr) RevertThreadTask(handle_);
  }
  ThreadTaskScope(const ThreadTaskScope&) = delete;
  ThreadTaskScope& operator=(const ThreadTaskScope&) = delete;

  bool Registered() const { return handle_ != nullptr; }
  // "OK" or "FAILED", as the stream's log lines print it.
  const char* StatusText() const { return Registered() ? "OK" : "FAILED"; }

 private:
  void* handle_;
};

}  // namespace orvane
