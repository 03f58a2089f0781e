"""open_dataset: recordings of the simulator (with a reconnect gap) and
recordings written here in the documented format (settings changes, groups
across files, 2-byte codes, several runs and modules), against
Recording.read, the sidecar's own formula and NumPy over the raw files; a
LocalCluster of two workers; Zarr."""
import json
import os
import signal
import sys
from fractions import Fraction

import numpy as np
import pytest

xr = pytest.importorskip("xarray")
pytest.importorskip("dask")

import kr2270  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "support"))
import synthetic_recording as synth  # noqa: E402

NS = 10 ** 9


def sidecar_of(first):
    with open(first[:-len(".dat")] + ".json", encoding="utf-8") as f:
        return json.load(f)


def sidecar_times(meta):
    """Every group's time by the documented formula, in exact integers."""
    times, position, missing = [], 0, 0
    gaps = {}
    for g in meta["gaps"]:
        gaps[g["position"]] = gaps.get(g["position"], 0) + g["missing"]
    for position in range(meta["groups"]):
        missing += gaps.get(position, 0)
        index = meta["first_index"] + position + missing
        times.append(meta["start_unix_ns"] +
                     round(Fraction(index * NS) / Fraction(meta["group_rate"])))
    return np.array(times, dtype=np.int64)


@pytest.fixture(scope="module")
def gap_recording(tmp_path_factory):
    """A simulator run at 8000 groups/s of every kind, recorded, whose data
    connection the module closes halfway: the library reconnects and the
    recording has a 'link lost' gap."""
    directory = tmp_path_factory.mktemp("gap")
    with kr2270.Simulator() as sim, kr2270.Device(sim.host, sim.port, sim.data_port,
                                                  timeout=2.0) as dev:
        dev.set_auto_reconnect(True, max_wait=10.0)
        with dev.stream(rate=8000, channels=range(1, 9), di=True, counters=[1, 2, 3, 4],
                        encoders=[1, 2], ranges={2: 5.0}, record=str(directory)) as s:
            s.read(1600, timeout=10.0)
            sim._process.send_signal(signal.SIGUSR1)   # closes the data connection
            while not s.gaps:
                s.read(400, timeout=20.0)
            s.read(1600, timeout=10.0)
        path = s.recording
    meta = sidecar_of(path)
    assert meta["gaps"] and meta["gaps"][0]["cause"] == "link lost", meta["gaps"]
    return path


def test_simulator_recording_with_a_gap(gap_recording):
    meta = sidecar_of(gap_recording)
    ds = kr2270.open_dataset(gap_recording, chunk_groups=1000, codes=True)
    with kr2270.Recording(gap_recording) as rec:
        block = rec.read()
    # The rows are the recorded groups: nothing is filled into the gap.
    assert ds.sizes["time"] == meta["groups"] == len(block)
    for j, ch in enumerate(block.channels):
        np.testing.assert_array_equal(ds[f"ai{ch}"].values, block.ai[:, j])
        np.testing.assert_array_equal(ds[f"code{ch}"].values, block.codes[:, j])
    np.testing.assert_array_equal(ds.di.values, block.di)
    for j, ct in enumerate(block.layout.counters):
        np.testing.assert_array_equal(ds[f"ct{ct}"].values, block.counters[:, j])
        np.testing.assert_array_equal(ds[f"ct{ct}_value"].values, block.counter_values[:, j])
    for j, ec in enumerate(block.layout.encoders):
        np.testing.assert_array_equal(ds[f"ec{ec}"].values, block.encoders[:, j])
    assert ds.ai2.attrs["full_scale"] == 5.0 and ds.ai1.attrs["full_scale"] == 10.0

    # Time: the sidecar's formula, gaps as jumps of exactly their length.
    t = ds.time.values.astype(np.int64)
    np.testing.assert_array_equal(t, sidecar_times(meta))
    steps = np.diff(t)
    period = NS / meta["group_rate"]
    jumps = np.flatnonzero(np.abs(steps - period) > 1)
    gap = meta["gaps"][0]
    assert jumps.tolist() == [gap["position"] - 1]
    assert abs(steps[jumps[0]] - (gap["missing"] + 1) * period) <= 1
    assert ds.attrs["gaps"] == len(meta["gaps"]) and ds.attrs["timeline_source"] == "sidecar"


