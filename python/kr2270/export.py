"""HDF5, CSV and NPY export of recordings and blocks, in bounded memory."""
import json
import os

import numpy as np

from ._library import version
from .block import Block

FORMAT = "kr2270 acquisition"
CHUNK_GROUPS = 1 << 16
PIECE_GROUPS = 1 << 18
GAP_DTYPE = np.dtype([("group_index", "<u8"), ("missing_groups", "<u8"),
                      ("cause", "<i4"), ("estimated", "<i4")])


def _pieces(source, piece_groups):
    if isinstance(source, Block):
        yield source
    else:
        yield from source.blocks(piece_groups)


def _describe(source):
    """Layout, length, settings and gaps of a recording or a block."""
    if isinstance(source, Block):
        settings = {"channels": list(source.layout.channels), "di": source.layout.di,
                    "counters": list(source.layout.counters),
                    "encoders": list(source.layout.encoders), "rate": source.rate}
        return source.layout, len(source), settings, list(source.gaps), "", None
    calibration = (source.zero_codes, source.full_codes)
    return source.layout, len(source), source.settings(), [], source.path, calibration


def _gap_table(gaps):
    return np.array([(g.group_index, g.missing_groups, g.cause, int(g.estimated)) for g in gaps],
                    dtype=GAP_DTYPE)


def _set_attrs(node, values):
    for key, value in values.items():
        node.attrs[key] = value if not isinstance(value, (list, tuple)) or value else np.array([])


def to_hdf5(source, path, compression="gzip", level=1, piece_groups=PIECE_GROUPS):
    """Writes `source` (a Recording or a Block) to `path`. Layout:

    /            attrs format, source_file, rate, groups, seconds, library_version,
                 settings_json (every recorded setting)
    /analog/volts  float64 (n, k)   attrs channels, names, units "V", span_volts, ...
    /analog/codes  int32   (n, k)   the sign-extended 24-bit codes, lossless
    /digital/words uint16  (n,)     bit j = input j+1
    /counters/values, /encoders/values  uint32 (n, k)
    /gaps        compound (group_index, missing_groups, cause, estimated)
    /calibration/zero_codes, /calibration/full_codes  int32 (8,)

    Datasets are chunked and compressed; the source is read piece by piece."""
    import h5py

    layout, n, settings, gaps, source_file, calibration = _describe(source)
    with h5py.File(path, "w") as f:
        rate = float(settings["rate"])
        _set_attrs(f, {"format": FORMAT, "source_file": source_file, "rate": rate,
                       "rate_unit": "groups/s", "groups": n,
                       "seconds": n / rate if rate else 0.0, "library_version": version(),
                       "settings_json": json.dumps(settings)})
        datasets = _create_datasets(f, layout, n, settings, compression, level)
        f.create_dataset("gaps", data=_gap_table(gaps))
        if calibration is not None:
            f.create_dataset("calibration/zero_codes", data=np.array(calibration[0], np.int32))
            f.create_dataset("calibration/full_codes", data=np.array(calibration[1], np.int32))
        row = 0
        for piece in _pieces(source, piece_groups):
            end = row + len(piece)
            for name, array in (("analog/volts", piece.ai), ("analog/codes", piece.codes),
                                ("digital/words", piece.di), ("counters/values", piece.counters),
                                ("encoders/values", piece.encoders)):
                if name in datasets:
                    datasets[name][row:end] = array
            row = end
    return path


