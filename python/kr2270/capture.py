"""Triggered captures: the groups around an event, found by the library's
host-side trigger on a stream of their own.

    with dev.captures("ai1", level=2.0, pre=0.05, post=0.05, rate=256000) as caps:
        for capture in caps:            # a Block, with the trigger's place in it
            print(capture.trigger_utc, capture.ai[capture.trigger_row])
"""
import ctypes
import time
from dataclasses import dataclass

import numpy as np

from ._calls import interruptible
from ._library import CaptureInfo, Error, LinkLost, Timeout, TriggerSetup, TriggerStatus, lib
from .block import Block, BlockBuffer, Gap, fetch_queued, utc_datetime

SLOPES = {"rising": 1, "falling": 2}
_ANALOG, _DIGITAL = 1, 2
_MAX_GROUPS = 262144     # KR2270_TRIGGER_MAX_GROUPS: pre + post


@dataclass(eq=False)
class Capture(Block):
    """A `Block` of pre + post groups around a trigger group. `indices` are
    the rows' timeline indices (a gap inside shows as a jump, and in `gaps`);
    `time` counts seconds from the stream's start as for any block."""
    trigger_row: int = 0          # row of the trigger group
    trigger_index: int = 0        # its timeline index
    trigger_utc: object = None    # its time (datetime, UTC), when known
    indices: np.ndarray = None
    number: int = 0               # 0 for the first capture of the arming
    pre_short: bool = False       # fewer than `pre` groups preceded it
    missing_groups: int = 0       # indices missing between the first and last row

    @property
    def time_from_trigger(self):
        """Seconds of each row after the trigger group (negative before it)."""
        return (self.indices.astype(np.float64) - self.trigger_index) / self.rate

    def __repr__(self):
        return (f"Capture({len(self)} groups, trigger at row {self.trigger_row} "
                f"(index {self.trigger_index}), gaps={len(self.gaps)})")


def parse_trigger(name):
    """("ai", 3) from "ai3", ("di", 5) from "di5"."""
    kind, number = str(name).rstrip("0123456789"), str(name)[len(str(name).rstrip("0123456789")):]
    limit = {"ai": 8, "di": 16}.get(kind)
    if limit is None or not number or not 1 <= int(number) <= limit:
        raise ValueError(f"trigger {name!r}: ai1..ai8 or di1..di16")
    return kind, int(number)


def groups_of(seconds, rate, name, least):
    groups = int(round(float(seconds) * rate))
    if not seconds >= 0 or groups < least:
        raise ValueError(f"{name} {seconds!r} s is less than {least} group(s) at {rate:g} groups/s")
    return groups


