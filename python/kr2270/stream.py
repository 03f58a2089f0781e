"""A running acquisition: blocking reads into blocks, its gaps and its
recording."""
import ctypes
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
# Recordings opened by this process, one at a time: each learns its own
# file from the directory's change (the library names it but does not say).
_RECORDING_OPEN_LOCK = threading.Lock()


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
        self._split_total = 0       # groups handed out by the library since the start
        self._returned = 0          # groups returned by read
        self._failure = None        # the link error to raise once the data is out
        self._gaps = []             # the library's gap log as last fetched
        self._gap_count = 0
        # Reentrant: Ctrl-C may stop the stream on the thread that is stopping it.
        self._stop_lock = threading.RLock()
        self._running = False
        self._reading = False       # a read is waiting (for tests of interruption)
        self.record_dir = None
        self.recording = None       # the first file of this stream's recording
        self.start_utc = None
        self._configure(record)
        self._start()
        self._settings = self._describe()

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
            self.recording = _open_recording(
                lambda: self._device._call_plain("KR2270_DFWOpen", path_bytes(self.record_dir), 0),
                self.record_dir)

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
        self.start_utc = timeline.utc_now()
        ctrl_c_stops.watch(self._stop_on_ctrl_c)

    def _stop_on_ctrl_c(self):
        if self._running and not self._device.closed:
            with self._device._use() as raw:
                self._stop_now(raw)

    def _describe(self):
        """The settings this stream converts with, as plain values."""
        device, layout = self._device, self.layout
        zero, full = device.calibration
        spans = [self.ranges.get(ch, 10.0) for ch in range(1, 9)]
        return {"channels": list(layout.channels), "di": layout.di,
                "counters": list(layout.counters), "encoders": list(layout.encoders),
                "rate": layout.rate, "rate_code": self.rate_code, "code_bytes": self.code_bytes,
                "group_bytes": self.group_bytes, "transfer_bytes": self.transfer_bytes,
                "range_codes": [v.range_setting_of(s)[1] for s in spans],
                "extended_ranges": [v.range_setting_of(s)[0] for s in spans],
                "span_volts": spans, "offset_volts": [0.0] * 8,
                "zero_codes": list(zero), "full_codes": list(full),
                "counter_modes": list(layout.counter_modes),
                "counter_base_seconds": list(device.counter_bases),
                "module": {"host": device.host, "command_port": device.port,
                           "data_port": device.data_port},
                "started_utc": timeline.utc_text(self.start_utc)}

    def settings(self):
        return dict(self._settings)

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
        first = self._split_total
        self._split_total += buffer.filled
        gaps = self._gap_log(raw)
        inside = [g for g in gaps if first <= g.group_index < self._split_total]
        before = sum(g.missing_groups for g in gaps if g.group_index < first)
        return buffer.block(first, inside, before, self.start_utc, self._settings)

    def _gap_log(self, raw):
        # Fetched again only when the library counts another gap: most
        # blocks have none, and this runs once per block.
        count = timeline.live_gap_count(raw)
        if count != self._gap_count:
            self._gaps = timeline.live_gaps(raw)
            self._gap_count = count
        return self._gaps

    # --- state -----------------------------------------------------------
    @property
    def gaps(self):
        """Every gap since the start (the library keeps the first and the last
        1000)."""
        with self._device._use() as raw:
            return timeline.live_gaps(raw)

    @property
    def lost_groups(self):
        """Groups missing since the start: dropped because reads fell behind,
        and lost while the link was down."""
        with self._device._use() as raw:
            value = ctypes.c_uint64()
            self._lib.check("KR2270_HcGetLostGroups", raw, ctypes.byref(value))
            gaps = timeline.live_gaps(raw)
        return value.value + sum(g.missing_groups for g in gaps if g.cause != 1)

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
            record_status = self._lib.KR2270_DFWClose(raw) if self.record_dir else 0
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


def _open_recording(open_call, directory):
    """Runs the library's open and returns the first file it made, or None
    when another program made one in the same moment and the two cannot be
    told apart (the library names its file but does not report the name)."""
    with _RECORDING_OPEN_LOCK:
        before = set(os.listdir(directory))
        open_call()
        made = sorted(f for f in set(os.listdir(directory)) - before if f.endswith("_1.dat"))
    return os.path.join(directory, made[0]) if len(made) == 1 else None


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
