#include "host/common/net.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace orvane::net {

int ErrorFromErrno(int e) {
  switch (e) {
    case 0: return 0;
    case EINTR: return kWsaEIntr;
    case EBADF: return kWsaEBadF;
    case EACCES:
    case EPERM: return kWsaEAccess;
    case EFAULT: return kWsaEFault;
    case EINVAL: return kWsaEInval;
    case EMFILE:
    case ENFILE: return kWsaEMFile;
#if EAGAIN != EWOULDBLOCK
    case EAGAIN:
#endif
    case EWOULDBLOCK: return kWsaEWouldBlock;
    case EINPROGRESS: return kWsaEInProgress;
    case EALREADY: return kWsaEAlready;
    case ENOTSOCK: return kWsaENotSock;
    case EDESTADDRREQ: return kWsaEDestAddrReq;
    case EMSGSIZE: return kWsaEMsgSize;
    case EPROTOTYPE: return kWsaEProtoType;
    case ENOPROTOOPT: return kWsaENoProtoOpt;
    case EPROTONOSUPPORT: return kWsaEProtoNoSupport;
    case EOPNOTSUPP: return kWsaEOpNotSupp;
    case EAFNOSUPPORT: return kWsaEAfNoSupport;
    case EADDRINUSE: return kWsaEAddrInUse;
    case EADDRNOTAVAIL: return kWsaEAddrNotAvail;
    case ENETDOWN: return kWsaENetDown;
    case ENETUNREACH: return kWsaENetUnreach;
    case ENETRESET: return kWsaENetReset;
    case ECONNABORTED: return kWsaEConnAborted;
    // A send on a connection the peer has reset (or closed and then reset on
    // our next segment) gives EPIPE here; Winsock reports the same situation
    // as a reset, so both builds name the same cause.
    case EPIPE:
    case ECONNRESET: return kWsaEConnReset;
    case ENOBUFS:
    case ENOMEM: return kWsaENoBufs;
    case EISCONN: return kWsaEIsConn;
    case ENOTCONN: return kWsaENotConn;
    case ESHUTDOWN: return kWsaEShutdown;
    case ETIMEDOUT: return kWsaETimedOut;
    case ECONNREFUSED: return kWsaEConnRefused;
    case EHOSTDOWN: return kWsaEHostDown;
    case EHOSTUNREACH: return kWsaEHostUnreach;
    default: return kWsaESysCallFailure;
  }
}

namespace {

int Fd(Socket s) { return static_cast<int>(s); }

int SetIntOption(Socket s, int level, int name, int value) {
  if (::setsockopt(Fd(s), level, name, &value, sizeof value) != 0) return LastError();
  return 0;
}

bool ToSockaddr(const std::string& address, uint16_t port, sockaddr_in* out) {
  std::memset(out, 0, sizeof *out);
  out->sin_family = AF_INET;
  out->sin_port = htons(port);
  if (address.empty()) {
    out->sin_addr.s_addr = htonl(INADDR_ANY);
    return true;
  }
  return ::inet_pton(AF_INET, address.c_str(), &out->sin_addr) == 1;
}

void FromSockaddr(const sockaddr_in& in, Endpoint* out) {
  if (!out) return;
  char text[INET_ADDRSTRLEN] = {};
  if (::inet_ntop(AF_INET, &in.sin_addr, text, sizeof text) == nullptr) text[0] = '\0';
  out->address = text;
  out->port = ntohs(in.sin_port);
}

// Whole seconds for the keep-alive options, at least 1.
int SecondsAtLeastOne(uint32_t ms) {
  const uint32_t s = (ms + 999) / 1000;
  return s == 0 ? 1 : static_cast<int>(s);
}

}  // namespace

int Startup() { return 0; }
void Cleanup() {}

int LastError() { return ErrorFromErrno(errno); }

Socket Create(Kind kind, int* error) {
  const int type = (kind == Kind::kTcp ? SOCK_STREAM : SOCK_DGRAM) | SOCK_CLOEXEC;
  const int proto = kind == Kind::kTcp ? IPPROTO_TCP : IPPROTO_UDP;
  const int fd = ::socket(AF_INET, type, proto);
  if (fd < 0) {
    if (error) *error = LastError();
    return kInvalidSocket;
  }
  if (error) *error = 0;
  return fd;
}

void Close(Socket s) {
  // close() is not retried on EINTR: Linux releases the descriptor anyway.
  if (s != kInvalidSocket) ::close(Fd(s));
}

void ShutdownBoth(Socket s) {
  if (s != kInvalidSocket) ::shutdown(Fd(s), SHUT_RDWR);
}

int SetListenerAddressOptions(Socket s) { return SetIntOption(s, SOL_SOCKET, SO_REUSEADDR, 1); }

int SetNoDelay(Socket s, bool on) { return SetIntOption(s, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0); }

int SetNonBlocking(Socket s, bool on) {
  int value = on ? 1 : 0;
  if (::ioctl(Fd(s), FIONBIO, &value) != 0) return LastError();
  return 0;
}

int SetKeepAlive(Socket s, uint32_t idle_ms, uint32_t interval_ms, int probe_count) {
  if (int e = SetIntOption(s, SOL_SOCKET, SO_KEEPALIVE, 1)) return e;
  if (int e = SetIntOption(s, IPPROTO_TCP, TCP_KEEPIDLE, SecondsAtLeastOne(idle_ms))) return e;
  if (int e = SetIntOption(s, IPPROTO_TCP, TCP_KEEPINTVL, SecondsAtLeastOne(interval_ms))) return e;
  return probe_count > 0 ? SetKeepAliveProbes(s, probe_count) : 0;
}

