"""Recordings as lazy xarray datasets, read straight from their files.

For example::

    ds = kr2270.open_dataset("rec/*_1.dat")          # one recording, a list or a glob
    ds.ai1.mean().compute()                          # Dask, locally or on a cluster
    ds.to_zarr("run.zarr")

The files are read as docs/recording-format.md describes them, without the
library: the first file's header gives the layout, the sidecar (X_1.json) the
time of every group, the gaps and the settings each group converts with. The
data are cut into chunks along time, each read straight from the files at its
offsets when a task needs it, with no conversion step before; each task
carries only file names, byte offsets and the few numbers of its settings, so
that the same graph runs on a dask.distributed cluster whose workers see the
files under the same paths. Needs xarray and dask (Debian: python3-xarray,
python3-dask).
"""
import datetime
import glob
import json
import os
import re
import struct
from dataclasses import dataclass, field

import numpy as np

from .recording import recording_chain

SIDECAR_FORMAT = "kr2270c-recording-timeline"
GROUP_RATES = {8: 256000, 16: 16000, 24: 128000, 36: 32000, 40: 64000, 48: 1000, 52: 4000,
               56: 8000}
HEADER_BYTES = {0: 310, 1: 318}
# About 60 MB of raw groups of the widest layout per chunk.
DEFAULT_CHUNK_GROUPS = 1 << 20
_NS = 10 ** 9
_STAMP = re.compile(r"(\d\d)-(\d\d)-(\d\d)-(\d\d)-(\d\d)-(\d\d)_1\.dat$")


# --- one recording ---------------------------------------------------------

@dataclass(frozen=True)
class Settings:
    """What a code converts with from `position` on (one entry of the
    sidecar's `settings`)."""
    position: int
    zero_code: tuple          # channels 1..8
    full_code: tuple
    full_scale: tuple         # volts
    offset: tuple             # volts
    range_code: tuple
    extended_range: tuple
    counter_mode: tuple       # counters 1..4
    counter_base_ms: tuple


@dataclass
class Source:
    """One recording as its files and sidecar describe it."""
    path: str                 # first file
    files: list               # (path, header bytes, data bytes), in chain order
    channels: tuple
    di: bool
    counters: tuple
    encoders: tuple
    code_bytes: int
    rate_code: int
    rate: float
    group_bytes: int
    groups: int
    start_ns: int
    first_index: int
    gaps: list                # (position, missing, cause, estimated)
    settings: list            # Settings, by position
    timeline_source: str      # "sidecar", "header"
    module: dict = field(default_factory=dict)
    complete: bool = False
    library_version: str = ""

    @property
    def module_label(self):
        m = self.module
        if "host" in m:
            return f"{m['host']}:{m.get('command_port', '')}".rstrip(":")
        return ""

    def runs(self):
        """Contiguous runs of groups: (first position, count, first index)."""
        out, position, index = [], 0, self.first_index
        for gap_position, missing, _, _ in self.gaps:
            gap_position = min(gap_position, self.groups)
            if gap_position > position:
                out.append((position, gap_position - position, index))
                index += gap_position - position
                position = gap_position
            index += missing
        if self.groups > position:
            out.append((position, self.groups - position, index))
        return out

    def indices(self):
        """The timeline index of every group (int64)."""
        parts = [np.arange(i, i + n, dtype=np.int64) for _, n, i in self.runs()]
        return np.concatenate(parts) if parts else np.zeros(0, np.int64)

    def group_dtype(self):
        code = "<i4" if self.code_bytes == 4 else "<i2"
        names = [f"ai{k}" for k in self.channels] + (["di"] if self.di else [])
        names += [f"ct{k}" for k in self.counters] + [f"ec{k}" for k in self.encoders]
        formats = [code] * len(self.channels) + (["<u2"] if self.di else [])
        formats += ["<u4"] * (len(self.counters) + len(self.encoders))
        return np.dtype({"names": names, "formats": formats})

    def pieces(self, position, count):
        """The bytes of groups position .. position + count - 1, as
        (file, offset, length) pieces of the chain: a group may straddle two
        files."""
        begin, end = position * self.group_bytes, (position + count) * self.group_bytes
        out, at = [], 0
        for path, header, data in self.files:
            lo, hi = max(begin, at), min(end, at + data)
            if lo < hi:
                out.append((path, header + lo - at, hi - lo))
            at += data
        return tuple(out)


