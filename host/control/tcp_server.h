#pragma once
// TcpServer: the listener of the control channel. It serves a fixed number of
// client slots (one per tablet session), accepts connections on its own
// thread, parks a connection in a one-place queue when every slot is taken,
// recognises a tablet that reconnects from the same address before its old
// connection was noticed as dead, and moves frames in and out. A frame is a
// 4-byte big-endian payload length followed by the payload.
//
// Failures are values: calls return bool and LastResult() tells why
//   0 success, 1 start failure, 2 send failure, 3 receive failure or no
//   client, 4 invalid frame size.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/common/clock.h"
#include "host/common/host_result.h"
#include "host/common/net.h"

namespace orvane {

// Why a connection ended, as the disconnect log line names it.
enum class DisconnectReason : int {
  kClosedByPeer = 0,     // recv returned 0
  kResetByPeer = 1,      // 10054
  kAbortedLocally = 2,   // 10053 or 10060
  kDroppedByHost = 3,    // the connection was marked closing
  kSocketError = 4,      // any other error
};

// What the connection was doing when it ended.
enum class TransferPhase : int {
  kWaitingForHeader = 0,
  kReadingPayload = 1,
  kSending = 2,
};

const char* DisconnectReasonText(DisconnectReason reason);  // "unknown" for other values
const char* TransferPhaseText(TransferPhase phase);         // "unknown" for other values

// The reason for a failed transfer: closing wins, then an orderly close by the
// peer, then the error number.
DisconnectReason ClassifyDisconnect(bool closing, bool peer_closed, int wsa_error);

// Traffic of one connection, times in milliseconds since it was accepted.
struct ConnectionTraffic {
  uint64_t up_ms = 0;
  uint64_t rx_frames = 0;
  uint64_t rx_bytes = 0;   // headers included
  int64_t last_rx_ms = -1; // -1: nothing received
  uint64_t tx_frames = 0;
  uint64_t tx_bytes = 0;
  int64_t last_tx_ms = -1;
};

// "reset by the peer (RST) while sending a frame (wsa=10054); up 5123 ms;
//  rx 3 frames/1 KB, last 120 ms ago; tx 9 frames/40 KB, last never"
// The error part is left out for kClosedByPeer and kDroppedByHost.
std::string FormatDisconnectCause(DisconnectReason reason, TransferPhase phase, int wsa_error,
                                  const ConnectionTraffic& traffic);

struct TcpServerOptions {
  // Connect times, the reconnect hold and the traffic times of cause texts.
  // SystemClock() when null.
  IClock* clock = nullptr;
  // A write that makes no progress for this long fails with 10060, so a peer
  // that stops reading cannot hold a slot's senders for ever.
  uint32_t send_stall_ms = 10000;
  // Linux only: unacknowledged data older than this ends the connection.
  uint32_t user_timeout_ms = 10000;
};

class TcpServer {
 public:
  // Given the payload of a reconnecting client's first frame: true and the
  // client id when it is a plain Hello with a non-empty client_id.
  using HelloPeek = std::function<bool(const uint8_t* payload, size_t length, std::string* client_id)>;

  static constexpr uint32_t kMaxFrameBytes = 1048576;
  static constexpr uint32_t kMaxPeekFrameBytes = 16384;
  static constexpr uint64_t kReconnectHoldMs = 10000;
  static constexpr int kAcceptWaitMs = 100;
  static constexpr int kReadWaitMs = 200;
  static constexpr uint32_t kKeepAliveIdleMs = 5000;
  static constexpr uint32_t kKeepAliveIntervalMs = 1000;
  static constexpr int kKeepAliveProbes = 5;

  // A slot count of 0 is taken as 1.
  explicit TcpServer(size_t slot_count, TcpServerOptions options = {});
  ~TcpServer();

  TcpServer(const TcpServer&) = delete;
  TcpServer& operator=(const TcpServer&) = delete;

