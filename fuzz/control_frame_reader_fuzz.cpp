// The control server's frame reader and its reconnect peek, fed through the
// in-memory network (fake_net.h): the real TcpServer with its accept thread
// reads a peer's byte stream as frames, and a second connection from the
// same address is held until its first frame shows whether it is the slot's
// tablet coming back.
//
// Input: byte 0 flags, byte 1 bytes per receive (0: any), byte 2 bytes that
// have arrived when the connection is accepted (255: all), then the stream.
//   flag 1  reconnect: slot 0 already serves the tablet kClientId from
//           address A, and the stream comes on a new connection
//   flag 2  ... from another address
//   flag 4  ... whose reconnect hold passes before the rest arrives
//   flag 8  the stream ends with a reset instead of an orderly close
//
// Invariants:
// - every frame the reader accepts re-serialises (length prefix + payload)
//   to exactly the next bytes of the stream, and a failed read is explained
//   by those bytes (a length of 0 or above the limit, or a stream that ends
//   early);
// - a new connection replaces the slot's tablet exactly when the first
//   frame, seen in time, is a plain Hello with that tablet's client_id, and
//   the peek consumes nothing (the reader then reads that Hello first);
// - a connection is discarded only when it closed without data or sent
//   nothing within the hold; otherwise it waits in the queue and is served
//   when the slot frees;
// - when the server is gone no socket is left open.

#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fake_net.h"
#include "fuzz/fuzz_support.h"
#include "host/common/byte_order.h"
#include "host/common/clock.h"
#include "host/control/control_frame.h"
#include "host/control/tcp_server.h"

