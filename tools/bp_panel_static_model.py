#!/usr/bin/env python3
# Where the accuracy panel's errors come from: the virtual unit's arterial wave
# and artery under a static cuff pressure, the oscillation in the cuff through
# the sequencer's 5 Hz smoothing filter (201 taps, Hamming, 0.05 of 100/s),
# amplitude = peak - foot per beat, and the KR characteristic ratios applied to
# that envelope. No inflation, no recognition, no device: what the model and
# the prescribed smoothing and ratios give before any measurement dynamics.
#
#   /usr/bin/python3 tools/bp_panel_static_model.py [PANEL.json]
#
# Without an argument it prints a few cases; with the JSON written by
# `bp_panel --json` it predicts every subject's error and compares it with the
# measured one. The model constants mirror sim/physiology.cpp and
# sim/pneumatics.cpp (defaults of sim/README.md): keep them in step.
import json
import sys

import numpy as np
from scipy.signal import firwin, lfilter

A_MAX, P_POS, P_NEG = 0.20, 16.0, 10.0
A0 = A_MAX * P_NEG / (P_POS + P_NEG)
SMOOTH = firwin(201, 0.1, window="hamming")  # 0.05 of the rate = 0.1 of Nyquist


def lumen(x):
    return np.where(x >= 0, A_MAX - (A_MAX - A0) * np.exp(-x / P_POS), A0 * np.exp(x / P_NEG))


def compliance(p):
    return 2.0 * (0.3067 + (1 - 0.3067) * np.exp(-p / 100.0))


def shape(tau, period, rise, lvet):
    notch = min(lvet, 0.8 * period)
    rise = min(rise, 0.6 * notch)
    out = np.zeros_like(tau)
    m = tau < rise
    out[m] = 0.5 * (1 - np.cos(np.pi * tau[m] / rise))
    m = (tau >= rise) & (tau < notch)
    out[m] = 1 - 0.28 * ((tau[m] - rise) / (notch - rise)) ** 1.5
    m = tau >= notch
    e = np.exp(-(period - notch) / 0.35)
    out[m] = 0.72 * (np.exp(-(tau[m] - notch) / 0.35) - e) / (1 - e)
    return out  # the small dicrotic wave is left out


def kr_ratios(map_):
    for limit, rs, rd in [(50, 0.6228, 0.5262), (68, 0.5685, 0.592), (84, 0.5629, 0.611),
                          (104, 0.5442, 0.6102), (141, 0.5434, 0.59), (190, 0.5411, 0.5998)]:
        if map_ < limit:
            return rs, rd
    return 0.515, 0.5773


def predicted_error(sbp, dbp, hr, smooth=True, rise=0.10):
    period = 60.0 / hr
    lvet = max(0.16, 0.413 - 0.0017 * hr)
    t = np.arange(0, 20, 0.01)
    art = dbp + (sbp - dbp) * shape(np.mod(t, period), period, rise, lvet)
    n = int(period / 0.01)
    cuff = np.arange(30.0, sbp + 40.0, 1.0)
    env = []
    for p in cuff:
        v = lumen(art - p) / compliance(p)
        y = (lfilter(SMOOTH, 1, v) if smooth else v)[400:]
        env.append(np.mean([y[k:k + n].max() - y[k:k + n].min() for k in range(0, len(y) - n, n)]))
    env = np.array(env)
    m = env.argmax()
    rs, rd = kr_ratios(cuff[m])
    hi, lo = slice(m + 1, None), slice(0, m)
    ps = np.interp(rs, (env[hi] / env[m])[::-1], cuff[hi][::-1])
    pd = np.interp(rd, env[lo] / env[m], cuff[lo])
    return ps - sbp, pd - dbp


def main():
    if len(sys.argv) < 2:
        for s, d, hr in [(120, 80, 70), (120, 80, 105), (160, 70, 60), (160, 70, 105), (200, 110, 100)]:
            print("%d/%d HR %d: smoothed %+.1f/%+.1f, unsmoothed %+.1f/%+.1f" %
                  ((s, d, hr) + predicted_error(s, d, hr) + predicted_error(s, d, hr, smooth=False)))
        return
    cases = [c for c in json.load(open(sys.argv[1]))["cases"] if c["status"] == "ok"]
    pred = np.array([predicted_error(c["true_sbp"], c["true_dbp"], c["heart_rate_bpm"]) for c in cases])
    meas = np.array([(c["sbp"] - c["true_sbp"], c["dbp"] - c["true_dbp"]) for c in cases], dtype=float)
    for name, e in (("static model", pred), ("measured", meas), ("measured - static", meas - pred)):
        print("%-18s SBP mean %+.2f SD %.2f, DBP mean %+.2f SD %.2f" %
              (name, e[:, 0].mean(), e[:, 0].std(ddof=1), e[:, 1].mean(), e[:, 1].std(ddof=1)))
    print("correlation of measured with static errors: SBP %.2f, DBP %.2f" %
          (np.corrcoef(meas[:, 0], pred[:, 0])[0, 1], np.corrcoef(meas[:, 1], pred[:, 1])[0, 1]))


if __name__ == "__main__":
    main()