def _header(path):
    with open(path, "rb") as f:
        head = f.read(HEADER_BYTES[1])
    if len(head) < HEADER_BYTES[0] or head[:4] != b"2270" or head[4] not in HEADER_BYTES:
        raise ValueError(f"{path}: not a recording (no header of a known version)")
    version = head[4]
    analog = [head[5 + 31 * k: 36 + 31 * k] for k in range(8)]
    counter = [head[255 + 10 * k: 265 + 10 * k] for k in range(4)]
    ext = head[310:318] if version >= 1 else bytes(8)
    return {
        "version": version,
        "channels": tuple(k + 1 for k in range(8) if analog[k][0] & 1),
        "di": bool(head[295] & 1),
        "counters": tuple(k + 1 for k in range(4) if counter[k][0] & 1),
        "encoders": tuple(k + 1 for k in range(2) if head[296 + k] & 1),
        "rate_code": struct.unpack_from("<i", head, 298)[0],
        "code_bytes": head[309],
        "settings": Settings(
            0,
            tuple(struct.unpack_from("<i", a, 5)[0] for a in analog),
            tuple(struct.unpack_from("<i", a, 1)[0] for a in analog),
            tuple(struct.unpack_from("<d", a, 9)[0] for a in analog),
            tuple(struct.unpack_from("<d", a, 17)[0] for a in analog),
            tuple(a[25] for a in analog), tuple(bool(b) for b in ext),
            tuple(struct.unpack_from("<b", c, 1)[0] for c in counter),
            tuple(struct.unpack_from("<d", c, 2)[0] for c in counter)),
    }


def _chain_files(first):
    files = []
    for path in recording_chain(first):
        size = os.path.getsize(path)
        if size == 0:
            continue   # the next file, created before its first block
        with open(path, "rb") as f:
            head = f.read(5)
        header = HEADER_BYTES.get(head[4], HEADER_BYTES[1]) if len(head) == 5 else size
        files.append((os.path.abspath(path), header, max(0, size - header)))
    return files


def _settings_entry(entry):
    analog = sorted(entry["analog"], key=lambda a: a["channel"])
    counters = sorted(entry["counters"], key=lambda c: c["counter"])
    if [a["channel"] for a in analog] != list(range(1, 9)) or \
            [c["counter"] for c in counters] != list(range(1, 5)):
        raise ValueError("settings entry without all 8 channels and 4 counters")
    return Settings(int(entry["position"]),
                    tuple(int(a["zero_code"]) for a in analog),
                    tuple(int(a["full_code"]) for a in analog),
                    tuple(float(a["full_scale"]) for a in analog),
                    tuple(float(a["offset"]) for a in analog),
                    tuple(int(a["range_code"]) for a in analog),
                    tuple(bool(a["extended_range"]) for a in analog),
                    tuple(int(c["mode"]) for c in counters),
                    tuple(float(c["base_ms"]) for c in counters))


def _consistent(meta, gaps, settings):
    """The checks the library makes before it trusts a sidecar."""
    first, groups = int(meta["first_index"]), int(meta["groups"])
    missing, last = 0, 0
    for number, gap in enumerate(meta["gaps"]):
        position = int(gap["position"])
        if int(gap["number"]) != number or position < last or position > groups or \
                int(gap["index"]) != first + position + missing or int(gap["missing"]) < 0:
            return False
        missing, last = missing + int(gap["missing"]), position
    if missing != int(meta["missing_groups"]) or \
            int(meta["next_index"]) != first + groups + missing:
        return False
    if not settings or settings[0].position != 0:
        return False
    positions = [s.position for s in settings]
    return positions == sorted(positions) and positions[-1] <= groups


def _read_sidecar(first):
    """The sidecar's fields when it is one this reader trusts, else None."""
    path = os.path.splitext(first)[0] + ".json"
    try:
        with open(path, encoding="utf-8") as f:
            meta = json.load(f)
        if meta.get("format") != SIDECAR_FORMAT or int(meta.get("version", 0)) < 1:
            return None
        gaps = [(int(g["position"]), int(g["missing"]), str(g["cause"]), bool(g["estimated"]))
                for g in meta["gaps"]]
        settings = [_settings_entry(s) for s in meta["settings"]]
        if not _consistent(meta, gaps, settings):
            return None
    except (OSError, ValueError, KeyError, TypeError):
        return None
    meta["_gaps"], meta["_settings"] = gaps, settings
    return meta


