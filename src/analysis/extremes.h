// Leaving out the largest and the smallest value of a short series before a mean.
#pragma once

#include <cstdint>

namespace nel::analysis {

// Zeroes the largest and then the smallest of v[0..n-1] (n >= 1; the first of
// equal values), so that a sum of the series leaves both out.
template <typename T>
void ZeroExtremes(T* v, int32_t n) {
  int32_t hi = 0, lo = 0;
  for (int32_t i = 1; i < n; ++i) {
    if (v[i] > v[hi]) hi = i;
    if (v[i] < v[lo]) lo = i;
  }
  v[hi] = T{};
  v[lo] = T{};
}

}  // namespace nel::analysis
