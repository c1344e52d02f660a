// How many entries of an int16 array lie below each of two values: the
// running median of the ECG beat analyser uses it to find where a value
// leaves and where one enters its sorted window. CountBelow is the vector
// kernel (chosen at run time for the processor, Google Highway),
// CountBelowPlain the plain loop it is checked against; both give the same
// counts. Neither allocates.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nel::dsp {

struct CountsBelow {
  int32_t a;  // entries < a
  int32_t b;  // entries < b
};

CountsBelow CountBelow(const int16_t* values, std::size_t n, int16_t a, int16_t b);
CountsBelow CountBelowPlain(const int16_t* values, std::size_t n, int16_t a, int16_t b);
// Instruction set CountBelow runs with on this processor.
const char* CountBelowTarget();

}  // namespace nel::dsp
