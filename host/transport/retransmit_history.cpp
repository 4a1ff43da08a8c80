#include "host/transport/retransmit_history.h"

namespace orvane::media {

uint32_t HistoryHash(uint32_t sequence) {
  uint32_t hash = 2166136261u;
  for (int i = 0; i < 4; ++i) {
    hash ^= (sequence >> (8 * i)) & 0xFFu;
    hash *= 16777619u;
  }
  return hash;
}

namespace {
constexpr size_t kMask = 2 * kHistoryMaxEntries - 1;
static_assert(((kMask + 1) & kMask) == 0, "the index size must be a power of two");
}  // namespace

RetransmitHistory::RetransmitHistory() = default;

void RetransmitHistory::Store(uint32_t sequence, crypto::ByteView datagram, int64_t now_us) {
  if (ring_.empty()) {
    ring_.resize(kHistoryMaxEntries);
    index_.assign(kIndexSlots, Slot{});
  }
  Prune(now_us);
  if (const size_t slot = Find(sequence); slot != kIndexSlots) {
    Entry& entry = ring_[index_[slot].position];
    entry.bytes.assign(datagram.begin(), datagram.end());
    entry.stored_us = now_us;
    return;
  }
  if (used_ == kHistoryMaxEntries) PopOldest();
  const size_t position = (head_ + used_) % kHistoryMaxEntries;
  Entry& entry = ring_[position];
  entry.sequence = sequence;
  entry.live = true;
  entry.stored_us = now_us;
  entry.bytes.assign(datagram.begin(), datagram.end());
  ++used_;
  ++live_;
  IndexInsert(sequence, static_cast<uint32_t>(position));
}

bool RetransmitHistory::Lookup(uint32_t sequence, int64_t now_us, crypto::Bytes* out) {
  if (ring_.empty()) return false;
  Prune(now_us);
  const size_t slot = Find(sequence);
  if (slot == kIndexSlots) return false;
  Entry& entry = ring_[index_[slot].position];
  if (now_us - entry.stored_us > kHistoryMaxAgeUs) {
    // Replaced entries keep their place in the order, so an expired one can
    // sit behind a newer one; it leaves the index now and the ring later.
    IndexErase(slot);
    entry.live = false;
    --live_;
    return false;
  }
  out->assign(entry.bytes.begin(), entry.bytes.end());
  return true;
}

void RetransmitHistory::Clear() {
  std::vector<Entry>().swap(ring_);
  std::vector<Slot>().swap(index_);
  head_ = used_ = live_ = 0;
}

void RetransmitHistory::Prune(int64_t now_us) {
  while (used_ > 0) {
    const Entry& oldest = ring_[head_];
    if (oldest.live && now_us - oldest.stored_us <= kHistoryMaxAgeUs) break;
    PopOldest();
  }
}

void RetransmitHistory::PopOldest() {
  Entry& oldest = ring_[head_];
  if (oldest.live) {
    IndexErase(Find(oldest.sequence));
    oldest.live = false;
    --live_;
  }
  head_ = (head_ + 1) % kHistoryMaxEntries;
  --used_;
}

size_t RetransmitHistory::Find(uint32_t sequence) const {
  if (index_.empty()) return kIndexSlots;
  for (size_t slot = HistoryHash(sequence) & kMask;; slot = (slot + 1) & kMask) {
    const Slot& candidate = index_[slot];
    // At most half the slots are taken, so an empty one always ends the probe.
    if (candidate.position == kEmpty) return kIndexSlots;
    if (candidate.sequence == sequence) return slot;
  }
}

void RetransmitHistory::IndexInsert(uint32_t sequence, uint32_t ring_position) {
  size_t slot = HistoryHash(sequence) & kMask;
  while (index_[slot].position != kEmpty) slot = (slot + 1) & kMask;
  index_[slot] = Slot{sequence, ring_position};
}

void RetransmitHistory::IndexErase(size_t slot) {
  // Backward-shift deletion: entries after the hole move up unless their home
  // slot lies between the hole and where they are, so every probe still
  // reaches them without tombstones.
  size_t hole = slot;
  index_[hole] = Slot{};
  for (size_t next = (hole + 1) & kMask; index_[next].position != kEmpty; next = (next + 1) & kMask) {
    const size_t home = HistoryHash(index_[next].sequence) & kMask;
    const bool stays = hole <= next ? (hole < home && home <= next) : (hole < home || home <= next);
    if (stays) continue;
    index_[hole] = index_[next];
    index_[next] = Slot{};
    hole = next;
  }
}

}  // namespace orvane::media
