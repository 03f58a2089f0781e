"""Recordings as blocks, against the live data and the C tool's replay; HDF5,
CSV and NPY export; plots; the command line."""
import os
import re
import subprocess
import sys

import numpy as np
import pytest

import kr2270
import kr2270.export

PYTHON_DIR = __file__.rsplit("/tests/", 1)[0]
BUILD = os.environ.get("KR2270_BUILD_DIR",
                       os.path.join(os.path.dirname(PYTHON_DIR), "build"))


def run_module(*args):
    return subprocess.run([sys.executable, "-m", "kr2270", *args], capture_output=True,
                          text=True, timeout=120, env={"PYTHONPATH": PYTHON_DIR,
                                                       "PATH": "/usr/bin:/bin"})


def test_settings_length_and_replay_equal_the_live_stream(recording):
    path, live = recording
    with kr2270.Recording(path) as rec:
        assert rec.channels == tuple(range(1, 9)) and rec.di
        assert rec.counters == (1, 2, 3, 4) and rec.encoders == (1, 2)
        assert rec.rate == 8000.0 and rec.group_bytes == 58 and rec.code_bytes == 4
        assert rec.ranges[1] == 5.0 and rec.ranges[2] == 10.0
        assert len(rec) >= len(live)
        assert rec.seconds == pytest.approx(len(rec) / 8000.0)
        replay = rec.read(0, len(live))
        np.testing.assert_array_equal(replay.codes, live.codes)
        np.testing.assert_array_equal(replay.ai, live.ai)
        np.testing.assert_array_equal(replay.di, live.di)
        np.testing.assert_array_equal(replay.counters, live.counters)
        np.testing.assert_array_equal(replay.encoders, live.encoders)
        # Any span, and the same groups again.
        part = rec.read(1000, 7)
        assert part.first_row == 1000 and len(part) == 7
        np.testing.assert_array_equal(part.index, np.arange(1000, 1007))
        np.testing.assert_array_equal(part.codes, live.codes[1000:1007])
        np.testing.assert_array_equal(part.time, np.arange(1000, 1007) / 8000.0)
        assert len(rec.read(len(rec) - 3, 100)) == 3


def test_a_start_past_the_end_is_refused_and_the_recording_stays_readable(recording):
    path, live = recording
    with kr2270.Recording(path) as rec:
        with pytest.raises(IndexError):
            rec.read(len(rec) + 1, 1)
        np.testing.assert_array_equal(rec.read(0, 5).codes, live.codes[:5])


def test_replay_is_bit_exact_with_the_c_path(recording, c_reference, tmp_path):
    path, _ = recording
    out = tmp_path / "c.bin"
    subprocess.run([c_reference, "replay", path, str(out)], check=True, timeout=120)
    with kr2270.Recording(path) as rec:
        block = rec.read()
    data = out.read_bytes()
    n = int(np.frombuffer(data[:8], np.int64)[0])
    assert n == len(block) == len(rec)
    offset = 8

    def take(dtype, columns):
        nonlocal offset
        size = np.dtype(dtype).itemsize * n * columns
        array = np.frombuffer(data[offset:offset + size], dtype).reshape(columns, n).T
        offset += size
        return array

    np.testing.assert_array_equal(take(np.uint64, 1)[:, 0], block.index)
    np.testing.assert_array_equal(take(np.int32, 8), block.codes)
    # Same bits, not merely close: the values come from the same conversion.
    assert take(np.float64, 8).tobytes() == np.ascontiguousarray(block.ai).tobytes()
    np.testing.assert_array_equal(take(np.uint16, 1)[:, 0], block.di)
    np.testing.assert_array_equal(take(np.uint32, 4), block.counters)
    np.testing.assert_array_equal(take(np.uint32, 2).view(np.int32), block.encoders)
    assert offset == len(data)


