"""The smallest useful Python host: stream ten seconds, measure four cuffs, record and analyse.

    python3 measure.py            # the built-in virtual unit (speed: NEL_EXAMPLE_SPEED, 1 by default)
    python3 measure.py PORT       # the unit on PORT (0 searches every port)
"""
import os
import sys

import nel

if len(sys.argv) > 1:
    device = nel.Device.open(int(sys.argv[1]))
else:
    device = nel.Device.open(virtual=True, speed=float(os.environ.get("NEL_EXAMPLE_SPEED", "1")))

with device as dev:  # leaving the block deflates every cuff and closes the port
    frames = dev.stream(seconds=10)
    print(f"10 s streamed: {len(frames)} frames of {', '.join(frames.wave_kinds)}; "
          f"ECG from {frames.waves[:, 0].min():.3f} to {frames.waves[:, 0].max():.3f}")

    results = dev.measure_bp(dev.cuffs)
    for r in results.values():
        print(f"{r.channel}  {r.sbp:3d}/{r.dbp:3d} mmHg  MAP {r.map:3d}  {r.status}")

    record = dev.record()
    limbs = [(r.sbp, r.dbp, r.map) for r in results.values()]
    a = dev.analyse(record, limbs)
    print(f"analysis {'complete' if a.complete else 'incomplete'}: heart rate {a.heart_rate}/min, "
          f"ABI right {a.right_abi:.2f} left {a.left_abi:.2f}, R peaks {(record.marks[:, 0] == 1).sum()}")
