"""Python interface to the kr2270c driver library: NumPy arrays from live
streams and recordings, HDF5/CSV/NPY export and plots.

    with kr2270.Simulator() as sim, kr2270.Device(sim.host, sim.port, sim.data_port) as dev:
        with dev.stream(rate=8000, channels=[1, 2]) as s:
            block = s.read(800, timeout=2.0)
"""
from ._library import EXPORTS, Error, LinkLost, Timeout, find_library, status_text, version
from .block import Block, Gap, Layout
from .capture import Capture, Captures
from .device import Device
from .settings import RANGES, RATE_CODES
from .stream import Stream
from .recording import Recording
from .simulator import Simulator
from .timeline import Conversion, Timeline


def to_hdf5(source, path, **options):
    """Writes a `Recording` or a `Block` to an HDF5 file (see docs/python.md)."""
    from .export import to_hdf5 as write
    return write(source, path, **options)


def open_dataset(paths, **options):
    """Recordings as a lazy xarray Dataset on Dask (see `kr2270.dataset.open_dataset`)."""
    from .dataset import open_dataset as open_lazily
    return open_lazily(paths, **options)


def plot(source, path, **options):
    """Writes a PNG of a `Block` or a `Recording` (see `kr2270.plotting.plot`)."""
    from .plotting import plot as draw
    return draw(source, path, **options)


__all__ = ["Block", "Capture", "Captures", "Conversion", "Device", "EXPORTS", "Error", "Gap", "Layout",
           "LinkLost", "RANGES", "RATE_CODES", "Recording", "Simulator", "Stream", "Timeline",
           "Timeout", "find_library", "open_dataset", "plot", "status_text", "to_hdf5", "version"]
