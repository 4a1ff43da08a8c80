#include "host/common/net.h"

// winsock2.h before windows.h (WIN32_LEAN_AND_MEAN keeps the old winsock.h out).
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include <climits>
#include <cstring>

// Probe count of the keep-alive (ws2ipdef.h of newer SDKs; Windows 10 1703+).
#ifndef TCP_KEEPCNT
#define TCP_KEEPCNT 16
#endif

namespace orvane::net {

namespace {

SOCKET Raw(Socket s) { return static_cast<SOCKET>(s); }

int SetOption(Socket s, int level, int name, const void* value, int size) {
  if (::setsockopt(Raw(s), level, name, static_cast<const char*>(value), size) == SOCKET_ERROR) return LastError();
  return 0;
}

int SetDwordOption(Socket s, int level, int name, DWORD value) { return SetOption(s, level, name, &value, sizeof value); }

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
  in_addr copy = in.sin_addr;
  if (::inet_ntop(AF_INET, &copy, text, sizeof text) == nullptr) text[0] = '\0';
  out->address = text;
  out->port = ntohs(in.sin_port);
}

// Winsock lengths are ints; larger requests move in several calls anyway.
int ClampLength(size_t len) { return len > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(len); }

}  // namespace

int Startup() {
  WSADATA data;
  return ::WSAStartup(MAKEWORD(2, 2), &data);
}

void Cleanup() { ::WSACleanup(); }

int LastError() { return ::WSAGetLastError(); }

