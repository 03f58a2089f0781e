"""Blocks of groups as NumPy arrays, and the one path that fills them from a
handle's channel queues (live and replayed data alike): codes, values
converted with the settings in force for each group, and each group's
timeline index, all from the library."""
import ctypes
import datetime
from dataclasses import dataclass, field

import numpy as np

from ._library import P_f64, P_i32, P_u16, P_u32, P_u64, lib

GAP_CAUSES = {1: "ring full", 2: "link lost", 3: "module restart"}


@dataclass(frozen=True)
class Gap:
    """Groups missing from the timeline: indices `index` .. `index +
    missing - 1`, as the library found them."""
    index: int                # timeline index of the first missing group
    missing: int              # groups missing
    cause: int                # 1 ring full, 2 link lost, 3 module restart
    estimated: bool = False   # the length comes from the host clock
    number: int = 0           # 0 for the first gap of the run (recording), then 1, 2 ...
    position: int = 0         # groups before it in the data that lacks it

    @property
    def end(self):
        """The index after the gap."""
        return self.index + self.missing

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
    """`n` groups in the order they arrived. Arrays are (n, k) views with one
    column per channel of the kind, in `layout` order. Encoders count both
    ways and are signed. `index` is each group's timeline index (a count of
    group periods since the run's first group): where groups are missing it
    jumps, and `time` with it."""
    layout: Layout
    ai: np.ndarray
    codes: np.ndarray
    di: np.ndarray
    counters: np.ndarray
    encoders: np.ndarray
    first_row: int = 0        # rows of the stream (recording) before row 0
    index: np.ndarray = None  # uint64 (n,); None: first_row, first_row + 1, ...
    gaps: list = field(default_factory=list)   # Gap, the ones before rows of this block
    # Counters converted by their mode (counts, or 1/s in modes 1 and 3;
    # NaN in modes that do not convert); None: not converted.
    counter_values: np.ndarray = None
    start_unix_ns: int = 0    # time of index 0, ns since 1970 UTC; 0: not known
    settings: dict = field(default_factory=dict)   # of the stream or recording
    # The index row 0 has when nothing is missing before it (the index after
    # the row before); None: index[0].
    expected_index: int = None
    conversions: tuple = ()   # Conversion entries in force (timeline.Conversion)

    def __post_init__(self):
        if self.encoders.dtype != np.int32:
            self.encoders = self.encoders.astype(np.uint32).view(np.int32)
        if self.counter_values is None:
            self.counter_values = np.full(self.counters.shape, np.nan)
        if self.index is None:
            self.index = np.arange(self.first_row, self.first_row + len(self), dtype=np.uint64)
        if self.expected_index is None:
            self.expected_index = int(self.index[0]) if len(self) else 0

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
        """Seconds of each row since the run's first group: index / rate, so
        that a gap is a jump."""
        slots = self.index.astype(np.float64)
        return slots / self.rate if self.rate else slots

    @property
    def gap_groups(self):
        """Groups missing just before each row (0 almost everywhere)."""
        previous = np.empty(len(self), np.int64)
        if len(self):
            previous[0] = self.expected_index - 1
            previous[1:] = self.index[:-1].astype(np.int64)
        return self.index.astype(np.int64) - previous - 1

    @property
    def start_utc(self):
        """The time of index 0 as a datetime (microseconds), or None."""
        return utc_datetime(self.start_unix_ns)

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
        span = f"indices {self.index[0]}..{self.index[-1]}" if len(self) else "empty"
        return (f"Block({len(self)} groups from row {self.first_row}, {span}, "
                f"channels={self.channels}, gaps={len(self.gaps)})")


