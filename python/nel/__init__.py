"""Host library of the vascular screening unit, for Python.

A thin layer over the C interface (libnel_c): numpy arrays for waves, data
classes for results, :class:`NelError` carrying the library's result codes, and
a :class:`Device` context manager that always stops every pump, opens every
valve and closes the port on the way out, whatever happened inside.

    import nel
    with nel.Device.open(virtual=True, speed=20) as dev:
        frames = dev.stream(seconds=10)           # Frames: numpy arrays
        results = dev.measure_bp(["RBra", "LBra", "RAnk", "LAnk"])
"""

from __future__ import annotations

import ctypes
import enum
import time
from dataclasses import dataclass
from typing import Callable, Iterable, Optional, Sequence

import numpy as np

from . import _native as _n

__all__ = [
    "AnalysisResult",
    "BPResult",
    "CVRRResult",
    "Device",
    "ExerciseCheck",
    "Frames",
    "NelError",
    "Record",
    "Result",
    "SafetyReport",
    "Status",
    "analyse_record",
    "library_version",
]

CHANNELS = ("RBra", "LBra", "RAnk", "LAnk", "RToe", "LToe")
WAVE_KINDS = ("ECG", "PCG", "RBra", "LBra", "RAnk", "LAnk", "RToe", "LToe")
BP_STATUS = ("measuring", "ok", "overtime", "failed", "remeasure", "restart", "overpressure", "stopped")
SAFETY_REASONS = ("none", "overpressure", "time limit", "unit silent", "device lost")


class Result(enum.IntEnum):
    """Result codes of the C interface (nel_result)."""

    OK = 0
    INVALID_ARGUMENT = 1
    NOT_OPEN = 2
    NO_UNIT = 3
    PORT_BUSY = 4
    TIMEOUT = 5
    DEVICE_LOST = 6
    BAD_REPLY = 7
    REFUSED = 8
    NO_MEMORY = 9
    BAD_FILE = 10
    SAFETY_STOP = 11
    NO_VIRTUAL_UNIT = 12


class NelError(Exception):
    """A call of the library failed: ``code`` (a :class:`Result`) and the library's reason."""

    def __init__(self, code: int, reason: str):
        try:
            self.code: Result | int = Result(code)
        except ValueError:
            self.code = code
        self.reason = reason
        super().__init__(f"{_n.lib.nel_result_text(code).decode()}: {reason}")


def _check(code: int) -> None:
    if code != 0:
        raise NelError(code, (_n.lib.nel_last_error_text() or b"").decode("utf-8", "replace"))


def library_version() -> int:
    """Version of the processing library (0x0001002B)."""
    return int(_n.lib.nel_library_version())


@dataclass(frozen=True)
class Frames:
    """Frames read from the device: one row per frame (1000 a second of the unit's time)."""

    index: np.ndarray  # uint64, frames since sampling started
    waves: np.ndarray  # float32 (n, wave count): filtered waves in wave-list order
    pressures: np.ndarray  # float32 (n, cuff count): mmHg per cuff in cuff-list order
    wave_kinds: tuple[str, ...]
    cuffs: tuple[str, ...]

    def __len__(self) -> int:
        return len(self.index)


@dataclass(frozen=True)
class BPResult:
    """One cuff's measurement: pressures in mmHg (-1 while none) and its status name."""

    channel: str
    sbp: int
    dbp: int
    map: int
    status: str


@dataclass(frozen=True)
class Status:
    pulse_rate: int
    bp: tuple[BPResult, ...]  # per cuff of the cuff list
    bp_end: bool
    signal_check_end: bool
    hold_end: bool
    record_end: bool
    cvrr_end: bool
    exercise_end: bool
    device_lost: bool
    exercise_stage: int
    frames: int
    dropped_frames: int  # frames the host did not read in time
    dropped_bytes: int  # bytes of the unit lost before processing (the host ran too few passes)


@dataclass(frozen=True)
class SafetyReport:
    reason: str
    line: int
    pressure: float
    ceiling: float
    seconds: float
    stop_count: int


