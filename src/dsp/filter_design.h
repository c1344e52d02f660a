// Linear-phase windowed-sinc FIR designs with a Hamming window.
//
// Frequencies are fractions of the sample rate (0.035 at 1000 samples per
// second is 35 Hz). A design of N taps is the ideal impulse response of the
// band, centred on (N - 1) / 2, times a Hamming window
// 0.54 - 0.46 cos(2 pi n / (N - 1)), divided by its gain in the pass band: at
// zero frequency for the low-pass and the band-stop, at half the sample rate
// for the high-pass. Taps are in double precision and symmetric.
//
// The designs write into the caller's array and allocate nothing. A design
// whose arguments are out of range returns false and leaves the array as it was.
#pragma once

#include <span>
#include <vector>

namespace nel::dsp {

// Low-pass with cut-off `cutoff`, 0 < cutoff < 0.5; any tap count of 1 or more.
bool DesignLowpass(double cutoff, std::span<double> taps);

// High-pass with cut-off `cutoff`, 0 < cutoff < 0.5. The tap count must be odd:
// a symmetric filter of even length always has a zero at half the sample rate,
// where this design is normalised.
bool DesignHighpass(double cutoff, std::span<double> taps);

// Band-stop removing `low` to `high`, 0 < low < high < 0.5; any tap count of 1
// or more.
bool DesignBandstop(double low, double high, std::span<double> taps);

// Convenience forms for code that designs once at construction: the taps, or
// an empty vector when the arguments are out of range (or count < 1).
std::vector<double> LowpassTaps(int count, double cutoff);
std::vector<double> HighpassTaps(int count, double cutoff);
std::vector<double> BandstopTaps(int count, double low, double high);

}  // namespace nel::dsp
