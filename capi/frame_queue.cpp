#include "frame_queue.h"

#include <algorithm>
#include <chrono>

namespace nel::capi {

void FrameQueue::Push(const float* waves, const float* pressures, int n, int waveCount, int cuffCount) {
  std::lock_guard lock(mu_);
  const size_t size = ring_.size();
  for (int f = 0; f < n; ++f, waves += waveCount, pressures += cuffCount) {
    if (count_ == size) {  // the host is behind: the oldest frame goes
      head_ = head_ + 1 == size ? 0 : head_ + 1;
      --count_;
      ++dropped_;
    }
    const size_t tail = head_ + count_;
    nel_frame& fr = ring_[tail >= size ? tail - size : tail];
    fr = nel_frame{};
    fr.index = taken_++;
    std::copy(waves, waves + waveCount, fr.wave);
    std::copy(pressures, pressures + cuffCount, fr.pressure);
    ++count_;
  }
  if (count_ > 0) {
    ready_.Set();
    cv_.notify_all();
  }
}

size_t FrameQueue::Read(nel_frame* out, size_t capacity) {
  std::lock_guard lock(mu_);
  const size_t n = std::min(count_, capacity);
  const size_t size = ring_.size();
  const size_t first = std::min(n, size - head_);  // up to the end of the ring, then from its start
  std::copy(ring_.begin() + static_cast<std::ptrdiff_t>(head_),
            ring_.begin() + static_cast<std::ptrdiff_t>(head_ + first), out);
  std::copy(ring_.begin(), ring_.begin() + static_cast<std::ptrdiff_t>(n - first), out + first);
  head_ = head_ + n >= size ? head_ + n - size : head_ + n;
  count_ -= n;
  // Cleared by a read that finds nothing, not by the one that takes the last
  // frame: a host reading after every pass then costs no system call.
  if (n == 0) ready_.Reset();
  return n;
}

bool FrameQueue::Wait(int timeoutMs) {
  std::unique_lock lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return count_ > 0; });
}

uint64_t FrameQueue::Taken() const {
  std::lock_guard lock(mu_);
  return taken_;
}

uint64_t FrameQueue::Dropped() const {
  std::lock_guard lock(mu_);
  return dropped_;
}

}  // namespace nel::capi
