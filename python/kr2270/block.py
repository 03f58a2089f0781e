"""Blocks of groups as NumPy arrays, and the one path that fills them from a
handle's channel queues (live and replayed data alike)."""
import ctypes
from dataclasses import dataclass, field

import numpy as np

from ._library import P_f64, P_i32, P_u16, P_u32, lib

GAP_CAUSES = {1: "ring full", 2: "link lost", 3: "module restart"}


@dataclass(frozen=True)
class Gap:
    """Groups missing before the group with index `group_index`."""
    group_index: int
    missing_groups: int
    cause: int
    estimated: bool = False

    @property
    def cause_text(self):
        return GAP_CAUSES.get(self.cause, f"cause {self.cause}")


@dataclass(frozen=True)
class Layout:
    """What one group holds, and the group rate."""
    channels: tuple = ()      # analog channel numbers, 1..8, ascending
    di: bool = False
    counters: tuple = ()      # 1..4
    encoders: tuple = ()      # 1..2
    rate: float = 0.0         # groups per second
    counter_modes: tuple = (0, 0, 0, 0)   # of counters 1..4: decide how they convert

    @property
    def empty(self):
        return not (self.channels or self.di or self.counters or self.encoders)


@dataclass(eq=False)
class Block:
    """`n` consecutive groups. Arrays are (n, k) views with one column per
    channel of the kind, in `layout` order. Encoders count both ways and are
    signed."""
    layout: Layout
    ai: np.ndarray
    codes: np.ndarray
    di: np.ndarray
    counters: np.ndarray
    encoders: np.ndarray
    first_index: int = 0
    gaps: list = field(default_factory=list)
    missing_before: int = 0   # groups lost before row 0 since the start
    # Counters converted by their mode (counts, or 1/s in modes 1 and 3;
    # NaN in modes that do not convert); None: not converted.
    counter_values: np.ndarray = None
    start_utc: object = None  # datetime of group 0, when known
    settings: dict = field(default_factory=dict)   # of the stream or recording

    def __post_init__(self):
        if self.encoders.dtype != np.int32:
            self.encoders = self.encoders.astype(np.uint32).view(np.int32)
        if self.counter_values is None:
            self.counter_values = np.full(self.counters.shape, np.nan)

    def __len__(self):
        return self.codes.shape[0]

    @property
    def rate(self):
        return self.layout.rate

    @property
    def channels(self):
        return self.layout.channels

    @property
    def time(self):
        """Seconds of each row since the start, counting the missing groups
        of gaps so that a gap shows as a jump."""
        n = len(self)
        slots = np.arange(self.first_index, self.first_index + n, dtype=np.float64)
        slots += self.missing_before
        for gap in self.gaps:
            slots[gap.group_index - self.first_index:] += gap.missing_groups
        return slots / self.rate if self.rate else slots

    def column(self, name):
        """One channel by name: "ai3", "code3", "di", "di5" (0/1), "ct2", "ec1"."""
        kind, number = name.rstrip("0123456789"), name[len(name.rstrip("0123456789")):]
        if kind == "di":
            if not number:
                return self.di
            return ((self.di >> (int(number) - 1)) & 1).astype(np.uint8)
        table = {"ai": (self.ai, self.layout.channels), "code": (self.codes, self.layout.channels),
                 "ct": (self.counters, self.layout.counters),
                 "ec": (self.encoders, self.layout.encoders)}
        if kind not in table or not number or int(number) not in table[kind][1]:
            raise KeyError(name)
        array, ids = table[kind]
        return array[:, ids.index(int(number))]

    def __repr__(self):
        return (f"Block({len(self)} groups from {self.first_index}, channels={self.channels}, "
                f"gaps={len(self.gaps)})")