def test_hdf5_round_trip_in_small_pieces(recording, tmp_path):
    h5py = pytest.importorskip("h5py")
    path, _ = recording
    out = tmp_path / "run.h5"
    with kr2270.Recording(path) as rec:
        block = rec.read()
        # Pieces smaller than a chunk and not dividing the length.
        kr2270.export.to_hdf5(rec, out, piece_groups=777)
    with h5py.File(out) as f:
        np.testing.assert_array_equal(f["ai_code"][...], block.codes)
        np.testing.assert_array_equal(f["ai"][...], block.ai)
        np.testing.assert_array_equal(f["di"][...], block.di)
        np.testing.assert_array_equal(f["ct"][...], block.counters)
        np.testing.assert_array_equal(f["ec"][...], block.encoders)
        np.testing.assert_array_equal(f["time"][...], block.time)
        np.testing.assert_array_equal(f["index"][...], block.index)
        assert f["ec"].dtype == np.int32 and f["ec"][...].min() < 0   # encoder 2 runs down
        assert f.attrs["rate"] == 8000.0 and f.attrs["groups"] == len(block)
        assert f.attrs["source_file"] == path
        assert list(f["ai"].attrs["names"]) == [f"ai{k}" for k in range(1, 9)]
        assert f["ai"].attrs["span_volts"][0] == 5.0 and f["ai"].attrs["units"] == "V"
        assert f["ai_code"].compression == "gzip" and f["ai_code"].chunks
        # The pair the recording converts with: the module's, not the default.
        assert f["ai"].attrs["zero_codes"].tolist() == [4194303 + 100 * k for k in range(1, 9)]
        assert f.attrs["calibration_full_codes"].tolist() == [8388607 - 200 * k
                                                              for k in range(1, 9)]
        assert f["gap_time"].shape == (0,)
        # The settings table: what the first group converts with, no change.
        assert f["settings_index"][...].tolist() == [0]
        assert f["settings_zero_codes"][0].tolist() == f["ai"].attrs["zero_codes"].tolist()
        assert f.attrs["library_version"] == kr2270.version()
        assert f.attrs["start_utc"] == rec.timeline.start_text != ""
        assert f["time"].attrs["units"] == f"seconds since {rec.timeline.start_text}"
        assert '"trigger_count"' in f.attrs["settings_json"]


def _block_with_a_gap(layout, n, **fields):
    """n groups from index 107 on, 50 of them missing before row 4 (a link
    lost), and 7 before row 0."""
    index = np.arange(107, 107 + n, dtype=np.uint64)
    index[4:] += 50
    return kr2270.Block(layout, np.ones((n, len(layout.channels))),
                        np.ones((n, len(layout.channels)), np.int32), np.empty(0, np.uint16),
                        np.empty((n, 0), np.uint32),
                        np.full((n, len(layout.encoders)), 0xFFFFFE0B, np.uint32),
                        first_row=100, index=index, gaps=[kr2270.Gap(111, 50, 2, True)],
                        expected_index=100, **fields)


def test_xarray_reads_the_time_axis_with_its_gaps(tmp_path):
    """A block with a gap, exported and opened with xarray: real datetimes
    from the start, a jump at the gap, and the gap table on its own axis."""
    xr = pytest.importorskip("xarray")
    start = 1796756400_250000000            # 2026-12-08T19:00:00.25Z
    block = _block_with_a_gap(kr2270.Layout((1, 3), False, (), (2,), 1000.0), 10,
                              start_unix_ns=start)
    kr2270.to_hdf5(block, tmp_path / "b.h5")
    with xr.open_dataset(tmp_path / "b.h5", engine="h5netcdf") as ds:
        assert ds.time.dtype.kind == "M"
        seconds = (ds.time.values - np.datetime64("2026-12-08T19:00:00.250")) / \
            np.timedelta64(1, "ms")
        np.testing.assert_allclose(seconds, [107, 108, 109, 110, 161, 162, 163, 164, 165, 166])
        assert ds["index"].values.tolist() == [107, 108, 109, 110, 161, 162, 163, 164, 165, 166]
        assert ds.ai.dims == ("time", "ai_channel") and ds.ai_channel.values.tolist() == [1, 3]
        assert ds.ai.attrs["units"] == "V"
        assert ds.ec.values[0, 0] == -501                # signed, as the tool shows it
        assert ds.gap_missing_groups.values.tolist() == [50]
        assert ds.gap_cause.values.tolist() == [2] and ds.gap_estimated.values.tolist() == [1]
        # The gap starts at the first missing group and ends at row 4.
        assert ds.gap_index.values.tolist() == [111] and ds.gap_row.values.tolist() == [4]
        assert ds.gap_time.values[0] == ds.time.values[3] + np.timedelta64(1, "ms")
        assert ds.attrs["start_utc"] == "2026-12-08T19:00:00.25Z"
        assert ds.attrs["Conventions"].startswith("CF")


