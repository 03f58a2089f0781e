"""Blocking reads, every kind of input in the stream, time-outs, loss."""
import threading

import numpy as np
import pytest

import kr2270


def sequence_expected(index, layout):
    """The simulator's sequence pattern for group numbers `index`."""
    g = index.astype(np.uint64)
    codes = [((g * 8 + (k - 1)) & 0xFFFFFF).astype(np.int64) for k in layout.channels]
    codes = [np.where(c & 0x800000, c - (1 << 24), c) for c in codes]
    def columns(values, dtype):
        return np.stack(values, axis=1).astype(dtype) if values else np.empty((len(g), 0), dtype)

    return {"codes": columns(codes, np.int32),
            "di": (g & 0xFFFF).astype(np.uint16) if layout.di else np.empty(0, np.uint16),
            "counters": columns([g * 4 + c - 1 for c in layout.counters], np.uint32),
            "encoders": columns([g * 2 + e - 1 for e in layout.encoders], np.uint32).view(np.int32)}


def check_sequence(block, group_numbers):
    want = sequence_expected(group_numbers, block.layout)
    np.testing.assert_array_equal(block.codes, want["codes"])
    np.testing.assert_array_equal(block.di, want["di"])
    np.testing.assert_array_equal(block.counters, want["counters"])
    np.testing.assert_array_equal(block.encoders, want["encoders"])


def test_every_kind_of_input_arrives_in_order(sequence_sim):
    sim = sequence_sim
    with kr2270.Device(sim.host, sim.port, sim.data_port) as dev:
        with dev.stream(rate=64000, channels=[2, 5, 8], di=True, counters=[1, 4],
                        encoders=[1, 2]) as s:
            first = s.read(6400, timeout=5.0)
            second = s.read(1000, timeout=5.0)
            assert s.lost_groups == 0
            health = s.health
            assert health["groups_received"] >= 7400 and health["data_connected"] == 1
            calibration = dev.calibration
    assert len(first) == 6400 and len(second) == 1000
    assert first.codes.shape == (6400, 3) and first.codes.dtype == np.int32
    assert first.ai.dtype == np.float64 and first.di.dtype == np.uint16
    assert first.counters.shape == (6400, 2) and first.encoders.dtype == np.int32
    assert (first.first_row, second.first_row) == (0, 6400)
    assert first.gaps == [] and second.gaps == []
    # Nothing missing: the timeline index is the row, and the start is known.
    np.testing.assert_array_equal(first.index, np.arange(6400))
    assert second.index[0] == 6400 and (second.gap_groups == 0).all()
    assert first.start_unix_ns > 0 and first.start_utc.year >= 2024
    check_sequence(first, np.arange(6400))
    check_sequence(second, np.arange(6400, 7400))
    # Volts through the module's calibration pair (not the host's default),
    # adopted at the connect, on a 10 V channel.
    zero, full = (np.array(p)[[1, 4, 7]] for p in calibration)
    assert zero[0] != 4194303
    assert list(first.conversions[0].zero_codes) == calibration[0]
    np.testing.assert_allclose(first.ai, (first.codes - zero) * 10.0 / (full - zero), rtol=0,
                               atol=1e-12)
    np.testing.assert_array_equal(first.time[:3], np.arange(3) / 64000.0)


def test_ranges_and_layout_are_written_at_start(sim):
    with kr2270.Device(sim.host, sim.port, sim.data_port) as dev:
        with dev.stream(rate=8000, channels=[1, 2], ranges={1: 5.0, 2: 2.0}) as s:
            block = s.read(800, timeout=5.0)
            assert s.transfer_bytes % 8 == 0 and s.transfer_bytes <= 65535
    # Channel 1 (-3.5 V +- 0.5) fits its 5 V range; channel 2 (-2.5 V +- 0.5)
    # is clipped at the -2 V of its range.
    assert -4.05 <= block.ai[:, 0].min() and block.ai[:, 0].max() <= -2.95
    assert block.ai[:, 1].min() == pytest.approx(-2.0, abs=1e-6)


def test_read_time_out_keeps_the_groups(sim):
    with kr2270.Device(sim.host, sim.port, sim.data_port) as dev:
        with dev.stream(rate=1000, channels=[1]) as s:
            with pytest.raises(kr2270.Timeout) as info:
                s.read(100000, timeout=0.2)
            assert info.value.status == -2
            block = s.read(50, timeout=5.0)
            assert block.first_row == 0 and len(block) == 50


