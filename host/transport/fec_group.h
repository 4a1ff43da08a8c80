#pragma once
// Forward error correction for video: consecutive fragments are gathered in
// groups, and each closed group is followed by one parity packet, the XOR of
// its datagrams (header and payload, each padded with zeros to the longest).
// The tablet rebuilds any single lost datagram of a group from the parity and
// the others.
//
// The group size follows the loss the tablet reports: 4 at 6 % or more, 6 at
// 3 %, 8 at 1 %, else 10. Fragment 0 of a keyframe always asks for a group of
// 4, so the start of a keyframe is better protected. A datagram that asks for
// another size than the running group's closes that group first; so does one
// whose sequence number does not follow the group's last, because a parity
// packet names only its first sequence number and a count.
//
// Not synchronised: the owner holds its lock. Buffers keep their capacity, so
// steady-state use allocates nothing.

#include <array>
#include <cstddef>
#include <cstdint>

#include "host/security/crypto.h"

namespace orvane::media {

inline constexpr size_t kMaxFecGroupSize = 10;

// The group size for a loss in percent (clamped to 0..40); fragment 0 of a
// keyframe asks for the smallest group.
int FecGroupSize(int loss_percent, bool keyframe_first_fragment);

class FecGroup {
 public:
  // Adds one datagram. When this closes a group (one of another size, one the
  // sequence number does not continue, or this one filling it), the group's
  // parity packet is written to *parity and true returned; otherwise *parity
  // is left alone. At most one group closes per call.
  bool Add(uint32_t sequence, crypto::ByteView datagram, int loss_percent, bool keyframe_first_fragment,
           crypto::Bytes* parity);
  // Forgets the running group.
  void Reset();

  size_t size() const { return count_; }
  int group_size() const { return k_; }
  uint32_t first_sequence() const { return first_; }

 private:
  void Close(crypto::Bytes* parity);

  int k_ = 0;
  uint32_t first_ = 0;
  size_t count_ = 0;
  std::array<uint16_t, kMaxFecGroupSize> lengths_{};
  crypto::Bytes xor_;  // XOR of the group's datagrams, as long as the longest
};

}  // namespace orvane::media
