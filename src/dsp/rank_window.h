// The k-th smallest of a window of int16 values, kept as one value leaves and
// one enters: a count per value, a bitmap of the values present (with a summary
// of its non-empty words), and the k-th smallest with the number of values
// below it. A replacement moves the k-th smallest by at most one occupied value,
// found with a bit scan, so each step costs a few word operations whatever the
// window's length or spread. The result is the same value a sort of the window
// gives. Nothing allocates after construction (the counts live in the object,
// 72 KiB).
#pragma once

#include <cstdint>

namespace nel::dsp {

class RankWindow {
 public:
  // The window holds `length` copies of `fill`; Value() is its k-th smallest
  // (k counted from 0, k < length).
  void Reset(int32_t length, int32_t k, int16_t fill);
  // One entry equal to `old` (which must be in the window) becomes `value`.
  void Replace(int16_t old, int16_t value);
  int16_t Value() const { return static_cast<int16_t>(kth_ - kOffset); }

 private:
  static constexpr int32_t kOffset = 32768;
  static constexpr int32_t kValues = 65536;
  static constexpr int32_t kWords = kValues / 64;
  void Add(int32_t v);
  void Remove(int32_t v);
  int32_t NextPresent(int32_t v) const;  // smallest present value above v
  int32_t PrevPresent(int32_t v) const;  // largest present value below v

  uint8_t count_[kValues];  // a window of up to 255 entries
  uint64_t present_[kWords];
  uint64_t summary_[kWords / 64];
  int32_t k_ = 0;
  int32_t kth_ = 0;    // the k-th smallest, offset to 0..65535
  int32_t below_ = 0;  // entries below kth_
};

}  // namespace nel::dsp
