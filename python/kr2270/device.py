"""A connected module: snapshots and setters in SI units."""
import ctypes

import numpy as np

from . import settings as v
from ._calls import SharedHandle, interruptible
from ._library import ConversionSettings, Error, P_f64, P_i32, P_u32, lib
from .stream import Stream, health_of
from .timeline import conversion_of

# The host's calibration pair before the module's is adopted.
HOST_DEFAULT_PAIR = (4194303, 8388607)


class Device:
    """One module on its command connection. `timeout` (seconds) bounds every
    exchange. Command methods may be called from several threads, and
    `close` from any thread: calls in progress then end with an `Error`.

    On connecting the device reads the module's calibration pairs and
    converts with them (see `calibration`)."""

    def __init__(self, host="127.0.0.1", port=502, data_port=503, timeout=1.0):
        self._lib = lib()
        self._timeout_ms = v.milliseconds(timeout)
        raw = self._lib.KR2270_DeviceCreate()
        if not raw:
            raise MemoryError("KR2270_DeviceCreate")
        self._shared = SharedHandle(raw, "device")
        self.host, self.port, self.data_port = host, int(port), int(data_port)
        self._stream = None
        try:
            self._call_plain("KR2270_CmdConnect", host.encode("ascii"), 0, self.port,
                             self.data_port, self._timeout_ms)
            # Volts are only as right as the pair they are converted with:
            # the module's own, not the host's power-on default.
            self.read_calibration()
        except BaseException:
            self.close()
            raise

    # --- lifecycle -------------------------------------------------------
    def close(self):
        """Stops a running stream, closes the connection and releases the
        handle once no other thread is inside a call with it."""
        shared = getattr(self, "_shared", None)
        if shared is not None:
            shared.close(self._interrupt, self._lib.KR2270_DeviceClose)
        self._stream = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        if getattr(self, "_shared", None) is not None and not self._shared.closed:
            self.close()

    @property
    def closed(self):
        return self._shared.closed

    def _use(self):
        """The handle, held for one call: `close` waits until it is given back."""
        return self._shared.use()

    def _call_plain(self, name, *args):
        """An export with the handle first; Ctrl-C on the main thread closes
        the command connection to end it."""
        with self._use() as raw:
            return interruptible(lambda: self._lib.check(name, raw, *args),
                                 lambda: self._interrupt(raw), self._shared)

    def _call(self, name, *args):
        return self._call_plain(name, *args, self._timeout_ms)

    def _interrupt(self, raw):
        """Ends what runs on `raw`: the stream is stopped, and a command that
        waits for a reply is woken by closing the connection."""
        stream = self._stream
        if stream is not None:
            stream._stop_now(raw)
        self._lib.KR2270_CmdClose(raw)

    # --- snapshot --------------------------------------------------------
    def read_analog(self):
        """(codes, volts): the eight channels now, converted with the ranges
        and calibration the library holds."""
        codes = np.zeros(8, np.int32)
        self._call("KR2270_AdReadAllOnce", codes.ctypes.data_as(P_i32))
        volts = np.zeros(8, np.float64)
        with self._use() as raw:
            for k in range(8):
                self._lib.check("KR2270_AdCodeToValue", raw, k + 1,
                                codes[k:].ctypes.data_as(P_i32), 1,
                                volts[k:].ctypes.data_as(P_f64))
        return codes, volts

    def read_digital(self):
        """The 16 inputs as a word, bit 0 = input 1."""
        inputs = (ctypes.c_uint8 * 16)()
        self._call("KR2270_DiReadAllOnce", inputs)
        return sum((bit & 1) << k for k, bit in enumerate(inputs))

    def read_counters(self):
        values = (ctypes.c_uint32 * 4)()
        self._call("KR2270_CtReadAllOnce", values)
        return list(values)

    def read_encoders(self):
        """The two encoders as signed counts (they count both ways)."""
        values = (ctypes.c_int32 * 2)()
        self._call("KR2270_EcReadAllOnce", ctypes.cast(values, P_u32))
        return list(values)

    def snapshot(self):
        """Every input once: "ai1".."ai8" (V), "code1".."code8", "di" (word,
        bit 0 = input 1), "di1".."di16" (0/1), "ct1".."ct4", "ec1", "ec2"
        (signed)."""
        codes, volts = self.read_analog()
        snap = {f"ai{k + 1}": float(volts[k]) for k in range(8)}
        snap.update({f"code{k + 1}": int(codes[k]) for k in range(8)})
        word = self.read_digital()
        snap["di"] = word
        snap.update({f"di{k + 1}": (word >> k) & 1 for k in range(16)})
        snap.update({f"ct{k + 1}": value for k, value in enumerate(self.read_counters())})
        snap.update({f"ec{k + 1}": value for k, value in enumerate(self.read_encoders())})
        return snap

    # --- analog setup ----------------------------------------------------
    def set_range(self, channel, volts):
        """Full scale of one channel: 10, 5, 2, 1, 0.1 or 0.01 V (the last two
        only on the extended-range variant)."""
        ex, code = v.range_setting_of(volts)
        self._call("KR2270_AdSetRangeEx", int(channel), ex, code)

    def set_end_mode(self, modes):
        self._call("KR2270_AdSetEndMode", v.byte_array(v.flags(modes, 8, "end mode")))

    def set_sleep(self, first, second):
        self._call("KR2270_AdSetSleep",
                   v.byte_array([int(bool(first)), int(bool(second))], ctypes.c_int8))

    def set_source(self, sources):
        sources = list(sources)
        if len(sources) != 8 or any(not 0 <= int(s) <= 3 for s in sources):
            raise ValueError("sources: eight values 0..3")
        self._call("KR2270_AdSetSource", v.byte_array(sources))

    def set_full_voltage(self, value):
        self._call("KR2270_AdFullVotage", v.byte_value(value, "full-voltage selector"))

    # --- calibration -----------------------------------------------------
    def read_calibration(self):
        """(zero codes, full codes) of the eight channels as the module holds
        them; the library adopts the plausible ones for conversion
        (`calibration` then gives the pairs it converts with)."""
        zero, full = (ctypes.c_int32 * 8)(), (ctypes.c_int32 * 8)()
        self._call("KR2270_AdReadZeroFull", zero, full)
        return list(zero), list(full)

    def conversion_settings(self):
        """What snapshots convert with now, as the library holds it: a
        `timeline.Conversion` (calibration pairs, ranges, counter modes and
        base periods)."""
        raw_settings = ConversionSettings()
        with self._use() as raw:
            self._lib.check("KR2270_GetConversionSettings", raw, ctypes.byref(raw_settings))
        return conversion_of(raw_settings)

    @property
    def calibration(self):
        """(zero codes, full codes) of the eight channels as the library
        converts with them."""
        c = self.conversion_settings()
        return list(c.zero_codes), list(c.full_codes)

    def write_zero(self, channel, code):
        self._call("KR2270_AdWriteZero", int(channel), v.code24(code))

    def write_full(self, channel, code):
        self._call("KR2270_AdWriteFull", int(channel), v.code24(code))

    def read_reference(self):
        value = ctypes.c_int32()
        self._call("KR2270_AdReadRef", ctypes.byref(value))
        return value.value

    def write_reference(self, value):
        self._call("KR2270_AdWriteRef", v.int32_value(value, "reference"))

    # --- digital outputs -------------------------------------------------
    def set_outputs(self, outputs):
        """The 12 outputs: a bit mask (bit 0 = output 1), a list of output
        numbers to switch on, or 12 truth values."""
        self._call("KR2270_DoWriteAllOnce", v.byte_array(v.flags(outputs, 12, "outputs")))

    def set_output_modes(self, modes):
        self._call("KR2270_DoSetMode", v.byte_array(v.flags(modes, 12, "output modes")))

    def set_output_levels(self, levels):
        levels = list(levels)
        if len(levels) != 12 or any(not 0 <= int(x) <= 3 for x in levels):
            raise ValueError("output levels: twelve values 0..3")
        self._call("KR2270_DoSetVotage", v.byte_array(levels))

    # --- counters and encoders -------------------------------------------
    def set_counter_base(self, counter, seconds):
        """Base period of counter 1..4 in seconds (20 ns to about 85.9 s, in
        steps of the 50 MHz clock); returns the period set."""
        v.counter_divisor(seconds)
        achieved = ctypes.c_double()
        self._call("KR2270_CtSetFreqBase", int(counter), float(seconds) * 1000.0,
                   ctypes.byref(achieved))
        return achieved.value / 1000.0

    def set_counter_modes(self, modes):
        """Four modes: 0 count, 1 count per base period, 2 clear, 3 period."""
        modes = [int(m) for m in modes]
        if len(modes) != 4 or any(not 0 <= m <= 3 for m in modes):
            raise ValueError("counter modes: four values 0..3")
        self._call("KR2270_CtSetModeAll", v.byte_array(modes, ctypes.c_int8))

    @property
    def counter_modes(self):
        """The modes the library converts counters with (as last set)."""
        return list(self.conversion_settings().counter_modes)

    @property
    def counter_bases(self):
        """The counters' base periods in seconds, as the library holds them."""
        return list(self.conversion_settings().counter_base_seconds)

    def clear_counters(self, counters=True):
        which = list(v.line_list(counters, 4, "counters"))
        self._call("KR2270_CtClear", v.byte_array(v.flags(which, 4, "counters")))

    def clear_encoders(self, encoders=True):
        which = list(v.line_list(encoders, 2, "encoders"))
        self._call("KR2270_EcClear", v.byte_array(v.flags(which, 2, "encoders")))

    def counter_values(self, counter, values):
        """Counter values converted by the counter's mode (counts, or 1/s)."""
        values = np.ascontiguousarray(values, np.uint32)
        out = np.full(values.shape, np.nan)
        with self._use() as raw:
            self._lib.check("KR2270_CtCodeToValue", raw, int(counter),
                            values.ctypes.data_as(P_u32), values.size, out.ctypes.data_as(P_f64))
        return out

    # --- pulse outputs and watchdog --------------------------------------
    def set_pulse(self, output, frequency, duty=0.5):
        """Frequency (Hz, about 0.0117 Hz to 50 MHz) and duty cycle (0..1) of
        pulse output 1..4; returns the (frequency, duty) set, which the 50 MHz
        clock rounds."""
        if not 0.0 <= duty <= 1.0:
            raise ValueError(f"duty {duty} is outside 0..1")
        v.pulse_period_count(frequency)
        hz, achieved = ctypes.c_double(), ctypes.c_double()
        self._call("KR2270_PwmSetPulse", int(output), float(frequency), float(duty),
                   ctypes.byref(hz), ctypes.byref(achieved))
        return hz.value, achieved.value

    def set_pulse_count(self, output, count):
        """Pulses before the output stops, 0..4294967295 (0: until stopped)."""
        self._call("KR2270_PwmSetCount", int(output), v.uint32_register(count, "pulse count"))

    def set_pulse_phase(self, phases):
        self._call("KR2270_PwmSetPhase", v.byte_array(v.flags(phases, 4, "phases")))

    def start_pulses(self, outputs):
        """Starts the given outputs (numbers, mask or four truth values) and
        stops the others."""
        self._call("KR2270_PwmStartAll", v.byte_array(v.flags(outputs, 4, "pulse outputs")))

    def pulses_done(self):
        """Four truth values: True for each output that has finished."""
        over = (ctypes.c_uint8 * 4)()
        self._call("KR2270_PwmIsOver", over)
        return [bool(x) for x in over]

    def set_watchdog(self, period):
        """Switches the watchdog on with a period of 1..65535 (the module's
        units), or off with None or 0."""
        period = v.watchdog_period(period)
        self._call("KR2270_SetWtdStatus", 1 if period else 0, period)

    # --- acquisition setup and state -------------------------------------
    def set_trigger(self, enable, mode=0, count=None):
        """Trigger on or off, its mode 0..3, and its count 0..4294967295."""
        if not 0 <= int(mode) <= 3:
            raise ValueError(f"trigger mode {mode} is outside 0..3")
        self._call("KR2270_HcSetTri", int(bool(enable)), int(mode))
        if count is not None:
            self._call("KR2270_HcSetTriCount", v.uint32_register(count, "trigger count"))

    def restore_settings(self):
        """Sends every mirrored setting to the module again."""
        self._call("KR2270_CmdRestoreSettings")

    def set_auto_reconnect(self, enable, max_wait=10.0):
        self._call_plain("KR2270_SetAutoReconnect", int(bool(enable)), v.milliseconds(max_wait))

    @property
    def health(self):
        with self._use() as raw:
            return health_of(raw)

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

    def captures(self, trigger, level=0.0, **options):
        """Repeated captures around a trigger on a stream of their own: an
        iterator of `Capture` blocks; use it as a context manager (see
        `kr2270.capture.Captures` for the options)."""
        from .capture import Captures
        return Captures(self, trigger, level, **options)

    def capture(self, trigger, level=0.0, timeout=10.0, **options):
        """One capture: starts a stream, waits up to `timeout` seconds for the
        trigger, returns the `Capture` (pre + post groups around the trigger
        group) and stops the stream. Raises `Timeout` when nothing
        triggered."""
        with self.captures(trigger, level, count=1, timeout=timeout, **options) as captures:
            return captures.next()

