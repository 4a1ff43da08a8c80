#include "host/transport/fec_group.h"

#include <algorithm>
#include <cstring>

#include "host/common/byte_order.h"
#include "host/transport/media_packet.h"

namespace orvane::media {

int FecGroupSize(int loss_percent, bool keyframe_first_fragment) {
  const int loss = std::clamp(loss_percent, 0, 40);
  if (keyframe_first_fragment || loss >= 6) return 4;
  if (loss >= 3) return 6;
  if (loss >= 1) return 8;
  return 10;
}

bool FecGroup::Add(uint32_t sequence, crypto::ByteView datagram, int loss_percent, bool keyframe_first_fragment,
                   crypto::Bytes* parity) {
  const int k = FecGroupSize(loss_percent, keyframe_first_fragment);
  bool closed = false;
  // Unsigned arithmetic: a group may run across the wrap of the counter.
  if (count_ > 0 && (k != k_ || sequence != first_ + static_cast<uint32_t>(count_))) {
    Close(parity);
    closed = true;
  }
  if (count_ == 0) {
    first_ = sequence;
    k_ = k;
  }
  lengths_[count_++] = static_cast<uint16_t>(std::min<size_t>(datagram.size(), 65535));
  if (datagram.size() > xor_.size()) xor_.resize(datagram.size(), 0);
  uint8_t* acc = xor_.data();
  const uint8_t* in = datagram.data();
  for (size_t i = 0, n = datagram.size(); i < n; ++i) acc[i] ^= in[i];
  // A new group has one datagram and every size is at least 4, so a group
  // closed above cannot be followed by a second one here.
  if (!closed && count_ == static_cast<size_t>(k_)) {
    Close(parity);
    closed = true;
  }
  return closed;
}

void FecGroup::Close(crypto::Bytes* parity) {
  const size_t lengths_bytes = 2 * count_;
  parity->resize(kFecHeaderBytes + lengths_bytes + xor_.size());
  uint8_t* p = parity->data();
  p[0] = kTypeFecParity;
  StoreBe32(p + 1, first_);
  p[5] = static_cast<uint8_t>(count_);
  for (size_t i = 0; i < count_; ++i) StoreBe16(p + kFecHeaderBytes + 2 * i, lengths_[i]);
  if (!xor_.empty()) std::memcpy(p + kFecHeaderBytes + lengths_bytes, xor_.data(), xor_.size());
  count_ = 0;
  xor_.clear();
}

void FecGroup::Reset() {
  count_ = 0;
  k_ = 0;
  first_ = 0;
  xor_.clear();
}

}  // namespace orvane::media
