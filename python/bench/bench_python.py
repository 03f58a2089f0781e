"""Benchmark of the Python package against the same work in C, in one run.

    python3 python/bench/bench_python.py [--seconds S] [--out FILE.md]

Rows: streaming at rate code 8 with every channel (58-byte groups) in 10 ms
blocks into NumPy (lost groups; process CPU against the C loop), and
Recording.read into arrays against the C playback of the same file. Prints a
table; figures, not pass/fail tests of the suite.
"""
import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import kr2270  # noqa: E402

BLOCK = 2560   # 10 ms at 256000 groups/s


def cpu_seconds():
    u = resource.getrusage(resource.RUSAGE_SELF)
    return u.ru_utime + u.ru_stime


def stream_python(seconds, record=None):
    with kr2270.Simulator(sequence=True) as sim, kr2270.Device(sim.host, sim.port,
                                                               sim.data_port) as dev:
        cpu0, t0 = cpu_seconds(), time.monotonic()
        groups = 0
        with dev.stream(rate=256000, channels=range(1, 9), di=True, counters=[1, 2, 3, 4],
                        encoders=[1, 2], record=record) as s:
            while time.monotonic() - t0 < seconds:
                groups += len(s.read(BLOCK, timeout=2.0))
            lost = s.lost_groups
        cpu, wall = cpu_seconds() - cpu0, time.monotonic() - t0
        return {"groups": groups, "lost": lost, "cpu_s": cpu, "wall_s": wall,
                "recording": s.recording}


def stream_c(reference, seconds):
    with kr2270.Simulator(sequence=True) as sim:
        out = subprocess.run([reference, "stream", sim.host, str(sim.port), str(sim.data_port),
                              str(seconds)], capture_output=True, text=True, check=True,
                             timeout=seconds + 60).stdout
    fields = dict(item.split("=") for item in out.split())
    return {k: float(v) for k, v in fields.items()}


def replay_python(path, repeats):
    with kr2270.Recording(path) as rec:
        rec.read()
        best = min(_timed(rec.read) for _ in range(repeats))
        return len(rec) / best


def _timed(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def replay_c(reference, path, repeats):
    out = subprocess.run([reference, "replay-time", path, str(repeats)], capture_output=True,
                         text=True, check=True, timeout=600).stdout
    return float(dict(item.split("=") for item in out.split())["groups_per_second"])


def row(figure, value, anchor="-", anchor_value="-", ratio="-", goal="-", result="info"):
    return f"| {figure} | {value} | {anchor} | {anchor_value} | {ratio} | {goal} | {result} |"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--seconds", type=float, default=30.0, help="streaming time of each side")
    parser.add_argument("--replay-seconds", type=float, default=4.0,
                        help="length of the recording replayed")
    parser.add_argument("--reference", default=os.path.join("build", "python", "c_reference"))
    parser.add_argument("--out", help="also append the table to this file")
    args = parser.parse_args()

    c = stream_c(args.reference, args.seconds)
    py = stream_python(args.seconds)
    cpu_ratio = (py["cpu_s"] / py["wall_s"]) / (c["cpu_s"] / c["wall_s"])
    with tempfile.TemporaryDirectory(prefix="kr2270-py-bench-") as tmp:
        rec = stream_python(args.replay_seconds, record=tmp)["recording"]
        c_rate = replay_c(args.reference, rec, 3)
        py_rate = replay_python(rec, 3)
    replay_ratio = py_rate / c_rate

    lines = [
        "| Figure | Value | Anchor | Anchor value | Ratio | Goal | Result |",
        "|---|---|---|---|---|---|---|",
        row(f"Python stream, 58 B x 256000/s, 10 ms blocks, {args.seconds:g} s: lost groups",
            f"{py['lost']:.0f}", goal="<= 0", result="pass" if py["lost"] == 0 else "short"),
        row("Python stream: process CPU", f"{100 * py['cpu_s'] / py['wall_s']:.2f} % core",
            "same loop in C", f"{100 * c['cpu_s'] / c['wall_s']:.2f} % core",
            f"{cpu_ratio:.2f}x", "<= 2x", "pass" if cpu_ratio <= 2.0 else "short"),
        row("C stream loop: lost groups", f"{c['lost']:.0f}"),
        row("Recording.read into arrays", f"{py_rate / 1e6:.2f} M groups/s",
            "C playback (read, split, fetch, convert)", f"{c_rate / 1e6:.2f} M groups/s",
            f"{replay_ratio:.2f}x", ">= 0.5x", "pass" if replay_ratio >= 0.5 else "short"),
    ]
    table = "\n".join(lines)
    print(table)
    if args.out:
        with open(args.out, "a") as f:
            f.write("\n" + table + "\n")


if __name__ == "__main__":
    main()