def _start_from_name(first):
    """Without a sidecar: the file name's local time, to the second."""
    m = _STAMP.search(os.path.basename(first))
    if not m:
        return 0
    y, mo, d, h, mi, s = (int(x) for x in m.groups())
    local = datetime.datetime(2000 + y, mo, d, h, mi, s).astimezone()
    return int(local.timestamp()) * _NS


def read_source(first):
    """A `Source` for the recording whose first file is `first`."""
    first = os.path.abspath(os.fspath(first))
    head = _header(first)
    files = _chain_files(first)
    layout_bytes = (len(head["channels"]) * head["code_bytes"] + 2 * head["di"] +
                    4 * len(head["counters"]) + 4 * len(head["encoders"]))
    if head["code_bytes"] not in (2, 4) and head["channels"]:
        raise ValueError(f"{first}: code width {head['code_bytes']} is neither 2 nor 4")
    total = sum(data for _, _, data in files)
    groups = total // layout_bytes if layout_bytes else 0
    meta = _read_sidecar(first)
    rate = float(GROUP_RATES.get(head["rate_code"], 0))
    source = Source(first, files, head["channels"], head["di"], head["counters"],
                    head["encoders"], head["code_bytes"], head["rate_code"], rate,
                    layout_bytes, groups, _start_from_name(first), 0, [], [head["settings"]],
                    "header")
    if meta is not None:
        app = (meta.get("application") or {}).get("kr2270") or {}
        source.rate = float(meta["group_rate"]) or rate
        source.start_ns = int(meta["start_unix_ns"])
        source.first_index = int(meta["first_index"])
        source.gaps = meta["_gaps"]
        source.settings = meta["_settings"]
        source.timeline_source = "sidecar"
        source.module = dict(app.get("module") or {})
        source.complete = bool(meta.get("complete"))
        source.library_version = str(meta.get("library_version", ""))
    if not source.rate:
        raise ValueError(f"{first}: rate code {head['rate_code']} is not in the table")
    return source


# --- time ------------------------------------------------------------------

