"""A connected module: snapshots, setters in SI units, and streams."""
import ctypes
import math
import os
import threading
import time

import numpy as np

from ._library import Error, Health, LinkLost, P_f64, P_i32, P_u32, Timeout, error, lib
from ._library import Gap as _CGap
from .block import BlockBuffer, Gap, Layout, concat, split_into

# rate code -> (groups per second, groups on the wire per group kept)
RATE_CODES = {8: (256000.0, 1), 16: (16000.0, 2), 24: (128000.0, 1), 36: (32000.0, 1),
              40: (64000.0, 1), 48: (1000.0, 4), 52: (4000.0, 1), 56: (8000.0, 1)}
# full scale in volts -> (ex flag, range code)
RANGES = {10.0: (0, 0), 5.0: (0, 1), 2.0: (0, 2), 1.0: (0, 3), 0.1: (1, 2), 0.01: (1, 3)}
MAX_TRANSFER_BYTES = 65535
RING_BYTES = 32 << 20


def rate_code_of(rate):
    for code, (groups_per_second, _) in RATE_CODES.items():
        if groups_per_second == float(rate):
            return code
    known = ", ".join(str(int(r)) for r, _ in sorted(RATE_CODES.values()))
    raise ValueError(f"rate {rate} is not one of the module's rates ({known} groups/s)")


def range_setting_of(volts):
    try:
        return RANGES[float(volts)]
    except KeyError:
        raise ValueError(f"range {volts} V is not one of {sorted(RANGES)}") from None


def group_bytes(layout, code_bytes=4):
    return (len(layout.channels) * code_bytes + 2 * layout.di
            + 4 * len(layout.counters) + 4 * len(layout.encoders))


