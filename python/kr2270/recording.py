"""Recordings replayed through the library into blocks, each group with its
timeline index and converted with the settings in force for it."""
import ctypes
import os

import numpy as np

from . import timeline
from ._library import Error, lib
from ._paths import path_bytes
from .block import BlockBuffer, Layout, split_into
from .settings import RING_BYTES, group_bytes, positive_size

# Groups replayed per library read: well inside the ring, which drops what
# does not fit.
_READ_BYTES = RING_BYTES // 4


def recording_chain(first_file):
    """The files of a recording: X_1.dat, X_2.dat, ... as far as they go."""
    path = os.fspath(first_file)
    if not path.endswith("_1.dat"):
        return [path]
    stem, files, k = path[:-len("_1.dat")], [], 1
    while os.path.exists(f"{stem}_{k}.dat"):
        files.append(f"{stem}_{k}.dat")
        k += 1
    return files


class Recording:
    """A recording, from its first file (..._1.dat) and the files that follow.
    Its settings are attributes; len() is its length in groups."""

    def __init__(self, path):
        self.path = os.path.abspath(os.fspath(path))
        self._lib = lib()
        self._handle = self._lib.KR2270_DeviceCreate()
        if not self._handle:
            raise MemoryError("KR2270_DeviceCreate")
        try:
            self._lib.check("KR2270_DFROpen", self._handle, path_bytes(self.path), 0)
            self._load_settings()
            self._load_timeline()
        except BaseException:
            self.close()
            raise

    def _get(self, name, *arrays):
        self._lib.check(name, self._handle, *arrays)
        return arrays

    def _load_settings(self):
        u8 = ctypes.c_uint8
        ad, = self._get("KR2270_DFRGetAdInFifo", (u8 * 8)())
        ct, = self._get("KR2270_DFRGetCtInFifo", (u8 * 4)())
        ec, = self._get("KR2270_DFRGetEcInFifo", (u8 * 2)())
        di, = self._get("KR2270_DFRGetDiInFifo", (u8 * 1)())
        ranges, = self._get("KR2270_DFRGetRange", (u8 * 8)())
        enable, mode = self._get("KR2270_DFRGetTri", ctypes.c_int32(), ctypes.c_int32())
        count, = self._get("KR2270_DFRGetTriCount", ctypes.c_int32())
        base, = self._get("KR2270_DFRCtGetFreqBase", (ctypes.c_double * 4)())
        modes, = self._get("KR2270_DFRCtGetModeAll", (ctypes.c_int8 * 4)())
        zero, full = self._get("KR2270_DFRAdReadZeroFull", (ctypes.c_int32 * 8)(),
                               (ctypes.c_int32 * 8)())
        end, = self._get("KR2270_DFRAdGetEndMode", (ctypes.c_int32 * 8)())
        sleep, = self._get("KR2270_DFRAdGetSleep", (ctypes.c_int32 * 2)())
        rate = ctypes.c_double()
        if self._lib.KR2270_DFRGetFreq(self._handle, ctypes.byref(rate)) < 0:
            raise Error(-203, "KR2270_DFRGetFreq", "the recording's rate code is unknown")
        groups = ctypes.c_double()
        self._lib.check("KR2270_DFRGetGroupTotal", self._handle, ctypes.byref(groups), None)

        self.channels = tuple(k + 1 for k in range(8) if ad[k] & 1)
        self.di = bool(di[0] & 1)
        self.counters = tuple(k + 1 for k in range(4) if ct[k] & 1)
        self.encoders = tuple(k + 1 for k in range(2) if ec[k] & 1)
        self.rate = rate.value
        self.layout = Layout(self.channels, self.di, self.counters, self.encoders, self.rate,
                             tuple(modes))
        self.group_bytes = self._lib.check("KR2270_HcGetGroupBc", self._handle)
        analog_bytes = self.group_bytes - group_bytes(Layout((), self.di, self.counters,
                                                              self.encoders))
        self.code_bytes = analog_bytes // len(self.channels) if self.channels else 4
        self.range_codes = list(ranges)
        self.trigger = {"enable": enable.value, "mode": mode.value, "count": count.value}
        self.counter_base = [b / 1000.0 for b in base]     # seconds
        self.counter_modes = list(modes)
        self.zero_codes, self.full_codes = list(zero), list(full)
        self.end_modes, self.sleep = list(end), list(sleep)
        self._groups = int(groups.value)

    def _load_timeline(self):
        """Start, gaps and settings in force, from the library (which reads
        the sidecar), and the sidecar's application fields."""
        self.timeline = timeline.recorded_timeline(self._handle)
        reader = timeline.GapReader("KR2270_DFRGetGaps")
        reader.read(self._handle)
        self.gaps = reader.gaps
        self.conversions = tuple(timeline.settings_in_force(self._handle,
                                                            "KR2270_DFRGetSettings"))
        first = self.conversions[0]
        # What the first group converts with (its header's, unless the
        # chain was opened at a later file).
        self.span, self.offset = list(first.span_volts), list(first.offset_volts)
        self.zero_codes, self.full_codes = list(first.zero_codes), list(first.full_codes)
        self.sidecar, self.application = timeline.sidecar_fields(self.path)
        self._gap_positions = np.array([g.position for g in self.gaps], np.uint64)
        self._gap_missing = np.array([g.missing for g in self.gaps], np.uint64)
        self._description = self._describe()

    @property
    def ranges(self):
        """Full scale of each streamed channel in volts, as recorded first."""
        return {ch: self.span[ch - 1] for ch in self.channels}

    @property
    def start_utc(self):
        """When the run's first group was sampled (UTC), or None."""
        return self.timeline.start_utc

    @property
    def run(self):
        """The recording application's account of the run (module, how it
        ended), from the sidecar's "kr2270" field; {} when there is none."""
        field = self.application.get("kr2270")
        return field if isinstance(field, dict) else {}

    @property
    def seconds(self):
        return self._groups / self.rate if self.rate else 0.0

    @property
    def files(self):
        """The files of the chain that hold this recording."""
        return recording_chain(self.path)

    def settings(self):
        """Every recorded setting, as plain values: the header's, the ones the
        first group converts with, and `changes` (each from its `index` on)."""
        return dict(self._description)

    def _describe(self):
        first = self.conversions[0]
        module = self.run.get("module")
        return {"channels": list(self.channels), "di": self.di, "counters": list(self.counters),
                "encoders": list(self.encoders), "rate": self.rate, "code_bytes": self.code_bytes,
                "group_bytes": self.group_bytes, "range_codes": list(first.range_codes),
                "extended_ranges": list(first.extended_ranges),
                "span_volts": self.span, "offset_volts": self.offset,
                "zero_codes": self.zero_codes, "full_codes": self.full_codes,
                "end_modes": self.end_modes, "sleep": self.sleep,
                "counter_modes": list(first.counter_modes),
                "counter_base_seconds": list(first.counter_base_seconds),
                "trigger_enable": self.trigger["enable"], "trigger_mode": self.trigger["mode"],
                "trigger_count": self.trigger["count"],
                "module": dict(module) if isinstance(module, dict) else {},
                "started_utc": self.timeline.start_text,
                "changes": [c.as_dict() for c in self.conversions[1:]]}

    def __len__(self):
        return self._groups

    def gaps_between(self, start, end):
        """The gaps before the groups at positions start .. end - 1."""
        lo, hi = np.searchsorted(self._gap_positions, [start, end], side="left")
        return self.gaps[lo:hi]

    def position_of(self, index):
        """The position of the first recorded group whose timeline index is
        `index` or later (len(self) when there is none), from the library's
        gap table: between two gaps, positions and indices run together."""
        index = int(index)
        before = 0          # gaps that end at or before `index`
        for gap in self.gaps:
            if gap.end > index:
                if gap.index <= index:       # inside this gap: the group after it
                    return gap.position
                break
            before += 1
        if before:
            last = self.gaps[before - 1]
            position = last.position + (index - last.end)
        else:
            position = index - self.timeline.first_index
        return min(max(0, position), self._groups)

    def read(self, start=0, count=None):
        """Groups [start, start + count) as a `Block` (count defaults to the
        rest; a span past the end is cut at the end), each with its timeline
        index and the gaps before them."""
        if self._handle is None:
            raise Error(-1, "Recording.read", "the recording is closed")
        start = int(start)
        if not 0 <= start <= self._groups:
            # The reader's status is sticky: a start past the end would spoil
            # every later read, so it is refused here.
            raise IndexError(f"start {start} is outside 0..{self._groups}")
        if count is not None and int(count) < 0:
            raise ValueError(f"count {count} is negative")
        count = self._groups - start if count is None else min(int(count), self._groups - start)
        buffer = BlockBuffer(self.layout, count)
        per_read = max(1, _READ_BYTES // max(1, self.group_bytes))
        position = float(start)
        while buffer.filled < count:
            got = ctypes.c_int32()
            want = min(per_read, count - buffer.filled)
            self._lib.check("KR2270_DFRRead", self._handle, position, want, ctypes.byref(got))
            if got.value <= 0:
                raise Error(-203, "KR2270_DFRRead", f"no groups at {int(position)}")
            taken = 0
            while taken < got.value:
                step = split_into(self._handle, buffer, got.value - taken)
                if step == 0:
                    raise Error(-203, "KR2270_HcCodeSplit", "replayed groups did not split")
                taken += step
            position += got.value
        gaps = self.gaps_between(start, start + count)
        # A gap at `start` lies before row 0: the index it follows on is
        # the one before the gap.
        before_row0 = sum(g.missing for g in gaps if g.position == start)
        expected = int(buffer.index[0]) - before_row0 if buffer.filled else 0
        return buffer.block(start, gaps, start_unix_ns=self.timeline.start_unix_ns,
                            settings=self._description, expected_index=expected,
                            conversions=self.conversions)

    def blocks(self, size=1 << 18, start=0, count=None):
        """The recording (or a span of it) in blocks of at most `size` groups,
        so that any length fits in bounded memory."""
        size = positive_size(size, "size")
        end = self._groups if count is None else min(self._groups, start + count)
        while start < end:
            n = min(size, end - start)
            yield self.read(start, n)
            start += n

    def to_hdf5(self, path, **options):
        from .export import to_hdf5
        return to_hdf5(self, path, **options)

    def close(self):
        if self._handle is not None:
            self._lib.KR2270_DFRClose(self._handle)
            self._lib.KR2270_DeviceClose(self._handle)
            self._handle = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        if getattr(self, "_handle", None) is not None:
            self.close()

    def __repr__(self):
        return (f"Recording({self.path!r}: {len(self)} groups at {self.rate:g}/s, "
                f"channels={self.channels}, di={self.di}, counters={self.counters}, "
                f"encoders={self.encoders})")