Socket Create(Kind kind, int* error) {
  const int type = kind == Kind::kTcp ? SOCK_STREAM : SOCK_DGRAM;
  const int proto = kind == Kind::kTcp ? IPPROTO_TCP : IPPROTO_UDP;
  // Not inherited by child processes (the host starts other programs).
  const SOCKET s = ::WSASocketW(AF_INET, type, proto, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {
    if (error) *error = LastError();
    return kInvalidSocket;
  }
  if (error) *error = 0;
  return static_cast<Socket>(s);
}

void Close(Socket s) {
  if (s != kInvalidSocket) ::closesocket(Raw(s));
}

void ShutdownBoth(Socket s) {
  if (s != kInvalidSocket) ::shutdown(Raw(s), SD_BOTH);
}

int SetListenerAddressOptions(Socket s) {
  // Exclusive use: bind fails with WSAEADDRINUSE when another socket holds
  // the port, which is what the port fallback relies on.
  const BOOL on = TRUE;
  return SetOption(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, &on, sizeof on);
}

int SetNoDelay(Socket s, bool on) {
  const BOOL value = on ? TRUE : FALSE;
  return SetOption(s, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value);
}

int SetNonBlocking(Socket s, bool on) {
  u_long value = on ? 1 : 0;
  if (::ioctlsocket(Raw(s), FIONBIO, &value) == SOCKET_ERROR) return LastError();
  return 0;
}

int SetKeepAlive(Socket s, uint32_t idle_ms, uint32_t interval_ms, int probe_count) {
  tcp_keepalive values{};
  values.onoff = 1;
  values.keepalivetime = idle_ms;
  values.keepaliveinterval = interval_ms;
  DWORD returned = 0;
  if (::WSAIoctl(Raw(s), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr) ==
      SOCKET_ERROR) {
    return LastError();
  }
  return probe_count > 0 ? SetKeepAliveProbes(s, probe_count) : 0;
}

int SetKeepAliveProbes(Socket s, int probe_count) {
  return SetDwordOption(s, IPPROTO_TCP, TCP_KEEPCNT, static_cast<DWORD>(probe_count < 0 ? 0 : probe_count));
}

int SetUserTimeout(Socket, uint32_t) { return 0; }

int SetReceiveBuffer(Socket s, int bytes) { return SetOption(s, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes); }
int SetSendBuffer(Socket s, int bytes) { return SetOption(s, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes); }

int Bind(Socket s, const std::string& address, uint16_t port) {
  sockaddr_in addr;
  if (!ToSockaddr(address, port, &addr)) return kWsaEInval;
  if (::bind(Raw(s), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == SOCKET_ERROR) return LastError();
  return 0;
}

int Listen(Socket s) {
  if (::listen(Raw(s), SOMAXCONN) == SOCKET_ERROR) return LastError();
  return 0;
}

uint16_t LocalPort(Socket s, int* error) {
  sockaddr_in addr{};
  int len = sizeof addr;
  if (::getsockname(Raw(s), reinterpret_cast<sockaddr*>(&addr), &len) == SOCKET_ERROR) {
    if (error) *error = LastError();
    return 0;
  }
  if (error) *error = 0;
  return ntohs(addr.sin_port);
}

Socket Accept(Socket listener, Endpoint* peer, int* error) {
  sockaddr_in addr{};
  int len = sizeof addr;
  const SOCKET s = ::accept(Raw(listener), reinterpret_cast<sockaddr*>(&addr), &len);
  if (s == INVALID_SOCKET) {
    if (error) *error = LastError();
    return kInvalidSocket;
  }
  if (error) *error = 0;
  FromSockaddr(addr, peer);
  return static_cast<Socket>(s);
}

int Connect(Socket s, const std::string& address, uint16_t port) {
  sockaddr_in addr;
  if (address.empty() || !ToSockaddr(address, port, &addr)) return kWsaEInval;
  if (::connect(Raw(s), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == SOCKET_ERROR) return LastError();
  return 0;
}

long Recv(Socket s, void* buf, size_t len, int* error) {
  const int n = ::recv(Raw(s), static_cast<char*>(buf), ClampLength(len), 0);
  if (n == SOCKET_ERROR && error) *error = LastError();
  return n;
}

long Peek(Socket s, void* buf, size_t len, int* error) {
  const int n = ::recv(Raw(s), static_cast<char*>(buf), ClampLength(len), MSG_PEEK);
  if (n == SOCKET_ERROR && error) *error = LastError();
  return n;
}

long Send(Socket s, const void* buf, size_t len, int* error) {
  const int n = ::send(Raw(s), static_cast<const char*>(buf), ClampLength(len), 0);
  if (n == SOCKET_ERROR && error) *error = LastError();
  return n;
}

long SendTo(Socket s, const void* buf, size_t len, const Endpoint& to, int* error) {
  sockaddr_in addr;
  if (to.address.empty() || !ToSockaddr(to.address, to.port, &addr)) {
    if (error) *error = kWsaEInval;
    return -1;
  }
  const int n = ::sendto(Raw(s), static_cast<const char*>(buf), ClampLength(len), 0,
                         reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  if (n == SOCKET_ERROR && error) *error = LastError();
  return n;
}

long RecvFrom(Socket s, void* buf, size_t len, Endpoint* from, int* error) {
  sockaddr_in addr{};
  int addr_len = sizeof addr;
  const int n =
      ::recvfrom(Raw(s), static_cast<char*>(buf), ClampLength(len), 0, reinterpret_cast<sockaddr*>(&addr), &addr_len);
  if (n == SOCKET_ERROR) {
    if (error) *error = LastError();
    return -1;
  }
  FromSockaddr(addr, from);
  return n;
}

int Poll(std::vector<PollEntry>& entries, int timeout_ms, int* error) {
  for (auto& e : entries) e.readable = e.writable = false;
  if (entries.empty()) {
    // WSAPoll rejects an empty set.
    if (timeout_ms > 0) ::Sleep(static_cast<DWORD>(timeout_ms));
    return 0;
  }
  std::vector<WSAPOLLFD> fds(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    fds[i].fd = Raw(entries[i].socket);
    // Only the "normal" flags: WSAPoll rejects POLLPRI and friends.
    fds[i].events =
        static_cast<SHORT>((entries[i].want_read ? POLLRDNORM : 0) | (entries[i].want_write ? POLLWRNORM : 0));
    fds[i].revents = 0;
  }
  const int rc = ::WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeout_ms);
  if (rc == SOCKET_ERROR) {
    if (error) *error = LastError();
    return -1;
  }
  int ready = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    const SHORT re = fds[i].revents;
    const bool failed = (re & (POLLERR | POLLHUP | POLLNVAL)) != 0;
    entries[i].readable = entries[i].want_read && ((re & (POLLRDNORM | POLLRDBAND)) != 0 || failed);
    entries[i].writable = entries[i].want_write && ((re & POLLWRNORM) != 0 || failed);
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
