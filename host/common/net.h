#pragma once
// Thin socket seam over Winsock (net_win.cpp) and POSIX sockets
// (net_linux.cpp). Errors are reported in Winsock numbering on both platforms,
// so results, log texts and port fallbacks behave the same everywhere.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace orvane::net {

using Socket = intptr_t;
inline constexpr Socket kInvalidSocket = -1;

// Winsock error numbers.
inline constexpr int kWsaEIntr = 10004;
inline constexpr int kWsaEBadF = 10009;
inline constexpr int kWsaEAccess = 10013;
inline constexpr int kWsaEFault = 10014;
inline constexpr int kWsaEInval = 10022;
inline constexpr int kWsaEMFile = 10024;
inline constexpr int kWsaEWouldBlock = 10035;
inline constexpr int kWsaEInProgress = 10036;
inline constexpr int kWsaEAlready = 10037;
inline constexpr int kWsaENotSock = 10038;
inline constexpr int kWsaEDestAddrReq = 10039;
inline constexpr int kWsaEMsgSize = 10040;
inline constexpr int kWsaEProtoType = 10041;
inline constexpr int kWsaENoProtoOpt = 10042;
inline constexpr int kWsaEProtoNoSupport = 10043;
inline constexpr int kWsaEOpNotSupp = 10045;
inline constexpr int kWsaEAfNoSupport = 10047;
inline constexpr int kWsaEAddrInUse = 10048;
inline constexpr int kWsaEAddrNotAvail = 10049;
inline constexpr int kWsaENetDown = 10050;
inline constexpr int kWsaENetUnreach = 10051;
inline constexpr int kWsaENetReset = 10052;
inline constexpr int kWsaEConnAborted = 10053;
inline constexpr int kWsaEConnReset = 10054;
inline constexpr int kWsaENoBufs = 10055;
inline constexpr int kWsaEIsConn = 10056;
inline constexpr int kWsaENotConn = 10057;
inline constexpr int kWsaEShutdown = 10058;
inline constexpr int kWsaETimedOut = 10060;
inline constexpr int kWsaEConnRefused = 10061;
inline constexpr int kWsaEHostDown = 10064;
inline constexpr int kWsaEHostUnreach = 10065;
// Catch-all for a system error that has no Winsock counterpart.
inline constexpr int kWsaESysCallFailure = 10107;

// Process-wide start-up (WSAStartup 2.2 on Windows; ignores SIGPIPE nowhere:
// sends use MSG_NOSIGNAL). Returns 0 or the error.
int Startup();
void Cleanup();

// The last socket error of this thread, in Winsock numbering.
int LastError();

struct Endpoint {
  std::string address;  // dotted IPv4
  uint16_t port = 0;
};

enum class Kind { kTcp, kUdp };

// Creates an IPv4 socket; kInvalidSocket and *error on failure.
Socket Create(Kind kind, int* error);
void Close(Socket s);
// Shuts both directions down; wakes threads blocked on the socket.
void ShutdownBoth(Socket s);

// Listener address reuse: SO_EXCLUSIVEADDRUSE on Windows (bind must fail on a
// port another socket holds), SO_REUSEADDR on POSIX. Returns 0 or the error.
int SetListenerAddressOptions(Socket s);
int SetNoDelay(Socket s, bool on);
int SetNonBlocking(Socket s, bool on);
// Keep-alive probes: idle time and interval in milliseconds, probe count
// (0 or less: the system's count stays). Returns 0 or the error of the first
// option that failed.
int SetKeepAlive(Socket s, uint32_t idle_ms, uint32_t interval_ms, int probe_count);
// The probe count alone (TCP_KEEPCNT). Windows before 10 version 1703 and Wine
// do not know the option and give kWsaENoProtoOpt.
int SetKeepAliveProbes(Socket s, int probe_count);
// Linux: TCP_USER_TIMEOUT (unacknowledged data bound); Windows: no-op.
int SetUserTimeout(Socket s, uint32_t ms);
int SetReceiveBuffer(Socket s, int bytes);
int SetSendBuffer(Socket s, int bytes);

// Bind to a dotted IPv4 address ("" = any). Returns 0 or the error
// (kWsaEInval for an address text that does not parse).
int Bind(Socket s, const std::string& address, uint16_t port);
int Listen(Socket s);
// The bound port, or 0 with *error on failure.
uint16_t LocalPort(Socket s, int* error);

// Accepts one connection; kInvalidSocket with *error on failure.
Socket Accept(Socket listener, Endpoint* peer, int* error);
// Connect (blocking) to a dotted IPv4 address.
int Connect(Socket s, const std::string& address, uint16_t port);

// Stream I/O: bytes moved, 0 for an orderly close (recv), -1 with *error.
// Sends never raise SIGPIPE.
long Recv(Socket s, void* buf, size_t len, int* error);
long Peek(Socket s, void* buf, size_t len, int* error);
long Send(Socket s, const void* buf, size_t len, int* error);

// Datagram I/O.
long SendTo(Socket s, const void* buf, size_t len, const Endpoint& to, int* error);
long RecvFrom(Socket s, void* buf, size_t len, Endpoint* from, int* error);

struct PollEntry {
  Socket socket = kInvalidSocket;
  bool want_read = false;
  bool want_write = false;
  bool readable = false;  // out: readable, or closed / in error
  bool writable = false;  // out
};
// Waits at most timeout_ms (-1 = forever). Returns the number of ready
// entries, 0 on time-out, -1 with *error.
int Poll(std::vector<PollEntry>& entries, int timeout_ms, int* error);
int PollOne(Socket s, bool want_read, bool want_write, int timeout_ms, int* error);

// "127.0.0.1" style parse check.
bool IsValidIpv4(const std::string& address);

#ifndef _WIN32
// The POSIX seam's translation of errno into Winsock numbering. EPIPE becomes
// kWsaEConnReset; an errno without a Winsock counterpart becomes
// kWsaESysCallFailure (never 0, so it still reads as a failure).
int ErrorFromErrno(int errno_value);
#endif

}  // namespace orvane::net