def write(directory, stamp, blocks, **options):
    return synth.write_recording(str(directory), stamp, blocks, **options)


def expected_volts(codes, entry, channel):
    a = entry["analog"][channel - 1]
    diff = ((codes.astype(np.int64) - a["zero_code"] + 2 ** 31) % 2 ** 32 - 2 ** 31)
    span = ((a["full_code"] - a["zero_code"] + 2 ** 31) % 2 ** 32) - 2 ** 31
    return diff.astype(np.float64) * (a["full_scale"] - a["offset"]) / span + a["offset"]


def test_settings_changes_groups_across_files_and_two_byte_codes(tmp_path):
    groups = synth.sine_groups(7000, channels=(1, 3), di=False, counters=(2,), encoders=(),
                               code_bytes=2)
    settings = [synth.settings_entry(modes=(0, 1, 0, 0), base_ms=(1000.0, 250.0, 1000.0, 1000.0)),
                # Converts nothing: the next one takes over at the same position.
                synth.settings_entry(position=2500, full_scale=[5.0] * 8, offset=[-1.0] * 8,
                                     zero=[100] * 8, full=[2 ** 31 - 1] * 8,
                                     modes=(0, 1, 0, 0), base_ms=(1000.0, 7.0, 1000.0, 1000.0)),
                synth.settings_entry(position=2500, full_scale=[2.0] * 8, zero=[-(2 ** 31)] * 8,
                                     full=[2 ** 31 - 5] * 8, modes=(0, 3, 0, 0),
                                     base_ms=(1000.0, 2.0, 1000.0, 1000.0)),
                synth.settings_entry(position=6000)]
    # 8-byte groups cut into files of 3001 data bytes: groups straddle files.
    first = write(tmp_path, "26-12-07-10-00-00", [groups[:4000], groups[4000:]],
                  channels=(1, 3), di=False, counters=(2,), encoders=(), code_bytes=2,
                  settings=settings, gaps=[(3000, 7, "module restart")],
                  file_bytes=318 + 3001, first_index=40)
    assert len([n for n in os.listdir(tmp_path) if n.endswith(".dat")]) == -(-7000 * 8 // 3001)
    ds = kr2270.open_dataset(os.path.join(tmp_path, "*.dat"), chunk_groups=999, codes=True)
    assert sorted(ds.data_vars) == ["ai1", "ai3", "code1", "code3", "ct2", "ct2_value"]
    meta = sidecar_of(first)
    for ch in (1, 3):
        codes = groups[f"ai{ch}"].astype(np.int32) << 8
        np.testing.assert_array_equal(ds[f"code{ch}"].values, codes)
        want = np.concatenate([expected_volts(codes[:2500], meta["settings"][0], ch),
                               expected_volts(codes[2500:6000], meta["settings"][2], ch),
                               expected_volts(codes[6000:], meta["settings"][3], ch)])
        np.testing.assert_array_equal(ds[f"ai{ch}"].values, want)
    counts = groups["ct2"].astype(np.float64)
    with np.errstate(divide="ignore"):
        want = np.concatenate([counts[:2500] / 0.25, 1.0 / (0.002 * counts[2500:6000]),
                               counts[6000:]])
    np.testing.assert_array_equal(ds.ct2_value.values, want)
    np.testing.assert_array_equal(ds.time.values.astype(np.int64), sidecar_times(meta))


def test_sidecar_that_does_not_add_up_is_not_trusted(tmp_path):
    groups = synth.sine_groups(500, channels=(1,), di=False, counters=(), encoders=())
    first = write(tmp_path, "26-12-07-10-00-00", [groups], channels=(1,), di=False,
                  counters=(), encoders=(), gaps=[(100, 50, "link lost")])
    meta = sidecar_of(first)
    meta["gaps"][0]["index"] += 1          # no longer first_index + position + missing
    with open(first[:-4] + ".json", "w") as f:
        json.dump(meta, f)
    ds = kr2270.open_dataset(first)
    assert ds.attrs["timeline_source"] == "header" and ds.attrs["gaps"] == 0
    assert ds.sizes["time"] == 500
    # Without a trusted sidecar: one group period apart from the file name's time.
    assert set(np.diff(ds.time.values.astype(np.int64)).tolist()) == {125000}


def test_runs_along_time_and_modules_along_module(tmp_path):
    start = 1_796_637_600_000_000_000
    period = NS // 8000
    layout = dict(channels=(1,), di=True, counters=(), encoders=())
    a1 = synth.sine_groups(3000, **layout)
    a2 = synth.sine_groups(2000, seed=1, **layout)
    b = synth.sine_groups(3000, seed=2, **layout)
    mod_a = {"host": "10.0.0.1", "command_port": 502, "data_port": 503}
    mod_b = {"host": "10.0.0.2", "command_port": 502, "data_port": 503}
    run1 = write(tmp_path, "26-12-07-10-00-00", [a1], start_ns=start, module=mod_a, **layout)
    run2 = write(tmp_path, "26-12-07-10-01-00", [a2], start_ns=start + 60 * NS, module=mod_a,
                 **layout)
    # Module B starts 10.4 periods later and loses 100 groups of its own.
    other = tmp_path / "b"
    other.mkdir()
    mod_b_rec = write(other, "26-12-07-10-00-00", [b], start_ns=start + 10 * period + 50000,
                      module=mod_b, gaps=[(1000, 100, "link lost")], **layout)

    runs = kr2270.open_dataset([run2, run1])
    assert runs.attrs["joined_along"] == "time" and runs.sizes["time"] == 5000
    np.testing.assert_array_equal(runs.di.values, np.concatenate([a1["di"], a2["di"]]))
    t = runs.time.values.astype(np.int64)
    assert t[0] == start and t[3000] == start + 60 * NS and t[2999] == start + 2999 * period

    both = kr2270.open_dataset([run1, mod_b_rec], chunk_groups=700)
    assert both.attrs["joined_along"] == "module"
    assert list(both.module.values) == ["10.0.0.1:502", "10.0.0.2:502"]
    assert both.ai1.dims == ("module", "time")
    # B's groups sit 10 periods later (its 0.4 period is its start offset),
    # the rows are every grid index one of them has, and each module's
    # missing rows are NaN: B's gap and the ends.
    assert both.start_offset.values.astype(np.int64).tolist() == [0, 50000]
    t = both.time.values.astype(np.int64)
    # Grid indices 0..2999 (A) and 10..1009, 1110..3109 (B): 3110 rows.
    assert t[0] == start and both.sizes["time"] == 3110
    a_row = (t - start) // period
    assert set(np.diff(a_row).tolist()) == {1}
    a_di, b_di = both.di.values
    np.testing.assert_array_equal(a_di[:3000], a1["di"])
    assert np.isnan(a_di[3000:]).all()
    assert np.isnan(b_di[:10]).all()
    np.testing.assert_array_equal(b_di[10:1010], b["di"][:1000])
    assert np.isnan(b_di[1010:1110]).all()
    np.testing.assert_array_equal(b_di[1110:], b["di"][1000:])
    with pytest.raises(ValueError, match="one recording per module"):
        kr2270.open_dataset([run1, run2, mod_b_rec], along="module")


def test_recordings_that_name_no_module(tmp_path):
    layout = dict(channels=(2,), di=False, counters=(), encoders=())
    for name, seed in (("a", 0), ("b", 1)):
        (tmp_path / name).mkdir()
        write(tmp_path / name, "26-12-07-10-00-00", [synth.sine_groups(100, seed=seed, **layout)],
              module={}, **layout)
    folders = [str(tmp_path / "a"), str(tmp_path / "b")]
    # Folders open their recordings; without module addresses nothing says
    # these are two modules, so they join along time unless told.
    assert kr2270.open_dataset(folders).sizes == {"time": 200}
    both = kr2270.open_dataset(folders, along="module")
    assert list(both.module.values) == [os.path.join("a", "26-12-07-10-00-00_1.dat"),
                                        os.path.join("b", "26-12-07-10-00-00_1.dat")]
    assert both.ai2.shape == (2, 100) and both.ai2.dtype == np.float64


def test_local_cluster_reduces_as_numpy_does(tmp_path):
    distributed = pytest.importorskip("distributed")
    recordings = []
    for m in range(3):
        d = tmp_path / f"m{m}"
        d.mkdir()
        blocks = [synth.sine_groups(20000, first=i * 20000, seed=m) for i in range(3)]
        recordings.append(write(d, "26-12-07-10-00-00", blocks, rate_code=8,
                                module={"host": f"10.0.0.{m + 1}", "command_port": 502},
                                file_bytes=318 + 1_000_001))
    ds = kr2270.open_dataset(recordings, chunk_groups=8192)
    assert ds.sizes == {"module": 3, "time": 60000}
    # NumPy over the raw files, read whole in this process.
    dtype = synth.group_dtype(range(1, 9), True, (1, 2, 3, 4), (1, 2))
    want_mean, want_rms = [], []
    for first in recordings:
        data = b"".join(open(p, "rb").read()[318:]
                        for p in sorted(os.path.join(os.path.dirname(first), n)
                                        for n in os.listdir(os.path.dirname(first))
                                        if n.endswith(".dat")))
        groups = np.frombuffer(data, dtype)
        entry = sidecar_of(first)["settings"][0]
        volts = np.stack([expected_volts(groups[f"ai{k}"], entry, k) for k in range(1, 9)])
        want_mean.append(volts.mean(axis=1))
        want_rms.append(np.sqrt((volts ** 2).mean(axis=1)))
    channels = [f"ai{k}" for k in range(1, 9)]
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address="127.0.0.1:0",
                                  worker_dashboard_address="127.0.0.1:0") as cluster, \
            distributed.Client(cluster) as client:
        analog = ds[channels]
        mean, rms = client.compute([analog.mean("time"), np.sqrt((analog ** 2).mean("time"))],
                                   sync=True)
    got_mean = np.stack([mean[c].values for c in channels], axis=1)
    got_rms = np.stack([rms[c].values for c in channels], axis=1)
    np.testing.assert_allclose(got_mean, np.array(want_mean), rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(got_rms, np.array(want_rms), rtol=1e-12)


def test_to_zarr_round_trip(gap_recording, tmp_path):
    pytest.importorskip("zarr")
    ds = kr2270.open_dataset(gap_recording, chunk_groups=1000)
    ds.to_zarr(str(tmp_path / "run.zarr"))
    back = xr.open_zarr(str(tmp_path / "run.zarr"))
    np.testing.assert_array_equal(back.time.values, ds.time.values)
    for name in ds.data_vars:
        np.testing.assert_array_equal(back[name].values, ds[name].values)
        assert back[name].dtype == ds[name].dtype
        assert back[name].attrs == ds[name].attrs
    assert back.attrs["gap_positions"] == ds.attrs["gap_positions"]


def test_bad_arguments(tmp_path, gap_recording):
    with pytest.raises(FileNotFoundError):
        kr2270.open_dataset(str(tmp_path / "none*.dat"))
    with pytest.raises(ValueError, match="along"):
        kr2270.open_dataset(gap_recording, along="space")
    with pytest.raises(ValueError, match="chunk_groups"):
        kr2270.open_dataset(gap_recording, chunk_groups=0)
    junk = tmp_path / "26-12-07-10-00-00_1.dat"
    junk.write_bytes(b"not a recording")
    with pytest.raises(ValueError, match="not a recording"):
        kr2270.open_dataset(str(junk))
