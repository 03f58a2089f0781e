"""Fixtures: a simulated module per test module, a connected device, and a
short recording of every kind of input."""
import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))

import kr2270  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(HERE))
BUILD = os.environ.get("KR2270_BUILD_DIR", os.path.join(ROOT, "build"))


@pytest.fixture(scope="module")
def sim():
    with kr2270.Simulator() as s:
        yield s


@pytest.fixture(scope="module")
def sequence_sim():
    with kr2270.Simulator(sequence=True) as s:
        yield s


@pytest.fixture
def device(sim):
    with kr2270.Device(sim.host, sim.port, sim.data_port, timeout=2.0) as dev:
        yield dev


@pytest.fixture(scope="session")
def recording(tmp_path_factory):
    """About 0.3 s at 8000 groups/s of every kind, 5 V on channel 1."""
    directory = tmp_path_factory.mktemp("rec")
    with kr2270.Simulator() as s, kr2270.Device(s.host, s.port, s.data_port, timeout=2.0) as dev:
        with dev.stream(rate=8000, channels=range(1, 9), di=True, counters=[1, 2, 3, 4],
                        encoders=[1, 2], ranges={1: 5.0}, record=str(directory)) as st:
            live = st.read(2400, timeout=5.0)
        path = st.recording
    assert path is not None and path.endswith("_1.dat")
    return path, live


@pytest.fixture(scope="session")
def c_reference():
    """The C program that does the package's work through the header."""
    path = os.path.join(BUILD, "python", "c_reference")
    if not os.path.exists(path):
        pytest.fail(f"not built: {path} (cmake --build build --target kr2270-py-reference)")
    return path
