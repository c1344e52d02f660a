"""ctypes view of libnel_c: the records of <nel/nel_c.h> and the prototypes of its calls.

The library is found, in this order, at the path in NEL_C_LIBRARY, beside this
file (a package installed with pip carries its own copy), then by the system's
loader (libnel_c.so.1 installed with the C library).
"""

from __future__ import annotations

import ctypes
import os
from pathlib import Path

ABI_VERSION = 1

c_int16, c_int32, c_uint8, c_uint32, c_uint64, c_float, c_double = (
    ctypes.c_int16,
    ctypes.c_int32,
    ctypes.c_uint8,
    ctypes.c_uint32,
    ctypes.c_uint64,
    ctypes.c_float,
    ctypes.c_double,
)


class OpenParams(ctypes.Structure):
    _fields_ = [
        ("port", c_int32),
        ("category", c_int32),
        ("read_coeff", c_int32),
        ("virtual_unit", c_int32),
        ("speed", c_double),
        ("subject", ctypes.c_char_p),
        ("param_path", ctypes.c_char_p),
    ]


class Frame(ctypes.Structure):
    _fields_ = [("index", c_uint64), ("wave", c_float * 8), ("pressure", c_float * 6)]


class BPResultC(ctypes.Structure):
    _fields_ = [("sbp", c_int16), ("dbp", c_int16), ("map", c_int16), ("reserved", c_int16), ("status", c_int32)]


class StatusC(ctypes.Structure):
    _fields_ = [
        ("pulse_rate", c_int32),
        ("bp", BPResultC * 6),
        ("bp_end", c_uint8),
        ("signal_check_end", c_uint8),
        ("hold_end", c_uint8),
        ("record_end", c_uint8),
        ("cvrr_end", c_uint8),
        ("exercise_end", c_uint8),
        ("device_lost", c_uint8),
        ("reserved", c_uint8),
        ("exercise_stage", c_int32),
        ("frames", c_uint64),
        ("dropped_frames", c_uint64),
        ("dropped_bytes", c_uint64),
    ]


class LayoutC(ctypes.Structure):
    _fields_ = [("wave_count", c_int32), ("waves", c_int32 * 8), ("cuff_count", c_int32), ("cuffs", c_int32 * 6)]


class SafetyReportC(ctypes.Structure):
    _fields_ = [
        ("reason", c_int32),
        ("line", c_int32),
        ("pressure", c_float),
        ("ceiling", c_float),
        ("seconds", c_float),
        ("stop_count", c_int32),
    ]


class LimbBP(ctypes.Structure):
    _fields_ = [("sbp", c_int16), ("dbp", c_int16), ("map", c_int16)]


class AnalysisResultC(ctypes.Structure):
    _fields_ = [
        ("result", c_int32),
        ("heart_rate", c_int32),
        ("right_abi", c_float),
        ("left_abi", c_float),
        ("right_bai", c_float),
        ("left_bai", c_float),
        ("right_tbi", c_float),
        ("left_tbi", c_float),
        ("right_bti", c_float),
        ("left_bti", c_float),
        ("right_pwv", c_float),
        ("left_pwv", c_float),
        ("map_percent", c_int16 * 4),
        ("upstroke_time", c_int16 * 4),
        ("pep", c_int16),
        ("et", c_int16),
        ("aix", c_int16),
        ("reserved", c_int16),
        ("bad_sample_kind", c_int32),
        ("bad_sample_record", c_int32),
    ]


class WaveSample(ctypes.Structure):
    _pack_ = 1
    _fields_ = [("wave", c_float * 6), ("mark", c_uint8 * 6)]


class CVRRResultC(ctypes.Structure):
    _pack_ = 1
    _fields_ = [
        ("data_len", c_int32),
        ("r_count", c_int32),
        ("r_pos", c_int32 * 1200),
        ("mean_rr", c_float),
        ("heart_rate", c_float),
        ("cvrr", c_float),
        ("mean_dev", c_float),
        ("over50_count", c_int32),
        ("over50_ratio", c_float),
        ("rr_range", c_int32),
        ("min_max_ratio", c_float),
        ("rr_count", c_int32),
        ("rr", c_int32 * 1200),
    ]


class ExerciseConfigC(ctypes.Structure):
    _pack_ = 1
    _fields_ = [
        ("reserved0", c_uint8 * 6),
        ("check_count", c_int16),
        ("timing_mode", c_int16),
        ("interval_minutes", c_int32),
        ("pause_seconds", c_int32),
        ("reserved1", c_uint8 * 8),
        ("bp_mode", c_int32),
        ("max_pressure", c_int16),
        ("reserved2", c_uint8 * 2),
    ]


class ExerciseCheckC(ctypes.Structure):
    _pack_ = 1
    _fields_ = [
        ("bp", (c_int16 * 3) * 4),
        ("time", c_int32),
        ("right_abi", c_float),
        ("left_abi", c_float),
        ("right_bai", c_float),
        ("left_bai", c_float),
    ]