def test_block_with_gaps_exports_them(tmp_path):
    h5py = pytest.importorskip("h5py")
    block = _block_with_a_gap(kr2270.Layout((1,), False, (), (), 1000.0), 10)
    np.testing.assert_allclose(block.time[[0, 3, 4]], np.array([107, 110, 161]) / 1000.0)
    assert block.gap_groups.tolist() == [7, 0, 0, 0, 50, 0, 0, 0, 0, 0]
    kr2270.to_hdf5(block, tmp_path / "b.h5")
    with h5py.File(tmp_path / "b.h5") as f:
        assert f["gap_index"][...].tolist() == [111]
        assert f["gap_missing_groups"][...].tolist() == [50]
        assert f["gap_cause"][...].tolist() == [2]
        # No start known: plain seconds.
        assert f["time"].attrs["units"] == "s" and f.attrs["start_utc"] == "unknown"
    text = kr2270.export.to_csv(block, tmp_path / "b.csv")
    lines = open(text).read().splitlines()
    assert lines[0] == "time_s,ai1_V,gap"
    assert [line.split(",")[0] for line in lines[4:6]] == ["0.11", "0.161"]
    assert [line.split(",")[-1] for line in lines[1:]] == ["7"] + ["0"] * 3 + ["50"] + ["0"] * 5
    # A slice keeps what lies before its rows.
    tail = kr2270.block.sliced(block, 4, 10)
    assert tail.gap_groups.tolist() == [50, 0, 0, 0, 0, 0] and tail.gaps == block.gaps


@pytest.mark.parametrize("value, text", [(0.0, "0"), (-0.0, "-0"), (3.0, "3"), (0.1, "0.1"),
                                         (1e-05, "0.00001"), (-2.5e-7, "-0.00000025"),
                                         (1.5e16, "15000000000000000"), (1 / 3, "0.3333333333333333"),
                                         (float("inf"), "inf")])
def test_csv_numbers_are_the_shortest_exact_plain_text(value, text):
    from kr2270 import csv_format
    assert csv_format.exact_texts([value]) == [text]
    if value == value and abs(value) != float("inf"):
        assert float(text) == value


def test_sizes_of_zero_or_less_are_refused(recording, tmp_path):
    path, _ = recording
    with kr2270.Recording(path) as rec:
        for size in (0, -1):
            with pytest.raises(ValueError):
                next(rec.blocks(size=size))
            with pytest.raises(ValueError):
                kr2270.export.to_hdf5(rec, tmp_path / "x.h5", piece_groups=size)
            with pytest.raises(ValueError):
                kr2270.export.to_csv(rec, tmp_path / "x.csv", piece_groups=size)
            with pytest.raises(ValueError):
                kr2270.export.to_npy(rec, tmp_path / "npy", piece_groups=size)
        with pytest.raises(ValueError):
            rec.read(0, -1)
        assert len(rec.read(5, 0)) == 0


def test_command_line_export_csv_npy_and_info(recording, tmp_path):
    path, _ = recording
    result = run_module("export", path, "--csv", str(tmp_path / "r.csv"), "--codes",
                        "--npy", str(tmp_path / "npy"), "--hdf5", str(tmp_path / "r.h5"))
    assert result.returncode == 0, result.stderr
    with kr2270.Recording(path) as rec:
        block = rec.read()
    np.testing.assert_array_equal(np.load(tmp_path / "npy" / "codes.npy"), block.codes)
    np.testing.assert_array_equal(np.load(tmp_path / "npy" / "di.npy"), block.di)
    np.testing.assert_array_equal(np.load(tmp_path / "npy" / "encoders.npy"), block.encoders)
    np.testing.assert_array_equal(np.load(tmp_path / "npy" / "time.npy"), block.time)
    header = open(tmp_path / "r.csv").readline().strip().split(",")
    table = np.loadtxt(tmp_path / "r.csv", delimiter=",", skiprows=1)
    assert table.shape == (len(block), 1 + 16 + 1 + 4 + 2 + 1)
    np.testing.assert_array_equal(table[:, 2:17:2].astype(np.int64), block.codes)
    np.testing.assert_array_equal(table[:, 1:17:2], block.ai)
    np.testing.assert_array_equal(table[:, header.index("ec2")], block.encoders[:, 1])
    assert "8000" in run_module("info", path).stdout
    bad = run_module("export", str(tmp_path / "none_1.dat"), "--csv", str(tmp_path / "x.csv"))
    assert bad.returncode == 1 and "-201" in bad.stderr


def _panel_pixels(png, fig):
    """The PNG's pixels inside each panel of the figure."""
    height = png.shape[0]
    for ax in fig.axes:
        x0, y0, x1, y1 = ax.get_position().extents
        yield png[int(height - y1 * height) + 2:int(height - y0 * height) - 2,
                  int(x0 * png.shape[1]) + 2:int(x1 * png.shape[1]) - 2, :3]