def _create_datasets(f, layout, n, settings, compression, level):
    def dataset(name, shape, dtype):
        chunks = (min(n, CHUNK_GROUPS),) + shape[1:] if n else None
        options = {"compression": compression, "compression_opts": level,
                   "shuffle": True} if n and compression else {}
        return f.create_dataset(name, shape=shape, dtype=dtype, chunks=chunks, **options)

    out = {}
    if layout.channels:
        k = len(layout.channels)
        names = [f"ai{c}" for c in layout.channels]
        out["analog/volts"] = dataset("analog/volts", (n, k), np.float64)
        out["analog/codes"] = dataset("analog/codes", (n, k), np.int32)
        attrs = {"channels": np.array(layout.channels, np.int32), "names": names, "units": "V"}
        for key in ("span_volts", "offset_volts", "range_codes", "zero_codes", "full_codes",
                    "end_modes"):
            if key in settings:
                attrs[key] = np.array([settings[key][c - 1] for c in layout.channels])
        if "code_bytes" in settings:
            attrs["code_bytes"] = settings["code_bytes"]
        _set_attrs(f["analog"], attrs)
        out["analog/volts"].attrs["units"] = "V"
        out["analog/codes"].attrs["units"] = "code"
    if layout.di:
        out["digital/words"] = dataset("digital/words", (n,), np.uint16)
        _set_attrs(f["digital"], {"names": [f"di{j + 1}" for j in range(16)],
                                  "bit_order": "bit j is input j+1"})
    for kind, ids, prefix, extra in (("counters", layout.counters, "ct",
                                      ("counter_modes", "counter_base_seconds")),
                                     ("encoders", layout.encoders, "ec", ())):
        if ids:
            out[f"{kind}/values"] = dataset(f"{kind}/values", (n, len(ids)), np.uint32)
            attrs = {"ids": np.array(ids, np.int32), "names": [f"{prefix}{i}" for i in ids],
                     "units": "count"}
            for key in extra:
                if key in settings:
                    attrs[key] = np.array([settings[key][i - 1] for i in ids])
            _set_attrs(f[kind], attrs)
    return out


def _columns(layout):
    names = [f"ai{c}" for c in layout.channels] + [f"code{c}" for c in layout.channels]
    names += ["di"] if layout.di else []
    names += [f"ct{c}" for c in layout.counters] + [f"ec{c}" for c in layout.encoders]
    return names


def to_csv(source, path, piece_groups=PIECE_GROUPS):
    """One row per group: time_s, volts, codes, the input word, counters,
    encoders."""
    layout = source.layout
    with open(path, "w", newline="") as out:
        out.write(",".join(["time_s"] + _columns(layout)) + "\n")
        for piece in _pieces(source, piece_groups):
            parts = [piece.time[:, None], piece.ai, piece.codes, piece.di[:, None]
                     if layout.di else np.empty((len(piece), 0)), piece.counters, piece.encoders]
            formats = (["%.17g"] + ["%.17g"] * len(layout.channels) + ["%d"] *
                       (len(layout.channels) + layout.di + len(layout.counters) +
                        len(layout.encoders)))
            table = np.hstack([p.astype(np.float64) for p in parts])
            np.savetxt(out, table, fmt=formats, delimiter=",")
    return path


def to_npy(source, directory, piece_groups=PIECE_GROUPS):
    """One .npy per kind in `directory`: ai.npy (volts), codes.npy, di.npy,
    counters.npy, encoders.npy; returns the paths written."""
    os.makedirs(directory, exist_ok=True)
    layout, n = source.layout, len(source)
    kinds = [("ai", "ai", np.float64, len(layout.channels)),
             ("codes", "codes", np.int32, len(layout.channels)),
             ("di", "di", np.uint16, 0 if not layout.di else None),
             ("counters", "counters", np.uint32, len(layout.counters)),
             ("encoders", "encoders", np.uint32, len(layout.encoders))]
    files = {}
    for name, attr, dtype, width in kinds:
        if width == 0:
            continue
        shape = (n,) if width is None else (n, width)
        path = os.path.join(directory, f"{name}.npy")
        files[attr] = (path, np.lib.format.open_memmap(path, "w+", dtype, shape))
    row = 0
    for piece in _pieces(source, piece_groups):
        for attr, (_, array) in files.items():
            array[row:row + len(piece)] = getattr(piece, attr)
        row += len(piece)
    paths = []
    for path, array in files.values():
        array.flush()
        del array
        paths.append(path)
    return paths
