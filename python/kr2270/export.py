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

FORMAT = "kr2270 acquisition 3"
CHUNK_GROUPS = 1 << 16
PIECE_GROUPS = 1 << 18


class _Source:
    """What an export needs to know of a recording or a block: its groups,
    and its timeline as the library gave it (start, gaps, settings)."""

    def __init__(self, source, piece_groups):
        self.piece_groups = positive_size(piece_groups, "piece_groups")
        self.source = source
        self.layout, self.groups = source.layout, len(source)
        self.gaps, self.conversions = list(source.gaps), list(source.conversions)
        if isinstance(source, Block):
            self.settings = dict(source.settings) or {"rate": source.rate}
            self.start_unix_ns, self.file = source.start_unix_ns, ""
            self.run, self.recorded_by, self.complete = {}, "", None
            self.first_row = source.first_row
        else:
            self.settings = source.settings()
            self.start_unix_ns, self.file = source.timeline.start_unix_ns, source.path
            self.run = source.run
            self.recorded_by = str(source.sidecar.get("library_version", ""))
            self.complete = source.timeline.complete
            self.first_row = 0

    def pieces(self):
        if isinstance(self.source, Block):
            yield self.source
        else:
            yield from self.source.blocks(self.piece_groups)

    @property
    def rate(self):
        return float(self.settings.get("rate", self.layout.rate))

    def seconds_of(self, indices):
        indices = np.asarray(indices, np.float64)
        return indices / self.rate if self.rate else indices

    def rows_before(self, gap_or_settings):
        """Rows of the export before the group at its place: a recording's
        rows are its positions; a block's are found by index."""
        if not isinstance(self.source, Block):
            return gap_or_settings.position
        index = gap_or_settings.index
        return int(np.searchsorted(self.source.index, index, side="left"))


def _time_attrs(source):
    from .timeline import utc_text
    if not source.start_unix_ns:
        return {"units": "s", "long_name": "seconds from the run's first group, gaps included"}
    return {"units": f"seconds since {utc_text(source.start_unix_ns)}", "calendar": "standard",
            "standard_name": "time", "axis": "T",
            "long_name": "time of the group, gaps included"}