def transfer_bytes(layout, rate_code, code_bytes=4):
    """About 10 ms of stream in whole groups (whole decimation steps), at most
    65535 bytes."""
    size = group_bytes(layout, code_bytes)
    rate, step = RATE_CODES[rate_code]
    groups = max(step, round(rate * step * 0.01) // step * step)
    fit = MAX_TRANSFER_BYTES // size // step * step
    return min(groups, fit) * size


def _bytes(values, ctype=ctypes.c_uint8):
    values = list(values)
    return (ctype * len(values))(*values), len(values)


def _flags(selection, count, name):
    """A 0/1 list of `count` lines from a number list, a bit mask or a list of
    `count` truth values."""
    if isinstance(selection, (int, np.integer)) and not isinstance(selection, bool):
        if not 0 <= selection < (1 << count):
            raise ValueError(f"{name}: mask {selection:#x} has bits beyond {count} lines")
        return [(int(selection) >> k) & 1 for k in range(count)]
    items = list(selection)
    if len(items) == count and all(isinstance(v, (bool, np.bool_)) for v in items):
        return [int(bool(v)) for v in items]
    flags = [0] * count
    for line in items:
        if not 1 <= int(line) <= count:
            raise ValueError(f"{name}: line {line} is outside 1..{count}")
        flags[int(line) - 1] = 1
    return flags


def _line_list(selection, count, name):
    if selection is True:
        return tuple(range(1, count + 1))
    if not selection:
        return ()
    return tuple(k + 1 for k, f in enumerate(_flags(selection, count, name)) if f)


def _ms(seconds):
    """Seconds to the library's milliseconds; None or 0 is no limit."""
    if not seconds:
        return 0
    if seconds < 0 or not math.isfinite(seconds) or seconds * 1000.0 >= 2**31:
        raise ValueError(f"time-out {seconds} s must be positive and below 24 days")
    return max(1, math.ceil(seconds * 1000.0))


class Device:
    """One module on its command connection. `timeout` (seconds) bounds every
    exchange. Command methods may be called from several threads."""

    def __init__(self, host="127.0.0.1", port=502, data_port=503, timeout=1.0):
        self._lib = lib()
        self._timeout_ms = _ms(timeout)
        self._handle = self._lib.KR2270_DeviceCreate()
        if not self._handle:
            raise MemoryError("KR2270_DeviceCreate")
        self.host, self.port, self.data_port = host, int(port), int(data_port)
        self._stream = None
        try:
            ip = host.encode("ascii")
            self._lib.check("KR2270_CmdConnect", self._handle, ip, 0, self.port,
                            self.data_port, self._timeout_ms)
        except BaseException:
            self._lib.KR2270_DeviceClose(self._handle)
            self._handle = None
            raise

    # --- lifecycle -------------------------------------------------------
    def close(self):
        if self._handle is None:
            return
        try:
            if self._stream is not None:
                self._stream.close()
        finally:
            self._lib.KR2270_CmdClose(self._handle)
            self._lib.KR2270_DeviceClose(self._handle)
            self._handle = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        if getattr(self, "_handle", None) is not None:
            self.close()

    @property
    def handle(self):
        if self._handle is None:
            raise Error(-1, "Device", "the device is closed")
        return self._handle

    def _call(self, name, *args):
        return self._lib.check(name, self.handle, *args, self._timeout_ms)

    # --- snapshot --------------------------------------------------------
    def read_analog(self):
        """(codes, volts): the eight channels now, converted with the ranges
        and calibration the library holds."""
        codes = np.zeros(8, np.int32)
        self._call("KR2270_AdReadAllOnce", codes.ctypes.data_as(P_i32))
        volts = np.zeros(8, np.float64)
        for k in range(8):
            self._lib.check("KR2270_AdCodeToValue", self.handle, k + 1,
                            codes[k:].ctypes.data_as(P_i32), 1, volts[k:].ctypes.data_as(P_f64))
        return codes, volts

    def read_digital(self):
        """The 16 inputs as a word, bit 0 = input 1."""
        inputs = (ctypes.c_uint8 * 16)()
        self._call("KR2270_DiReadAllOnce", inputs)
        return sum((v & 1) << k for k, v in enumerate(inputs))

    def read_counters(self):
        values = (ctypes.c_uint32 * 4)()
        self._call("KR2270_CtReadAllOnce", values)
        return list(values)

    def read_encoders(self):
        values = (ctypes.c_uint32 * 2)()
        self._call("KR2270_EcReadAllOnce", values)
        return list(values)

    def snapshot(self):
        """Every input once: "ai1".."ai8" (V), "code1".."code8", "di" (word,
        bit 0 = input 1), "di1".."di16" (0/1), "ct1".."ct4", "ec1", "ec2"."""
        codes, volts = self.read_analog()
        snap = {f"ai{k + 1}": float(volts[k]) for k in range(8)}
        snap.update({f"code{k + 1}": int(codes[k]) for k in range(8)})
        word = self.read_digital()
        snap["di"] = word
        snap.update({f"di{k + 1}": (word >> k) & 1 for k in range(16)})
        snap.update({f"ct{k + 1}": v for k, v in enumerate(self.read_counters())})
        snap.update({f"ec{k + 1}": v for k, v in enumerate(self.read_encoders())})
        return snap

    # --- analog setup ----------------------------------------------------
    def set_range(self, channel, volts):
        """Full scale of one channel: 10, 5, 2, 1, 0.1 or 0.01 V (the last two
        only on the extended-range variant)."""
        ex, code = range_setting_of(volts)
        self._call("KR2270_AdSetRangeEx", int(channel), ex, code)

    def set_end_mode(self, modes):
        self._call("KR2270_AdSetEndMode", _bytes(_flags(modes, 8, "end mode"))[0])

    def set_sleep(self, first, second):
        self._call("KR2270_AdSetSleep", _bytes([int(bool(first)), int(bool(second))],
                                              ctypes.c_int8)[0])

    def set_source(self, sources):
        sources = list(sources)
        if len(sources) != 8 or any(not 0 <= int(s) <= 3 for s in sources):
            raise ValueError("sources: eight values 0..3")
        self._call("KR2270_AdSetSource", _bytes(sources)[0])

    def set_full_voltage(self, value):
        self._call("KR2270_AdFullVotage", _byte(value, "full-voltage selector"))

    # --- calibration -----------------------------------------------------
    def read_calibration(self):
        """(zero codes, full codes) of the eight channels; pairs more than 10000
        apart are adopted for conversion."""
        zero, full = (ctypes.c_int32 * 8)(), (ctypes.c_int32 * 8)()
        self._call("KR2270_AdReadZeroFull", zero, full)
        return list(zero), list(full)

    def write_zero(self, channel, code):
        self._call("KR2270_AdWriteZero", int(channel), _code24(code))

    def write_full(self, channel, code):
        self._call("KR2270_AdWriteFull", int(channel), _code24(code))

    def read_reference(self):
        value = ctypes.c_int32()
        self._call("KR2270_AdReadRef", ctypes.byref(value))
        return value.value

    def write_reference(self, value):
        self._call("KR2270_AdWriteRef", _int32(value, "reference"))

    # --- digital outputs -------------------------------------------------
    def set_outputs(self, outputs):
        """The 12 outputs: a bit mask (bit 0 = output 1), a list of output
        numbers to switch on, or 12 truth values."""
        self._call("KR2270_DoWriteAllOnce", _bytes(_flags(outputs, 12, "outputs"))[0])

    def set_output_modes(self, modes):
        self._call("KR2270_DoSetMode", _bytes(_flags(modes, 12, "output modes"))[0])

    def set_output_levels(self, levels):
        levels = list(levels)
        if len(levels) != 12 or any(not 0 <= int(v) <= 3 for v in levels):
            raise ValueError("output levels: twelve values 0..3")
        self._call("KR2270_DoSetVotage", _bytes(levels)[0])

    # --- counters and encoders -------------------------------------------
    def set_counter_base(self, counter, seconds):
        """Base period of counter 1..4 in seconds; returns the period set."""
        achieved = ctypes.c_double()
        self._call("KR2270_CtSetFreqBase", int(counter), float(seconds) * 1000.0,
                   ctypes.byref(achieved))
        return achieved.value / 1000.0

    def set_counter_modes(self, modes):
        """Four modes: 0 count, 1 count per base period, 2 clear, 3 period."""
        modes = list(modes)
        if len(modes) != 4 or any(not 0 <= int(m) <= 3 for m in modes):
            raise ValueError("counter modes: four values 0..3")
        self._call("KR2270_CtSetModeAll", _bytes(modes, ctypes.c_int8)[0])

    def clear_counters(self, counters=True):
        which = list(_line_list(counters, 4, "counters"))
        self._call("KR2270_CtClear", _bytes(_flags(which, 4, "counters"))[0])

    def clear_encoders(self, encoders=True):
        which = list(_line_list(encoders, 2, "encoders"))
        self._call("KR2270_EcClear", _bytes(_flags(which, 2, "encoders"))[0])

    def counter_values(self, counter, values):
        """Counter values converted by the counter's mode (counts, or 1/s)."""
        values = np.ascontiguousarray(values, np.uint32)
        out = np.full(values.shape, np.nan)
        self._lib.check("KR2270_CtCodeToValue", self.handle, int(counter),
                        values.ctypes.data_as(P_u32), values.size, out.ctypes.data_as(P_f64))
        return out

    # --- pulse outputs and watchdog --------------------------------------
    def set_pulse(self, output, frequency, duty=0.5):
        """Frequency (Hz) and duty cycle (0..1) of pulse output 1..4; returns
        the (frequency, duty) set."""
        if not 0.0 <= duty <= 1.0:
            raise ValueError(f"duty {duty} is outside 0..1")
        hz, achieved = ctypes.c_double(), ctypes.c_double()
        self._call("KR2270_PwmSetPulse", int(output), float(frequency), float(duty),
                   ctypes.byref(hz), ctypes.byref(achieved))
        return hz.value, achieved.value

    def set_pulse_count(self, output, count):
        self._call("KR2270_PwmSetCount", int(output), _int32(count, "pulse count"))

    def set_pulse_phase(self, phases):
        self._call("KR2270_PwmSetPhase", _bytes(_flags(phases, 4, "phases"))[0])

    def start_pulses(self, outputs):
        """Starts the given outputs (numbers, mask or four truth values) and
        stops the others."""
        self._call("KR2270_PwmStartAll", _bytes(_flags(outputs, 4, "pulse outputs"))[0])

    def pulses_done(self):
        """Four truth values: True for each output that has finished."""
        over = (ctypes.c_uint8 * 4)()
        self._call("KR2270_PwmIsOver", over)
        return [bool(v) for v in over]

    def set_watchdog(self, period):
        """Switches the watchdog on with a period of 1..65535 (the module's
        units), or off with None or 0."""
        if not period:
            self._call("KR2270_SetWtdStatus", 0, 0)
            return
        if not 1 <= int(period) <= 0xFFFF:
            raise ValueError(f"watchdog period {period} is outside 1..65535")
        self._call("KR2270_SetWtdStatus", 1, int(period))

    # --- acquisition setup and state -------------------------------------
    def set_trigger(self, enable, mode=0, count=None):
        self._call("KR2270_HcSetTri", int(bool(enable)), int(mode))
        if count is not None:
            self._call("KR2270_HcSetTriCount", _int32(count, "trigger count"))

    def restore_settings(self):
        """Sends every mirrored setting to the module again."""
        self._call("KR2270_CmdRestoreSettings")

    def set_auto_reconnect(self, enable, max_wait=10.0):
        self._lib.check("KR2270_SetAutoReconnect", self.handle, int(bool(enable)), _ms(max_wait))

    @property
    def health(self):
        return health_of(self.handle)

    @property
    def streaming(self):
        return self._stream is not None

    def stream(self, rate=8000, channels=range(1, 9), di=False, counters=(), encoders=(),
               ranges=None, record=None, code_bytes=4):
        """Starts a stream (see `Stream`); use it as a context manager."""
        if self._stream is not None:
            raise Error(-1, "stream", "a stream already runs on this device")
        self._stream = Stream(self, rate, channels, di, counters, encoders, ranges or {},
                              record, code_bytes)
        return self._stream


def _byte(value, name):
    if not 0 <= int(value) <= 0xFF:
        raise ValueError(f"{name} {value} is outside 0..255")
    return int(value)


def _int32(value, name):
    if not -(1 << 31) <= int(value) < (1 << 31):
        raise ValueError(f"{name} {value} does not fit 32 bits")
    return int(value)


def _code24(code):
    if not -(1 << 23) <= int(code) < (1 << 24):
        raise ValueError(f"code {code} is not a 24-bit code")
    return int(code)


def health_of(handle):
    health = Health()
    health.struct_size = ctypes.sizeof(Health)
    lib().check("KR2270_GetHealth", handle, ctypes.byref(health))
    return {name: getattr(health, name) for name, _ in Health._fields_ if name != "struct_size"}


def gaps_of(handle):
    """Every gap the library still keeps since the start, oldest first."""
    L = lib()
    total = L.check("KR2270_HcGetGaps", handle, None, 0)
    while True:
        array = (_CGap * max(total, 1))()
        count = L.check("KR2270_HcGetGaps", handle, array, total)
        if count <= total:
            return [Gap(g.group_index, g.missing_groups, g.cause, bool(g.estimated))
                    for g in array[:count]]
        total = count


class Stream:
    """A running acquisition. `read` may be called from one thread at a time;
    `stop` (or leaving the `with`) may come from another."""

    def __init__(self, device, rate, channels, di, counters, encoders, ranges, record,
                 code_bytes):
        self._device = device
        self._lib = lib()
        self.rate_code = rate_code_of(rate)
        self.layout = Layout(_line_list(list(channels), 8, "channels"), bool(di),
                             _line_list(counters, 4, "counters"),
                             _line_list(encoders, 2, "encoders"),
                             RATE_CODES[self.rate_code][0])
        if self.layout.empty:
            raise ValueError("a stream needs at least one channel")
        if code_bytes not in (2, 4):
            raise ValueError("code_bytes must be 2 or 4")
        for channel in ranges:
            if channel not in self.layout.channels:
                raise ValueError(f"range for channel {channel}, which is not streamed")
        self.transfer_bytes = transfer_bytes(self.layout, self.rate_code, code_bytes)
        self.group_bytes = group_bytes(self.layout, code_bytes)
        # Waiting for more than the ring holds would never end.
        self._max_wait = max(1, RING_BYTES // self.group_bytes // 2)
        self._pending = []          # blocks taken but not yet returned (time-outs)
        self._split_total = 0       # groups handed out by the library since the start
        self._returned = 0          # groups returned by read
        self._failure = None        # the link error to raise once the data is out
        self._gaps = []             # the library's gap log as last fetched
        self._stop_lock = threading.Lock()
        self._running = False
        self.record_dir = None
        self._files_before = set()
        self._configure(ranges, record, code_bytes)
        self._start()

    def _configure(self, ranges, record, code_bytes):
        call = self._device._call
        for channel in self.layout.channels:
            ex, code = range_setting_of(ranges.get(channel, 10.0))
            call("KR2270_AdSetRangeEx", channel, ex, code)
        enable = _flags(list(self.layout.channels), 8, "channels")
        call("KR2270_AdInFifo", _bytes(enable)[0], code_bytes)
        call("KR2270_DiInFifo", int(self.layout.di))
        call("KR2270_CtInFifo", _bytes(_flags(list(self.layout.counters), 4, "counters"))[0])
        call("KR2270_EcInFifo", _bytes(_flags(list(self.layout.encoders), 2, "encoders"))[0])
        call("KR2270_HcSetFreq", self.rate_code)
        call("KR2270_HcSetTranBytesCount", self.transfer_bytes)
        if record is not None:
            os.makedirs(record, exist_ok=True)
            self.record_dir = os.path.abspath(record)
            self._files_before = set(os.listdir(self.record_dir))
            path = self.record_dir.encode()
            self._lib.check("KR2270_DFWOpen", self._device.handle, path, 0)

    def _start(self):
        try:
            self._device._call("KR2270_HcStart", 1)
        except BaseException:
            if self.record_dir is not None:
                self._lib.KR2270_DFWClose(self._device.handle)
            self._device._stream = None
            raise
        self._running = True
        self._started = time.monotonic()

    # --- reading ---------------------------------------------------------
    def read(self, n, timeout=None):
        """Blocks until `n` groups have arrived and returns them as a `Block`.
        Raises `Timeout` when `timeout` seconds pass first (the groups stay
        for the next read) and `LinkLost` once the data connection is lost
        and every group that arrived has been returned: a shorter block comes
        first when the loss cut one."""
        if n < 1:
            raise ValueError("n must be at least 1")
        deadline = None if timeout is None else time.monotonic() + timeout
        have = sum(len(b) for b in self._pending)
        while have < n and self._failure is None:
            want = min(n - have, self._max_wait)
            ready = self._wait(want, deadline)
            if ready == -2:
                raise _timeout(n, have, timeout)
            if ready == -3:
                ready = self._lib.check("KR2270_HcCodeCanReadGroupCount", self._device.handle)
                if ready == 0:
                    self._failure = _link_lost(self._running)
                    break
            piece = self._take(min(ready, n - have))
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

    def _wait(self, want, deadline):
        remaining_ms = 0
        if deadline is not None:
            left = deadline - time.monotonic()
            if left <= 0:
                return -2
            remaining_ms = max(1, int(math.ceil(left * 1000.0)))
        status = self._lib.KR2270_HcWaitGroups(self._device.handle, want, remaining_ms)
        if status < 0 and status not in (-2, -3):
            raise _error(status, "KR2270_HcWaitGroups")
        return status

    def _take(self, n):
        handle = self._device.handle
        buffer = BlockBuffer(self.layout, n)
        while buffer.filled < n:
            if split_into(handle, buffer, n - buffer.filled) == 0:
                break
        first = self._split_total
        self._split_total += buffer.filled
        gaps = self._gap_log()
        inside = [g for g in gaps if first <= g.group_index < self._split_total]
        before = sum(g.missing_groups for g in gaps if g.group_index < first)
        return buffer.block(first, inside, before)

    def _gap_log(self):
        # Fetched again only when the library counts another gap: most
        # blocks have none, and this runs once per block.
        count = self._lib.check("KR2270_HcGetGaps", self._device.handle, None, 0)
        if count != len(self._gaps):
            self._gaps = gaps_of(self._device.handle)
        return self._gaps

    # --- state -----------------------------------------------------------
    @property
    def gaps(self):
        """Every gap since the start (the library keeps the first and the last
        1000)."""
        return gaps_of(self._device.handle)

    @property
    def lost_groups(self):
        """Groups missing since the start: dropped because reads fell behind,
        and lost while the link was down."""
        handle = self._device.handle
        value = ctypes.c_uint64()
        self._lib.check("KR2270_HcGetLostGroups", handle, ctypes.byref(value))
        return value.value + sum(g.missing_groups for g in gaps_of(handle) if g.cause != 1)

    @property
    def health(self):
        return health_of(self._device.handle)

    @property
    def groups_read(self):
        return self._returned

    @property
    def data_lost(self):
        return self._lib.KR2270_HcIsDataLost(self._device.handle) == 1

    @property
    def recording_files(self):
        """Files this stream's recording created, oldest first."""
        if self.record_dir is None:
            return []
        new = set(os.listdir(self.record_dir)) - self._files_before
        return sorted((os.path.join(self.record_dir, f) for f in new if f.endswith(".dat")),
                      key=lambda p: (os.path.getmtime(p), p))

    @property
    def recording(self):
        """The first file of this stream's recording, or None."""
        firsts = [p for p in self.recording_files if p.endswith("_1.dat")]
        return firsts[0] if firsts else None

    def stop(self):
        """Stops the acquisition and ends the recording. Buffered groups stay
        readable. Raises `Error` (-202) when the recording lost data."""
        with self._stop_lock:
            if not self._running:
                return
            self._running = False
            handle = self._device.handle
            status = self._lib.KR2270_HcStart(handle, 0, self._device._timeout_ms)
            record_status = 0
            if self.record_dir is not None:
                record_status = self._lib.KR2270_DFWClose(handle)
            # After a loss the caller has had its LinkLost already; the
            # module may not answer the stop command then.
            link_gone = self._failure is not None or self.data_lost
            if status < 0 and not link_gone:
                raise _error(status, "KR2270_HcStart")
            if record_status < 0:
                raise _error(record_status, "KR2270_DFWClose")

    def close(self):
        try:
            self.stop()
        finally:
            self._device._stream = None

    def __enter__(self):
        return self

    def __exit__(self, exc_type, *_):
        try:
            self.close()
        except Error:
            if exc_type is None:
                raise


def _error(status, function):
    return error(status, function)


def _timeout(n, have, timeout):
    return Timeout(-2, "Stream.read", f"{have} of {n} groups arrived within {timeout} s")


def _link_lost(running):
    text = "the data connection was lost" if running else "the stream was stopped"
    return LinkLost(-3, "Stream.read", text)