def test_plot_png_has_one_drawn_panel_per_kind(recording, tmp_path):
    import matplotlib.image
    path, live = recording
    out = tmp_path / "live.png"
    fig = kr2270.plot(live, out, size=(8, 6), dpi=50)
    png = matplotlib.image.imread(out)
    assert png.shape[:2] == (300, 400)
    assert [ax.get_title(loc="left") for ax in fig.axes] == ["analog", "digital", "counters",
                                                             "encoders"]
    for pixels in _panel_pixels(png, fig):
        # Lines drawn: coloured pixels, not only white and grid grey.
        colourful = np.ptp(pixels, axis=2) > 0.2
        assert colourful.mean() > 0.002
    result = run_module("plot", path, "-o", str(tmp_path / "rec.png"), "--channels", "1",
                        "--from", "0.05", "--seconds", "0.1")
    assert result.returncode == 0, result.stderr
    assert matplotlib.image.imread(tmp_path / "rec.png").shape[0] > 100


def test_plot_shades_gaps_and_reduces_long_spans(tmp_path):
    from kr2270 import plotting
    layout = kr2270.Layout((1,), True, (), (), 1000.0)
    n = plotting.MAX_POINTS * 5 + 3
    codes = np.zeros((n, 1), np.int32)
    ai = np.zeros((n, 1))
    ai[12345, 0] = 9.0                       # one spike must survive the reduction
    di = np.zeros(n, np.uint16)
    di[777] = 1 << 6                         # and one pulse on input 7
    index = np.arange(n, dtype=np.uint64)
    index[5000:] += 2000                     # 2000 groups missing before row 5000
    block = kr2270.Block(layout, ai, codes, di, np.empty((n, 0), np.uint32),
                         np.empty((n, 0), np.uint32), index=index,
                         gaps=[kr2270.Gap(5000, 2000, 1)])
    trace = plotting._Trace(block, 5)
    assert len(trace.t) <= 2 * (n // 5 + 1)
    assert trace.ai.max() == 9.0 and (trace.di & (1 << 6)).any()
    (lo, hi), = trace.spans
    assert (lo, hi) == pytest.approx((5.0, 7.0))
    fig = kr2270.plot(block, tmp_path / "g.png")
    assert any(p.__class__.__name__ == "Polygon" or "Rectangle" in p.__class__.__name__
               for p in fig.axes[0].patches)


def test_h5dump_reads_the_export(recording, tmp_path):
    path, live = recording
    out = tmp_path / "run.h5"
    with kr2270.Recording(path) as rec:
        rec.to_hdf5(out)
    text = subprocess.run(["h5dump", "-d", "/di", "-s", "0", "-c", "3", str(out)],
                          capture_output=True, text=True, timeout=60, check=True).stdout
    values = [int(v) for v in re.findall(r"\(\d+\): ([\d, ]+)", text)[0].split(",")]
    assert values == live.di[:3].tolist()


def test_acquire_play_and_the_python_export_write_one_csv_dialect(tmp_path):
    """The three CSV producers, on one recording: the same header, and the
    same text for the same groups."""
    tool = os.path.join(BUILD, "tools", "kr2270", "kr2270")
    if not os.path.exists(tool):
        pytest.fail(f"not built: {tool}")
    groups, rec = 2000, tmp_path / "rec"
    live = subprocess.run([tool, "acquire", "--groups", str(groups), "--rate", "8k", "--channels",
                           "1,3", "--di", "--counters", "2", "--encoders", "1-2", "--codes",
                           "--csv", str(tmp_path / "acquire.csv"), "--record", str(rec)],
                          capture_output=True, text=True, timeout=120)
    assert live.returncode == 0, live.stderr
    first = str(next(rec.glob("*_1.dat")))
    played = subprocess.run([tool, "play", first, "--codes", "--count", str(groups),
                             "--csv", str(tmp_path / "play.csv")],
                            capture_output=True, text=True, timeout=120)
    assert played.returncode == 0, played.stderr
    exported = run_module("export", first, "--codes", "--csv", str(tmp_path / "python.csv"))
    assert exported.returncode == 0, exported.stderr
    expected = ("time_s,ai1_V,ai1_code,ai3_V,ai3_code,di,ct2,ec1,ec2,gap")
    texts = {name: open(tmp_path / f"{name}.csv").read().splitlines()
             for name in ("acquire", "play", "python")}
    for name, lines in texts.items():
        assert lines[0] == expected, name
    assert len(texts["acquire"]) == len(texts["play"]) == groups + 1
    assert texts["play"] == texts["acquire"]
    assert texts["python"][:groups + 1] == texts["acquire"]
    # Encoder 2 runs down from 0: signed in all three.
    assert texts["python"][groups].split(",")[8].startswith("-")
