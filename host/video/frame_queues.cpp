#include "host/video/frame_queues.h"

#include <algorithm>

namespace orvane {

uint64_t EncodeQueue::Push(EncodeJob job) {
  uint64_t dropped = 0;
  {
    std::lock_guard<std::mutex> lock(mu_);
    while (jobs_.size() >= kCapacity) {
      const EncodeJob& oldest = jobs_.front();
      if (oldest.keyframe) {
        job.keyframe = true;
        job.keyframe_copies = std::max(job.keyframe_copies, oldest.keyframe_copies);
      }
      jobs_.pop_front();
      ++dropped;
    }
    jobs_.push_back(std::move(job));
  }
  cv_.notify_one();
  return dropped;
}

bool EncodeQueue::Pop(EncodeJob* out) {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [&] { return stopped_ || !jobs_.empty(); });
  if (stopped_) return false;
  *out = std::move(jobs_.front());
  jobs_.pop_front();
  return true;
}

void EncodeQueue::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopped_ = true;
    jobs_.clear();
  }
  cv_.notify_all();
}

size_t EncodeQueue::Depth() {
  std::lock_guard<std::mutex> lock(mu_);
  return jobs_.size();
}

bool SendQueue::FullLocked(int64_t now_us) const {
  if (items_.size() >= kCapacity) return true;
  return !items_.empty() && now_us - items_.front().enqueue_us > kMaxAgeUs;
}

bool SendQueue::RaiseRequestLocked() {
  waiting_for_keyframe_ = true;
  if (request_outstanding_) return false;
  request_outstanding_ = true;
  return true;
}

SendPushResult SendQueue::Push(SendItem item, int64_t now_us) {
  SendPushResult r;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (stopped_) {
      r.dropped = 1;
      return r;
    }
    item.enqueue_us = now_us;
    if (item.keyframe) {
      if (FullLocked(now_us)) {
        r.dropped = items_.size();
        items_.clear();
      }
      waiting_for_keyframe_ = false;
      request_outstanding_ = false;
      items_.push_back(std::move(item));
      r.queued = true;
    } else if (waiting_for_keyframe_) {
      r.dropped = 1;
    } else if (FullLocked(now_us)) {
      // Keep the newest keyframe and what follows it.
      const auto newest_key = std::find_if(items_.rbegin(), items_.rend(), [](const SendItem& i) { return i.keyframe; });
      if (newest_key != items_.rend()) {
        const auto keep_from = std::prev(newest_key.base());
        r.dropped = static_cast<uint64_t>(keep_from - items_.begin());
        items_.erase(items_.begin(), keep_from);
      }
      if (FullLocked(now_us)) {
        // Nothing worth keeping: the backlog and this item go, and the
        // stream waits for a keyframe.
        r.dropped += items_.size() + 1;
        items_.clear();
        r.keyframe_requested = RaiseRequestLocked();
      } else {
        items_.push_back(std::move(item));
        r.queued = true;
      }
    } else {
      items_.push_back(std::move(item));
      r.queued = true;
    }
  }
  if (r.queued) cv_.notify_one();
  return r;
}

bool SendQueue::Pop(SendItem* out, IClock& clock, int64_t* waited_us) {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [&] { return stopped_ || !items_.empty(); });
  if (stopped_) return false;
  *out = std::move(items_.front());
  items_.pop_front();
  if (waited_us != nullptr) *waited_us = std::max<int64_t>(0, clock.NowUs() - out->enqueue_us);
  return true;
}

bool SendQueue::HasWaiting() {
  std::lock_guard<std::mutex> lock(mu_);
  return !items_.empty();
}

bool SendQueue::WaitForKeyframe() {
  std::lock_guard<std::mutex> lock(mu_);
  return RaiseRequestLocked();
}

bool SendQueue::WaitingForKeyframe() {
  std::lock_guard<std::mutex> lock(mu_);
  return waiting_for_keyframe_;
}

void SendQueue::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stopped_ = true;
    items_.clear();
  }
  cv_.notify_all();
}

size_t SendQueue::Depth() {
  std::lock_guard<std::mutex> lock(mu_);
  return items_.size();
}

}  // namespace orvane
