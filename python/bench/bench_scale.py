"""The scale figure: mean and RMS per channel of many recordings, read with
kr2270.open_dataset on a dask.distributed LocalCluster of 2 workers, against
NumPy reading the same files whole in one process.

    python3 python/bench/bench_scale.py [--recordings 16] [--seconds 60] [--out FILE.md]

The recordings (58-byte groups at 256000 groups/s, one per module) are
written in the documented file format straight from NumPy, so that 16
minutes of data take the time of writing 14 GB rather than of streaming
them. Figures: groups per second of each side, and the peak memory of each
worker against the chunk it works on and against the NumPy process. Not a
test: nothing here asserts.
"""
import argparse
import os
import shutil
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, ".."))
sys.path.insert(0, os.path.join(HERE, "..", "support"))
import kr2270  # noqa: E402
from kr2270.dataset import DEFAULT_CHUNK_GROUPS, read_source  # noqa: E402
import synthetic_recording as synth  # noqa: E402

RATE_CODE, RATE = 8, 256000
CHANNELS = [f"ai{k}" for k in range(1, 9)]


def make_recordings(directory, count, seconds):
    """`count` recordings of `seconds` at 256000 groups/s, every channel."""
    total = int(seconds * RATE)
    block = 1 << 20
    paths = []
    for m in range(count):
        d = os.path.join(directory, f"module{m + 1:02d}")
        os.makedirs(d, exist_ok=True)
        base = synth.sine_groups(block, rate=RATE, seed=m)
        blocks = (base[:min(block, total - at)] for at in range(0, total, block))
        paths.append(synth.write_recording(
            d, "26-12-07-10-00-00", blocks, rate_code=RATE_CODE,
            start_ns=1_796_637_600_000_000_000 + 37_000 * m,
            module={"host": f"10.0.0.{m + 1}", "command_port": 502, "data_port": 503}))
    return paths


def numpy_side(paths):
    """Each recording read whole with np.fromfile, converted, reduced."""
    t0 = time.perf_counter()
    means, rms = [], []
    for first in paths:
        src = read_source(first)
        data = np.concatenate([np.fromfile(p, np.uint8, count=n, offset=h)
                               for p, h, n in src.files])
        groups = data[:src.groups * src.group_bytes].view(src.group_dtype())
        s = src.settings[0]
        m, r = [], []
        for k in range(8):
            codes = (groups[f"ai{k + 1}"].astype(np.uint32) << np.uint32(8)).view(np.int32) >> 8
            span = (s.full_code[k] - s.zero_code[k] + 2 ** 31) % 2 ** 32 - 2 ** 31
            volts = (codes - np.int32(s.zero_code[k])).astype(np.float64) * \
                (s.full_scale[k] - s.offset[k]) / span + s.offset[k]
            m.append(volts.mean())
            r.append(np.sqrt(np.mean(volts * volts)))
        means.append(m)
        rms.append(r)
        del data, groups
    seconds = time.perf_counter() - t0
    peak = _peak_rss()
    return np.array(means), np.array(rms), seconds, peak


def _peak_rss():
    """This process's own peak. Not ru_maxrss: a worker started by fork and
    exec inherits its parent's peak there (here the NumPy side's)."""
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    import resource as r
    return r.getrusage(r.RUSAGE_SELF).ru_maxrss * 1024


def _rss():
    import psutil
    return psutil.Process().memory_info().rss


