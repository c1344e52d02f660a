// Deadlines for the platform's waits, on the monotonic clock.
#pragma once

#include <chrono>
#include <cstdint>

namespace nel::platform {

// Milliseconds on the monotonic clock since an arbitrary start; for intervals only.
inline int64_t MonotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

class Deadline {
 public:
  // timeout_ms < 0: no deadline.
  explicit Deadline(int timeout_ms)
      : infinite_(timeout_ms < 0),
        end_(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms)) {}

  // Milliseconds left, rounded up so that a poll never returns early; -1 without deadline.
  int RemainingMs() const {
    if (infinite_) return -1;
    const auto left = end_ - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return 0;
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(left).count();
    return static_cast<int>((us + 999) / 1000);
  }
  bool Expired() const { return !infinite_ && std::chrono::steady_clock::now() >= end_; }
  bool Infinite() const { return infinite_; }

 private:
  bool infinite_;
  std::chrono::steady_clock::time_point end_;
};

}  // namespace nel::platform
