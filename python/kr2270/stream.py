"""A running acquisition: blocking reads into blocks, its timeline (gaps,
settings in force, start) and its recording."""
import ctypes
import json
import math
import os
import threading
import time

from . import settings as v
from . import timeline
from ._calls import ctrl_c_stops, interruptible
from ._library import Error, Health, LinkLost, Timeout, error, lib
from ._paths import path_bytes
from .block import BlockBuffer, Layout, concat, split_into

# Longest wait for the module to answer a stop after Ctrl-C or a close.
_PROMPT_STOP_MS = 300
# The application field of the recording's sidecar this package writes,
# under the same name and with the same parts as `kr2270 acquire`'s.
_FIELD = b"kr2270"


class Stream:
    """A running acquisition. `read` may be called from one thread at a time;
    `stop` (or leaving the `with`) may come from another, and so may the
    device's `close`. Ctrl-C during a read stops the acquisition."""

    def __init__(self, device, rate, channels, di, counters, encoders, ranges, record,
                 code_bytes):
        self._device = device
        self._lib = lib()
        self.rate_code = v.rate_code_of(rate)
        self.layout = Layout(v.line_list(list(channels), 8, "channels"), bool(di),
                             v.line_list(counters, 4, "counters"),
                             v.line_list(encoders, 2, "encoders"),
                             v.RATE_CODES[self.rate_code][0], tuple(device.counter_modes))
        if self.layout.empty:
            raise ValueError("a stream needs at least one channel")
        if code_bytes not in (2, 4):
            raise ValueError("code_bytes must be 2 or 4")
        for channel in ranges:
            if channel not in self.layout.channels:
                raise ValueError(f"range for channel {channel}, which is not streamed")
        self.code_bytes = code_bytes
        self.transfer_bytes = v.transfer_bytes(self.layout, self.rate_code, code_bytes)
        self.group_bytes = v.group_bytes(self.layout, code_bytes)
        self.ranges = {ch: float(ranges.get(ch, 10.0)) for ch in self.layout.channels}
        # Waiting for more than the ring holds would never end.
        self._max_wait = max(1, v.RING_BYTES // self.group_bytes // 2)
        self._pending = []          # blocks taken but not yet returned (time-outs)
        self._rows = 0              # groups handed out by the library since the start
        self._next_index = 0        # the index the next group has when none is missing
        self._returned = 0          # groups returned by read
        self._failure = None        # the link error to raise once the data is out
        self._gaps = timeline.GapReader("KR2270_HcGetGapsSince")
        self._gaps_placed = 0       # gaps of the reader given to blocks
        self._gap_lock = threading.Lock()
        self._conversions = ()
        self._start_unix_ns = 0
        self._description = None
        # Reentrant: Ctrl-C may stop the stream on the thread that is stopping it.
        self._stop_lock = threading.RLock()
        self._running = False
        self._reading = False       # a read is waiting (for tests of interruption)
        self.record_dir = None
        self.recording = None       # this stream's recording: its first file
        self.sidecar = None         # and its sidecar
        self._configure(record)
        self._start()

    def _configure(self, record):
        call = self._device._call
        for channel in self.layout.channels:
            ex, code = v.range_setting_of(self.ranges[channel])
            call("KR2270_AdSetRangeEx", channel, ex, code)
        enable = v.flags(list(self.layout.channels), 8, "channels")
        call("KR2270_AdInFifo", v.byte_array(enable), self.code_bytes)
        call("KR2270_DiInFifo", int(self.layout.di))
        call("KR2270_CtInFifo", v.byte_array(v.flags(list(self.layout.counters), 4, "counters")))
        call("KR2270_EcInFifo", v.byte_array(v.flags(list(self.layout.encoders), 2, "encoders")))
        if self.layout.counters:
            # The modes the counters are converted with, whatever the module
            # was left with.
            call("KR2270_CtSetModeAll", v.byte_array(self.layout.counter_modes, ctypes.c_int8))
        call("KR2270_HcSetFreq", self.rate_code)
        call("KR2270_HcSetTranBytesCount", self.transfer_bytes)
        if record is not None:
            os.makedirs(record, exist_ok=True)
            self.record_dir = os.path.abspath(record)
            self._device._call_plain("KR2270_DFWOpen", path_bytes(self.record_dir), 0)
            with self._device._use() as raw:
                self.recording = _recording_file(raw, 0)
                self.sidecar = _recording_file(raw, 2)
                self._set_field(raw, None)

    def _start(self):
        try:
            self._device._call("KR2270_HcStart", 1)
        except BaseException:
            if self.record_dir is not None:
                with self._device._use() as raw:
                    self._lib.KR2270_DFWClose(raw)
            self._device._stream = None
            raise
        self._running = True
        ctrl_c_stops.watch(self._stop_on_ctrl_c)

    def _stop_on_ctrl_c(self):
        if self._running and not self._device.closed:
            with self._device._use() as raw:
                self._stop_now(raw)

    def _module(self):
        device = self._device
        return {"host": device.host, "command_port": device.port, "data_port": device.data_port}

    def _set_field(self, raw, end):
        """The recording's application field: where the module was, and
        (once the stream stops) how it ended. A failure to write it is no
        failure of the recording."""
        field = {"module": self._module(), "writer": "kr2270 Python package", "end": end}
        self._lib.KR2270_DFWSetField(raw, _FIELD, json.dumps(field).encode("utf-8"))

    def settings(self):
        """The stream's layout and the settings its groups convert with: those
        it started with, and `changes` (each from its `index` on)."""
        with self._device._use() as raw:
            self._refresh_timeline(raw)
        return dict(self._description)

    def _describe(self):
        layout = self.layout
        first = self._conversions[0].as_dict() if self._conversions else {}
        out = {"channels": list(layout.channels), "di": layout.di,
               "counters": list(layout.counters), "encoders": list(layout.encoders),
               "rate": layout.rate, "rate_code": self.rate_code, "code_bytes": self.code_bytes,
               "group_bytes": self.group_bytes, "transfer_bytes": self.transfer_bytes,
               "module": self._module(), "started_utc": timeline.utc_text(self._start_unix_ns)}
        out.update({k: w for k, w in first.items() if k not in ("number", "index", "position")})
        out["changes"] = [c.as_dict() for c in self._conversions[1:]]
        return out

    def _refresh_timeline(self, raw):
        """The start once the library knows it, and the settings in force
        when a change was placed since."""
        line = timeline.live_timeline(raw)
        changed = line.start_unix_ns != self._start_unix_ns
        self._start_unix_ns = line.start_unix_ns
        if line.settings != len(self._conversions):
            self._conversions = tuple(timeline.settings_in_force(raw, "KR2270_HcGetSettingsSince"))
            changed = True
        if changed or self._description is None:
            self._description = self._describe()

    @property
    def timeline(self):
        """The run's `timeline.Timeline`: start, rate, gaps, missing groups."""
        with self._device._use() as raw:
            return timeline.live_timeline(raw)

    @property
    def start_utc(self):
        """The time at which the run's first group was sampled (UTC), once
        it arrived; None before."""
        return self.timeline.start_utc

    # --- reading ---------------------------------------------------------
    def read(self, n, timeout=None):
        """Blocks until `n` groups have arrived and returns them as a `Block`.
        Raises `Timeout` when `timeout` seconds pass first (the groups stay
        for the next read) and `LinkLost` once the data connection is lost
        and every group that arrived has been returned: a shorter block comes
        first when the loss cut one. Ctrl-C stops the acquisition and raises
        KeyboardInterrupt."""
        n = v.positive_size(n, "n")
        with self._device._use() as raw:
            return interruptible(lambda: self._read(raw, n, timeout),
                                 lambda: self._stop_now(raw), self._device._shared)

    def _read(self, raw, n, timeout):
        deadline = None if timeout is None else time.monotonic() + timeout
        have = sum(len(b) for b in self._pending)
        while have < n and self._failure is None:
            want = min(n - have, self._max_wait)
            ready = self._wait(raw, want, deadline)
            if ready == -2:
                raise _timeout(n, have, timeout)
            if ready == -3:
                ready = self._lib.check("KR2270_HcCodeCanReadGroupCount", raw)
                if ready == 0:
                    self._failure = _link_lost(self._running)
                    break
            piece = self._take(raw, min(ready, n - have))
            self._pending.append(piece)
            have += len(piece)
        if not self._pending:
            raise self._failure
        block = concat(self._pending)
        self._pending = []
        self._returned += len(block)
        return block

    def __iter__(self):
        """Blocks of about 10 ms until the link is lost or the stream stops."""
        size = max(1, int(self.layout.rate / 100))
        while True:
            try:
                yield self.read(size)
            except Error as e:
                if e.status == -3 and not self._running:
                    return
                raise

    def _wait(self, raw, want, deadline):
        remaining_ms = 0
        if deadline is not None:
            left = deadline - time.monotonic()
            if left <= 0:
                return -2
            remaining_ms = max(1, int(math.ceil(left * 1000.0)))
        self._reading = True
        try:
            status = self._lib.KR2270_HcWaitGroups(raw, want, remaining_ms)
        finally:
            self._reading = False
        if status < 0 and status not in (-2, -3):
            raise error(status, "KR2270_HcWaitGroups")
        return status

    def _take(self, raw, n):
        buffer = BlockBuffer(self.layout, n)
        while buffer.filled < n:
            if split_into(raw, buffer, n - buffer.filled) == 0:
                break
        first, expected = self._rows, self._next_index
        self._rows += buffer.filled
        if buffer.filled:
            self._next_index = int(buffer.index[buffer.filled - 1]) + 1
        # After the split: every gap before these groups is found by now.
        self._refresh_timeline(raw)
        return buffer.block(first, self._gaps_before(raw, self._next_index - 1),
                            start_unix_ns=self._start_unix_ns, settings=self._description,
                            expected_index=expected, conversions=self._conversions)

    def _gaps_before(self, raw, last_index):
        """The gaps not yet given to a block that lie before index
        `last_index` (they are found in the order they lie)."""
        with self._gap_lock:
            self._gaps.read(raw)
            gaps = self._gaps.gaps
            first = self._gaps_placed
            while self._gaps_placed < len(gaps) and gaps[self._gaps_placed].index < last_index:
                self._gaps_placed += 1
            return gaps[first:self._gaps_placed]

    # --- state -----------------------------------------------------------
    @property
    def gaps(self):
        """Every gap since the start, oldest first, as the library found them
        (`timeline.missing_groups` totals them)."""
        with self._device._use() as raw, self._gap_lock:
            self._gaps.read(raw)
            return list(self._gaps.gaps)

    @property
    def lost_groups(self):
        """Groups missing since the start: dropped because reads fell behind,
        and lost while the link was down."""
        return self.timeline.missing_groups

    @property
    def health(self):
        with self._device._use() as raw:
            return health_of(raw)

    @property
    def groups_read(self):
        return self._returned

    @property
    def data_lost(self):
        with self._device._use() as raw:
            return self._lib.KR2270_HcIsDataLost(raw) == 1

    @property
    def recording_files(self):
        """The files of this stream's recording, first one first."""
        from .recording import recording_chain
        return recording_chain(self.recording) if self.recording else []

    def _stop_now(self, raw, timeout_ms=_PROMPT_STOP_MS):
        """Stops the acquisition and ends the recording; returns both
        statuses. Safe from any thread: a blocked read wakes up."""
        with self._stop_lock:
            if not self._running:
                return 0, 0
            self._running = False
            ctrl_c_stops.unwatch(self._stop_on_ctrl_c)
            status = self._lib.KR2270_HcStart(raw, 0, timeout_ms)
            record_status = 0
            if self.record_dir:
                lost = self._failure is not None or self._lib.KR2270_HcIsDataLost(raw) == 1
                self._set_field(raw, {"reason": "data connection lost" if lost else "stopped"})
                record_status = self._lib.KR2270_DFWClose(raw)
            return status, record_status

    def stop(self):
        """Stops the acquisition and ends the recording. Buffered groups stay
        readable. Raises `Error` (-202) when the recording lost data."""
        if not self._running:
            return
        with self._device._use() as raw:
            status, record_status = self._stop_now(raw, self._device._timeout_ms)
            # After a loss the caller has had its LinkLost already; the
            # module may not answer the stop command then.
            link_gone = self._failure is not None or self._lib.KR2270_HcIsDataLost(raw) == 1
        if status < 0 and not link_gone:
            raise error(status, "KR2270_HcStart")
        if record_status < 0:
            raise error(record_status, "KR2270_DFWClose")

    def close(self):
        try:
            if not self._device.closed:
                self.stop()
        finally:
            if self._device._stream is self:
                self._device._stream = None

    def __enter__(self):
        return self

    def __exit__(self, exc_type, *_):
        try:
            self.close()
        except Error:
            if exc_type is None:
                raise


def _recording_file(raw, which):
    """The open recording's first file (0), current file (1) or sidecar (2),
    as the library named it."""
    size = 4096
    while True:
        text = ctypes.create_string_buffer(size)
        length = lib().KR2270_DFWGetFileName(raw, which, text, size)
        if length >= 0:
            return os.fsdecode(text.raw[:length])
        if length != -1 or size >= 1 << 16:
            raise error(length, "KR2270_DFWGetFileName")
        size *= 4


def health_of(handle):
    health = Health()
    health.struct_size = ctypes.sizeof(Health)
    lib().check("KR2270_GetHealth", handle, ctypes.byref(health))
    return {name: getattr(health, name) for name, _ in Health._fields_ if name != "struct_size"}


def _timeout(n, have, timeout):
    return Timeout(-2, "Stream.read", f"{have} of {n} groups arrived within {timeout} s")


def _link_lost(running):
    text = "the data connection was lost" if running else "the stream was stopped"
    return LinkLost(-3, "Stream.read", text)
