"""Writes recordings in the documented file format (header, chained data
files, sidecar) straight from NumPy, for tests that need layouts, gaps and
settings changes a simulator run does not give, and for benchmarks that need
minutes of data in seconds."""
import json
import os
import struct

import numpy as np

RATES = {8: 256000, 16: 16000, 24: 128000, 36: 32000, 40: 64000, 48: 1000, 52: 4000, 56: 8000}
DEFAULT_ZERO, DEFAULT_FULL = 4194403, 8388407


def settings_entry(position=0, index=0, zero=None, full=None, full_scale=None, offset=None,
                   range_code=None, modes=(0, 0, 0, 0), base_ms=(1000.0,) * 4):
    zero = zero or [DEFAULT_ZERO + 100 * k for k in range(8)]
    full = full or [DEFAULT_FULL - 200 * k for k in range(8)]
    full_scale = full_scale or [10.0] * 8
    offset = offset or [0.0] * 8
    range_code = range_code or [0] * 8
    return {"position": position, "index": index,
            "analog": [{"channel": k + 1, "range_code": range_code[k], "extended_range": False,
                        "full_scale": full_scale[k], "offset": offset[k],
                        "zero_code": zero[k], "full_code": full[k]} for k in range(8)],
            "counters": [{"counter": k + 1, "mode": modes[k], "base_ms": base_ms[k]}
                         for k in range(4)]}


def group_dtype(channels, di, counters, encoders, code_bytes=4):
    names = [f"ai{k}" for k in channels] + (["di"] if di else [])
    names += [f"ct{k}" for k in counters] + [f"ec{k}" for k in encoders]
    formats = ["<i4" if code_bytes == 4 else "<i2"] * len(channels) + (["<u2"] if di else [])
    formats += ["<u4"] * (len(counters) + len(encoders))
    return np.dtype({"names": names, "formats": formats})


def header(channels, di, counters, encoders, rate_code, code_bytes, settings):
    out = bytearray(b"2270") + bytes([1])
    for k in range(8):
        a = settings["analog"][k]
        out += struct.pack("<Biidd BB i", int(k + 1 in channels), a["full_code"], a["zero_code"],
                           a["full_scale"], a["offset"], a["range_code"], 0, 0)
    out += bytes(2)
    for k in range(4):
        c = settings["counters"][k]
        out += struct.pack("<BBd", int(k + 1 in counters), c["mode"], c["base_ms"])
    out += bytes([int(di), int(1 in encoders), int(2 in encoders)])
    out += struct.pack("<iBBBiB", rate_code, 0, 0, 0, 0, code_bytes) + bytes(8)
    assert len(out) == 318
    return bytes(out)


def write_recording(directory, stamp, blocks, channels=range(1, 9), di=True,
                    counters=(1, 2, 3, 4), encoders=(1, 2), rate_code=56, code_bytes=4,
                    start_ns=1_796_637_600_123_456_789, gaps=(), settings=None,
                    file_bytes=524_288_000, first_index=0, module=None):
    """Writes `stamp`_1.dat, _2.dat, ... and `stamp`_1.json into `directory`.

    blocks: an iterable of structured arrays of `group_dtype(...)`, written
    one after the other. gaps: (position, missing, cause) in order. settings:
    sidecar entries (settings_entry(...)); their index is filled in.
    file_bytes: where a file is cut (header included), wherever in a group
    it falls. Returns the path of the first file."""
    channels, counters, encoders = tuple(channels), tuple(counters), tuple(encoders)
    settings = [dict(s) for s in (settings or [settings_entry()])]
    head = header(channels, di, counters, encoders, rate_code, code_bytes, settings[0])
    dtype = group_dtype(channels, di, counters, encoders, code_bytes)
    files, number, out, written = [], 0, None, 0
    groups = 0

    def next_file():
        nonlocal number, out, written
        if out:
            out.close()
        number += 1
        name = f"{stamp}_{number}.dat"
        out = open(os.path.join(directory, name), "wb")
        out.write(head)
        written = len(head)
        files.append({"name": name, "data_bytes": 0, "groups": 0})

    next_file()
    for block in blocks:
        data = np.ascontiguousarray(block, dtype=dtype).view(np.uint8).reshape(-1)
        groups += len(block)
        at = 0
        while at < len(data):
            if written >= file_bytes:
                next_file()
            take = min(len(data) - at, file_bytes - written)
            out.write(data[at:at + take].tobytes())
            files[-1]["data_bytes"] += take
            written += take
            at += take
    out.close()
    for f in files:
        f["groups"] = f["data_bytes"] // dtype.itemsize

    def index_at(position):
        return first_index + position + sum(m for p, m, _ in gaps if p <= position)

    missing = sum(m for _, m, _ in gaps)
    gap_list = [{"number": n, "position": p, "index": first_index + p +
                 sum(m2 for p2, m2, _ in gaps[:n]), "missing": m, "cause": c,
                 "estimated": True} for n, (p, m, c) in enumerate(gaps)]
    for n, s in enumerate(settings):
        s["number"], s["index"] = n, index_at(s["position"])
    sidecar = {"format": "kr2270c-recording-timeline", "version": 1,
               "recording": f"{stamp}_1.dat", "library_version": "synthetic",
               "complete": True, "end_status": 0, "start_utc": None,
               "start_unix_ns": start_ns, "rate_code": rate_code,
               "group_rate": RATES[rate_code], "group_bytes": dtype.itemsize,
               "first_index": first_index, "next_index": first_index + groups + missing,
               "groups": groups, "missing_groups": missing, "files": files, "gaps": gap_list,
               "settings": settings,
               "application": {"kr2270": {"module": module if module is not None else
                                          {"host": "127.0.0.1", "command_port": 502,
                                           "data_port": 503}}}}
    with open(os.path.join(directory, f"{stamp}_1.json"), "w", encoding="utf-8") as f:
        json.dump(sidecar, f)
    return os.path.join(directory, f"{stamp}_1.dat")


def sine_groups(count, first=0, channels=range(1, 9), di=True, counters=(1, 2, 3, 4),
                encoders=(1, 2), rate=8000.0, code_bytes=4, seed=0):
    """`count` groups from group `first` on: a sine per channel, a counting
    digital word, rising counters and encoders that run backwards."""
    dtype = group_dtype(tuple(channels), di, tuple(counters), tuple(encoders), code_bytes)
    out = np.zeros(count, dtype)
    n = np.arange(first, first + count, dtype=np.int64)
    for k in channels:
        volts = 2.0 * np.sin(2 * np.pi * (10.0 * k) * n / rate) + 0.1 * k + 0.001 * seed
        codes = np.round(volts / 10.0 * (DEFAULT_FULL - DEFAULT_ZERO)).astype(np.int64)
        codes += DEFAULT_ZERO
        out[f"ai{k}"] = codes if code_bytes == 4 else codes >> 8
    if di:
        out["di"] = (n & 0xFFFF).astype(np.uint16)
    for k in counters:
        out[f"ct{k}"] = (n * k).astype(np.uint32)
    for k in encoders:
        out[f"ec{k}"] = (-n * k).astype(np.int64).astype(np.uint32)
    return out
