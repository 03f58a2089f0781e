"""HDF5, CSV and NPY export of recordings and blocks, in bounded memory.

The HDF5 file is laid out as netCDF-4 with CF conventions, so that h5py
reads it as plain data sets and xarray (engine "h5netcdf") as a data set
with a real time axis: `time` is a coordinate in seconds since the start
(UTC), gaps are jumps in it, and the gap table runs along `gap_time`."""
import json
import os

import numpy as np

from . import csv_format
from ._library import version
from .block import GAP_CAUSES, Block
from .settings import positive_size

FORMAT = "kr2270 acquisition 2"
CHUNK_GROUPS = 1 << 16
PIECE_GROUPS = 1 << 18


class _Source:
    """What an export needs to know of a recording or a block."""

    def __init__(self, source, piece_groups):
        self.piece_groups = positive_size(piece_groups, "piece_groups")
        self.source = source
        self.layout, self.groups = source.layout, len(source)
        if isinstance(source, Block):
            self.settings = dict(source.settings) or {"rate": source.rate}
            self.gaps, self.missing_before = list(source.gaps), source.missing_before
            self.start_utc, self.file = source.start_utc, ""
            self.end, self.tool_version = ("", ""), ""
        else:
            timeline = source.timeline
            self.settings = source.settings()
            self.gaps, self.missing_before = list(timeline.gaps), 0
            self.start_utc, self.file = timeline.start_utc, source.path
            self.end, self.tool_version = (timeline.end_reason, timeline.end_detail), \
                timeline.tool_version

    def pieces(self):
        if isinstance(self.source, Block):
            yield self.source
        else:
            yield from self.source.blocks(self.piece_groups)

    @property
    def rate(self):
        return float(self.settings.get("rate", self.layout.rate))

    def gap_times(self):
        """Seconds (on the time axis) of the first group after each gap."""
        missing, times = self.missing_before, []
        for gap in self.gaps:
            missing += gap.missing_groups
            times.append((gap.group_index + missing) / self.rate if self.rate else 0.0)
        return times


def _time_attrs(source):
    if source.start_utc is None:
        return {"units": "s", "long_name": "seconds from the first group, gaps included"}
    from .timeline import utc_text
    return {"units": f"seconds since {utc_text(source.start_utc)}", "calendar": "standard",
            "standard_name": "time", "axis": "T",
            "long_name": "time of the group, gaps included"}


def _root_attrs(source):
    settings, module = source.settings, source.settings.get("module", {})
    from .timeline import utc_text
    return {"Conventions": "CF-1.8", "title": "kr2270 acquisition", "format": FORMAT,
            "source_file": source.file, "rate": source.rate, "rate_unit": "groups/s",
            "groups": source.groups,
            "seconds": source.groups / source.rate if source.rate else 0.0,
            "start_utc": utc_text(source.start_utc) if source.start_utc else "unknown",
            "module_host": str(module.get("host", "unknown")),
            "module_command_port": int(module.get("command_port", 0)),
            "module_data_port": int(module.get("data_port", 0)),
            "library_version": version(), "tool_version": source.tool_version or "unknown",
            "end_reason": source.end[0] or "unknown", "end_detail": source.end[1],
            "settings_json": json.dumps(settings)}


def _set_attrs(node, values):
    for key, value in values.items():
        node.attrs[key] = value if not isinstance(value, (list, tuple)) or value else np.array([])


def to_hdf5(source, path, compression="gzip", level=1, piece_groups=PIECE_GROUPS):
    """Writes `source` (a Recording or a Block) to `path`, read piece by
    piece; see docs/python.md for the layout."""
    import h5py

    src = _Source(source, piece_groups)
    with h5py.File(path, "w") as f:
        _set_attrs(f, _root_attrs(src))
        datasets = _create_datasets(f, src, compression, level)
        _write_gaps(f, src)
        row = 0
        for piece in src.pieces():
            end = row + len(piece)
            for name, array in (("time", piece.time), ("ai", piece.ai), ("ai_code", piece.codes),
                                ("di", piece.di), ("ct", piece.counters),
                                ("ec", piece.encoders)):
                if name in datasets:
                    datasets[name][row:end] = array
            row = end
    return path


