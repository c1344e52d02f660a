#!/usr/bin/python3
"""Writes the reference taps that tests/dsp/filter_design_test.cpp compares with.

Independent of the library: the taps come from scipy.signal.firwin (Hamming
window, scaled to unit gain in the pass band, fs=1.0 so that cut-offs are
fractions of the sample rate). Run with Debian's python3 (it has python3-scipy):

    /usr/bin/python3 tools/make_filter_reference.py [OUTPUT_DIR]

OUTPUT_DIR defaults to tests/dsp/data. It writes
  filter_reference.txt   every fixed design of the library, as text;
  pulse_smoothing_taps.bin  the N-tap pulse-amplitude smoothing low-pass for
                         N = 11..800 in order, N little-endian doubles each, with
                         cut-off 5.0 / N computed in single precision.
"""
import os
import sys

import numpy as np
from scipy.signal import firwin


def f32(x):
    return float(np.float32(x))


def lowpass(n, fc):
    return firwin(n, fc, window="hamming", scale=True, fs=1.0)


def highpass(n, fc):
    return firwin(n, fc, window="hamming", pass_zero=False, scale=True, fs=1.0)


def bandstop(n, lo, hi):
    return firwin(n, [lo, hi], window="hamming", pass_zero=True, scale=True, fs=1.0)


# name, kind, taps, first frequency, second frequency (0 when unused)
DESIGNS = [
    # waveform filter bank and ECG heart-rate tracker (1000 samples per second)
    ("ecg_bandstop", "bandstop", 501, 0.045, 0.055),
    ("ecg_lowpass", "lowpass", 501, 0.035, 0.0),
    ("pcg_lowpass", "lowpass", 501, 0.12, 0.0),
    ("pcg_highpass", "highpass", 501, 0.04, 0.0),
    ("pulse_wide", "lowpass", 2001, 0.022, 0.0),
    ("pulse_base", "lowpass", 2001, 0.0003, 0.0),
    ("pulse_narrow", "lowpass", 2001, 0.005, 0.0),
    # BP sequencer, at the decimated rate of 100 samples per second; the wide
    # cut-offs are products taken in single precision, the baseline cut-off is
    # the single-precision 0.0001 widened to double
    ("bp_wide", "lowpass", 201, f32(np.float32(15.0) * np.float32(0.01)), 0.0),
    ("bp_wide_raw", "lowpass", 201, f32(np.float32(9.0) * np.float32(0.01)), 0.0),
    ("bp_narrow", "lowpass", 201, 0.05, 0.0),
    ("bp_base", "lowpass", 201, f32(0.0001), 0.0),
]


def design(kind, n, f1, f2):
    if kind == "lowpass":
        return lowpass(n, f1)
    if kind == "highpass":
        return highpass(n, f1)
    return bandstop(n, f1, f2)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "tests", "dsp", "data")
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "filter_reference.txt"), "w") as f:
        f.write("# written by tools/make_filter_reference.py (scipy.signal.firwin, hamming, scale)\n")
        f.write("# design NAME KIND TAPS F1 F2, then TAPS lines of taps\n")
        for name, kind, n, f1, f2 in DESIGNS:
            f.write("design %s %s %d %.17g %.17g\n" % (name, kind, n, f1, f2))
            for t in design(kind, n, f1, f2):
                f.write("%.17g\n" % t)
    taps = []
    for n in range(11, 801):
        fc = f32(np.float32(5.0) / np.float32(n))
        taps.append(lowpass(n, fc))
    np.concatenate(taps).astype("<f8").tofile(os.path.join(out, "pulse_smoothing_taps.bin"))


if __name__ == "__main__":
    main()