class Captures:
    """Starts a stream on `device` (the options of `Device.stream`), arms the
    trigger and yields a `Capture` each time one completes: at most `count`
    (None: until closed). `pre` and `post` are seconds before the trigger
    group and from it on, `holdoff` seconds skipped after each capture
    before the trigger looks again; `timeout` (seconds, None: no limit)
    bounds the wait for each capture and raises `Timeout`. Captures not yet
    taken wait in the library, at most `max_ready` (the oldest are dropped
    and counted in `dropped`). A trigger on a digital input streams the
    digital word."""

    def __init__(self, device, trigger, level=0.0, slope="rising", hysteresis=0.0, pre=0.01,
                 post=0.01, holdoff=0.0, count=None, timeout=None, max_ready=16, **stream):
        kind, number = parse_trigger(trigger)
        if slope not in SLOPES:
            raise ValueError(f"slope {slope!r}: rising or falling")
        if count is not None and int(count) < 1:
            raise ValueError("count must be at least 1")
        if kind == "di":
            stream["di"] = True
        elif number not in stream.get("channels", range(1, 9)):
            raise ValueError(f"trigger {trigger}: channel {number} is not streamed")
        self._lib = lib()
        self._device = device
        self.count = None if count is None else int(count)
        self.timeout = timeout
        self.taken = 0
        self._setup = TriggerSetup()
        setup = self._setup
        setup.struct_size = ctypes.sizeof(TriggerSetup)
        setup.source = _DIGITAL if kind == "di" else _ANALOG
        setup.channel = number
        setup.slope = SLOPES[slope]
        setup.level, setup.hysteresis = float(level), float(hysteresis)
        setup.repeat = 0 if self.count == 1 else 1
        setup.max_ready = int(max_ready)
        self.stream = device.stream(**stream)
        try:
            rate = self.stream.layout.rate
            setup.pre = groups_of(pre, rate, "pre", 0)
            setup.post = groups_of(post, rate, "post", 1)
            setup.holdoff = groups_of(holdoff, rate, "holdoff", 0)
            if setup.pre + setup.post > _MAX_GROUPS:
                raise ValueError(f"pre + post is {setup.pre + setup.post} groups, more than "
                                 f"{_MAX_GROUPS}")
            with device._use() as raw:
                self._lib.check("KR2270_HcTriggerArm", raw, ctypes.byref(setup))
        except BaseException:
            self.stream.close()
            raise

    @property
    def pre_groups(self):
        return self._setup.pre

    @property
    def post_groups(self):
        return self._setup.post

    def status(self):
        """The trigger's state: "triggers" found, captures "ready", "dropped"
        untaken, groups "kept" in the ring, and "state" (the library's
        KR2270TriggerState number)."""
        status = TriggerStatus()
        status.struct_size = ctypes.sizeof(TriggerStatus)
        with self._device._use() as raw:
            self._lib.check("KR2270_HcTriggerGetStatus", raw, ctypes.byref(status))
        return {"state": status.state, "triggers": status.triggers, "ready": status.ready,
                "dropped": status.dropped, "kept": status.kept_groups}

    @property
    def dropped(self):
        return self.status()["dropped"]

    def next(self, timeout=None):
        """The next capture, waiting up to `timeout` seconds (default: the
        `timeout` given at the start). Raises `Timeout`, `LinkLost` when the
        stream ended first, or StopIteration after `count` captures."""
        if self.count is not None and self.taken >= self.count:
            raise StopIteration
        timeout = self.timeout if timeout is None else timeout
        with self._device._use() as raw:
            capture = interruptible(lambda: self._next(raw, timeout),
                                    lambda: self.stream._stop_now(raw), self._device._shared)
        self.taken += 1
        return capture

    def _next(self, raw, timeout):
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            capture = self._take(raw)
            if capture is not None:
                return capture
            ready = self.stream._wait(raw, 1, deadline)
            if ready == -2:
                raise Timeout(-2, "Captures.next", f"no capture within {timeout} s")
            if ready == -3:
                ready = self._lib.check("KR2270_HcCodeCanReadGroupCount", raw)
                if ready == 0:
                    text = "the data connection was lost" if self.stream._running \
                        else "the stream was stopped"
                    raise LinkLost(-3, "Captures.next", text)
            self._lib.check("KR2270_HcCodeSplit", raw, ready)

    def _take(self, raw):
        info = CaptureInfo()
        info.struct_size = ctypes.sizeof(CaptureInfo)
        n = self._lib.check("KR2270_HcTriggerTake", raw, ctypes.byref(info))
        if n == 0:
            return None
        return fetch_capture(raw, self.stream.layout, n, info, self.stream.settings())

    def __iter__(self):
        while True:
            try:
                yield self.next()
            except StopIteration:
                return

    def close(self):
        """Stops the stream; the trigger goes with it."""
        if not self._device.closed:
            with self._device._use() as raw:
                self._lib.KR2270_HcTriggerDisarm(raw)
        self.stream.close()

    def __enter__(self):
        return self

    def __exit__(self, exc_type, *_):
        try:
            self.close()
        except Error:
            if exc_type is None:
                raise


def fetch_capture(raw, layout, n, info, settings):
    """The capture the library moved into the channel queues, as a `Capture`:
    each row converted with the settings in force for it."""
    buffer = BlockBuffer(layout, n)
    fetch_queued(raw, buffer, n)
    return _as_capture(buffer, info, settings)


def _as_capture(buffer, info, settings):
    indices = buffer.index[:buffer.filled]
    # A gap inside shows as a jump of the index; its cause is in the run's gaps.
    jumps = np.nonzero(np.diff(indices) != 1)[0] + 1
    gaps = [Gap(int(indices[r - 1]) + 1, int(indices[r] - indices[r - 1] - 1), 0, position=int(r))
            for r in jumps]
    rate = buffer.layout.rate
    start_unix_ns = 0
    if info.trigger_unix_ns and rate:
        start_unix_ns = int(info.trigger_unix_ns) - round(info.trigger_index / rate * 1e9)
    n = buffer.filled
    return Capture(buffer.layout, buffer.ai[:, :n].T, buffer.codes[:, :n].T, buffer.di[:n],
                   buffer.counters[:, :n].T, buffer.encoders[:, :n].T, first_row=0,
                   index=indices, gaps=gaps, counter_values=buffer.counter_values[:, :n].T,
                   start_unix_ns=start_unix_ns, settings=settings,
                   expected_index=int(indices[0]) if n else 0,
                   trigger_row=int(info.trigger_row), trigger_index=int(info.trigger_index),
                   trigger_utc=utc_datetime(info.trigger_unix_ns) if info.trigger_unix_ns else None,
                   indices=indices, number=int(info.number),
                   pre_short=bool(info.pre_short), missing_groups=int(info.missing_groups))
