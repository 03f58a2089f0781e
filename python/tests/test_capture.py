"""Triggered captures from Python against the simulated module: a 10 Hz
sine of 2 V on channel 1, and digital input 3 driven by output 3."""
import datetime

import numpy as np
import pytest

import kr2270

RATE = 8000          # groups/s: 800 groups per period of the sine
PERIOD = 800


@pytest.fixture(scope="module")
def sine_sim():
    with kr2270.Simulator(dc={1: 0.0}, amplitude={1: 2.0}, frequency={1: 10.0}) as s:
        yield s


@pytest.fixture
def dev(sine_sim):
    with kr2270.Device(sine_sim.host, sine_sim.port, sine_sim.data_port, timeout=2.0) as d:
        yield d


def check_crossing(capture, level, rising=True):
    row = capture.trigger_row
    volts = capture.column("ai1")
    assert (volts[row] >= level) if rising else (volts[row] <= level)
    if row > 0:
        assert (volts[row - 1] < level) if rising else (volts[row - 1] > level)


def test_one_capture_holds_pre_and_post_around_the_crossing(dev):
    before = datetime.datetime.now(datetime.timezone.utc)
    capture = dev.capture("ai1", level=1.0, hysteresis=0.1, pre=0.01, post=0.02, rate=RATE,
                          channels=[1, 2], timeout=5.0)
    assert isinstance(capture, kr2270.Block)
    assert not dev.streaming, "the stream stops with the capture"
    pre = capture.trigger_row
    assert pre == 80 or (capture.pre_short and pre == capture.trigger_index)
    assert len(capture) == pre + 160
    assert capture.ai.shape == (pre + 160, 2)
    np.testing.assert_array_equal(capture.indices,
                                  np.arange(capture.indices[0], capture.indices[0] + len(capture)))
    assert capture.indices[pre] == capture.trigger_index and capture.gaps == []
    check_crossing(capture, 1.0)
    # The sine around it, rising there: no step larger than 2 V x 2 pi x 10 Hz / rate.
    volts = capture.column("ai1")
    assert np.max(np.abs(np.diff(volts))) <= 2.0 * 2 * np.pi * 10.0 / RATE * 1.001
    assert volts[pre + 1] > volts[pre - 1]
    assert capture.time_from_trigger[pre] == 0.0
    np.testing.assert_allclose(np.diff(capture.time_from_trigger), 1.0 / RATE)
    np.testing.assert_allclose(capture.time, capture.indices / RATE)
    # Its time: from the library's timeline, within the run just made.
    assert before - datetime.timedelta(seconds=1) < capture.trigger_utc
    assert capture.trigger_utc < datetime.datetime.now(datetime.timezone.utc)
    assert capture.start_utc + datetime.timedelta(seconds=capture.trigger_index / RATE) == \
        pytest.approx(capture.trigger_utc, abs=datetime.timedelta(microseconds=2))


def test_repeated_captures_come_a_period_apart(dev):
    with dev.captures("ai1", level=-0.5, slope="falling", pre=0.005, post=0.005, count=4,
                      timeout=5.0, rate=RATE, channels=[1]) as captures:
        taken = list(captures)
        assert captures.status()["triggers"] >= 4
    assert [c.number for c in taken] == [0, 1, 2, 3]
    for c in taken:
        check_crossing(c, -0.5, rising=False)
        assert len(c) == c.trigger_row + 40
    spacing = np.diff([c.trigger_index for c in taken])
    assert np.all(np.abs(spacing - PERIOD) <= 1), spacing


def test_a_digital_edge_and_a_time_out(dev):
    dev.set_outputs(0)
    with dev.captures("di3", pre=0.01, post=0.005, rate=RATE, channels=[1]) as captures:
        with pytest.raises(kr2270.Timeout):
            captures.next(timeout=0.2)
        dev.set_outputs([3])
        capture = captures.next(timeout=5.0)
    bit = capture.column("di3")
    assert len(capture) == 120 and capture.trigger_row == 80
    np.testing.assert_array_equal(bit, [0] * 80 + [1] * 40)


@pytest.mark.parametrize("options, text", [
    (dict(trigger="ai9"), "ai1..ai8"),
    (dict(trigger="x1"), "ai1..ai8"),
    (dict(trigger="ai1", slope="up"), "rising or falling"),
    (dict(trigger="ai2", channels=[1]), "not streamed"),
    (dict(trigger="ai1", pre=-0.1), "pre"),
    (dict(trigger="ai1", post=0.0), "post"),
    (dict(trigger="ai1", pre=2.0, rate=256000), "more than"),
])
def test_what_cannot_be_captured_is_refused_before_or_at_the_start(dev, options, text):
    trigger = options.pop("trigger")
    with pytest.raises(ValueError, match=text):
        dev.captures(trigger, **options)
    assert not dev.streaming
