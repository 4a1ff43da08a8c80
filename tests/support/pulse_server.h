#pragma once
// A private PulseAudio daemon for a test: its own runtime folder, the native
// protocol on a socket in it (anonymous), and one null sink
// "orvane_test_sink" at 48 kHz stereo whose monitor records what is played
// into it. The daemon is ended by its own process id when the object goes
// away. Clients reach it through PULSE_SERVER = server(); the ambient
// PULSE_SERVER is never read or changed here.

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

namespace orvane::testing {

class PulseServer {
 public:
  static constexpr const char* kSinkName = "orvane_test_sink";
  static constexpr int kStartWaitMs = 10'000;

  // The pulseaudio program found on PATH; empty when it is not installed.
  static std::string FindProgram();
  // Starts a daemon; null with *error set when it could not be started.
  static std::unique_ptr<PulseServer> Start(std::string* error);

  ~PulseServer();
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  // "unix:/…/native", for PULSE_SERVER.
  const std::string& server() const { return server_; }
  pid_t pid() const { return pid_; }

  // Suspends (or resumes) the test sink: its monitor delivers nothing while
  // suspended. False when the daemon did not take the request.
  bool SuspendSink(bool suspend);

 private:
  PulseServer(pid_t pid, std::string runtime_dir, std::string server)
      : pid_(pid), runtime_dir_(std::move(runtime_dir)), server_(std::move(server)) {}
  pid_t pid_;
  std::string runtime_dir_;
  std::string server_;
};

// Plays a sine tone into the test sink on its own thread until destroyed.
class TonePlayer {
 public:
  TonePlayer(const std::string& server, double frequency_hz, double amplitude = 0.5);
  ~TonePlayer();
  TonePlayer(const TonePlayer&) = delete;
  TonePlayer& operator=(const TonePlayer&) = delete;
  // The stream connected and the first samples were written.
  bool ok() const { return connected_.load(); }
  // Frames written so far (48 kHz).
  uint64_t frames_played() const { return frames_.load(); }

 private:
  void Run(std::string server, double frequency_hz, double amplitude);
  std::atomic<bool> stop_{false};
  std::atomic<bool> connected_{false};
  std::atomic<bool> failed_{false};
  std::atomic<uint64_t> frames_{0};
  std::thread thread_;
};

// The dominant frequency of interleaved 16-bit PCM (first channel), by zero
// crossings over the given frames; 0 when there is no signal.
double ToneFrequency(const int16_t* samples, size_t frames, uint32_t channels, uint32_t sample_rate);

}  // namespace orvane::testing

// In a test body: starts a daemon into `var`, skips the test with the reason
// printed when pulseaudio is not installed, and fails it when the daemon does
// not start.
#define ORVANE_START_PULSE_OR_SKIP(var)                                                   \
  std::unique_ptr<::orvane::testing::PulseServer> var;                                    \
  do {                                                                                    \
    if (::orvane::testing::PulseServer::FindProgram().empty()) {                          \
      std::printf("[  SKIPPED ] pulseaudio is not installed (no pulseaudio on PATH)\n");  \
      GTEST_SKIP() << "pulseaudio is not installed (no pulseaudio on PATH)";              \
    }                                                                                     \
    std::string pulse_error_;                                                             \
    var = ::orvane::testing::PulseServer::Start(&pulse_error_);                           \
    ASSERT_NE(var, nullptr) << pulse_error_;                                              \
  } while (0)
