"""Headless plots of blocks and recordings."""
import math

import numpy as np

from .block import Block, sliced

MAX_POINTS = 20000   # per line; longer spans are drawn as min/max envelopes


def _select(block, start, seconds):
    if start is None and seconds is None:
        return block
    t = block.time
    begin = (t[0] if len(t) else 0.0) if start is None else start
    lo = np.searchsorted(t, begin)
    hi = len(t) if seconds is None else np.searchsorted(t, begin + seconds)
    return sliced(block, lo, hi)


class _Trace:
    """What the panels draw: times, arrays with one row per point, gap spans."""

    def __init__(self, block, factor):
        self.layout, self.rate, self.groups = block.layout, block.rate, len(block)
        self.spans = _gap_spans(block)
        self.gaps = len(block.gaps)
        t = block.time
        encoders = block.encoders
        if factor <= 1:
            self.t, self.ai, self.di = t, block.ai, block.di
            self.counters, self.encoders = block.counters, encoders
            return
        # Two points per bin, its low and its high, so that no peak and no
        # pulse of a digital input disappears.
        edges = np.arange(0, len(t), factor)
        self.t = np.repeat(t[edges], 2)
        self.ai = _pairs(np.minimum, np.maximum, block.ai, edges)
        self.di = _pairs(np.bitwise_and, np.bitwise_or, block.di, edges)
        self.counters = _pairs(np.minimum, np.maximum, block.counters, edges)
        self.encoders = _pairs(np.minimum, np.maximum, encoders, edges)

    def extend(self, other):
        for name in ("t", "ai", "di", "counters", "encoders"):
            setattr(self, name, np.concatenate([getattr(self, name), getattr(other, name)]))
        self.spans += other.spans
        self.gaps += other.gaps
        self.groups += other.groups


def _pairs(low, high, array, edges):
    if array.shape[0] == 0:
        return array[:0]
    lo, hi = low.reduceat(array, edges, axis=0), high.reduceat(array, edges, axis=0)
    out = np.empty((2 * lo.shape[0],) + lo.shape[1:], array.dtype)
    out[0::2], out[1::2] = lo, hi
    return out


def _trace(source, start, seconds):
    """The span to draw, reduced to about MAX_POINTS points per line; a
    recording is read piece by piece so that any length fits in memory.
    `start` is on the time axis (seconds since the run's first group)."""
    if isinstance(source, Block):
        block = _select(source, start, seconds)
        return _Trace(block, -(-len(block) // MAX_POINTS))
    rate, line = source.rate, source.timeline
    begin = line.first_index / rate if start is None else start
    first = source.position_of(math.ceil(begin * rate))
    if not 0 <= first < len(source):
        end_s = line.next_index / rate
        raise ValueError(f"start {start} s is outside the recording "
                         f"({line.first_index / rate:g} s to {end_s:g} s)")
    end = len(source) if seconds is None else \
        source.position_of(math.ceil((begin + seconds) * rate))
    count = end - first
    if count <= 0:
        return None
    factor = -(-count // MAX_POINTS)
    piece = max(factor, (1 << 18) // factor * factor)
    trace = None
    for block in source.blocks(piece, first, count):
        part = _Trace(block, factor)
        trace = part if trace is None else (trace.extend(part) or trace)
    return trace


def _gap_spans(block):
    """(start, end) in seconds of each gap, on the block's time axis."""
    if not block.rate:
        return []
    return [(gap.index / block.rate, gap.end / block.rate) for gap in block.gaps]


def plot(source, path, channels=None, start=None, seconds=None, title=None, size=(10, 7),
         dpi=100):
    """Writes a PNG of a Block or a Recording: one panel per kind (analog in
    volts, digital inputs as offset lines, counters, encoders), time in seconds,
    gaps shaded. `channels` limits the analog channels. Returns the figure."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    trace = _trace(source, start, seconds)
    if trace is None or trace.groups == 0:
        raise ValueError("nothing to plot: the span holds no groups")
    layout = trace.layout
    analog = [c for c in layout.channels if channels is None or c in channels]
    panels = [kind for kind, present in (("analog", analog), ("digital", layout.di),
                                         ("counters", layout.counters),
                                         ("encoders", layout.encoders)) if present]
    if not panels:
        raise ValueError("nothing to plot: no channel of the selection is in the data")
    fig, axes = plt.subplots(len(panels), 1, sharex=True, figsize=size, dpi=dpi, squeeze=False)
    t = trace.t
    for ax, kind in zip(axes[:, 0], panels):
        if kind == "analog":
            for c in analog:
                ax.plot(t, trace.ai[:, layout.channels.index(c)], lw=0.8, label=f"ai{c}")
            ax.set_ylabel("V")
        elif kind == "digital":
            for j in range(16):
                bit = ((trace.di >> j) & 1).astype(np.float64)
                ax.plot(t, bit * 0.8 + j, lw=0.8, drawstyle="steps-post")
            ax.set_yticks(range(16), [f"di{j + 1}" for j in range(16)], fontsize=6)
        else:
            ids, values = ((layout.counters, trace.counters) if kind == "counters"
                           else (layout.encoders, trace.encoders))
            prefix = "ct" if kind == "counters" else "ec"
            for k, i in enumerate(ids):
                ax.plot(t, values[:, k].astype(np.float64), lw=0.8, label=f"{prefix}{i}")
            ax.set_ylabel("count")
        for lo, hi in trace.spans:
            ax.axvspan(lo, hi, color="red", alpha=0.25, lw=0)
        ax.set_title(kind, fontsize=9, loc="left")
        if kind != "digital":
            ax.legend(loc="upper right", fontsize=7, ncol=4)
        ax.grid(True, alpha=0.3)
    axes[-1, 0].set_xlabel("time (s)")
    gaps = f", {trace.gaps} gaps shaded" if trace.gaps else ""
    fig.suptitle(title or f"{trace.groups} groups at {trace.rate:g} groups/s{gaps}",
                 fontsize=10)
    fig.tight_layout()
    fig.savefig(path, dpi=dpi)
    plt.close(fig)
    return fig