def dask_side(paths, chunk_groups):
    import distributed
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  host="127.0.0.1", dashboard_address="127.0.0.1:0",
                                  worker_dashboard_address="127.0.0.1:0",
                                  memory_limit=0) as cluster, \
            distributed.Client(cluster) as client:
        client.run(lambda: sys.path.insert(0, os.path.join(HERE, "..")))
        # Imports outside the timing, on both sides, as for NumPy.
        client.run(lambda: __import__("kr2270.dataset") and __import__("dask.array"))
        import dask.array  # noqa: F401
        import xarray  # noqa: F401
        baseline = client.run(_rss)
        t0 = time.perf_counter()
        ds = kr2270.open_dataset(paths, along="module", chunk_groups=chunk_groups)
        analog = ds[CHANNELS]
        mean, rms = client.compute([analog.mean("time"), np.sqrt((analog * analog).mean("time"))],
                                   sync=True)
        seconds = time.perf_counter() - t0
        peaks = client.run(_peak_rss)
    means = np.stack([mean[c].values for c in CHANNELS], axis=1)
    rmss = np.stack([rms[c].values for c in CHANNELS], axis=1)
    return means, rmss, seconds, sorted(peaks.values()), sorted(baseline.values())


def row(figure, value, anchor="-", anchor_value="-", ratio="-", goal="-", result="info"):
    return f"| {figure} | {value} | {anchor} | {anchor_value} | {ratio} | {goal} | {result} |"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--recordings", type=int, default=16)
    parser.add_argument("--seconds", type=float, default=60.0)
    parser.add_argument("--chunk-groups", type=int, default=DEFAULT_CHUNK_GROUPS)
    parser.add_argument("--dir", help="where to write the recordings (default: a temporary folder)")
    parser.add_argument("--keep", action="store_true", help="keep the recordings")
    parser.add_argument("--out", help="also append the table to this file")
    args = parser.parse_args()

    directory = args.dir or tempfile.mkdtemp(prefix="kr2270-scale-")
    try:
        t0 = time.perf_counter()
        paths = make_recordings(directory, args.recordings, args.seconds)
        written_s = time.perf_counter() - t0
        groups = args.recordings * int(args.seconds * RATE)
        data_bytes = groups * 58
        # NumPy first: its peak is this process's, before the client's own.
        n_mean, n_rms, n_s, n_peak = numpy_side(paths)
        d_mean, d_rms, d_s, peaks, baseline = dask_side(paths, args.chunk_groups)
    finally:
        if not args.keep:
            shutil.rmtree(directory, ignore_errors=True)
    same = np.allclose(d_mean, n_mean, rtol=1e-9, atol=1e-12) and \
        np.allclose(d_rms, n_rms, rtol=1e-9)
    chunk_bytes = args.chunk_groups * 58
    growth = max(p - b for p, b in zip(peaks, baseline))
    label = f"{args.recordings} recordings x {args.seconds:g} s x 256000 groups/s (58 B)"
    mib = 1 << 20
    lines = [
        "| Figure | Value | Anchor | Anchor value | Ratio | Goal | Result |",
        "|---|---|---|---|---|---|---|",
        row(f"Scale: {label}, written in the file format", f"{data_bytes / 1e9:.1f} GB",
            "time to write them", f"{written_s:.0f} s"),
        row("Scale: mean and RMS per channel, LocalCluster of 2 workers",
            f"{groups / d_s / 1e6:.1f} M groups/s", "NumPy, one process, files read whole",
            f"{groups / n_s / 1e6:.1f} M groups/s", f"{n_s / d_s:.2f}x", "-",
            "same values" if same else "VALUES DIFFER"),
        row("Scale: peak memory per worker", f"{max(peaks) / mib:.0f} MiB",
            "NumPy process", f"{n_peak / mib:.0f} MiB", f"{max(peaks) / n_peak:.2f}x"),
        row("Scale: worker memory growth over its idle size, in raw chunks",
            f"{growth / chunk_bytes:.1f} chunks ({growth / mib:.0f} MiB)",
            "raw chunk", f"{chunk_bytes / mib:.0f} MiB ({args.chunk_groups} groups)", "-",
            "<= 8 chunks", "pass" if growth <= 8 * chunk_bytes else "short"),
    ]
    table = "\n".join(lines)
    print(table)
    if args.out:
        with open(args.out, "a") as f:
            f.write("\n" + table + "\n")


if __name__ == "__main__":
    main()