@dataclass
class Record:
    """A wave record: ``waves`` (n, k) float32 and ``marks`` (n, k) uint8 of the kinds ``kinds``."""

    kinds: tuple[str, ...]
    waves: np.ndarray
    marks: np.ndarray


@dataclass(frozen=True)
class AnalysisResult:
    result: int  # 0 complete, 1 no record, 2 bad sample rate, 3 bad sample, 4 no heart sounds, 5 no memory
    heart_rate: int
    right_abi: float
    left_abi: float
    right_bai: float
    left_bai: float
    right_tbi: float
    left_tbi: float
    right_bti: float
    left_bti: float
    right_pwv: float
    left_pwv: float
    map_percent: tuple[int, ...]
    upstroke_time: tuple[int, ...]
    pep: int
    et: int
    aix: int
    bad_sample_kind: int
    bad_sample_record: int

    @property
    def complete(self) -> bool:
        return self.result == 0


@dataclass(frozen=True)
class CVRRResult:
    data_len: int
    r_positions: np.ndarray
    rr_ms: np.ndarray
    mean_rr: float
    heart_rate: float
    cvrr: float
    mean_dev: float
    over50_count: int
    over50_ratio: float
    rr_range: int
    min_max_ratio: float
    conclusion: int


@dataclass(frozen=True)
class ExerciseCheck:
    bp: tuple[tuple[int, int, int], ...]  # SBP, DBP, MAP of right arm, left arm, right ankle, left ankle
    time: int  # hhmmss
    right_abi: float
    left_abi: float
    right_bai: float
    left_bai: float


def _records_to_c(record: Record) -> ctypes.Array:
    n = record.waves.shape[0]
    buf = (_n.WaveSample * n)()
    view = np.frombuffer(buf, dtype=np.dtype([("wave", "<f4", 6), ("mark", "u1", 6)]), count=n)
    k = len(record.kinds)
    view["wave"][:, :k] = record.waves
    view["mark"][:, :k] = record.marks
    return buf


def _record_from_c(buf: ctypes.Array, n: int, kinds: Sequence[str]) -> Record:
    view = np.frombuffer(buf, dtype=np.dtype([("wave", "<f4", 6), ("mark", "u1", 6)]), count=n)
    k = len(kinds)
    return Record(tuple(kinds), view["wave"][:, :k].copy(), view["mark"][:, :k].copy())


def _analysis_from_c(r: _n.AnalysisResultC) -> AnalysisResult:
    return AnalysisResult(
        r.result, r.heart_rate, r.right_abi, r.left_abi, r.right_bai, r.left_bai, r.right_tbi, r.left_tbi,
        r.right_bti, r.left_bti, r.right_pwv, r.left_pwv, tuple(r.map_percent), tuple(r.upstroke_time),
        r.pep, r.et, r.aix, r.bad_sample_kind, r.bad_sample_record,
    )


def _analyse(handle, record: Record, limbs, ankle: bool, height_cm: int, pwv_factor: float,
             low_pass: bool) -> AnalysisResult:
    kinds = (ctypes.c_int32 * len(record.kinds))(*[WAVE_KINDS.index(k) for k in record.kinds])
    limb_c = (_n.LimbBP * 4)(*[_n.LimbBP(*(limbs[i] if limbs and limbs[i] else (-1, -1, -1))) for i in range(4)])
    buf = _records_to_c(record)
    out = _n.AnalysisResultC()
    _check(_n.lib.nel_analyse_record(handle, kinds, len(record.kinds), buf, record.waves.shape[0], limb_c,
                                     int(ankle), height_cm, pwv_factor, int(low_pass), ctypes.byref(out)))
    record.marks[:] = _record_from_c(buf, record.waves.shape[0], record.kinds).marks
    return _analysis_from_c(out)


def analyse_record(record: Record, limbs: Optional[Sequence[Optional[tuple[int, int, int]]]] = None, *,
                   ankle: bool = True, height_cm: int = 170, pwv_factor: float = 0.0,
                   low_pass: bool = False) -> AnalysisResult:
    """Analyses a record with no device open (see :meth:`Device.analyse` otherwise); writes its marks.

    ``limbs``: (SBP, DBP, MAP) of right arm, left arm, right and left lower limb, None where not measured.
    """
    return _analyse(None, record, limbs, ankle, height_cm, pwv_factor, low_pass)