namespace orvane::fuzz {
namespace {

constexpr char kClientId[] = "tablet-7f3a";
constexpr char kAddressA[] = "192.0.2.10";
constexpr char kAddressB[] = "192.0.2.77";
constexpr size_t kHeaderBytes = 4;

// Reads frames until the connection ends; checks each against the stream.
void ReadAll(TcpServer& server, uint64_t key, ByteView stream) {
  std::vector<uint8_t> frame;
  size_t pos = 0;
  while (server.ReceiveFrame(0, &frame, key)) {
    FUZZ_CHECK(!frame.empty() && frame.size() <= TcpServer::kMaxFrameBytes);
    FUZZ_CHECK(stream.size() - pos >= kHeaderBytes + frame.size());
    uint8_t header[kHeaderBytes];
    StoreBe32(header, static_cast<uint32_t>(frame.size()));
    FUZZ_CHECK(std::memcmp(header, stream.data() + pos, kHeaderBytes) == 0);
    FUZZ_CHECK(std::memcmp(frame.data(), stream.data() + pos + kHeaderBytes, frame.size()) == 0);
    pos += kHeaderBytes + frame.size();

    std::string id;
    if (PeekHelloClientId(frame.data(), frame.size(), &id)) {
      FUZZ_CHECK(!id.empty());
      FUZZ_CHECK(!IsSecureFrame(frame.data(), frame.size()));
    }
  }
  FUZZ_CHECK(frame.empty());
  const HostResult result = server.LastResult();
  const size_t left = stream.size() - pos;
  if (left >= kHeaderBytes) {
    const uint32_t length = LoadBe32(stream.data() + pos);
    if (length == 0 || length > TcpServer::kMaxFrameBytes) {
      FUZZ_CHECK(result.code == 4);
    } else {
      FUZZ_CHECK(result.code == 3);
      FUZZ_CHECK(left < kHeaderBytes + length);
    }
  } else {
    FUZZ_CHECK(result.code == 3);
  }
  FUZZ_CHECK(!server.HasActiveClient(0));
}

// True when the first v bytes of the stream hold a whole first frame that
// the peek looks at.
bool FirstFrameComplete(ByteView stream, size_t v) {
  if (v < kHeaderBytes) return false;
  const uint32_t length = LoadBe32(stream.data());
  return length >= 1 && length <= TcpServer::kMaxPeekFrameBytes && v - kHeaderBytes >= length;
}

bool FirstFrameIsOurHello(ByteView stream) {
  if (!FirstFrameComplete(stream, stream.size())) return false;
  std::string id;
  return PeekHelloClientId(stream.data() + kHeaderBytes, LoadBe32(stream.data()), &id) && id == kClientId;
}

void Run(const uint8_t* data, size_t size) {
  FuzzReader in(data, size);
  const uint8_t flags = in.Byte();
  const uint8_t segment = in.Byte();
  const uint8_t arrived = in.Byte();
  const ByteView stream = in.Rest();

  FakePeer peer;
  peer.bytes.assign(stream.begin(), stream.end());
  peer.segment = segment;
  peer.arrived = arrived == 255 ? SIZE_MAX : arrived;
  peer.end_error = (flags & 8) != 0 ? net::kWsaEConnReset : 0;

  FakeNetwork& network = FakeNetwork::Instance();
  network.Reset();
  ManualClock clock;
  {
    TcpServerOptions options;
    options.clock = &clock;
    TcpServer server(1, options);
    server.SetHelloPeek(PeekHelloClientId);
    FUZZ_CHECK(server.Start(0));

    if ((flags & 1) == 0) {
      network.Connect(std::move(peer));
      network.Settle();
      uint64_t key = 0;
      FUZZ_CHECK(server.AcceptClient(0, &key));
      ReadAll(server, key, stream);
    } else {
      FakePeer tablet;
      tablet.address = kAddressA;
      const net::Socket first = network.Connect(std::move(tablet));
      network.Settle();
      uint64_t first_key = 0;
      FUZZ_CHECK(server.AcceptClient(0, &first_key));
      server.SetClientId(0, first_key, kClientId);

      const bool same_address = (flags & 2) == 0;
      const bool hold_passes_first = (flags & 4) != 0;
      peer.address = same_address ? kAddressA : kAddressB;
      peer.port = 50001;
      const size_t seen_first = std::min(peer.arrived, stream.size());
      const net::Socket second = network.Connect(std::move(peer));
      network.Settle();
      if (hold_passes_first) {
        clock.AdvanceMs(TcpServer::kReconnectHoldMs);
        network.Kick();
      }
      network.ArriveAll(second);
      network.Settle();
      // Whatever is still undecided is decided once the hold has passed.
      clock.AdvanceMs(TcpServer::kReconnectHoldMs);
      network.Kick();

      const bool expect_reconnect = same_address && FirstFrameIsOurHello(stream) &&
                                    (FirstFrameComplete(stream, seen_first) || !hold_passes_first);
      // A reconnect installs the new connection, not yet accepted.
      const bool reconnected = !server.HasActiveClient(0);
      FUZZ_CHECK(reconnected == expect_reconnect);
      if (reconnected) {
        FUZZ_CHECK(network.IsShut(first));
        uint64_t key = 0;
        FUZZ_CHECK(server.AcceptClient(0, &key));
        FUZZ_CHECK(key != first_key);
        ReadAll(server, key, stream);
      } else {
        FUZZ_CHECK(!network.IsShut(first));
        FUZZ_CHECK(server.ConnectionKey(0) == first_key);
        const bool expect_discard =
            same_address && (stream.empty() || (hold_passes_first && seen_first == 0));
        const bool discarded = network.IsShut(second);
        FUZZ_CHECK(discarded == expect_discard);
        // The stale tablet leaves; a queued connection takes the slot.
        FUZZ_CHECK(server.DropClient(0, first_key, "fuzz"));
        if (!discarded) {
          uint64_t key = 0;
          FUZZ_CHECK(server.AcceptClient(0, &key));
          ReadAll(server, key, stream);
        }
      }
    }
    server.Stop();
  }
  FUZZ_CHECK(network.OpenSockets() == 0);
}

}  // namespace
}  // namespace orvane::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  orvane::fuzz::QuietLogs();
  orvane::fuzz::Run(data, size);
  return 0;
}
