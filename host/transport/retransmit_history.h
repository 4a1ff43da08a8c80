#pragma once
// The video datagrams of the last 800 ms, so that fragments the tablet
// reports lost can be sent again.
//
// Entries are kept in insertion order (a ring of at most 8192) and found
// through an open-addressing hash index (FNV-1a over the four bytes of the
// sequence number, low byte first; linear probing, deletion by backward
// shift). Storing a sequence number that is already present replaces its
// bytes and time in place; its place in the order stays. Before every store
// and lookup the oldest entries are dropped while they are older than 800 ms;
// a store that finds 8192 entries drops the oldest, so no more are ever held.
//
// The ring's buffers keep their capacity, so once warm a store allocates
// nothing. Not synchronised: the owner holds its history lock.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "host/security/crypto.h"

namespace orvane::media {

inline constexpr int64_t kHistoryMaxAgeUs = 800'000;
inline constexpr size_t kHistoryMaxEntries = 8192;

// FNV-1a 32-bit over the sequence number's bytes, low byte first.
uint32_t HistoryHash(uint32_t sequence);

class RetransmitHistory {
 public:
  RetransmitHistory();

  void Store(uint32_t sequence, crypto::ByteView datagram, int64_t now_us);
  // Copies the stored datagram to *out. False when it is absent or older
  // than 800 ms (such an entry is removed).
  bool Lookup(uint32_t sequence, int64_t now_us, crypto::Bytes* out);
  // Drops everything and gives the buffers back.
  void Clear();

  size_t size() const { return live_; }

 private:
  static constexpr uint32_t kEmpty = 0xFFFFFFFFu;
  static constexpr size_t kIndexSlots = 2 * kHistoryMaxEntries;  // load factor at most 1/2

  struct Entry {
    uint32_t sequence = 0;
    bool live = false;  // false: removed out of order, waiting to leave the ring
    int64_t stored_us = 0;
    crypto::Bytes bytes;
  };

  void Prune(int64_t now_us);
  void PopOldest();
  // Index slot holding the sequence number, or kIndexSlots.
  size_t Find(uint32_t sequence) const;
  void IndexInsert(uint32_t sequence, uint32_t ring_position);
  void IndexErase(size_t slot);

  // The sequence number sits in the index too, so probing never touches
  // the ring.
  struct Slot {
    uint32_t sequence = 0;
    uint32_t position = kEmpty;  // ring position; kEmpty for a free slot
  };

  std::vector<Entry> ring_;  // sized on first store
  size_t head_ = 0;          // oldest ring position
  size_t used_ = 0;          // ring positions in use, live or not
  size_t live_ = 0;
  std::vector<Slot> index_;
};

}  // namespace orvane::media
