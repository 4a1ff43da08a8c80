#pragma once
// FramePool: the buffers a capture source hands out, counted exactly.
//
// A captured image travels from the capture thread to the encode thread and
// is kept as the frame loop's previous image, so it must stay valid while
// anyone holds it, on any thread, and the source must never write into it
// again before everyone let go. The pool gives each captured image an entry
// of its own: Take() returns a free entry (or makes one), the shared pointer
// it returns keeps the entry in use, and dropping the last copy only marks
// the entry free under the pool's mutex (no platform call on the releasing
// thread). The pool is co-owned by the entries it handed out, so an image
// that outlives its source still frees itself (the payload is destroyed with
// the pool, on whichever thread lets go last).
//
// At most kCapacity entries exist: the previous image, two queued, one being
// encoded and the new one, with slack. When the size or format changes, idle
// entries of the old kind are freed; when every entry is held, Take() fails
// and the source reports a failed capture.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace orvane {

struct FramePoolKey {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t format = 0;  // the platform's format number; 0 for BGRA in memory
  friend bool operator==(const FramePoolKey&, const FramePoolKey&) = default;
};

enum class FramePoolTake {
  kOk = 0,
  kAllHeld = 1,       // every entry is held by someone
  kCreateFailed = 2,  // the factory could not make a new entry
};

template <typename T>
class FramePool : public std::enable_shared_from_this<FramePool<T>> {
 public:
  static constexpr size_t kCapacity = 8;
  using Factory = std::function<std::unique_ptr<T>(const FramePoolKey&)>;

  static std::shared_ptr<FramePool> Create() { return std::shared_ptr<FramePool>(new FramePool()); }

  FramePool(const FramePool&) = delete;
  FramePool& operator=(const FramePool&) = delete;

  // A free entry of `key`; when none is free, idle entries of other keys are
  // freed and a new one is made with `make`. Null with *result set when every
  // entry is held or `make` failed. The entry is in use until the returned
  // pointer and all its copies are gone.
  std::shared_ptr<T> Take(const FramePoolKey& key, const Factory& make, FramePoolTake* result) {
    std::vector<std::unique_ptr<T>> trimmed;  // destroyed outside the lock
    size_t slot = kCapacity;
    bool reuse = false;
    {
      std::lock_guard<std::mutex> lock(mu_);
      for (size_t i = 0; i < kCapacity && slot == kCapacity; ++i) {
        if (slots_[i].payload && !slots_[i].in_use && slots_[i].key == key) slot = i;
      }
      reuse = slot != kCapacity;
      if (!reuse) {
        for (Slot& s : slots_) {
          if (s.payload && !s.in_use && !(s.key == key)) trimmed.push_back(std::move(s.payload));
        }
        for (size_t i = 0; i < kCapacity && slot == kCapacity; ++i) {
          if (!slots_[i].payload && !slots_[i].in_use) slot = i;
        }
      }
      if (slot != kCapacity) slots_[slot].in_use = true;  // reserved while it is made
    }
    trimmed.clear();
    if (slot == kCapacity) {
      if (result) *result = FramePoolTake::kAllHeld;
      return nullptr;
    }
    if (!reuse) {
      // Made outside the lock, so releases on other threads never wait for
      // the platform.
      std::unique_ptr<T> made = make ? make(key) : nullptr;
      std::lock_guard<std::mutex> lock(mu_);
      if (!made) {
        slots_[slot].in_use = false;
        if (result) *result = FramePoolTake::kCreateFailed;
        return nullptr;
      }
      slots_[slot].payload = std::move(made);
      slots_[slot].key = key;
    }
    if (result) *result = FramePoolTake::kOk;
    T* payload = nullptr;
    {
      std::lock_guard<std::mutex> lock(mu_);
      payload = slots_[slot].payload.get();
    }
    std::shared_ptr<FramePool> self = this->shared_from_this();
    return std::shared_ptr<T>(payload, [self, slot](T*) { self->Release(slot); });
  }

  // Entries that exist, and those held.
  size_t Size() const {
    std::lock_guard<std::mutex> lock(mu_);
    size_t n = 0;
    for (const Slot& s : slots_) n += s.payload ? 1 : 0;
    return n;
  }
  size_t InUse() const {
    std::lock_guard<std::mutex> lock(mu_);
    size_t n = 0;
    for (const Slot& s : slots_) n += (s.payload && s.in_use) ? 1 : 0;
    return n;
  }

  // Calls fn for every entry, held or free, under the pool's mutex: for work
  // that touches no pixels (a source detaching its buffers from a server at
  // shutdown, for example).
  void ForEachEntry(const std::function<void(T&)>& fn) {
    std::lock_guard<std::mutex> lock(mu_);
    for (Slot& s : slots_) {
      if (s.payload) fn(*s.payload);
    }
  }

 private:
  FramePool() = default;

  void Release(size_t slot) {
    std::lock_guard<std::mutex> lock(mu_);
    slots_[slot].in_use = false;
  }

  struct Slot {
    std::unique_ptr<T> payload;
    FramePoolKey key;
    bool in_use = false;
  };
  mutable std::mutex mu_;
  std::array<Slot, kCapacity> slots_{};
};

}  // namespace orvane