def utc_datetime(unix_ns):
    if not unix_ns:
        return None
    return (datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc)
            + datetime.timedelta(microseconds=unix_ns // 1000))


class BlockBuffer:
    """Channel-major arrays for `capacity` groups, filled piece by piece."""

    def __init__(self, layout, capacity):
        self.layout = layout
        self.filled = 0
        self.capacity = capacity
        self.index = np.empty(capacity, np.uint64)
        self.codes = np.empty((len(layout.channels), capacity), np.int32)
        self.ai = np.empty((len(layout.channels), capacity), np.float64)
        self.di = np.empty(capacity if layout.di else 0, np.uint16)
        self.counters = np.empty((len(layout.counters), capacity), np.uint32)
        self.counter_values = np.full((len(layout.counters), capacity), np.nan)
        self.encoders = np.empty((len(layout.encoders), capacity), np.int32)
        # Base addresses, taken once: split_into runs once per block.
        self.addresses = {name: getattr(self, name).ctypes.data
                          for name in ("index", "codes", "ai", "di", "counters",
                                       "counter_values", "encoders")}

    def block(self, first_row, gaps, **timeline):
        """The filled rows as a Block; `timeline` holds what the source
        knows besides (start_unix_ns, settings, expected_index, conversions)."""
        n = self.filled
        return Block(self.layout, self.ai[:, :n].T, self.codes[:, :n].T, self.di[:n],
                     self.counters[:, :n].T, self.encoders[:, :n].T, first_row=first_row,
                     index=self.index[:n], gaps=list(gaps),
                     counter_values=self.counter_values[:, :n].T, **timeline)


def split_into(handle, buffer, n):
    """Splits up to `n` buffered groups of `handle` and appends them, with
    their indices and converted with the settings in force for each, to
    `buffer`. Returns the number of groups taken."""
    L = lib()
    n = min(n, buffer.capacity - buffer.filled)
    got = L.check("KR2270_HcCodeSplit", handle, n) if n > 0 else 0
    if got:
        fetch_queued(handle, buffer, got)
    return got


def fetch_queued(handle, buffer, got):
    """Appends the `got` groups the channel queues hold (after a split or a
    taken capture) to `buffer`, with their indices, converted with the
    settings in force for each."""
    L = lib()
    row, capacity, layout, at = buffer.filled, buffer.capacity, buffer.layout, buffer.addresses

    def pointer(name, column, itemsize, pointer_type):
        return ctypes.cast(at[name] + (column * capacity + row) * itemsize, pointer_type)

    _expect(L.check("KR2270_HcCodeGetIndex", handle, pointer("index", 0, 8, P_u64)), got)
    for j, channel in enumerate(layout.channels):
        codes = pointer("codes", j, 4, P_i32)
        _expect(L.check("KR2270_HcCodeGetAd", handle, channel, codes), got)
        # Rewrites the codes sign-extended: the stored codes are the signed ones.
        L.check("KR2270_HcAdCodeToValue", handle, channel, codes, got,
                pointer("ai", j, 8, P_f64))
    if layout.di:
        _expect(L.check("KR2270_HcCodeGetDi", handle, pointer("di", 0, 2, P_u16)), got)
    for j, counter in enumerate(layout.counters):
        values = pointer("counters", j, 4, P_u32)
        _expect(L.check("KR2270_HcCodeGetCt", handle, counter, values), got)
        # Modes other than 0, 1 and 3 leave the NaN the buffer starts with.
        L.check("KR2270_HcCtCodeToValue", handle, counter, values, got,
                pointer("counter_values", j, 8, P_f64))
    for j, encoder in enumerate(layout.encoders):
        _expect(L.check("KR2270_HcCodeGetEc", handle, encoder,
                        pointer("encoders", j, 4, P_u32)), got)
    buffer.filled += got


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
                 first.first_row, np.concatenate([b.index for b in blocks]),
                 [g for b in blocks for g in b.gaps],
                 np.concatenate([b.counter_values for b in blocks]), blocks[-1].start_unix_ns,
                 blocks[-1].settings, first.expected_index, blocks[-1].conversions)


def sliced(block, lo, hi):
    """Rows [lo, hi) of a block, with the gaps before them."""
    index = block.index[lo:hi]
    expected = block.expected_index if lo == 0 else int(block.index[lo - 1]) + 1
    last = int(index[-1]) if len(index) else expected - 1
    gaps = [g for g in block.gaps if expected <= g.index < last]
    return Block(block.layout, block.ai[lo:hi], block.codes[lo:hi], block.di[lo:hi],
                 block.counters[lo:hi], block.encoders[lo:hi], block.first_row + lo, index,
                 gaps, block.counter_values[lo:hi], block.start_unix_ns, block.settings,
                 expected, block.conversions)
