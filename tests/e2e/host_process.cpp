#include "tests/e2e/host_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

extern char** environ;

namespace orvane::e2e {

ChildProcess::~ChildProcess() {
  if (Running()) {
    Kill();
  }
}

bool ChildProcess::Start(const std::string& program, const std::vector<std::string>& args,
                         const std::vector<std::string>& env, const std::filesystem::path& output_file) {
  output_file_ = output_file;
  std::map<std::string, std::string> vars;
  for (char** e = environ; *e; ++e) {
    const std::string entry(*e);
    const size_t eq = entry.find('=');
    if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& entry : env) {
    const size_t eq = entry.find('=');
    if (eq != std::string::npos) vars[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  std::vector<std::string> env_strings;
  for (const auto& [k, v] : vars) env_strings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);

  std::vector<std::string> argv_strings{program};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : argv_strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, output_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    pid_ = -1;
    return false;
  }
  exit_code_.reset();
  return true;
}

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
  if (exit_code_) return exit_code_;
  if (pid_ <= 0) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return exit_code_;
    }
    if (r < 0) return std::nullopt;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool ChildProcess::Running() {
  if (pid_ <= 0 || exit_code_) return false;
  return !Wait(std::chrono::milliseconds(0)).has_value();
}

void ChildProcess::Kill() {
  if (pid_ > 0 && !exit_code_) {
    kill(pid_, SIGKILL);
    Wait(std::chrono::milliseconds(5000));
  }
}

std::string ChildProcess::Output() const { return ReadTextFile(output_file_); }

bool ChildProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (Output().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return Output().find(text) != std::string::npos;
}

std::vector<std::string> HostEnvironment::Env() const {
  std::filesystem::create_directories(config_home());
  std::filesystem::create_directories(runtime_dir());
  return {"XDG_CONFIG_HOME=" + config_home().string(), "XDG_RUNTIME_DIR=" + runtime_dir().string(),
          "DISPLAY=" + display,
          // Without a daemon of the test, a socket nobody listens on: never the user's sound server.
          "PULSE_SERVER=" + (pulse_server.empty() ? "unix:" + (runtime_dir() / "no-pulse").string() : pulse_server),
          // The host is itself a sanitised build in the test run; its leaks are reported in its output.
          "ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:exitcode=23"};
}

uint16_t FreeTcpPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  uint16_t port = 0;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    socklen_t len = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) port = ntohs(addr.sin_port);
  }
  close(fd);
  return port;
}

uint16_t FreeUdpPortRun(int count) {
  for (int attempt = 0; attempt < 50; ++attempt) {
    std::vector<int> fds;
    auto bind_udp = [&](uint16_t port) {
      const int fd = socket(AF_INET, SOCK_DGRAM, 0);
      if (fd < 0) return uint16_t{0};
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_addr.s_addr = htonl(INADDR_ANY);
      addr.sin_port = htons(port);
      socklen_t len = sizeof addr;
      if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
          getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        close(fd);
        return uint16_t{0};
      }
      fds.push_back(fd);
      return ntohs(addr.sin_port);
    };
    const uint16_t base = bind_udp(0);
    bool ok = base != 0 && base + count - 1 <= 65535;
    for (int i = 1; ok && i < count; ++i) ok = bind_udp(static_cast<uint16_t>(base + i)) != 0;
    for (const int fd : fds) close(fd);
    if (ok) return base;
  }
  return 0;
}

size_t CountLinesWith(const std::string& output, const std::string& fragment) {
  std::istringstream lines(output);
  size_t n = 0;
  for (std::string line; std::getline(lines, line);) n += line.find(fragment) != std::string::npos ? 1 : 0;
  return n;
}

bool HasLineWith(const std::string& output, std::initializer_list<std::string> fragments) {
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    bool all = true;
    for (const auto& f : fragments) all = all && line.find(f) != std::string::npos;
    if (all) return true;
  }
  return false;
}

bool WaitForLineWith(const ChildProcess& p, std::initializer_list<std::string> fragments,
                     std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (HasLineWith(p.Output(), fragments)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
}

std::string AskForPairingCode(const ChildProcess& host, std::vector<std::string> sim_args,
                              const std::filesystem::path& out_file, std::chrono::milliseconds timeout) {
  const size_t seen = host.Output().size();
  sim_args.push_back("--hold");
  sim_args.push_back("1");
  ChildProcess ask;
  if (!ask.Start(ORVANE_TABLET_SIM_BINARY, sim_args, {}, out_file)) return {};
  if (ask.Wait(timeout) != std::optional<int>(4)) return {};
  const std::string marker = "ORVANE PAIRING CODE: ";
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const std::string out = host.Output().substr(seen);
    const size_t at = out.rfind(marker);
    // The whole block is printed before the device line that ends it.
    if (at != std::string::npos && out.find("  Device: ", at) != std::string::npos) {
      return out.substr(at + marker.size(), 6);
    }
    if (std::chrono::steady_clock::now() >= deadline) return {};
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
}

TcpClient::~TcpClient() { Close(); }

bool TcpClient::Connect(uint16_t port, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
      int one = 1;
      setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      return true;
    }
    close(fd_);
    fd_ = -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

bool TcpClient::SendAll(const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = send(fd_, p, size, MSG_NOSIGNAL);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool TcpClient::SendFrame(const std::string& payload) {
  const uint32_t len = htonl(static_cast<uint32_t>(payload.size()));
  return SendAll(&len, 4) && SendAll(payload.data(), payload.size());
}

bool TcpClient::ReadFrame(std::string* payload, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  auto read_exact = [&](char* out, size_t size) {
    while (size > 0) {
      pollfd p{fd_, POLLIN, 0};
      if (std::chrono::steady_clock::now() >= deadline) return false;
      if (poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = recv(fd_, out, size, 0);
      if (n <= 0) return false;
      out += n;
      size -= static_cast<size_t>(n);
    }
    return true;
  };
  uint32_t len = 0;
  if (!read_exact(reinterpret_cast<char*>(&len), 4)) return false;
  len = ntohl(len);
  if (len > (1u << 20)) return false;
  payload->assign(len, '\0');
  return read_exact(payload->data(), len);
}

bool TcpClient::WaitClosed(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  char buf[4096];
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 50) > 0) {
      const ssize_t n = recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return true;
    }
  }
  return false;
}

void TcpClient::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

std::string ReadTextFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool StartHostForTablets(ChildProcess& host, const HostEnvironment& env, int tablets, uint16_t* control_port,
                         const std::string& output_name) {
  *control_port = FreeTcpPort();
  const uint16_t input_port = FreeUdpPortRun(tablets + 1);
  if (*control_port == 0 || input_port == 0) return false;
  return host.Start(ORVANE_HOST_BINARY,
                    {"--console", "--control-port", std::to_string(*control_port), "--input-port",
                     std::to_string(input_port), "--monitors", std::to_string(tablets)},
                    env.Env(), env.root / output_name);
}

}  // namespace orvane::e2e
