"""Snapshots and setters against the simulated module's model."""
import numpy as np
import pytest

import kr2270
import kr2270.device
from kr2270 import settings

CODE_VOLTS = 10.0 / 4194000   # one code of a 10 V channel, about


@pytest.fixture(scope="module")
def dc_sim():
    with kr2270.Simulator(dc={1: 2.5, 2: -1.25}, amplitude={1: 0, 2: 0}) as s:
        yield s


def test_snapshot_holds_every_input(device):
    snap = device.snapshot()
    assert set(snap) >= {f"ai{k}" for k in range(1, 9)} | {"di", "ct1", "ct4", "ec1", "ec2"}
    assert snap["di13"] == 1 and snap["di14"] == 0          # the model's fixed inputs
    assert snap["di"] == sum(snap[f"di{k}"] << (k - 1) for k in range(1, 17))
    # Default DC levels of the model are k - 4.5 V (+- the 0.5 V sine).
    for k in range(1, 9):
        assert abs(snap[f"ai{k}"] - (k - 4.5)) <= 0.6


def test_flat_inputs_read_as_the_model_without_a_calibration_call(dc_sim):
    """The simulated module's power-on pair differs from the host's default
    by 100..800 codes: volts are only right when the module's pair is used."""
    with kr2270.Device(dc_sim.host, dc_sim.port, dc_sim.data_port) as dev:
        zero, full = dev.calibration
        assert (zero[0], full[0]) == (4194403, 8388407) != kr2270.device.HOST_DEFAULT_PAIR
        snap = dev.snapshot()
        assert abs(snap["ai1"] - 2.5) <= CODE_VOLTS
        assert abs(snap["ai2"] + 1.25) <= CODE_VOLTS
        dev.set_range(1, 5.0)
        assert abs(dev.snapshot()["ai1"] - 2.5) <= CODE_VOLTS / 2
        with dev.stream(rate=8000, channels=[1, 2], ranges={1: 5.0}) as s:
            block = s.read(400, timeout=5.0)
        assert np.abs(block.ai[:, 0] - 2.5).max() <= CODE_VOLTS / 2
        assert np.abs(block.ai[:, 1] + 1.25).max() <= CODE_VOLTS
        assert block.settings["zero_codes"] == zero and block.settings["full_codes"] == full


def test_outputs_read_back_on_the_inputs(device):
    device.set_outputs([1, 3, 12])
    assert device.snapshot()["di"] & 0xFFF == 0b100000000101
    device.set_outputs(0b10)
    assert device.read_digital() & 0xFFF == 0b10
    device.set_outputs([False] * 12)
    assert device.read_digital() & 0xFFF == 0


def test_counter_per_base_period_and_clear(device):
    achieved = device.set_counter_base(1, 0.1)
    assert achieved == pytest.approx(0.1, rel=1e-9)
    device.set_counter_modes([1, 0, 0, 0])
    # Mode 1 reads the count of the last base period: 1000 Hz x 0.1 s.
    assert device.read_counters()[0] == 100
    assert device.counter_values(1, [100])[0] == pytest.approx(1000.0)   # events/s
    device.set_counter_modes([0, 0, 0, 0])
    device.clear_counters([2])
    device.clear_encoders()
    values = device.read_encoders()
    assert values[0] < 100 and (values[1] == 0 or values[1] > 2**31)   # just cleared


def test_pulses_watchdog_and_reference(device):
    hz, duty = device.set_pulse(2, 1000.0, 0.25)
    assert hz == pytest.approx(1000.0) and duty == pytest.approx(0.25)
    device.set_pulse_count(2, 0)
    device.start_pulses([2])
    assert device.pulses_done()[1] is False
    device.start_pulses([])
    device.write_reference(123456)
    assert device.read_reference() == 123456
    device.set_watchdog(5000)
    device.set_watchdog(None)
    device.set_auto_reconnect(True, max_wait=2.0)
    device.set_auto_reconnect(False)
    with pytest.raises(ValueError):
        device.set_auto_reconnect(True, max_wait=-1.0)


def test_arguments_outside_their_range_are_refused_before_sending(device):
    with pytest.raises(ValueError):
        device.set_range(1, 3.3)
    with pytest.raises(ValueError):
        device.set_watchdog(70000)          # would be cut to 16 bits
    with pytest.raises(ValueError):
        device.set_outputs([13])
    with pytest.raises(ValueError):
        device.set_outputs(1 << 12)
    with pytest.raises(ValueError):
        device.set_pulse(1, 1000.0, 1.5)
    with pytest.raises(ValueError):
        device.set_pulse_count(1, -1)
    with pytest.raises(ValueError):
        device.set_trigger(True, 4)
    with pytest.raises(ValueError):
        device.write_zero(1, 1 << 24)
    with pytest.raises(ValueError):
        device.stream(rate=12345)
    with pytest.raises(ValueError):
        device.stream(channels=[1], ranges={2: 5.0})


def test_library_statuses_become_errors(device):
    with pytest.raises(kr2270.Error) as info:
        device.set_counter_base(5, 1.0)
    assert info.value.status == -8
    with pytest.raises(kr2270.Error) as info:
        device.write_zero(9, 0)
    assert info.value.status == -1


def test_a_closed_device_refuses_calls(sim):
    dev = kr2270.Device(sim.host, sim.port, sim.data_port)
    dev.close()
    dev.close()
    with pytest.raises(kr2270.Error):
        dev.snapshot()


@pytest.mark.parametrize("hz, period", [
    (1000.0, 50000), (3.0, 16666666), (50e6, 1),
    (50e6 / 0xFFFFFFFF, 0xFFFFFFFF),       # the slowest the 32-bit period holds
])
def test_pulse_frequencies_the_module_holds_give_their_period(hz, period):
    assert settings.pulse_period_count(hz) == period


@pytest.mark.parametrize("hz", [0.01, 50e6 / 2**32, 60e6, 50e6 * 1.0000001, 0.0, -5.0,
                                float("inf"), float("nan"), 5e-324])
def test_pulse_frequencies_the_module_cannot_hold_are_refused(device, hz):
    # 0.01 Hz would be sent as a period of 5e9 mod 2^32 (0.07 Hz), 60 MHz as 0.
    with pytest.raises(ValueError):
        device.set_pulse(1, hz, 0.5)


def test_counts_and_periods_beyond_their_registers_are_refused(device):
    assert settings.uint32_register(0xFFFFFFFF, "n") == -1      # the same 32 bits
    for bad in (-1, 1 << 32, 2.5):
        with pytest.raises(ValueError):
            device.set_pulse_count(1, bad)
        with pytest.raises(ValueError):
            device.set_trigger(False, 0, bad)
    for bad in (0x10000, -3, 1.5):
        with pytest.raises(ValueError):
            device.set_watchdog(bad)
    device.set_watchdog(0xFFFF)
    device.set_watchdog(0)
    # A base period of one clock (20 ns) to 2^32 - 1 clocks (85.9 s).
    assert settings.counter_divisor(20e-9) == 1
    assert settings.counter_divisor(0xFFFFFFFF / 50e6) == 0xFFFFFFFF
    for bad in (86.0, 1e-9, 0.0, float("inf")):
        with pytest.raises(ValueError):
            device.set_counter_base(1, bad)
    assert device.set_counter_base(1, 85.0) == pytest.approx(85.0)
    device.set_pulse_count(1, 0xFFFFFFFF)   # the largest count goes through