int SetKeepAliveProbes(Socket s, int probe_count) { return SetIntOption(s, IPPROTO_TCP, TCP_KEEPCNT, probe_count); }

int SetUserTimeout(Socket s, uint32_t ms) {
  unsigned int value = ms;
  if (::setsockopt(Fd(s), IPPROTO_TCP, TCP_USER_TIMEOUT, &value, sizeof value) != 0) return LastError();
  return 0;
}

int SetReceiveBuffer(Socket s, int bytes) { return SetIntOption(s, SOL_SOCKET, SO_RCVBUF, bytes); }
int SetSendBuffer(Socket s, int bytes) { return SetIntOption(s, SOL_SOCKET, SO_SNDBUF, bytes); }

int Bind(Socket s, const std::string& address, uint16_t port) {
  sockaddr_in addr;
  if (!ToSockaddr(address, port, &addr)) return kWsaEInval;
  if (::bind(Fd(s), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return LastError();
  return 0;
}

int Listen(Socket s) {
  if (::listen(Fd(s), SOMAXCONN) != 0) return LastError();
  return 0;
}

uint16_t LocalPort(Socket s, int* error) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(Fd(s), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    if (error) *error = LastError();
    return 0;
  }
  if (error) *error = 0;
  return ntohs(addr.sin_port);
}

Socket Accept(Socket listener, Endpoint* peer, int* error) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  const int fd = ::accept4(Fd(listener), reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
  if (fd < 0) {
    if (error) *error = LastError();
    return kInvalidSocket;
  }
  if (error) *error = 0;
  FromSockaddr(addr, peer);
  return fd;
}

int Connect(Socket s, const std::string& address, uint16_t port) {
  sockaddr_in addr;
  if (address.empty() || !ToSockaddr(address, port, &addr)) return kWsaEInval;
  if (::connect(Fd(s), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return LastError();
  return 0;
}

long Recv(Socket s, void* buf, size_t len, int* error) {
  const ssize_t n = ::recv(Fd(s), buf, len, 0);
  if (n < 0 && error) *error = LastError();
  return static_cast<long>(n);
}

long Peek(Socket s, void* buf, size_t len, int* error) {
  const ssize_t n = ::recv(Fd(s), buf, len, MSG_PEEK);
  if (n < 0 && error) *error = LastError();
  return static_cast<long>(n);
}

long Send(Socket s, const void* buf, size_t len, int* error) {
  const ssize_t n = ::send(Fd(s), buf, len, MSG_NOSIGNAL);
  if (n < 0 && error) *error = LastError();
  return static_cast<long>(n);
}

long SendTo(Socket s, const void* buf, size_t len, const Endpoint& to, int* error) {
  sockaddr_in addr;
  if (to.address.empty() || !ToSockaddr(to.address, to.port, &addr)) {
    if (error) *error = kWsaEInval;
    return -1;
  }
  const ssize_t n =
      ::sendto(Fd(s), buf, len, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  if (n < 0 && error) *error = LastError();
  return static_cast<long>(n);
}

long RecvFrom(Socket s, void* buf, size_t len, Endpoint* from, int* error) {
  sockaddr_in addr{};
  socklen_t addr_len = sizeof addr;
  const ssize_t n = ::recvfrom(Fd(s), buf, len, 0, reinterpret_cast<sockaddr*>(&addr), &addr_len);
  if (n < 0) {
    if (error) *error = LastError();
    return -1;
  }
  FromSockaddr(addr, from);
  return static_cast<long>(n);
}

int Poll(std::vector<PollEntry>& entries, int timeout_ms, int* error) {
  for (auto& e : entries) e.readable = e.writable = false;
  if (entries.empty()) {
    if (timeout_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
    return 0;
  }
  std::vector<pollfd> fds(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    fds[i].fd = Fd(entries[i].socket);
    fds[i].events = static_cast<short>((entries[i].want_read ? POLLIN : 0) | (entries[i].want_write ? POLLOUT : 0));
  }
  // A signal may interrupt the wait; go on waiting for what is left of it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  int rc;
  for (;;) {
    int wait_ms = timeout_ms;
    if (timeout_ms > 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      wait_ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
    rc = ::poll(fds.data(), fds.size(), wait_ms);
    if (rc >= 0 || errno != EINTR) break;
  }
  if (rc < 0) {
    if (error) *error = LastError();
    return -1;
  }
  int ready = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    const short re = fds[i].revents;
    const bool failed = (re & (POLLERR | POLLHUP | POLLNVAL)) != 0;
    entries[i].readable = entries[i].want_read && ((re & POLLIN) != 0 || failed);
    entries[i].writable = entries[i].want_write && ((re & POLLOUT) != 0 || failed);
    ready += entries[i].readable || entries[i].writable;
  }
  return ready;
}

int PollOne(Socket s, bool want_read, bool want_write, int timeout_ms, int* error) {
  std::vector<PollEntry> entries{PollEntry{s, want_read, want_write, false, false}};
  return Poll(entries, timeout_ms, error);
}

bool IsValidIpv4(const std::string& address) {
  in_addr addr;
  return !address.empty() && ::inet_pton(AF_INET, address.c_str(), &addr) == 1;
}

}  // namespace orvane::net
