"""kr2270.metrics: the figures of a streaming device, the same metrics as
`kr2270 acquire --metrics` serves, as text promtool accepts and through
prometheus_client."""
import os
import re
import shutil
import subprocess
import urllib.request

import pytest

import kr2270
from kr2270 import metrics

from conftest import BUILD

SAMPLE = re.compile(r'^(\w+)\{([^}]*)\} (\S+)$', re.M)


def samples(text):
    """(name, labels in name order) -> value: prometheus_client sorts the labels."""
    return {(m[1], ",".join(sorted(m[2].split(",")))): float(m[3]) for m in SAMPLE.finditer(text)}


def types(text):
    return dict(re.findall(r"^# TYPE (\w+) (\w+)$", text, re.M))


@pytest.fixture
def streaming(device):
    with device.stream(rate=8000, channels=[1], record=None) as s:
        s.read(800, timeout=5.0)
        yield device, s


def test_figures_of_a_streaming_device(streaming):
    device, stream = streaming
    label = f'module="{device.host}:{device.port}"'
    got = samples(metrics.metrics_text([device]))
    assert got[("kr2270_groups_received_total", label)] >= 800
    assert got[("kr2270_link_up", 'connection="data",' + label)] == 1
    assert got[("kr2270_link_up", 'connection="command",' + label)] == 1
    assert got[("kr2270_data_lost", label)] == 0
    assert got[("kr2270_ring_high_water_bytes", label)] > 0
    stream.read(800, timeout=5.0)
    again = samples(metrics.metrics_text({"bench-1": device}))
    assert again[("kr2270_groups_received_total", 'module="bench-1"')] >= 1600


def test_same_metrics_as_the_tool(streaming, tmp_path):
    device, _ = streaming
    tool = os.path.join(BUILD, "tools", "kr2270", "kr2270")
    if not os.path.exists(tool):
        pytest.skip(f"not built: {tool}")
    run = subprocess.Popen([tool, "acquire", "--rate", "8k", "--channels", "1", "--csv",
                            str(tmp_path / "run.csv"), "--groups", "800", "--metrics", "0",
                            "--metrics-linger", "30"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        said = []
        for line in run.stderr:
            said.append(line)
            m = re.match(r"metrics: (http://\S+)", line)
            if m:
                break
        else:
            pytest.fail("the tool said no metrics address: " + "".join(said))
        with urllib.request.urlopen(m[1], timeout=10) as reply:
            served = reply.read().decode()
    finally:
        run.wait(60)
        run.stderr.close()
    ours = metrics.metrics_text([device])
    assert types(ours) == types(served) and len(types(ours)) == 13
    assert {(n, re.sub(r'module="[^"]*"', "", l)) for n, l in samples(ours)} == \
        {(n, re.sub(r'module="[^"]*"', "", l)) for n, l in samples(served)}


def test_promtool_accepts_the_text(streaming):
    promtool = shutil.which("promtool")
    if not promtool:
        pytest.skip("promtool not installed (scripts/install-deps.sh installs prometheus)")
    device, _ = streaming
    check = subprocess.run([promtool, "check", "metrics"], input=metrics.metrics_text([device]),
                           capture_output=True, text=True, timeout=60)
    assert check.returncode == 0, check.stdout + check.stderr


def test_prometheus_client_collector(streaming):
    client = pytest.importorskip("prometheus_client")
    device, _ = streaming
    registry = client.CollectorRegistry()
    registry.register(metrics.Collector([device]))
    text = client.generate_latest(registry).decode()
    label = f'module="{device.host}:{device.port}"'
    got = samples(text)
    assert got[("kr2270_groups_received_total", label)] >= 800
    assert got[("kr2270_link_up", f'connection="data",{label}')] == 1
    # Every metric of the text form, under the same name and type.
    assert types(text) == types(metrics.metrics_text([device]))


def test_closed_device_is_refused():
    with kr2270.Simulator() as sim:
        dev = kr2270.Device(sim.host, sim.port, sim.data_port)
        dev.close()
        with pytest.raises(kr2270.Error):
            metrics.metrics_text([dev])
