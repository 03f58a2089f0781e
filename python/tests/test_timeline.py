"""A run with a reset data connection and a module restart, recorded by
`kr2270 acquire --reconnect --record`: the replay (`Recording`), the HDF5,
CSV and plot exports place every group at its true time. The simulated
module's counter 4 counts 4000 per second of model time, which runs on
through both faults, so each group's time can be checked against the
module's own clock."""
import os
import subprocess
import time

import numpy as np
import pytest

import kr2270
import kr2270.export
from kr2270 import plotting

BUILD = os.environ.get("KR2270_BUILD_DIR",
                       os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
                           os.path.abspath(__file__)))), "build"))
GROUPS, RATE = 40000, 8000.0
COUNTER_STEP = 1 / 4000.0
WINDOW = 200   # rows each side of a gap


def _size(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return -1


def _wait_for(ready, limit=60.0):
    """Polls a file's growth, which nothing else signals; bounded."""
    deadline = time.monotonic() + limit
    while not ready():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.005)
    return True


@pytest.fixture(scope="module")
def run(tmp_path_factory):
    if os.name == "nt":
        pytest.skip("the simulator's faults are POSIX signals")
    tool = os.path.join(BUILD, "tools", "kr2270", "kr2270")
    if not os.path.exists(tool):
        pytest.fail(f"not built: {tool}")
    directory = tmp_path_factory.mktemp("timeline")
    live = directory / "live.csv"
    partial = f"{live}.partial"
    with kr2270.Simulator() as sim:
        proc = subprocess.Popen(
            [tool, "acquire", "--host", sim.host, "--port", str(sim.port), "--data-port",
             str(sim.data_port), "--rate", "8k", "--channels", "1", "--counters", "4", "--groups",
             str(GROUPS), "--reconnect", "10", "--csv", str(live), "--record",
             str(directory / "rec")],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            assert _wait_for(lambda: _size(partial) > 64 * 1024), "no rows arrived"
            sim.reset_data_connection()
            at_reset = _size(partial)
            assert _wait_for(lambda: _size(partial) > at_reset + 160 * 1024), "no rows after it"
            sim.restart()
            out, err = proc.communicate(timeout=120)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
    assert proc.returncode == 3, out + err
    first = str(next((directory / "rec").glob("*_1.dat")))
    return first, str(live), directory


def _clock_less_time(counts, seconds):
    return counts / 4000.0 - seconds


def _expect_true_times(counts, seconds, gap_rows):
    """Across each gap the groups sit where the ones before it put them,
    within a millisecond (and the counter's step) of the module's clock."""
    offset = _clock_less_time(np.asarray(counts, np.float64), np.asarray(seconds))
    edges = [0] + list(gap_rows) + [len(offset)]
    for lo, hi in zip(edges[:-1], edges[1:]):
        part = offset[lo:hi]
        assert part.max() - part.min() <= COUNTER_STEP + 1e-9, (lo, hi)
    for row in gap_rows:
        before, after = offset[row - WINDOW:row].max(), offset[row:row + WINDOW].max()
        assert abs(after - before) <= 0.001 + COUNTER_STEP, \
            f"{(after - before) * 1e3:.3f} ms off after the gap at row {row}"


def test_the_replay_places_every_group_at_its_true_time(run):
    first, live, _ = run
    table = np.genfromtxt(live, delimiter=",", names=True)
    with kr2270.Recording(first) as rec:
        assert [g.cause_text for g in rec.gaps] == ["link lost", "module restart"]
        assert rec.timeline.gaps == 2 and rec.timeline.complete
        assert rec.timeline.start_utc is not None
        block = rec.read(0, GROUPS)
        # Gap positions are rows of the recording, which holds every group.
        gap_rows = [g.position for g in rec.gaps]
        np.testing.assert_array_equal(np.nonzero(block.gap_groups)[0], gap_rows)
        np.testing.assert_array_equal(block.gap_groups[gap_rows], [g.missing for g in rec.gaps])
        _expect_true_times(block.counters[:, 0], block.time, gap_rows)
        # The live CSV and the replay agree row for row.
        np.testing.assert_array_equal(block.time, table["time_s"])
        np.testing.assert_array_equal(block.gap_groups, table["gap"])
        # Pieces read one after another mark the gaps as the whole does.
        pieces = list(rec.blocks(size=gap_rows[0], count=GROUPS))
        assert pieces[1].gap_groups[0] == rec.gaps[0].missing
        np.testing.assert_array_equal(np.concatenate([p.gap_groups for p in pieces]),
                                      block.gap_groups)
        # Time and position, through the library's gap table.
        for gap in rec.gaps:
            assert rec.position_of(gap.index - 1) == gap.position - 1
            assert rec.position_of(gap.index) == rec.position_of(gap.end) == gap.position
        # The tool's account of the run, from the sidecar.
        assert rec.run["end"]["reason"] == "span taken"
        assert rec.settings()["module"]["command_port"] > 0


def test_the_exports_carry_the_timeline(run):
    h5py = pytest.importorskip("h5py")
    first, live, directory = run
    with kr2270.Recording(first) as rec:
        block = rec.read()
        kr2270.export.to_hdf5(rec, directory / "run.h5", piece_groups=7777)
        kr2270.export.to_csv(rec, directory / "export.csv", piece_groups=7777)
        trace = plotting._trace(rec, None, None)
        gaps, start = rec.gaps, rec.timeline.start_text
    with h5py.File(directory / "run.h5") as f:
        np.testing.assert_array_equal(f["time"][...], block.time)
        np.testing.assert_array_equal(f["index"][...], block.index)
        assert f["time"].attrs["units"] == f"seconds since {start}"
        assert f["gap_row"][...].tolist() == [g.position for g in gaps]
        assert f["gap_index"][...].tolist() == [g.index for g in gaps]
        assert f["gap_missing_groups"][...].tolist() == [g.missing for g in gaps]
        assert f["gap_cause"][...].tolist() == [2, 3]
        np.testing.assert_array_equal(f["gap_time"][...], [g.index / RATE for g in gaps])
        assert f.attrs["end_reason"] == "span taken" and f.attrs["tool_version"] != "unknown"
        assert f.attrs["module_command_port"] > 0 and f.attrs["recording_complete"] == "yes"
        # The settings the groups convert with: the module's pair, no change.
        assert f["settings_index"][...].tolist() == [0]
        assert f["settings_zero_codes"][0, 0] == 4194303 + 100
        _expect_true_times(f["ct"][:, 0], f["time"][...], [g.position for g in gaps])
    try:
        import xarray as xr
    except ImportError:
        xr = None
    if xr is not None:
        with xr.open_dataset(directory / "run.h5", engine="h5netcdf") as ds:
            steps = np.diff(ds.time.values) / np.timedelta64(1, "ns")
            jumps = np.nonzero(steps > 1e9 / RATE + 1)[0] + 1
            assert jumps.tolist() == [g.position for g in gaps]
            assert str(ds.time.values[0]).startswith(start[:19])
    # The export's CSV is the live one, text for text.
    exported = open(directory / "export.csv").read().splitlines()
    assert exported[:GROUPS + 1] == open(live).read().splitlines()
    # The plot shades each gap where it is on the time axis.
    assert trace.spans == [(g.index / RATE, g.end / RATE) for g in gaps]