class ExerciseRecordC(ctypes.Structure):
    _pack_ = 1
    _fields_ = [("check_num", c_int16), ("check", ExerciseCheckC * 10), ("config", ExerciseConfigC)]


# The layouts the C header asserts; a mismatch here is a broken binding, not a user error.
_SIZES = {
    OpenParams: 24 + 2 * ctypes.sizeof(ctypes.c_void_p),
    Frame: 64,
    BPResultC: 12,
    StatusC: 112,
    LayoutC: 64,
    SafetyReportC: 24,
    LimbBP: 6,
    AnalysisResultC: 80,
    WaveSample: 30,
    CVRRResultC: 9644,
    ExerciseConfigC: 34,
    ExerciseCheckC: 44,
    ExerciseRecordC: 476,
}
for _t, _size in _SIZES.items():
    if ctypes.sizeof(_t) != _size:
        raise ImportError(f"nel: {_t.__name__} is {ctypes.sizeof(_t)} bytes, the C interface has {_size}")


def _load() -> ctypes.CDLL:
    candidates = []
    if os.environ.get("NEL_C_LIBRARY"):
        candidates.append(os.environ["NEL_C_LIBRARY"])
    candidates += [str(p) for p in sorted(Path(__file__).parent.glob("libnel_c.so*"))]
    candidates.append("libnel_c.so.1")
    errors = []
    for c in candidates:
        try:
            return ctypes.CDLL(c)
        except OSError as e:
            errors.append(f"{c}: {e}")
    raise ImportError("nel: libnel_c not found (set NEL_C_LIBRARY): " + "; ".join(errors))


lib = _load()

_P = ctypes.POINTER
_dev = ctypes.c_void_p
_PROTOTYPES = {
    "nel_abi_version": (c_uint32, []),
    "nel_library_version": (c_uint32, []),
    "nel_result_text": (ctypes.c_char_p, [c_int32]),
    "nel_last_error_code": (c_int32, []),
    "nel_last_error_text": (ctypes.c_char_p, []),
    "nel_open_params_init": (c_int32, [_P(OpenParams)]),
    "nel_open": (c_int32, [_P(OpenParams), _P(_dev)]),
    "nel_close": (c_int32, [_dev]),
    "nel_read_frames": (c_int32, [_dev, _P(Frame), c_int32, _P(c_int32)]),
    "nel_wait_frames": (c_int32, [_dev, c_int32]),
    "nel_frames_descriptor": (c_int32, [_dev, _P(c_int32)]),
    "nel_get_status": (c_int32, [_dev, _P(StatusC)]),
    "nel_get_layout": (c_int32, [_dev, _P(LayoutC)]),
    "nel_get_safety_report": (c_int32, [_dev, _P(SafetyReportC)]),
    "nel_bp_start": (c_int32, [_dev, c_int32, c_int32, _P(c_uint8), c_int32]),
    "nel_bp_cancel": (c_int32, [_dev]),
    "nel_hold_start": (c_int32, [_dev, c_int32]),
    "nel_hold_cancel": (c_int32, [_dev, c_int32]),
    "nel_record_start": (c_int32, [_dev]),
    "nel_record_read": (c_int32, [_dev, _P(WaveSample), c_int32, _P(c_int32)]),
    "nel_record_cancel": (c_int32, [_dev]),
    "nel_signal_check_start": (c_int32, [_dev]),
    "nel_signal_check_cancel": (c_int32, [_dev]),
    "nel_signal_check_get_result": (c_int32, [_dev, _P(c_int32), _P(c_int32)]),
    "nel_cvrr_start": (c_int32, [_dev, c_int32]),
    "nel_cvrr_get_progress": (c_int32, [_dev, _P(c_int32)]),
    "nel_cvrr_get_result": (c_int32, [_dev, _P(CVRRResultC), _P(c_uint32)]),
    "nel_cvrr_cancel": (c_int32, [_dev]),
    "nel_exercise_start": (c_int32, [_dev, _P(ExerciseConfigC)]),
    "nel_exercise_get_progress": (c_int32, [_dev, _P(c_int32), _P(c_int32)]),
    "nel_exercise_get_record": (c_int32, [_dev, _P(ExerciseRecordC)]),
    "nel_exercise_cancel": (c_int32, [_dev]),
    "nel_cancel_all": (c_int32, [_dev]),
    "nel_analyse_record": (
        c_int32,
        [_dev, _P(c_int32), c_int32, _P(WaveSample), c_int32, _P(LimbBP), c_int32, c_int32, c_float, c_int32,
         _P(AnalysisResultC)],
    ),
}
for _name, (_res, _args) in _PROTOTYPES.items():
    _f = getattr(lib, _name)
    _f.restype = _res
    _f.argtypes = _args

if lib.nel_abi_version() != ABI_VERSION:
    raise ImportError(f"nel: libnel_c speaks interface {lib.nel_abi_version()}, this package {ABI_VERSION}")