class BlockBuffer:
    """Channel-major arrays for `capacity` groups, filled piece by piece."""

    def __init__(self, layout, capacity):
        self.layout = layout
        self.filled = 0
        self.capacity = capacity
        self.codes = np.empty((len(layout.channels), capacity), np.int32)
        self.ai = np.empty((len(layout.channels), capacity), np.float64)
        self.di = np.empty(capacity if layout.di else 0, np.uint16)
        self.counters = np.empty((len(layout.counters), capacity), np.uint32)
        self.counter_values = np.full((len(layout.counters), capacity), np.nan)
        self.encoders = np.empty((len(layout.encoders), capacity), np.int32)
        # Base addresses, taken once: split_into runs once per block.
        self.addresses = {name: getattr(self, name).ctypes.data
                          for name in ("codes", "ai", "di", "counters", "counter_values",
                                       "encoders")}

    def block(self, first_index=0, gaps=(), missing_before=0, start_utc=None, settings=None):
        n = self.filled
        return Block(self.layout, self.ai[:, :n].T, self.codes[:, :n].T, self.di[:n],
                     self.counters[:, :n].T, self.encoders[:, :n].T,
                     first_index, list(gaps), missing_before, self.counter_values[:, :n].T,
                     start_utc, settings if settings is not None else {})


def split_into(handle, buffer, n):
    """Splits up to `n` buffered groups of `handle` and appends them, converted,
    to `buffer`. Returns the number of groups taken."""
    L = lib()
    n = min(n, buffer.capacity - buffer.filled)
    got = L.check("KR2270_HcCodeSplit", handle, n) if n > 0 else 0
    if got == 0:
        return 0
    row, capacity, layout, at = buffer.filled, buffer.capacity, buffer.layout, buffer.addresses

    def pointer(name, column, itemsize, pointer_type):
        return ctypes.cast(at[name] + (column * capacity + row) * itemsize, pointer_type)

    for j, channel in enumerate(layout.channels):
        codes = pointer("codes", j, 4, P_i32)
        _expect(L.check("KR2270_HcCodeGetAd", handle, channel, codes), got)
        # Rewrites the codes sign-extended: the stored codes are the signed ones.
        L.check("KR2270_AdCodeToValue", handle, channel, codes, got, pointer("ai", j, 8, P_f64))
    if layout.di:
        _expect(L.check("KR2270_HcCodeGetDi", handle, pointer("di", 0, 2, P_u16)), got)
    for j, counter in enumerate(layout.counters):
        values = pointer("counters", j, 4, P_u32)
        _expect(L.check("KR2270_HcCodeGetCt", handle, counter, values), got)
        # Modes other than 0, 1 and 3 leave the NaN the buffer starts with.
        L.check("KR2270_CtCodeToValue", handle, counter, values, got,
                pointer("counter_values", j, 8, P_f64))
    for j, encoder in enumerate(layout.encoders):
        _expect(L.check("KR2270_HcCodeGetEc", handle, encoder,
                        pointer("encoders", j, 4, P_u32)), got)
    buffer.filled += got
    return got


def _expect(fetched, split):
    if fetched != split:
        raise RuntimeError(f"the library fetched {fetched} values after splitting {split} groups")


def concat(blocks):
    """One block from consecutive blocks of the same layout."""
    if len(blocks) == 1:
        return blocks[0]
    first = blocks[0]
    return Block(first.layout,
                 np.concatenate([b.ai for b in blocks]),
                 np.concatenate([b.codes for b in blocks]),
                 np.concatenate([b.di for b in blocks]),
                 np.concatenate([b.counters for b in blocks]),
                 np.concatenate([b.encoders for b in blocks]),
                 first.first_index, [g for b in blocks for g in b.gaps], first.missing_before,
                 np.concatenate([b.counter_values for b in blocks]), first.start_utc,
                 first.settings)


def sliced(block, lo, hi):
    """Rows [lo, hi) of a block, with the gaps inside them."""
    first = block.first_index + lo
    gaps = [g for g in block.gaps if first <= g.group_index < block.first_index + hi]
    before = block.missing_before + sum(g.missing_groups for g in block.gaps
                                        if g.group_index < first)
    return Block(block.layout, block.ai[lo:hi], block.codes[lo:hi], block.di[lo:hi],
                 block.counters[lo:hi], block.encoders[lo:hi], first, gaps, before,
                 block.counter_values[lo:hi], block.start_utc, block.settings)
