"""The Python package against the built-in virtual unit: what a Python host relies on."""
import numpy as np
import pytest

import nel

SPEED = 20


@pytest.fixture
def dev():
    with nel.Device.open(virtual=True, speed=SPEED) as d:
        yield d


def test_four_cuffs_measured_with_frames_as_numpy_arrays(dev):
    assert dev.cuffs == ("RBra", "LBra", "RAnk", "LAnk")
    seen = []
    results = dev.measure_bp(dev.cuffs, on_frames=seen.append)
    assert set(results) == set(dev.cuffs)
    for r in results.values():
        assert r.status == "ok", r
        assert r.sbp > r.map > r.dbp > 0
    frames = dev.stream(seconds=1.0)
    assert frames.waves.dtype == np.float32 and frames.waves.shape == (1000, len(dev.wave_kinds))
    assert frames.pressures.shape == (1000, 4)
    assert np.all(np.diff(frames.index.astype(np.int64)) == 1)
    # every frame of the measurement reached the host
    index = np.concatenate([f.index for f in seen])
    assert np.all(np.diff(index.astype(np.int64)) == 1)
    status = dev.status()
    assert status.dropped_frames == 0 and status.dropped_bytes == 0


def _empties_within_10s(dev):
    frames = dev.stream(seconds=10.0)
    below = np.all(frames.pressures < 15.0, axis=1)
    return bool(below.any()) and bool(below[np.argmax(below):].all())


def test_over_pressure_ends_with_every_cuff_deflated(dev):
    results = dev.measure_bp(dev.cuffs, max_pressure=100)
    assert "overpressure" in {r.status for r in results.values()}
    assert _empties_within_10s(dev)


def test_an_exception_in_the_host_deflates_every_cuff(dev):
    class Stop(Exception):
        pass

    def stop_when_inflated(frames):
        if len(frames) and frames.pressures.max() > 60.0:
            raise Stop

    with pytest.raises(Stop):
        dev.measure_bp(dev.cuffs, on_frames=stop_when_inflated)
    assert [r.status for r in dev.status().bp] == ["stopped"] * 4
    assert _empties_within_10s(dev)


def test_record_and_its_analysis(dev):
    rec = dev.record()
    assert rec.waves.shape == (15000, len(rec.kinds)) and rec.kinds[0] == "ECG"
    limbs = [(120, 80, 93), (118, 78, 91), (130, 78, 95), (128, 77, 94)]
    with pytest.raises(nel.NelError) as e:  # the beat detector is busy with the device
        nel.analyse_record(rec, limbs)
    assert e.value.code == nel.Result.REFUSED
    result = dev.analyse(rec, limbs)
    assert result.complete
    assert result.right_abi == pytest.approx(130 / 120, rel=1e-6)
    assert 40 < result.heart_rate < 150
    assert (rec.marks[:, 0] == 1).sum() > 10  # R peaks written into the record


def test_errors_carry_the_library_code_and_reason(dev):
    with pytest.raises(nel.NelError) as e:
        dev.hold(5)
    assert e.value.code == nel.Result.INVALID_ARGUMENT and e.value.reason
    with pytest.raises(nel.NelError) as e:
        nel.Device.open(port=150)
    assert e.value.code == nel.Result.INVALID_ARGUMENT
    with pytest.raises(nel.NelError) as e:
        nel.Device.open(port=7)
    assert e.value.code == nel.Result.NO_UNIT
    dev.close()
    with pytest.raises(nel.NelError) as e:
        dev.status()
    assert e.value.code == nel.Result.NOT_OPEN
