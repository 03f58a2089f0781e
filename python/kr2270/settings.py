"""The module's settings in Python terms: its rates and ranges, the stream's
size rules, and what each register can hold, so that a value the module
would not get as given is refused with ValueError before anything is sent.
The library's exports pass such values through; this layer checks them."""
import ctypes
import math

import numpy as np

# rate code -> (groups per second, groups on the wire per group kept)
RATE_CODES = {8: (256000.0, 1), 16: (16000.0, 2), 24: (128000.0, 1), 36: (32000.0, 1),
              40: (64000.0, 1), 48: (1000.0, 4), 52: (4000.0, 1), 56: (8000.0, 1)}
# full scale in volts -> (ex flag, range code)
RANGES = {10.0: (0, 0), 5.0: (0, 1), 2.0: (0, 2), 1.0: (0, 3), 0.1: (1, 2), 0.01: (1, 3)}
MAX_TRANSFER_BYTES = 65535
RING_BYTES = 32 << 20
# Pulse and counter timing counts periods of this clock, in 32-bit registers.
CLOCK_HZ = 50_000_000.0
UINT32_MAX = 0xFFFFFFFF
UINT16_MAX = 0xFFFF


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


def byte_array(values, ctype=ctypes.c_uint8):
    values = list(values)
    return (ctype * len(values))(*values)


def flags(selection, count, name):
    """A 0/1 list of `count` lines from a number list, a bit mask or a list of
    `count` truth values."""
    if isinstance(selection, (int, np.integer)) and not isinstance(selection, bool):
        if not 0 <= selection < (1 << count):
            raise ValueError(f"{name}: mask {selection:#x} has bits beyond {count} lines")
        return [(int(selection) >> k) & 1 for k in range(count)]
    items = list(selection)
    if len(items) == count and all(isinstance(v, (bool, np.bool_)) for v in items):
        return [int(bool(v)) for v in items]
    out = [0] * count
    for line in items:
        if not 1 <= int(line) <= count:
            raise ValueError(f"{name}: line {line} is outside 1..{count}")
        out[int(line) - 1] = 1
    return out


def line_list(selection, count, name):
    if selection is True:
        return tuple(range(1, count + 1))
    if not selection:
        return ()
    return tuple(k + 1 for k, f in enumerate(flags(selection, count, name)) if f)


def milliseconds(seconds):
    """Seconds to the library's milliseconds; None or 0 is no limit."""
    if not seconds:
        return 0
    if seconds < 0 or not math.isfinite(seconds) or seconds * 1000.0 >= 2**31:
        raise ValueError(f"time-out {seconds} s must be positive and below 24 days")
    return max(1, math.ceil(seconds * 1000.0))


def positive_size(value, name):
    """A count of groups that must be at least 1 (a size of 0 would never
    make progress)."""
    if int(value) != value or int(value) < 1:
        raise ValueError(f"{name} must be a whole number of at least 1, not {value!r}")
    return int(value)


def byte_value(value, name):
    if not 0 <= int(value) <= 0xFF:
        raise ValueError(f"{name} {value} is outside 0..255")
    return int(value)


def int32_value(value, name):
    if not -(1 << 31) <= int(value) < (1 << 31):
        raise ValueError(f"{name} {value} does not fit 32 bits")
    return int(value)


def uint32_register(value, name):
    """A count for a 32-bit register: 0..4294967295, handed to the library's
    int32 argument as the same 32 bits."""
    if int(value) != value or not 0 <= int(value) <= UINT32_MAX:
        raise ValueError(f"{name} {value} is outside 0..{UINT32_MAX}")
    return int(ctypes.c_int32(int(value)).value)


def code24(code):
    if not -(1 << 23) <= int(code) < (1 << 24):
        raise ValueError(f"code {code} is not a 24-bit code")
    return int(code)


def pulse_period_count(frequency):
    """Clock periods the library sends for `frequency`, computed as it does
    (50 MHz / f, truncated); refused unless the 32-bit register holds a
    period of at least one clock: 0.0116415... Hz to 50 MHz."""
    f = float(frequency)
    if not math.isfinite(f) or f <= 0.0:
        raise ValueError(f"pulse frequency {frequency} Hz must be a positive number")
    period = int(CLOCK_HZ / f) if CLOCK_HZ / f < 2.0**64 else UINT32_MAX + 1
    if not 1 <= period <= UINT32_MAX:
        low = CLOCK_HZ / (UINT32_MAX + 1)
        raise ValueError(f"pulse frequency {frequency} Hz is outside what the module can "
                         f"count: above {low:.9g} Hz and at most {CLOCK_HZ:.0f} Hz")
    return period


def counter_divisor(seconds):
    """Clock periods the library sends for a counter base of `seconds`,
    computed as it does (50 MHz / (1000 / ms), truncated); refused unless the
    32-bit register holds at least one clock: 20 ns to about 85.9 s."""
    s = float(seconds)
    if not math.isfinite(s) or s <= 0.0:
        raise ValueError(f"counter base {seconds} s must be a positive number")
    ratio = CLOCK_HZ / (1000.0 / (s * 1000.0))
    divisor = int(ratio) if ratio < 2.0**64 else UINT32_MAX + 1
    if not 1 <= divisor <= UINT32_MAX:
        raise ValueError(f"counter base {seconds} s is outside what the module can count: "
                         f"20 ns to {UINT32_MAX / CLOCK_HZ:.6g} s")
    return divisor


def watchdog_period(period):
    """The 16-bit watchdog period, 1..65535; 0 (or None) switches it off."""
    if not period:
        return 0
    if int(period) != period or not 1 <= int(period) <= UINT16_MAX:
        raise ValueError(f"watchdog period {period} is outside 1..{UINT16_MAX}")
    return int(period)
