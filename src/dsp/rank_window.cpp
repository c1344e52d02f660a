#include "dsp/rank_window.h"

#include <bit>
#include <cstring>

namespace nel::dsp {

void RankWindow::Reset(int32_t length, int32_t k, int16_t fill) {
  std::memset(count_, 0, sizeof count_);
  std::memset(present_, 0, sizeof present_);
  std::memset(summary_, 0, sizeof summary_);
  k_ = k;
  kth_ = fill + kOffset;
  below_ = 0;
  count_[kth_] = static_cast<uint8_t>(length);
  present_[kth_ >> 6] |= uint64_t{1} << (kth_ & 63);
  summary_[kth_ >> 12] |= uint64_t{1} << ((kth_ >> 6) & 63);
}

// The value's bits are set or cleared without a branch on the count: which way
// it goes is as hard to predict as the signal.
void RankWindow::Add(int32_t v) {
  ++count_[v];
  present_[v >> 6] |= uint64_t{1} << (v & 63);
  summary_[v >> 12] |= uint64_t{1} << ((v >> 6) & 63);
  below_ += static_cast<int32_t>(v < kth_);
}

void RankWindow::Remove(int32_t v) {
  const uint64_t bit = uint64_t{1} << (v & 63);
  const uint64_t wordBit = uint64_t{1} << ((v >> 6) & 63);
  uint64_t& word = present_[v >> 6];
  word = (word & ~bit) | (bit & -static_cast<uint64_t>(--count_[v] != 0));
  uint64_t& summary = summary_[v >> 12];
  summary = (summary & ~wordBit) | (wordBit & -static_cast<uint64_t>(word != 0));
  below_ -= static_cast<int32_t>(v < kth_);
}

int32_t RankWindow::NextPresent(int32_t v) const {
  const int32_t from = v + 1;  // v < 65535: a value above the k-th exists
  int32_t w = from >> 6;
  const uint64_t here = present_[w] & (~uint64_t{0} << (from & 63));
  if (here != 0) return (w << 6) + std::countr_zero(here);
  ++w;
  for (int32_t s = w >> 6; s < kWords / 64; ++s) {
    const uint64_t mask = s == (w >> 6) ? ~uint64_t{0} << (w & 63) : ~uint64_t{0};
    const uint64_t words = summary_[s] & mask;
    if (words != 0) {
      const int32_t word = (s << 6) + std::countr_zero(words);
      return (word << 6) + std::countr_zero(present_[word]);
    }
  }
  return v;  // not reached while the window holds more than k entries
}

int32_t RankWindow::PrevPresent(int32_t v) const {
  const int32_t to = v - 1;  // v > 0: a value below the k-th exists
  int32_t w = to >> 6;
  const uint64_t here = present_[w] & (~uint64_t{0} >> (63 - (to & 63)));
  if (here != 0) return (w << 6) + 63 - std::countl_zero(here);
  --w;
  for (int32_t s = w >> 6; s >= 0 && w >= 0; --s) {
    const uint64_t mask = s == (w >> 6) ? ~uint64_t{0} >> (63 - (w & 63)) : ~uint64_t{0};
    const uint64_t words = summary_[s] & mask;
    if (words != 0) {
      const int32_t word = (s << 6) + 63 - std::countl_zero(words);
      return (word << 6) + 63 - std::countl_zero(present_[word]);
    }
  }
  return v;  // not reached while k entries lie below
}

void RankWindow::Replace(int16_t old, int16_t value) {
  if (old == value) return;
  Remove(old + kOffset);
  Add(value + kOffset);
  // Keep below_ <= k < below_ + count_[kth_].
  while (below_ > k_) {
    kth_ = PrevPresent(kth_);
    below_ -= count_[kth_];
  }
  while (below_ + count_[kth_] <= k_) {
    below_ += count_[kth_];
    kth_ = NextPresent(kth_);
  }
}

}  // namespace nel::dsp