def _create_datasets(f, src, compression, level):
    layout, n, settings = src.layout, src.groups, src.settings

    def dataset(name, shape, dtype, dims, attrs):
        chunks = (min(n, CHUNK_GROUPS),) + shape[1:] if n else None
        options = {"compression": compression, "compression_opts": level,
                   "shuffle": True} if n and compression else {}
        data = f.create_dataset(name, shape=shape, dtype=dtype, chunks=chunks, **options)
        for axis, scale in enumerate(dims):
            data.dims[axis].attach_scale(f[scale])
        _set_attrs(data, attrs)
        return data

    def per_channel(key, ids):
        return {key: np.array([settings[key][i - 1] for i in ids])} if key in settings else {}

    out = {"time": dataset("time", (n,), np.float64, (), _time_attrs(src))}
    out["time"].make_scale("time")
    for name, ids, long_name in (("ai_channel", layout.channels, "analog input"),
                                 ("counter", layout.counters, "counter"),
                                 ("encoder", layout.encoders, "encoder")):
        if ids:
            scale = f.create_dataset(name, data=np.array(ids, np.int32))
            scale.attrs["long_name"] = long_name
            scale.make_scale(name)
    if layout.channels:
        attrs = {"units": "V", "long_name": "analog input",
                 "names": [f"ai{c}" for c in layout.channels]}
        for key in ("span_volts", "offset_volts", "range_codes", "zero_codes", "full_codes",
                    "end_modes"):
            attrs.update(per_channel(key, layout.channels))
        if "code_bytes" in settings:
            attrs["code_bytes"] = settings["code_bytes"]
        out["ai"] = dataset("ai", (n, len(layout.channels)), np.float64,
                            ("time", "ai_channel"), attrs)
        out["ai_code"] = dataset("ai_code", (n, len(layout.channels)), np.int32,
                                 ("time", "ai_channel"),
                                 {"units": "1", "long_name": "sign-extended 24-bit code"})
    if layout.di:
        out["di"] = dataset("di", (n,), np.uint16, ("time",),
                            {"units": "1", "long_name": "digital inputs, bit j is input j+1"})
    if layout.counters:
        attrs = {"units": "count", "long_name": "counter value",
                 "names": [f"ct{c}" for c in layout.counters]}
        for key in ("counter_modes", "counter_base_seconds"):
            attrs.update(per_channel(key, layout.counters))
        out["ct"] = dataset("ct", (n, len(layout.counters)), np.uint32, ("time", "counter"),
                            attrs)
    if layout.encoders:
        out["ec"] = dataset("ec", (n, len(layout.encoders)), np.int32, ("time", "encoder"),
                            {"units": "count", "long_name": "encoder position",
                             "names": [f"ec{e}" for e in layout.encoders]})
    for key in ("zero_codes", "full_codes"):
        if key in settings:
            f.attrs[f"calibration_{key}"] = np.array(settings[key], np.int32)
    return out


def _write_gaps(f, src):
    gaps, attrs = src.gaps, _time_attrs(src)
    attrs = dict(attrs, long_name="time of the first group after the gap")
    scale = f.create_dataset("gap_time", data=np.array(src.gap_times(), np.float64))
    _set_attrs(scale, attrs)
    scale.make_scale("gap_time")
    for name, values, dtype, extra in (
            ("gap_group_index", [g.group_index for g in gaps], np.uint64,
             {"long_name": "index of the first group after the gap"}),
            ("gap_missing_groups", [g.missing_groups for g in gaps], np.uint64,
             {"long_name": "groups missing", "units": "1"}),
            ("gap_cause", [g.cause for g in gaps], np.int32,
             {"long_name": "why the groups are missing",
              "flag_values": np.array(sorted(GAP_CAUSES), np.int32),
              "flag_meanings": " ".join(GAP_CAUSES[k].replace(" ", "_")
                                        for k in sorted(GAP_CAUSES))}),
            ("gap_estimated", [int(g.estimated) for g in gaps], np.int8,
             {"long_name": "1: the length is estimated from time and rate"})):
        data = f.create_dataset(name, data=np.array(values, dtype))
        data.dims[0].attach_scale(scale)
        _set_attrs(data, extra)


def to_csv(source, path, codes=False, piece_groups=PIECE_GROUPS):
    """Writes `source` in the CSV dialect of `kr2270 acquire` and `kr2270
    play` (see `kr2270.csv_format`); `codes` adds each channel's code."""
    src = _Source(source, piece_groups)
    with open(path, "w", newline="", encoding="utf-8") as out:
        out.write(",".join(csv_format.columns(src.layout, codes)) + "\n")
        for piece in src.pieces():
            out.write(csv_format.rows(piece, codes))
    return path


def to_npy(source, directory, piece_groups=PIECE_GROUPS):
    """One .npy per kind in `directory`: time.npy (seconds, gaps included),
    ai.npy (volts), codes.npy, di.npy, counters.npy, encoders.npy (signed);
    returns the paths written."""
    src = _Source(source, piece_groups)
    os.makedirs(directory, exist_ok=True)
    layout, n = src.layout, src.groups
    kinds = [("time", np.float64, None), ("ai", np.float64, len(layout.channels)),
             ("codes", np.int32, len(layout.channels)),
             ("di", np.uint16, None if layout.di else 0),
             ("counters", np.uint32, len(layout.counters)),
             ("encoders", np.int32, len(layout.encoders))]
    files = {}
    for name, dtype, width in kinds:
        if width == 0:
            continue
        shape = (n,) if width is None else (n, width)
        path = os.path.join(directory, f"{name}.npy")
        files[name] = (path, np.lib.format.open_memmap(path, "w+", dtype, shape))
    row = 0
    for piece in src.pieces():
        for name, (_, array) in files.items():
            array[row:row + len(piece)] = getattr(piece, name)
        row += len(piece)
    paths = []
    for path, array in files.values():
        array.flush()
        del array
        paths.append(path)
    return paths