  // Listens on the port (0: the system chooses) of the bind address (empty:
  // any). Whatever ran before is stopped first.
  bool Start(uint16_t port, const std::string& bind_address = std::string());
  // Ends listening and disconnects everything; callable repeatedly.
  void Stop();

  uint16_t ListeningPort() const { return listening_port_.load(); }
  int LastSocketError() const { return last_socket_error_.load(); }
  HostResult LastResult() const;
  size_t SlotCount() const { return slots_.size(); }

  void SetHelloPeek(HelloPeek peek);

  // Blocks until the slot has a client or the server stops; marks the slot
  // active and returns the client's connection key.
  bool AcceptClient(size_t slot, uint64_t* connection_key);
  // Blocks until one whole frame arrived or the connection failed. With a
  // non-zero expected key the slot's connection must still be that one.
  bool ReceiveFrame(size_t slot, std::vector<uint8_t>* out, uint64_t expected_key = 0);
  // Writes one whole frame; frames of concurrent senders never interleave.
  bool SendFrame(size_t slot, const uint8_t* data, size_t length);
  // Disconnects the slot's client when its key matches (reason may be null).
  bool DropClient(size_t slot, uint64_t connection_key, const char* reason);
  // Records the client's identity for reconnect detection.
  void SetClientId(size_t slot, uint64_t connection_key, const std::string& client_id);

  // True / non-empty / non-zero only for an active slot with a client.
  uint64_t ConnectionKey(size_t slot) const;
  std::string PeerAddress(size_t slot) const;
  bool HasActiveClient(size_t slot) const;

 private:
  struct Connection;
  using ConnectionPtr = std::shared_ptr<Connection>;

  struct Slot {
    ConnectionPtr client;
    bool active = false;
    ConnectionPtr candidate;
    std::string client_id;
    std::mutex send_mutex;  // whole frames, one sender at a time
  };

  enum class PeekOutcome { kClosed, kIncomplete, kComplete };

  void StopUnlocked();
  void AcceptLoop();
  void AcceptOne();
  void CheckCandidate(size_t slot, const ConnectionPtr& candidate, bool readable);
  PeekOutcome PeekFirstFrame(const ConnectionPtr& candidate, std::string* client_id);

  // These run with mu_ held.
  void PlaceLocked(const ConnectionPtr& connection);
  void InstallLocked(Slot& slot, const ConnectionPtr& connection);
  void PromoteLocked(size_t slot);

  // Socket loops; false with the Winsock error (0 and *peer_closed for an
  // orderly close).
  bool ReadExact(Connection& c, uint8_t* buf, size_t len, int* error, bool* peer_closed);
  bool WriteAll(Connection& c, const uint8_t* buf, size_t len, int* error);

  void DisconnectAfterFailure(size_t slot, const ConnectionPtr& connection, const std::string* cause);
  ConnectionTraffic TrafficOf(const Connection& c) const;
  void SetResult(int code, const char* message, HResult hr);
  void SetSuccess();

  IClock* const clock_;
  const TcpServerOptions options_;

  std::mutex start_stop_mu_;
  std::thread accept_thread_;
  net::Socket listener_ = net::kInvalidSocket;  // written only under start_stop_mu_ with the thread stopped
  std::atomic<uint16_t> listening_port_{0};
  std::atomic<int> last_socket_error_{0};
  std::atomic<bool> running_{false};
  std::atomic<bool> keepcnt_warned_{false};

  mutable std::mutex mu_;  // the slot table, the queue, the next key
  std::condition_variable cv_;
  std::vector<Slot> slots_;
  std::deque<ConnectionPtr> queue_;
  uint64_t next_key_ = 1;

  std::mutex peek_mu_;
  HelloPeek hello_peek_;
  std::vector<uint8_t> peek_buffer_;  // accept thread only

  mutable std::mutex result_mu_;
  HostResult last_result_;
};

}  // namespace orvane