def index_to_ns(indices, rate):
    """index / rate in nanoseconds, rounded to the nearest, exact in int64
    for any index a run can reach."""
    indices = np.asarray(indices, dtype=np.int64)
    if float(rate).is_integer():
        r = int(rate)
        whole, part = np.divmod(indices, r)
        return whole * _NS + (part * _NS + r // 2) // r
    return np.round(indices * (_NS / rate)).astype(np.int64)


# --- the chunk tasks (what runs on a worker) --------------------------------

def read_rows(rows, copies, dtype_descr):
    """A chunk of `rows` groups: each copy (row, count, pieces) puts `count`
    groups, read from the (file, offset, length) pieces, at `row`. Rows no
    copy fills stay zero (a module without groups there)."""
    dtype = np.dtype(dtype_descr)
    out = np.zeros(rows, dtype)
    raw = memoryview(out.view(np.uint8).reshape(-1))
    for row, count, pieces in copies:
        at = row * dtype.itemsize
        for path, offset, length in pieces:
            # A positioned read straight into the chunk: one copy by the
            # kernel, about twice as fast here as copying from a memory map.
            with open(path, "rb", buffering=0) as f:
                f.seek(offset)
                got = f.readinto(raw[at: at + length])
            if got != length:
                raise OSError(f"{path}: {got} of {length} bytes at {offset}: the file shrank")
            at += length
    return out


def codes_of(raw, name, code_bytes):
    """Sign-extended 24-bit codes of one channel (a 2-byte code is the upper
    16 bits)."""
    words = raw[name]
    if code_bytes == 2:
        return words.astype(np.int32) << 8
    return (words.astype(np.uint32) << np.uint32(8)).view(np.int32) >> 8


def volts_of(raw, name, code_bytes, spans, tables):
    """Volts by the line through each settings entry's calibration pair:
    (code - zero) * (full_scale - offset) / (full - zero) + offset, code
    differences wrapping as int32; NaN where no group is."""
    codes = codes_of(raw, name, code_bytes)
    out = np.full(codes.shape, np.nan)
    for lo, hi, s in spans:
        zero, value_span, code_span, offset = tables[s]
        from_zero = (codes[lo:hi] - np.int32(zero)).astype(np.float64)
        out[lo:hi] = from_zero * value_span / code_span + offset
    return out


def counter_values_of(raw, name, spans, tables):
    """Counts (mode 0), or 1/s per base period (1) or period (3); NaN in the
    other modes and where no group is."""
    counts = raw[name].astype(np.float64)
    out = np.full(counts.shape, np.nan)
    for lo, hi, s in spans:
        mode, base_s = tables[s]
        c = counts[lo:hi]
        if mode == 0:
            out[lo:hi] = c
        elif mode == 1:
            out[lo:hi] = c / base_s
        elif mode == 3:
            with np.errstate(divide="ignore"):
                out[lo:hi] = 1.0 / (base_s * c)
    return out


def field_of(raw, name, spans, kind, code_bytes, missing_as_nan):
    """A plain field: codes, digital word, counts, encoder positions."""
    if kind == "code":
        values = codes_of(raw, name, code_bytes)
    elif kind == "ec":
        values = raw[name].view(np.int32)
    else:
        values = raw[name].copy()
    if not missing_as_nan:
        return values
    out = np.full(values.shape, np.nan)
    for lo, hi, _ in spans:
        out[lo:hi] = values[lo:hi]
    return out


# --- rows: which group goes where -------------------------------------------

@dataclass
class Rows:
    """The dataset's rows of one module: copies (row, count, source number,
    first position), sorted by row, and the total number of rows."""
    total: int
    copies: list

    def chunk(self, lo, hi):
        """The copies clipped to rows lo .. hi - 1, rows counted from lo."""
        out = []
        for row, count, s, position in self.copies:
            a, b = max(lo, row), min(hi, row + count)
            if a < b:
                out.append((a - lo, b - a, s, position + a - row))
        return out

    @property
    def full(self):
        return sum(c[1] for c in self.copies) == self.total


def _spans(copies, sources, settings_base):
    """Per clipped copy, the rows each settings entry converts: (lo, hi,
    global settings number)."""
    spans = []
    for row, count, s, position in copies:
        entries = sources[s].settings
        for k, entry in enumerate(entries):
            start = entry.position
            end = entries[k + 1].position if k + 1 < len(entries) else None
            a = max(position, start)
            b = position + count if end is None else min(position + count, end)
            if a < b:
                spans.append((row + a - position, row + b - position, settings_base[s] + k))
    return spans


# --- the dataset ------------------------------------------------------------

def _expand(paths):
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    out = []
    for p in paths:
        p = os.fspath(p)
        if os.path.isdir(p):
            p = os.path.join(p, "*_1.dat")
        matches = sorted(glob.glob(p)) if glob.has_magic(p) else [p]
        if not matches:
            raise FileNotFoundError(f"no recording matches {p}")
        for m in matches:
            if m.endswith(".json"):
                m = m[:-len(".json")] + ".dat"
            m = re.sub(r"_\d+\.dat$", "_1.dat", m)
            if os.path.abspath(m) not in out:
                out.append(os.path.abspath(m))
    if not out:
        raise ValueError("no recordings given")
    return out


def _chunk_bounds(total, size):
    return [(lo, min(total, lo + size)) for lo in range(0, total, size)] or [(0, 0)]


def _wrapped(difference):
    """A code difference taken modulo 2^32 as int32, as the library takes it."""
    return (difference + (1 << 31)) % (1 << 32) - (1 << 31)


def _tables(sources):
    """The conversion numbers of every settings entry of every source, and
    where each source's entries begin."""
    base, analog, counter = [], [], []
    for src in sources:
        base.append(len(analog))
        for s in src.settings:
            analog.append(tuple((s.zero_code[k], s.full_scale[k] - s.offset[k],
                                 float(_wrapped(s.full_code[k] - s.zero_code[k])), s.offset[k])
                                for k in range(8)))
            counter.append(tuple((s.counter_mode[k], s.counter_base_ms[k] / 1000.0)
                                 for k in range(4)))
    return base, analog, counter


def _variables(sources, rows, chunk_groups, codes):
    """Dask arrays, one per variable, over `rows` (a Rows per module; one
    module: 1-D, several: stacked along a first dimension)."""
    import dask.array as da
    from dask.base import tokenize
    from dask.highlevelgraph import HighLevelGraph

    layout = sources[0]
    dtype = layout.group_dtype()
    descr = dtype.descr
    base, analog, counter = _tables(sources)
    bounds = _chunk_bounds(rows[0].total, chunk_groups)
    chunks = (tuple(hi - lo for lo, hi in bounds),)
    nan_fill = not all(r.full for r in rows)

    def raw_array(r):
        name = "kr2270-groups-" + tokenize(descr, [s.path for s in sources], r.copies, bounds)
        graph = {}
        for i, (lo, hi) in enumerate(bounds):
            copies = tuple((row, n, sources[s].pieces(p, n)) for row, n, s, p in r.chunk(lo, hi))
            graph[(name, i)] = (read_rows, hi - lo, copies, descr)
        return da.Array(graph, name, chunks, dtype=dtype), name

    def derived(raw, raw_name, r, label, fn, out_dtype, options, *table):
        # Each task: fn(raw chunk, options, spans of its rows[, table]).
        name = f"kr2270-{label}-" + tokenize(raw_name, label, options, table)
        graph = {}
        for i, (lo, hi) in enumerate(bounds):
            spans = tuple(_spans(r.chunk(lo, hi), sources, base))
            graph[(name, i)] = (fn, (raw_name, i), options, spans, *table)
        hlg = HighLevelGraph.from_collections(name, graph, dependencies=[raw])
        return da.Array(hlg, name, chunks, dtype=out_dtype)

    per_module = []
    for r in rows:
        raw, raw_name = raw_array(r)
        v = {}
        for k in layout.channels:
            table = tuple(a[k - 1] for a in analog)
            v[f"ai{k}"] = derived(raw, raw_name, r, f"ai{k}", _volts_task, np.float64,
                                  (f"ai{k}", layout.code_bytes), table)
            if codes:
                v[f"code{k}"] = derived(raw, raw_name, r, f"code{k}", _field_task,
                                        np.float64 if nan_fill else np.int32,
                                        (f"ai{k}", "code", layout.code_bytes, nan_fill))
        if layout.di:
            v["di"] = derived(raw, raw_name, r, "di", _field_task,
                              np.float64 if nan_fill else np.uint16, ("di", "di", 0, nan_fill))
        for k in layout.counters:
            v[f"ct{k}"] = derived(raw, raw_name, r, f"ct{k}", _field_task,
                                  np.float64 if nan_fill else np.uint32,
                                  (f"ct{k}", "ct", 0, nan_fill))
            table = tuple(c[k - 1] for c in counter)
            v[f"ct{k}_value"] = derived(raw, raw_name, r, f"ct{k}_value", _counter_task,
                                        np.float64, (f"ct{k}",), table)
        for k in layout.encoders:
            v[f"ec{k}"] = derived(raw, raw_name, r, f"ec{k}", _field_task,
                                  np.float64 if nan_fill else np.int32,
                                  (f"ec{k}", "ec", 0, nan_fill))
        per_module.append(v)
    if len(rows) == 1:
        return per_module[0]
    return {name: da.stack([v[name] for v in per_module]) for name in per_module[0]}


# Task bodies with their arguments in graph order: (raw, options, spans, table).
def _volts_task(raw, options, spans, table):
    name, code_bytes = options
    return volts_of(raw, name, code_bytes, spans, table)


def _counter_task(raw, options, spans, table):
    return counter_values_of(raw, options[0], spans, table)


def _field_task(raw, options, spans):
    name, kind, code_bytes, nan_fill = options
    return field_of(raw, name, spans, kind, code_bytes, nan_fill)


def _same_layout(sources):
    first = sources[0]
    for s in sources[1:]:
        if s.group_dtype() != first.group_dtype() or s.code_bytes != first.code_bytes:
            raise ValueError(f"{s.path} holds other channels than {first.path}: "
                             "recordings joined in one data set need the same layout")


def _rows_along_time(sources):
    copies, row = [], 0
    for s, src in enumerate(sources):
        if src.groups:
            copies.append((row, src.groups, s, 0))
        row += src.groups
    return Rows(row, copies)


def _grid(sources):
    """Every module's groups placed on one grid of group periods from the
    earliest start: each start rounded to the nearest period, the remainder
    kept as the module's start offset. Returns the grid's runs (first grid
    index, count), a Rows per module and the offsets (ns)."""
    rate = sources[0].rate
    if any(s.rate != rate for s in sources):
        raise ValueError("modules joined along 'module' need the same group rate")
    reference = min(s.start_ns for s in sources)
    period_ns = _NS / rate
    shifts, offsets, intervals = [], [], []
    for src in sources:
        shift = int(round((src.start_ns - reference) / period_ns))
        shifts.append(shift)
        offsets.append(src.start_ns - reference - int(index_to_ns(shift, rate)))
        intervals += [(i + shift, i + shift + n) for _, n, i in src.runs()]
    union = []
    for lo, hi in sorted(intervals):
        if union and lo <= union[-1][1]:
            union[-1][1] = max(union[-1][1], hi)
        else:
            union.append([lo, hi])
    starts = np.array([lo for lo, _ in union], dtype=np.int64)
    row_of = np.concatenate([[0], np.cumsum([hi - lo for lo, hi in union])]).astype(np.int64)
    total = int(row_of[-1])
    rows = []
    for s, src in enumerate(sources):
        copies = []
        for position, n, index in src.runs():
            g = index + shifts[s]
            u = int(np.searchsorted(starts, g, side="right")) - 1
            copies.append((int(row_of[u] + g - starts[u]), n, s, position))
        rows.append(Rows(total, sorted(copies)))
    grid = [(lo, hi - lo) for lo, hi in union]
    return grid, rows, offsets, reference


def _time_of_rows(sources):
    return np.concatenate([src.start_ns + index_to_ns(src.indices(), src.rate)
                           for src in sources]).view("datetime64[ns]")


def _time_of_grid(grid, reference, rate):
    parts = [np.arange(lo, lo + n, dtype=np.int64) for lo, n in grid]
    index = np.concatenate(parts) if parts else np.zeros(0, np.int64)
    return (reference + index_to_ns(index, rate)).view("datetime64[ns]")


def _module_labels(sources):
    """The module address of each recording; a recording whose sidecar names
    none (one the Python package or another program made) by its path."""
    folders = os.path.commonpath([os.path.dirname(s.path) for s in sources])
    return [s.module_label or os.path.relpath(s.path, folders) for s in sources]


def _utc(ns):
    return str(np.datetime64(int(ns), "ns")) + "Z"


def _variable_attrs(name, src):
    s0 = src.settings[0]
    number = int(re.sub(r"\D", "", name) or 0)
    if name.startswith("ai"):
        k = number - 1
        return {"units": "V", "long_name": f"analog input {number}",
                "full_scale": s0.full_scale[k], "offset": s0.offset[k],
                "range_code": s0.range_code[k], "extended_range": int(s0.extended_range[k]),
                "zero_code": s0.zero_code[k], "full_code": s0.full_code[k],
                "settings_entries": len(src.settings)}
    if name.startswith("code"):
        return {"units": "1", "long_name": f"code of analog input {number}, 24-bit signed"}
    if name == "di":
        return {"units": "1", "long_name": "digital inputs, input 1 in bit 0"}
    if name.startswith("ct") and name.endswith("_value"):
        mode = s0.counter_mode[number - 1]
        return {"units": "1" if mode == 0 else "s-1",
                "long_name": f"counter {number}, converted by its mode",
                "mode": mode, "base_ms": s0.counter_base_ms[number - 1]}
    if name.startswith("ct"):
        return {"units": "1", "long_name": f"counter {number}, raw count"}
    return {"units": "1", "long_name": f"encoder {number} position"}


def _recording_attrs(src):
    return {"recording": os.path.basename(src.path),
            "module": src.module_label,
            "rate_code": src.rate_code, "group_rate": src.rate,
            "start_utc": _utc(src.start_ns), "start_unix_ns": src.start_ns,
            "first_index": src.first_index, "groups": src.groups,
            "gaps": len(src.gaps), "missing_groups": sum(g[1] for g in src.gaps),
            "gap_positions": [g[0] for g in src.gaps],
            "gap_missing": [g[1] for g in src.gaps],
            "gap_causes": [g[2] for g in src.gaps],
            "code_bytes": src.code_bytes, "complete": int(src.complete),
            "timeline_source": src.timeline_source,
            "library_version": src.library_version}


def open_dataset(paths, along=None, chunk_groups=DEFAULT_CHUNK_GROUPS, codes=False):
    """An `xarray.Dataset` over one or more recordings, backed lazily by Dask.

    paths: a recording's first file (X_1.dat; another file of its chain or
    its sidecar X_1.json names it too), a folder (its recordings), a list of
    these, or a glob pattern.
    along: "time" joins the recordings one after the other (runs of one
    module, in order of their start); "module" stacks them along a `module`
    dimension (one recording per module, aligned by their start times);
    None picks "module" when the sidecars name more than one module address
    (`kr2270 acquire` and `scope` write it), else "time". chunk_groups: groups per chunk along time. codes:
    also the analog codes, as `code1` .. `code8`.

    Variables: `ai1`.. in volts, each group converted with the settings in
    force at its position; `di` (the 16 inputs as one word), `ct1`.. (raw
    counts) and `ct1_value`.. (by the counter's mode), `ec1`, `ec2` (signed
    positions). The `time` coordinate is UTC, from the sidecar's start and
    every group's index, so a gap is a jump in time with no rows in it.

    Along "module", the grid is that of the earliest start: each module's
    groups sit at their index plus its start rounded to whole group periods;
    the remainder (less than half a period) is the `start_offset` coordinate.
    Where a module has no group at a row (a gap of its own, or before its
    start or after its end) its values are NaN and integer variables become
    float64 there; nothing is filled in.
    """
    import xarray as xr

    sources = [read_source(p) for p in _expand(paths)]
    sources.sort(key=lambda s: (s.start_ns, s.path))
    _same_layout(sources)
    modules = {s.module_label for s in sources if s.module_label}
    if along is None:
        along = "module" if len(modules) > 1 else "time"
    if along not in ("time", "module"):
        raise ValueError(f"along must be 'time' or 'module', not {along!r}")
    chunk_groups = int(chunk_groups)
    if chunk_groups < 1:
        raise ValueError("chunk_groups must be at least 1")

    if along == "time":
        rows = [_rows_along_time(sources)]
        time = _time_of_rows(sources)
        dims = ("time",)
        coords = {"time": time}
    else:
        labels = _module_labels(sources)
        if len(set(labels)) != len(sources):
            raise ValueError("along='module' takes one recording per module: open each run's "
                             "modules and join the runs with xarray.concat(..., 'time')")
        grid, rows, offsets, reference = _grid(sources)
        dims = ("module", "time")
        coords = {"time": _time_of_grid(grid, reference, sources[0].rate),
                  "module": labels,
                  "start": ("module", np.array([s.start_ns for s in sources],
                                               np.int64).view("datetime64[ns]")),
                  "start_offset": ("module", np.array(offsets, np.int64).view("timedelta64[ns]")),
                  "recording": ("module", [os.path.basename(s.path) for s in sources])}
    arrays = _variables(sources, rows, chunk_groups, codes)
    data = {name: (dims, array, _variable_attrs(name, sources[0]))
            for name, array in arrays.items()}
    ds = xr.Dataset(data, coords=coords)
    ds["time"].attrs.update({"long_name": "time of the group (UTC)",
                             "comment": "start_unix_ns + index / group_rate; gaps are jumps"})
    first = _recording_attrs(sources[0])
    ds.attrs.update({"source": "kr2270c recording", "joined_along": along,
                     "recordings": [os.path.basename(s.path) for s in sources],
                     **first})
    if along == "module":
        ds.attrs.pop("module")
    if len(sources) > 1:
        for key in ("gaps", "missing_groups", "groups"):
            ds.attrs[key] = sum(_recording_attrs(s)[key] for s in sources)
        for key in ("gap_positions", "gap_missing", "gap_causes", "recording", "start_utc",
                    "start_unix_ns", "first_index"):
            ds.attrs.pop(key, None)
        ds.attrs["starts_utc"] = [_utc(s.start_ns) for s in sources]
    return ds