def _root_attrs(source):
    from .timeline import utc_text
    settings, run = source.settings, source.run
    module = run.get("module") if isinstance(run.get("module"), dict) else \
        settings.get("module", {})
    end = run.get("end") if isinstance(run.get("end"), dict) else {}
    return {"Conventions": "CF-1.8", "title": "kr2270 acquisition", "format": FORMAT,
            "source_file": source.file, "rate": source.rate, "rate_unit": "groups/s",
            "groups": source.groups,
            "seconds": source.groups / source.rate if source.rate else 0.0,
            "start_utc": utc_text(source.start_unix_ns) or "unknown",
            "start_unix_ns": np.int64(source.start_unix_ns),
            "module_host": str(module.get("host", "unknown")),
            "module_command_port": int(module.get("command_port", 0)),
            "module_data_port": int(module.get("data_port", 0)),
            "library_version": version(),
            "recording_library_version": source.recorded_by or "unknown",
            "tool_version": str(run.get("tool_version", "unknown")),
            "recording_complete": "unknown" if source.complete is None else
            ("yes" if source.complete else "no"),
            "end_reason": str(end.get("reason", "unknown")),
            "end_detail": str(end.get("detail", "")),
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
        _write_settings(f, src)
        row = 0
        for piece in src.pieces():
            end = row + len(piece)
            for name, array in (("time", piece.time), ("index", piece.index), ("ai", piece.ai),
                                ("ai_code", piece.codes), ("di", piece.di),
                                ("ct", piece.counters), ("ec", piece.encoders)):
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
    out["index"] = dataset("index", (n,), np.uint64, ("time",),
                           {"units": "1", "long_name": "timeline index: group periods since "
                                                       "the run's first group"})
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


def _along(f, scale_name, scale_values, scale_attrs, columns):
    """A table along its own axis: the coordinate, then each column
    (name, values, dtype, attributes, second axis or None)."""
    scale = f.create_dataset(scale_name, data=np.array(scale_values, np.float64))
    _set_attrs(scale, scale_attrs)
    scale.make_scale(scale_name)
    for name, values, dtype, attrs, second in columns:
        width = () if second is None else (len(f[second]),)
        data = f.create_dataset(name, data=np.array(values, dtype).reshape((-1,) + width))
        data.dims[0].attach_scale(scale)
        if second is not None:
            data.dims[1].attach_scale(f[second])
        _set_attrs(data, attrs)


def _write_gaps(f, src):
    gaps = src.gaps
    _along(f, "gap_time", src.seconds_of([g.index for g in gaps]),
           dict(_time_attrs(src), long_name="time of the first missing group"), [
               ("gap_index", [g.index for g in gaps], np.uint64,
                {"long_name": "timeline index of the first missing group"}, None),
               ("gap_missing_groups", [g.missing for g in gaps], np.uint64,
                {"long_name": "groups missing", "units": "1"}, None),
               ("gap_row", [src.rows_before(g) for g in gaps], np.uint64,
                {"long_name": "rows of this file before the gap", "units": "1"}, None),
               ("gap_cause", [g.cause for g in gaps], np.int32,
                {"long_name": "why the groups are missing",
                 "flag_values": np.array(sorted(GAP_CAUSES), np.int32),
                 "flag_meanings": " ".join(GAP_CAUSES[k].replace(" ", "_")
                                           for k in sorted(GAP_CAUSES))}, None),
               ("gap_estimated", [int(g.estimated) for g in gaps], np.int8,
                {"long_name": "1: the length is estimated from the host clock"}, None)])


def _write_settings(f, src):
    """The settings in force: what the first group converts with, then each
    change, from the time of the first group it converts."""
    entries, layout = src.conversions, src.layout
    analog = [c - 1 for c in layout.channels]
    counters = [c - 1 for c in layout.counters]
    columns = [("settings_index", [e.index for e in entries], np.uint64,
                {"long_name": "timeline index of the first group they convert"}, None),
               ("settings_row", [src.rows_before(e) for e in entries], np.uint64,
                {"long_name": "rows of this file before it", "units": "1"}, None)]
    if analog:
        for name, key, dtype, attrs in (
                ("settings_zero_codes", "zero_codes", np.int32, {"units": "1"}),
                ("settings_full_codes", "full_codes", np.int32, {"units": "1"}),
                ("settings_span_volts", "span_volts", np.float64, {"units": "V"}),
                ("settings_offset_volts", "offset_volts", np.float64, {"units": "V"}),
                ("settings_range_codes", "range_codes", np.uint8, {"units": "1"}),
                ("settings_extended_range", "extended_ranges", np.uint8, {"units": "1"})):
            values = [[getattr(e, key)[k] for k in analog] for e in entries]
            columns.append((name, values, dtype, attrs, "ai_channel"))
    if counters:
        for name, key, dtype, attrs in (
                ("settings_counter_modes", "counter_modes", np.int8, {"units": "1"}),
                ("settings_counter_base_seconds", "counter_base_seconds", np.float64,
                 {"units": "s"})):
            values = [[getattr(e, key)[k] for k in counters] for e in entries]
            columns.append((name, values, dtype, attrs, "counter"))
    _along(f, "settings_time", src.seconds_of([e.index for e in entries]),
           dict(_time_attrs(src), long_name="time of the first group they convert"), columns)


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
    index.npy (timeline indices), ai.npy (volts), codes.npy, di.npy,
    counters.npy, encoders.npy (signed); returns the paths written."""
    src = _Source(source, piece_groups)
    os.makedirs(directory, exist_ok=True)
    layout, n = src.layout, src.groups
    kinds = [("time", np.float64, None), ("index", np.uint64, None),
             ("ai", np.float64, len(layout.channels)),
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
