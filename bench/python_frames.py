"""Python reading frames from the virtual unit at 50 times real time: are all delivered?

    NEL_C_LIBRARY=build/capi/libnel_c.so PYTHONPATH=python python3 bench/python_frames.py [SECONDS] [SPEED]

Streams for SECONDS of real time (default 20) at SPEED (default 50), reading
with Device.read_frames as a host would, and prints the frames read, the rate
as a multiple of real time, the gaps in the frame indices, the frames the queue
dropped, the bytes the receive ring dropped, and the share of one core the
Python reader used. Exits 1 when anything was lost.
"""
import os
import sys
import tempfile
import time

import numpy as np

import nel

seconds = float(sys.argv[1]) if len(sys.argv) > 1 else 20.0
speed = float(sys.argv[2]) if len(sys.argv) > 2 else 50.0
os.environ.setdefault("NEL_PORT_DIR", tempfile.mkdtemp(prefix="nel_bench_ports_"))

with nel.Device.open(virtual=True, speed=speed) as dev:
    dev.stream(seconds=1.0)  # past the start of sampling
    gaps = 0
    read = 0
    last = None
    t0, c0 = time.monotonic(), time.process_time()
    while time.monotonic() - t0 < seconds:
        dev.wait_frames(1.0)
        f = dev.read_frames()
        if len(f) == 0:
            continue
        if last is not None and f.index[0] != last + 1:
            gaps += 1
        gaps += int(np.count_nonzero(np.diff(f.index.astype(np.int64)) != 1))
        last = int(f.index[-1])
        read += len(f)
    wall, cpu = time.monotonic() - t0, time.process_time() - c0
    st = dev.status()

print(f"speed {speed:g}: {read} frames in {wall:.1f} s = {read / wall / 1000:.1f} times real time; "
      f"index gaps {gaps}, dropped frames {st.dropped_frames}, dropped bytes {st.dropped_bytes}; "
      f"process CPU {cpu / wall:.2f} cores (reader and acquisition)")
sys.exit(0 if gaps == 0 and st.dropped_frames == 0 and st.dropped_bytes == 0 else 1)