def test_stop_from_another_thread_ends_a_blocked_read(sim):
    with kr2270.Device(sim.host, sim.port, sim.data_port) as dev:
        s = dev.stream(rate=1000, channels=[1])
        started = threading.Event()
        result = {}

        def reader():
            started.set()
            try:
                result["block"] = s.read(10**6, timeout=30.0)
                result["next"] = s.read(1, timeout=30.0)
            except kr2270.Error as e:
                result["error"] = e

        t = threading.Thread(target=reader)
        t.start()
        started.wait(5.0)
        s.close()
        t.join(30.0)
        assert not t.is_alive()
    assert isinstance(result.get("error"), kr2270.LinkLost)
    # What arrived before the stop came out first, unless nothing had.
    assert "next" not in result


def test_loss_of_the_link_returns_the_groups_then_raises(tmp_path):
    sim = kr2270.Simulator(sequence=True)
    try:
        with kr2270.Device(sim.host, sim.port, sim.data_port) as dev:
            with dev.stream(rate=8000, channels=[1], di=True) as s:
                head = s.read(800, timeout=5.0)
                sim.kill()
                rest = []
                with pytest.raises(kr2270.LinkLost):
                    while True:
                        rest.append(s.read(10**6, timeout=30.0))
                assert s.data_lost
                with pytest.raises(kr2270.LinkLost):       # and stays raised
                    s.read(1, timeout=1.0)
    finally:
        sim.close()
    check_sequence(head, np.arange(800))
    for block in rest:
        check_sequence(block, np.arange(block.first_row, block.first_row + len(block)))


FLOOD_GAPS = 2100   # past the 2000 gaps the library's first gap log kept


def test_a_slow_reader_of_a_flooding_module_past_2000_gaps():
    """The module floods a full ring and the reader takes a few groups at a
    time: each read lets a few more in before the ring drops again, so each
    is a gap, at the ring's far end. Then every group that was dropped is in
    a gap, and every group read, up to the last, carries the index the
    module sent it at (the sequence pattern says which): time is never
    behind."""
    placed = []

    def check(block):
        # The counter of the pattern is the module's group number: the index.
        np.testing.assert_array_equal(block.counters[:, 0], (block.index * 4).astype(np.uint32))
        np.testing.assert_array_equal(block.di, (block.index & 0xFFFF).astype(np.uint16))
        np.testing.assert_array_equal(block.time, block.index / 256000.0)
        # The block's gaps lie where its index jumps, by as much.
        rows = np.searchsorted(block.index, [g.index for g in block.gaps])
        np.testing.assert_array_equal(block.gap_groups[rows], [g.missing for g in block.gaps])
        assert block.gap_groups.sum() == sum(g.missing for g in block.gaps)
        placed.extend(block.gaps)

    sim = kr2270.Simulator(sequence=True, flood=True)
    try:
        with kr2270.Device(sim.host, sim.port, sim.data_port) as dev:
            with dev.stream(rate=256000, channels=[1], di=True, counters=[1]) as s:
                ring_groups = (32 << 20) // s.group_bytes
                with dev._use() as raw:          # the ring fills (waiting on the library)
                    s._wait(raw, ring_groups - 1000, None)
                for reads in range(1, 20 * FLOOD_GAPS):
                    check(s.read(16, timeout=30.0))
                    if reads % 100 == 0 and s.timeline.gaps > FLOOD_GAPS:
                        break
                s.stop()
                # The gaps lie in what the ring holds: read all of it.
                with pytest.raises(kr2270.LinkLost):
                    while True:
                        check(s.read(1 << 18, timeout=30.0))
                gaps, line = s.gaps, s.timeline
    finally:
        sim.close()
    assert line.gaps == len(gaps) > FLOOD_GAPS
    assert [g.number for g in gaps] == list(range(len(gaps)))
    assert sum(g.missing for g in gaps) == line.missing_groups
    assert all(g.cause == 1 and not g.estimated and g.missing > 0 for g in gaps)
    # Every gap but one that the stop may have left at the very end lies
    # before a group that was read.
    assert placed == gaps[:len(placed)] and len(placed) >= len(gaps) - 1


def test_iteration_and_second_stream_refused(sim):
    with kr2270.Device(sim.host, sim.port, sim.data_port) as dev:
        with dev.stream(rate=8000, channels=[3]) as s:
            with pytest.raises(kr2270.Error):
                dev.stream(rate=8000, channels=[1])
            blocks = []
            for block in s:
                blocks.append(block)
                if len(blocks) == 3:
                    break
        assert [b.first_row for b in blocks] == [0, 80, 160]
        with dev.stream(rate=8000, channels=[3]) as s2:       # a new start is allowed
            assert s2.read(10, timeout=5.0).first_row == 0
