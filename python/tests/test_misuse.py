"""The package under misuse: a device closed under a reading thread, Ctrl-C
in a blocking read, two devices recording into one directory."""
import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import kr2270

PYTHON_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def child(script, timeout=120):
    """Runs `script` in a fresh interpreter with this one's environment:
    scripts/ci-sanitizers.sh runs these tests with the AddressSanitizer build
    of the library (LD_PRELOAD of its runtime), so that a use after free is
    reported rather than lucky."""
    env = dict(os.environ, PYTHONPATH=PYTHON_DIR)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(script)], capture_output=True,
                          text=True, timeout=timeout, env=env)


CLOSE_WHILE_READING = """
    import threading, kr2270
    with kr2270.Simulator(sequence=True) as sim:
        for attempt in range({tries}):
            dev = kr2270.Device(sim.host, sim.port, sim.data_port, timeout=2.0)
            s = dev.stream(rate=64000, channels=range(1, 9), di=True)
            seen = {{}}
            def reader():
                try:
                    while True:
                        s.read(10**6)          # no time-out: only the close ends it
                except kr2270.Error as e:
                    seen["error"] = e
            t = threading.Thread(target=reader)
            t.start()
            while not s._reading:              # the reader waits in the library
                pass
            dev.close()
            t.join(30)
            assert not t.is_alive(), "the read did not end"
            assert isinstance(seen.get("error"), kr2270.Error), seen
            try:
                s.read(1)
                raise AssertionError("a read after the close returned")
            except kr2270.Error:
                pass
    print("closed under the reader", {tries}, "times")
"""


def test_close_from_another_thread_ends_a_blocked_read_with_an_error():
    result = child(CLOSE_WHILE_READING.format(tries=20))
    assert result.returncode == 0, result.stderr[-3000:]
    assert "closed under the reader 20 times" in result.stdout


CTRL_C_WHILE_READING = """
    import os, signal, threading, time, kr2270
    with kr2270.Simulator() as sim:
        dev = kr2270.Device(sim.host, sim.port, sim.data_port)
        s = dev.stream(rate=1000, channels=[1])
        def interrupt():
            while not s._reading:
                time.sleep(0.001)
            global sent
            sent = time.monotonic()
            os.kill(os.getpid(), signal.SIGINT)
        threading.Thread(target=interrupt, daemon=True).start()
        try:
            {loop}
        except KeyboardInterrupt:
            waited = time.monotonic() - sent
            health = dev.health
            print(f"interrupted after {{waited:.3f}} s; streaming {{s._running}}; "
                  f"data connected {{health['data_connected']}}")
        dev.close()
"""


@pytest.mark.skipif(os.name == "nt", reason="SIGINT to oneself is POSIX")
@pytest.mark.parametrize("loop", ["s.read(10**9)", "for block in s: pass"])
def test_ctrl_c_ends_a_blocking_read_and_stops_the_module(loop):
    result = child(CTRL_C_WHILE_READING.format(loop=loop))
    assert result.returncode == 0, result.stderr[-3000:]
    assert "streaming False; data connected 0" in result.stdout, result.stdout
    # Half a second is the promise; the bound here only catches a read that
    # ignores Ctrl-C, whatever the machine's load.
    waited = float(result.stdout.split("interrupted after ")[1].split(" s")[0])
    print(f"Ctrl-C to KeyboardInterrupt: {waited:.3f} s")
    assert waited < 10.0


@pytest.mark.skipif(threading.current_thread() is not threading.main_thread(),
                    reason="Ctrl-C reaches the main thread only")
def test_a_call_that_outlives_ctrl_c_keeps_its_handle_from_being_freed():
    """Ctrl-C leaves the call running on its helper thread when the call
    does not heed its wake in time; the caller then closes the device. The
    handle must stay until that call returns, not be freed under it."""
    import _thread
    from kr2270._calls import SharedHandle, interruptible
    handle = SharedHandle(object(), "device")
    started, go, released = threading.Event(), threading.Event(), threading.Event()
    freed_under_call = []

    def call():
        started.set()
        go.wait(60)
        # Freed from here on would be a use after free.
        freed_under_call.append(released.wait(2.0))

    threading.Thread(target=lambda: started.wait(60) and _thread.interrupt_main(),
                     daemon=True).start()
    with pytest.raises(KeyboardInterrupt):
        with handle.use():
            interruptible(call, lambda: None, handle)   # a wake the call ignores
    assert handle.close(lambda raw: go.set(), lambda raw: released.set())
    assert freed_under_call == [False]
    assert released.is_set()


def test_two_devices_recording_into_one_directory_each_get_their_own_file(tmp_path):
    """Two modules with different levels, started together: each stream's
    recording holds that stream's groups."""
    with kr2270.Simulator(dc={1: 1.0}, amplitude={1: 0}) as a, \
            kr2270.Simulator(dc={1: -2.0}, amplitude={1: 0}) as b:
        results, errors = {}, []
        ready = threading.Barrier(2)

        def record(name, sim):
            try:
                with kr2270.Device(sim.host, sim.port, sim.data_port, timeout=2.0) as dev:
                    ready.wait(10)
                    with dev.stream(rate=8000, channels=[1], record=str(tmp_path)) as s:
                        live = s.read(400, timeout=5.0)
                    results[name] = (s.recording, live)
            except Exception as e:      # reported by the test thread
                errors.append(e)

        threads = [threading.Thread(target=record, args=item) for item in (("a", a), ("b", b))]
        for t in threads:
            t.start()
        for t in threads:
            t.join(60)
    assert not errors, errors
    (file_a, live_a), (file_b, live_b) = results["a"], results["b"]
    assert file_a and file_b and file_a != file_b
    for path, live, level in ((file_a, live_a, 1.0), (file_b, live_b, -2.0)):
        with kr2270.Recording(path) as rec:
            replay = rec.read(0, len(live))
        np.testing.assert_array_equal(replay.codes, live.codes)
        assert abs(replay.ai[:, 0].mean() - level) < 1e-3
