#include "tests/support/pulse_server.h"
#include "tests/support/child_process_linux.h"

#include <fcntl.h>
#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/mainloop.h>
#include <pulse/simple.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <system_error>
#include <vector>

namespace orvane::testing {

namespace {

constexpr int kStopWaitMs = 5000;
constexpr int kControlWaitMs = 2000;  // one control request to the daemon
constexpr int kConnectAttemptMs = 500;
constexpr const char* kLogName = "pulseaudio.log";

constexpr uint32_t kToneRate = 48000;
constexpr uint32_t kToneChannels = 2;
constexpr uint32_t kToneChunkFrames = 480;                  // 10 ms
constexpr uint32_t kToneBufferBytes = kToneRate * 4 * 4;    // 4 s of queue on the daemon
constexpr uint64_t kToneMaxQueuedUs = 2'000'000;            // stop writing beyond this (sink suspended)

void EndServer(pid_t pid) { EndChild(pid, kStopWaitMs); }

// The child ended on its own (reaped here); *status gets its wait status.
bool ChildEnded(pid_t pid, int* status) {
  for (;;) {
    const pid_t r = waitpid(pid, status, WNOHANG);
    if (r == pid) return true;
    if (r < 0 && errno == EINTR) continue;
    return false;
  }
}

void RemoveFolder(const std::string& dir) {
  if (dir.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
}

// The end of the daemon's log, for a failure message.
std::string LogTail(const std::string& dir) {
  std::ifstream in(dir + "/" + kLogName);
  std::stringstream text;
  text << in.rdbuf();
  std::string s = text.str();
  constexpr size_t kTail = 1500;
  if (s.size() > kTail) s = "..." + s.substr(s.size() - kTail);
  return s.empty() ? std::string("(empty log)") : s;
}

// A short-lived control connection to the daemon on its own main loop; every
// wait is bounded.
class PulseControl {
 public:
  PulseControl() = default;
  ~PulseControl() {
    if (context_ != nullptr) {
      pa_context_disconnect(context_);
      pa_context_unref(context_);
    }
    if (loop_ != nullptr) pa_mainloop_free(loop_);
  }
  PulseControl(const PulseControl&) = delete;
  PulseControl& operator=(const PulseControl&) = delete;

  bool Connect(const std::string& server, int limit_ms, std::string* why) {
    loop_ = pa_mainloop_new();
    if (loop_ == nullptr) {
      *why = "pa_mainloop_new failed";
      return false;
    }
    context_ = pa_context_new(pa_mainloop_get_api(loop_), "orvane-test-control");
    if (context_ == nullptr) {
      *why = "pa_context_new failed";
      return false;
    }
    if (pa_context_connect(context_, server.c_str(), PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      *why = std::string("pa_context_connect: ") + pa_strerror(pa_context_errno(context_));
      return false;
    }
    const bool settled = RunUntil(
        [this] {
          const pa_context_state_t s = pa_context_get_state(context_);
          return s == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(s);
        },
        limit_ms);
    if (!settled) {
      *why = "no connection within " + std::to_string(limit_ms) + " ms";
      return false;
    }
    if (pa_context_get_state(context_) != PA_CONTEXT_READY) {
      *why = std::string("connection failed: ") + pa_strerror(pa_context_errno(context_));
      return false;
    }
    return true;
  }

  // Runs the operation to its end (bounded); true when the daemon reported
  // success.
  bool Complete(pa_operation* op, const bool* success, int limit_ms) {
    if (op == nullptr) return false;
    const bool done = RunUntil([op] { return pa_operation_get_state(op) != PA_OPERATION_RUNNING; }, limit_ms);
    if (!done) pa_operation_cancel(op);
    pa_operation_unref(op);
    return done && *success;
  }

  pa_context* context() { return context_; }

 private:
  template <typename Pred>
  bool RunUntil(Pred done, int limit_ms) {
    const int64_t end = SteadyNowMs() + limit_ms;
    while (!done()) {
      const int64_t left = end - SteadyNowMs();
      if (left <= 0) return false;
      const int64_t slice_us = std::min<int64_t>(left, 20) * 1000;
      if (pa_mainloop_prepare(loop_, static_cast<int>(slice_us)) < 0) return false;
      if (pa_mainloop_poll(loop_) < 0) return false;
      if (pa_mainloop_dispatch(loop_) < 0) return false;
    }
    return true;
  }

  pa_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
};

void OnSuccess(pa_context*, int success, void* userdata) { *static_cast<bool*>(userdata) = success != 0; }

}  // namespace

std::string PulseServer::FindProgram() { return FindOnPath("pulseaudio"); }

std::unique_ptr<PulseServer> PulseServer::Start(std::string* error) {
  std::string scratch;
  std::string& why = error ? *error : scratch;
  const std::string program = FindProgram();
  if (program.empty()) {
    why = "pulseaudio is not installed (no pulseaudio on PATH)";
    return nullptr;
  }
  std::error_code ec;
  const std::string tmp = std::filesystem::temp_directory_path(ec).string();
  std::string dir_template = (tmp.empty() ? std::string("/tmp") : tmp) + "/orvane-pulse-XXXXXX";
  if (mkdtemp(dir_template.data()) == nullptr) {
    why = ErrnoText("mkdtemp");
    return nullptr;
  }
  const std::string dir = dir_template;
  // An empty daemon configuration: built-in defaults, whatever /etc says.
  const std::string daemon_conf = dir + "/daemon.conf";
  {
    std::ofstream conf(daemon_conf);
    if (!conf) {
      why = "cannot write " + daemon_conf;
      RemoveFolder(dir);
      return nullptr;
    }
  }
  const std::string log_path = dir + "/" + kLogName;
  const int log_fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (log_fd < 0 || devnull < 0) {
    why = ErrnoText("open");
    if (log_fd >= 0) close(log_fd);
    if (devnull >= 0) close(devnull);
    RemoveFolder(dir);
    return nullptr;
  }
  const std::string socket_path = dir + "/native";
  const std::string server = "unix:" + socket_path;

  // Everything the child needs is prepared before fork: after it, only
  // async-signal-safe calls. The daemon gets a small environment of its own:
  // no display (no D-Bus autolaunch), no session bus, the user's files never
  // read.
  const char* path = std::getenv("PATH");
  std::vector<std::string> env = {
      std::string("PATH=") + (path ? path : "/usr/bin:/bin"),
      "HOME=" + dir,
      "XDG_RUNTIME_DIR=" + dir,
      "XDG_CONFIG_HOME=" + dir + "/config",
      "PULSE_RUNTIME_PATH=" + dir + "/runtime",
      "PULSE_STATE_PATH=" + dir + "/state",
      "PULSE_CONFIG=" + daemon_conf,
      "LC_ALL=C",
  };
  std::vector<std::string> args = {
      program,
      "-n",
      "--daemonize=no",
      "--system=false",
      "--exit-idle-time=-1",
      "--use-pid-file=no",
      "--disallow-exit=yes",
      "--realtime=no",
      "--high-priority=no",
      "--no-cpu-limit=yes",
      "--disable-shm=yes",
      "--log-target=stderr",
      "--log-level=notice",
      "-L",
      "module-native-protocol-unix socket=" + socket_path + " auth-anonymous=1",
      "-L",
      std::string("module-null-sink sink_name=") + kSinkName + " rate=48000 channels=2",
  };
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  const pid_t parent = getpid();

  const pid_t pid = fork();
  if (pid < 0) {
    why = ErrnoText("fork");
    close(log_fd);
    close(devnull);
    RemoveFolder(dir);
    return nullptr;
  }
  if (pid == 0) {
    // The daemon goes when the process that started it goes.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(126);
    dup2(devnull, STDIN_FILENO);
    dup2(log_fd, STDOUT_FILENO);
    dup2(log_fd, STDERR_FILENO);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(log_fd);
  close(devnull);

  // Ready once a client can connect.
  const int64_t deadline = SteadyNowMs() + kStartWaitMs;
  std::string last;
  for (;;) {
    int status = 0;
    if (ChildEnded(pid, &status)) {
      why = "pulseaudio ended before it accepted clients (status " + std::to_string(status) + "): " + LogTail(dir);
      RemoveFolder(dir);
      return nullptr;
    }
    struct stat st{};
    if (stat(socket_path.c_str(), &st) == 0) {
      PulseControl control;
      if (control.Connect(server, kConnectAttemptMs, &last)) {
        return std::unique_ptr<PulseServer>(new PulseServer(pid, dir, server));
      }
    } else {
      last = "no socket yet";
    }
    if (SteadyNowMs() >= deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  why = "pulseaudio accepted no client within " + std::to_string(kStartWaitMs) + " ms (" + last + "): " + LogTail(dir);
  EndServer(pid);
  RemoveFolder(dir);
  return nullptr;
}

PulseServer::~PulseServer() {
  EndServer(pid_);
  RemoveFolder(runtime_dir_);
}

bool PulseServer::SuspendSink(bool suspend) {
  PulseControl control;
  std::string why;
  if (!control.Connect(server_, kControlWaitMs, &why)) {
    std::fprintf(stderr, "PulseServer::SuspendSink: %s\n", why.c_str());
    return false;
  }
  bool success = false;
  pa_operation* op =
      pa_context_suspend_sink_by_name(control.context(), kSinkName, suspend ? 1 : 0, OnSuccess, &success);
  const bool ok = control.Complete(op, &success, kControlWaitMs);
  if (!ok) std::fprintf(stderr, "PulseServer::SuspendSink(%d) was not taken\n", suspend ? 1 : 0);
  return ok;
}

TonePlayer::TonePlayer(const std::string& server, double frequency_hz, double amplitude)
    : thread_([this, server, frequency_hz, amplitude] { Run(server, frequency_hz, amplitude); }) {}

TonePlayer::~TonePlayer() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void TonePlayer::Run(std::string server, double frequency_hz, double amplitude) {
  pa_sample_spec sample_format{};
  sample_format.format = PA_SAMPLE_S16LE;
  sample_format.rate = kToneRate;
  sample_format.channels = kToneChannels;
  // A deep queue with a small start threshold: writes are paced here in real
  // time, and a suspended sink (which takes nothing) never makes a write
  // block, so the player always stops when asked.
  pa_buffer_attr attr{};
  attr.maxlength = static_cast<uint32_t>(-1);
  attr.tlength = kToneBufferBytes;
  attr.prebuf = kToneChunkFrames * 4 * 2;
  attr.minreq = static_cast<uint32_t>(-1);
  attr.fragsize = static_cast<uint32_t>(-1);
  int err = 0;
  pa_simple* s = pa_simple_new(server.c_str(), "orvane-test-tone", PA_STREAM_PLAYBACK, PulseServer::kSinkName,
                               "tone", &sample_format, nullptr, &attr, &err);
  if (s == nullptr) {
    std::fprintf(stderr, "TonePlayer: pa_simple_new: %s\n", pa_strerror(err));
    failed_ = true;
    return;
  }
  const double step = 2.0 * 3.14159265358979323846 * frequency_hz / kToneRate;
  const double scale = std::min(1.0, std::max(0.0, amplitude)) * 32767.0;
  std::vector<int16_t> chunk(kToneChunkFrames * kToneChannels);
  double phase = 0.0;
  uint64_t written = 0;
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  // 100 ms ahead of real time: the stream starts at once and a late wake-up
  // of this thread does not starve the sink.
  constexpr uint64_t kLeadFrames = kToneChunkFrames * 10;
  while (!stop_) {
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
    const uint64_t due = static_cast<uint64_t>(elapsed) * kToneRate / 1'000'000 + kLeadFrames;
    if (written >= due) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      continue;
    }
    if (written > 0) {
      const pa_usec_t queued = pa_simple_get_latency(s, &err);
      if (queued == static_cast<pa_usec_t>(-1)) {
        std::fprintf(stderr, "TonePlayer: pa_simple_get_latency: %s\n", pa_strerror(err));
        failed_ = true;
        break;
      }
      if (queued > kToneMaxQueuedUs) {
        // Nothing is being played (suspended sink): stay in step with real
        // time without queueing more.
        written = due;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
    }
    for (uint32_t i = 0; i < kToneChunkFrames; ++i) {
      const auto v = static_cast<int16_t>(std::lrint(scale * std::sin(phase)));
      for (uint32_t c = 0; c < kToneChannels; ++c) chunk[i * kToneChannels + c] = v;
      phase += step;
      if (phase > 2.0 * 3.14159265358979323846) phase -= 2.0 * 3.14159265358979323846;
    }
    if (pa_simple_write(s, chunk.data(), chunk.size() * sizeof(int16_t), &err) < 0) {
      std::fprintf(stderr, "TonePlayer: pa_simple_write: %s\n", pa_strerror(err));
      failed_ = true;
      break;
    }
    written += kToneChunkFrames;
    frames_ = written;
    connected_ = true;
  }
  pa_simple_free(s);
}

double ToneFrequency(const int16_t* samples, size_t frames, uint32_t channels, uint32_t sample_rate) {
  if (samples == nullptr || channels == 0 || sample_rate == 0 || frames < 2) return 0.0;
  int peak = 0;
  for (size_t i = 0; i < frames; ++i) peak = std::max(peak, std::abs(static_cast<int>(samples[i * channels])));
  if (peak < 64) return 0.0;  // silence or noise
  // Rising zero crossings (with a little hysteresis), each placed between its
  // two samples by linear interpolation.
  const int threshold = peak / 8;
  bool armed = false;
  std::vector<double> crossings;
  for (size_t i = 1; i < frames; ++i) {
    const double a = samples[(i - 1) * channels];
    const double b = samples[i * channels];
    if (a < -threshold) armed = true;
    if (armed && a < 0.0 && b >= 0.0) {
      crossings.push_back(static_cast<double>(i - 1) + (-a) / (b - a));
      armed = false;
    }
  }
  if (crossings.size() < 3) return 0.0;
  // The mean of the periods near the median one: a gap or a glitch in the
  // signal (a few odd periods) does not move the result.
  std::vector<double> periods;
  for (size_t i = 1; i < crossings.size(); ++i) periods.push_back(crossings[i] - crossings[i - 1]);
  std::vector<double> sorted = periods;
  std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(sorted.size() / 2), sorted.end());
  const double median = sorted[sorted.size() / 2];
  double sum = 0.0;
  size_t count = 0;
  for (double p : periods) {
    if (std::fabs(p - median) <= median * 0.1) {
      sum += p;
      ++count;
    }
  }
  if (count == 0 || sum <= 0.0) return 0.0;
  return static_cast<double>(sample_rate) * static_cast<double>(count) / sum;
}

}  // namespace orvane::testing
