"""The health counters that `kr2270 acquire --metrics` serves, for an
application's own Prometheus exporter.

    from prometheus_client import REGISTRY, start_http_server
    REGISTRY.register(kr2270.metrics.Collector([dev]))    # Debian: python3-prometheus-client
    start_http_server(9270, addr="127.0.0.1")

Without prometheus_client, `metrics_text(devices)` gives the same exposition
text to serve from any HTTP server. Each metric is labelled
module="HOST:PORT" (the module's address, or the key given for it).
"""
import ctypes

from ._library import Timeline, lib
from .stream import health_of

# name, type, help, figure: the same names, types and meanings as the tool's.
METRICS = (
    ("kr2270_groups_received_total", "counter",
     "Whole groups received from the module since the acquisition started.", "groups_received"),
    ("kr2270_groups_dropped_total", "counter",
     "Whole groups dropped because the stream ring was full.", "groups_dropped"),
    ("kr2270_gaps_total", "counter", "Gaps in the stream since the acquisition started.", "gaps"),
    ("kr2270_missing_groups_total", "counter",
     "Groups missing in the gaps of the run (lost link, module restart, ring full).",
     "missing_groups"),
    ("kr2270_reconnects_total", "counter", "Automatic reconnects that brought the stream back.",
     "reconnects"),
    ("kr2270_command_timeouts_total", "counter", "Command exchanges that timed out.",
     "command_timeouts"),
    ("kr2270_stale_replies_total", "counter", "Late command replies discarded.",
     "stale_replies"),
    ("kr2270_ring_fill_bytes", "gauge", "Bytes buffered in the stream ring now.",
     "ring_fill_bytes"),
    ("kr2270_ring_high_water_bytes", "gauge",
     "Largest ring fill since the acquisition started, in bytes.", "ring_high_water"),
    ("kr2270_link_up", "gauge", "1 while the connection to the module is open.", None),
    ("kr2270_data_lost", "gauge",
     "1 when the module closed or reset the data connection and no reconnect brought it back.",
     "data_lost"),
    ("kr2270_recording_bytes_total", "counter",
     "Bytes written to the current recording, headers included.", "recording_bytes"),
    ("kr2270_recording_failed", "gauge",
     "1 once a write to a recording of this run failed (the recording then stopped).",
     "recording_failed"),
)


def module_figures(device):
    """Every figure of one `Device`, read from the library now (any thread)."""
    L = lib()
    with device._use() as raw:
        figures = health_of(raw)
        timeline = Timeline()
        timeline.struct_size = ctypes.sizeof(Timeline)
        missing = 0
        if L.has("KR2270_HcGetTimeline") and L.KR2270_HcGetTimeline(raw, ctypes.byref(timeline)) == 0:
            missing = timeline.missing_groups
        recorded, files = ctypes.c_int64(), ctypes.c_int32()
        failed = L.KR2270_DFWGetInfo(raw, ctypes.byref(recorded), ctypes.byref(files)) < 0
        figures.update(missing_groups=missing, data_lost=int(L.KR2270_HcIsDataLost(raw) == 1),
                       recording_bytes=max(0, recorded.value), recording_failed=int(failed))
    return figures


def _labelled(devices):
    if isinstance(devices, dict):
        return list(devices.items())
    return [(f"{d.host}:{d.port}", d) for d in devices]


def _samples(devices):
    """(name, type, help, [(labels dict, value)]) per metric, over devices."""
    rows = [(label, module_figures(d)) for label, d in _labelled(devices)]
    for name, kind, text, key in METRICS:
        samples = []
        for label, f in rows:
            if key is None:
                samples.append(({"module": label, "connection": "command"},
                                int(f["command_connected"] == 1)))
                samples.append(({"module": label, "connection": "data"},
                                int(f["data_connected"] == 1)))
            else:
                samples.append(({"module": label}, int(f[key])))
        yield name, kind, text, samples


def _label_value(text):
    return text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")


def metrics_text(devices):
    """Prometheus' text format for `devices` (a list of `Device`, or a dict
    of label -> `Device`)."""
    out = []
    for name, kind, text, samples in _samples(devices):
        out += [f"# HELP {name} {text}", f"# TYPE {name} {kind}"]
        for labels, value in samples:
            pairs = ",".join(f'{k}="{_label_value(v)}"' for k, v in labels.items())
            out.append(f"{name}{{{pairs}}} {value}")
    return "\n".join(out) + "\n"


class Collector:
    """A prometheus_client collector of the figures of `devices` (a list of
    `Device`, or a dict of label -> `Device`), read at each scrape."""

    def __init__(self, devices):
        self.devices = devices

    def collect(self):
        from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily
        for name, kind, text, samples in _samples(self.devices):
            labels = list(samples[0][0]) if samples else ["module"]
            if kind == "counter":
                family = CounterMetricFamily(name[:-len("_total")], text, labels=labels)
            else:
                family = GaugeMetricFamily(name, text, labels=labels)
            for values, value in samples:
                family.add_metric(list(values.values()), value)
            yield family

    def describe(self):
        return []   # read at scrape time only: registering must not touch the devices
