#pragma once
// Starts the real host program in an isolated environment (its own config and
// runtime folders) and observes it through its output and exit code.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace orvane::e2e {

// A child process with its standard output and error captured in a file.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // env entries "NAME=value" are added to (or override) this process's environment.
  bool Start(const std::string& program, const std::vector<std::string>& args,
             const std::vector<std::string>& env, const std::filesystem::path& output_file);
  // Exit code (128 + signal for a signal), or nullopt on time-out.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  bool Running();
  void Kill();
  pid_t pid() const { return pid_; }
  std::string Output() const;
  // Waits until the output contains the text.
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) const;

 private:
  pid_t pid_ = -1;
  std::optional<int> exit_code_;
  std::filesystem::path output_file_;
};

// An isolated host environment: config home, runtime folder and a free port.
struct HostEnvironment {
  std::filesystem::path root;
  // The X display the host may use (":N" of a test's own server); the
  // ambient one is never passed on.
  std::string display;
  // The PulseAudio server the host may use ("unix:…" of a test's own
  // daemon); without one the host finds no sound server.
  std::string pulse_server;
  std::filesystem::path config_home() const { return root / "config"; }
  std::filesystem::path runtime_dir() const { return root / "runtime"; }
  std::filesystem::path data_folder() const { return config_home() / "OrvaneDisplay"; }
  std::vector<std::string> Env() const;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
uint16_t FreeTcpPort();

// A run of `count` consecutive UDP ports that were all free a moment ago, so
// that every slot of the host gets an input port of its own and parallel
// runs do not collide on the defaults. 0 when none was found.
uint16_t FreeUdpPortRun(int count);

// Starts the host in console mode for `tablets` tablets (tablets + 1 slots) on
// a free control port and a free run of input ports; *control_port receives
// the control port. False when no ports were free or the start failed.
// The output goes to env.root / output_name.
bool StartHostForTablets(ChildProcess& host, const HostEnvironment& env, int tablets, uint16_t* control_port,
                         const std::string& output_name = "host.out");

// True when one line of the output holds every fragment.
bool HasLineWith(const std::string& output, std::initializer_list<std::string> fragments);
// The number of lines that contain the fragment.
size_t CountLinesWith(const std::string& output, const std::string& fragment);

// Waits until one line of the process's output holds every fragment.
bool WaitForLineWith(const ChildProcess& p, std::initializer_list<std::string> fragments,
                     std::chrono::milliseconds timeout);

// Runs the tablet simulator with `sim_args` and no pairing code: the host
// answers "pairing required" and prints a code in its console, which is
// returned. Empty when the simulator did not end unpaired (exit code 4) or no
// code appeared within the time-out.
std::string AskForPairingCode(const ChildProcess& host, std::vector<std::string> sim_args,
                              const std::filesystem::path& out_file, std::chrono::milliseconds timeout);

// A blocking loopback TCP client.
class TcpClient {
 public:
  ~TcpClient();
  bool Connect(uint16_t port, std::chrono::milliseconds timeout);
  bool SendAll(const void* data, size_t size);
  bool SendFrame(const std::string& payload);
  // One length-prefixed frame (at most 1 MiB); false on time-out or close.
  bool ReadFrame(std::string* payload, std::chrono::milliseconds timeout);
  // Reads until the peer closes or the time-out passes; true when closed.
  bool WaitClosed(std::chrono::milliseconds timeout);
  void Close();

 private:
  int fd_ = -1;
};

std::string ReadTextFile(const std::filesystem::path& path);

}  // namespace orvane::e2e