class Device:
    """One acquisition unit. Use :meth:`open` in a ``with`` block: leaving it cancels every
    mode, stops every pump, opens every valve and closes the port."""

    def __init__(self, handle: int):
        self._h = ctypes.c_void_p(handle)
        self._layout = self._read_layout()

    @classmethod
    def open(cls, port: int = 0, *, category: int = 0, virtual: bool = False, speed: float = 1.0,
             subject: Optional[str] = None, read_coeff: bool = True, param_path: Optional[str] = None) -> "Device":
        """Finds the unit (``port`` 0 searches 1..149) or serves the built-in virtual unit
        (``virtual=True``, ``speed`` times real time), and starts sampling."""
        p = _n.OpenParams()
        _check(_n.lib.nel_open_params_init(ctypes.byref(p)))
        p.port, p.category, p.read_coeff, p.virtual_unit, p.speed = port, category, int(read_coeff), int(virtual), speed
        p.subject = subject.encode() if subject else None
        p.param_path = param_path.encode() if param_path else None
        h = ctypes.c_void_p()
        _check(_n.lib.nel_open(ctypes.byref(p), ctypes.byref(h)))
        return cls(h.value)

    def close(self) -> None:
        """Cancels every mode, deflates every cuff, closes the port. Safe to call twice."""
        if self._h.value:
            h, self._h = self._h, ctypes.c_void_p()
            _check(_n.lib.nel_close(h))

    def __enter__(self) -> "Device":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    def _handle(self) -> ctypes.c_void_p:
        if not self._h.value:
            raise NelError(Result.NOT_OPEN, "the device is closed")
        return self._h

    # ---- layout, frames, status ----------------------------------------------
    def _read_layout(self) -> _n.LayoutC:
        out = _n.LayoutC()
        _check(_n.lib.nel_get_layout(self._handle(), ctypes.byref(out)))
        return out

    @property
    def wave_kinds(self) -> tuple[str, ...]:
        return tuple(WAVE_KINDS[self._layout.waves[i]] for i in range(self._layout.wave_count))

    @property
    def cuffs(self) -> tuple[str, ...]:
        return tuple(CHANNELS[self._layout.cuffs[i]] for i in range(self._layout.cuff_count))

    def read_frames(self, max_frames: int = 30000) -> Frames:
        """The frames that arrived since the last read (at most ``max_frames``), oldest first."""
        buf = (_n.Frame * max_frames)()
        n = ctypes.c_int32()
        _check(_n.lib.nel_read_frames(self._handle(), buf, max_frames, ctypes.byref(n)))
        arr = np.frombuffer(buf, dtype=np.dtype([("index", "<u8"), ("wave", "<f4", 8), ("pressure", "<f4", 6)]),
                            count=n.value)
        w, k = self._layout.wave_count, self._layout.cuff_count
        return Frames(arr["index"].copy(), arr["wave"][:, :w].copy(), arr["pressure"][:, :k].copy(),
                      self.wave_kinds, self.cuffs)

    def wait_frames(self, timeout: float) -> bool:
        """True once a frame waits; False when ``timeout`` seconds passed first."""
        code = _n.lib.nel_wait_frames(self._handle(), int(timeout * 1000))
        if code == Result.TIMEOUT:
            return False
        _check(code)
        return True

    def fileno(self) -> int:
        """A descriptor readable while frames wait (for select, asyncio's add_reader)."""
        fd = ctypes.c_int32()
        _check(_n.lib.nel_frames_descriptor(self._handle(), ctypes.byref(fd)))
        return fd.value

    def stream(self, seconds: float, on_frames: Optional[Callable[[Frames], None]] = None) -> Frames:
        """Reads frames for ``seconds`` of the unit's time (1000 frames a second); returns them all."""
        want = int(seconds * 1000)
        parts: list[Frames] = []
        got = 0
        while got < want:
            if not self.wait_frames(5.0):
                raise NelError(Result.TIMEOUT, "no frame for 5 s")
            f = self.read_frames(want - got)
            if on_frames:
                on_frames(f)
            parts.append(f)
            got += len(f)
        return Frames(np.concatenate([p.index for p in parts]), np.concatenate([p.waves for p in parts]),
                      np.concatenate([p.pressures for p in parts]), self.wave_kinds, self.cuffs)

    def status(self) -> Status:
        s = _n.StatusC()
        _check(_n.lib.nel_get_status(self._handle(), ctypes.byref(s)))
        bp = tuple(BPResult(c, s.bp[i].sbp, s.bp[i].dbp, s.bp[i].map,
                            BP_STATUS[s.bp[i].status] if 0 <= s.bp[i].status < 8 else str(s.bp[i].status))
                   for i, c in enumerate(self.cuffs))
        return Status(s.pulse_rate, bp, bool(s.bp_end), bool(s.signal_check_end), bool(s.hold_end),
                      bool(s.record_end), bool(s.cvrr_end), bool(s.exercise_end), bool(s.device_lost),
                      s.exercise_stage, s.frames, s.dropped_frames, s.dropped_bytes)

    def safety_report(self) -> SafetyReport:
        r = _n.SafetyReportC()
        _check(_n.lib.nel_get_safety_report(self._handle(), ctypes.byref(r)))
        reason = SAFETY_REASONS[r.reason] if 0 <= r.reason < len(SAFETY_REASONS) else str(r.reason)
        return SafetyReport(reason, r.line, r.pressure, r.ceiling, r.seconds, r.stop_count)

    def _until(self, done: Callable[[Status], bool], timeout: float, what: str,
               on_frames: Optional[Callable[[Frames], None]] = None) -> Status:
        """Reads frames (so that none is lost) until ``done(status)``; cancels every mode on timeout."""
        deadline = time.monotonic() + timeout
        while True:
            self.wait_frames(0.05)
            f = self.read_frames()
            if on_frames and len(f):
                on_frames(f)
            st = self.status()
            if done(st):
                return st
            if time.monotonic() > deadline:
                self.cancel_all()
                raise NelError(Result.TIMEOUT, f"{what} did not end within {timeout:.0f} s")

    # ---- modes ----------------------------------------------------------------
    def start_bp(self, cuffs: Iterable[str], *, mode: int = 2, max_pressure: int = 200, pulse_rate: int = 0) -> None:
        """Starts a measurement of ``cuffs`` (channel names); mode 0 sequential, 1 right then left, 2 simultaneous."""
        sel = (ctypes.c_uint8 * 6)(*[int(c in set(cuffs)) for c in CHANNELS])
        _check(_n.lib.nel_bp_start(self._handle(), mode, max_pressure, sel, pulse_rate))

    def measure_bp(self, cuffs: Iterable[str], *, mode: int = 2, max_pressure: int = 200, timeout: float = 600.0,
                   on_frames: Optional[Callable[[Frames], None]] = None) -> dict[str, BPResult]:
        """Measures and returns each cuff's result by channel name. Any exception (including
        KeyboardInterrupt) cancels the measurement, which deflates every cuff."""
        cuffs = list(cuffs)
        self.start_bp(cuffs, mode=mode, max_pressure=max_pressure)
        try:
            st = self._until(lambda s: s.bp_end, timeout, "the measurement", on_frames)
        except BaseException:
            self.cancel_all()
            raise
        self.cancel_bp()  # the end stays reported, and holds back every other mode, until the cancel
        return {r.channel: r for r in st.bp if r.channel in cuffs}

    def cancel_bp(self) -> None:
        _check(_n.lib.nel_bp_cancel(self._handle()))

    def hold(self, pressure: int) -> None:
        """Holds every cuff at ``pressure`` mmHg (10..200) until :meth:`cancel_hold`."""
        _check(_n.lib.nel_hold_start(self._handle(), pressure))

    def cancel_hold(self, deflate: bool = True) -> None:
        _check(_n.lib.nel_hold_cancel(self._handle(), int(deflate)))

    def record(self, timeout: float = 120.0) -> Record:
        """Records 15 s of every wave (after 2 s of settling) and returns the record."""
        _check(_n.lib.nel_record_start(self._handle()))
        try:
            self._until(lambda s: s.record_end, timeout, "the wave record")
            buf = (_n.WaveSample * 15000)()
            n = ctypes.c_int32()
            _check(_n.lib.nel_record_read(self._handle(), buf, 15000, ctypes.byref(n)))
        finally:
            _n.lib.nel_record_cancel(self._handle())
        return _record_from_c(buf, n.value, self.wave_kinds[:6])

    def analyse(self, record: Record, limbs=None, *, ankle: bool = True, height_cm: int = 170,
                pwv_factor: float = 0.0, low_pass: bool = False) -> AnalysisResult:
        """Analyses ``record`` on this device's thread (the ECG detector is shared); writes its marks."""
        return _analyse(self._handle(), record, limbs, ankle, height_cm, pwv_factor, low_pass)

    def signal_check(self, timeout: float = 120.0) -> tuple[np.ndarray, np.ndarray]:
        """Measures each wave's base and datum; returns them per wave position."""
        _check(_n.lib.nel_signal_check_start(self._handle()))
        try:
            self._until(lambda s: s.signal_check_end, timeout, "the signal check")
            base, datum = (ctypes.c_int32 * 8)(), (ctypes.c_int32 * 8)()
            _check(_n.lib.nel_signal_check_get_result(self._handle(), base, datum))
        finally:
            _n.lib.nel_signal_check_cancel(self._handle())
        w = self._layout.wave_count
        return np.array(base[:w]), np.array(datum[:w])

    def cvrr(self, length: int = 30000, timeout: float = 900.0) -> CVRRResult:
        """Records ``length`` ECG samples (30000..300000) and analyses the R-R variability.
        The device stays in the ECG and PCG category afterwards."""
        _check(_n.lib.nel_cvrr_start(self._handle(), length))
        self._layout = self._read_layout()
        r = _n.CVRRResultC()
        conclusion = ctypes.c_uint32()
        try:
            self._until(lambda s: s.cvrr_end, timeout, "the CVRR check")
            _check(_n.lib.nel_cvrr_get_result(self._handle(), ctypes.byref(r), ctypes.byref(conclusion)))
        finally:
            _n.lib.nel_cvrr_cancel(self._handle())
        return CVRRResult(r.data_len, np.array(r.r_pos[:r.r_count]), np.array(r.rr[:r.rr_count]), r.mean_rr,
                          r.heart_rate, r.cvrr, r.mean_dev, r.over50_count, r.over50_ratio, r.rr_range,
                          r.min_max_ratio, conclusion.value)

    def exercise(self, checks: int, *, pause_seconds: Optional[int] = None, interval_minutes: Optional[int] = None,
                 mode: int = 2, max_pressure: int = 200, timeout: float = 86400.0) -> list[ExerciseCheck]:
        """Runs the exercise protocol: ``checks`` measurements ``pause_seconds`` apart (from one's end
        to the next start) or every ``interval_minutes`` (start to start)."""
        cfg = _n.ExerciseConfigC()
        cfg.check_count, cfg.bp_mode, cfg.max_pressure = checks, mode, max_pressure
        if interval_minutes is not None:
            cfg.timing_mode, cfg.interval_minutes = 0, interval_minutes
        else:
            cfg.timing_mode, cfg.pause_seconds = 1, pause_seconds or 0
        _check(_n.lib.nel_exercise_start(self._handle(), ctypes.byref(cfg)))
        rec = _n.ExerciseRecordC()
        try:
            self._until(lambda s: s.exercise_end, timeout, "the exercise protocol")
            _check(_n.lib.nel_exercise_get_record(self._handle(), ctypes.byref(rec)))
        except BaseException:
            self.cancel_all()
            raise
        _check(_n.lib.nel_exercise_cancel(self._handle()))
        return [ExerciseCheck(tuple(tuple(c.bp[i][:]) for i in range(4)), c.time, c.right_abi, c.left_abi,
                              c.right_bai, c.left_bai) for c in rec.check[:min(rec.check_num, 10)]]

    def cancel_all(self) -> None:
        """Ends every mode, stops every pump and opens every valve."""
        _check(_n.lib.nel_cancel_all(self._handle()))
