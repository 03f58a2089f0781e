"""--metrics as Prometheus sees it: Debian's prometheus, started here on
loopback, scrapes `kr2270 acquire --metrics` against kr2270-sim; its query
API must show the received groups growing and the data link up, then, after
a module restart without --reconnect, the link down and the stream lost.
`promtool check metrics` must pass on what the tool serves, for `acquire`
and for `scope`, and `promtool check config` on the configuration and alert
rules docs/scaling.md gives.

    metrics_prometheus_test.py KR2270 KR2270_SIM

Exits 77 (skipped) when prometheus or promtool is not installed.
"""
import json
import os
import re
import selectors
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse
import urllib.request

TOOL, SIM = sys.argv[1], sys.argv[2]
PROMETHEUS, PROMTOOL = shutil.which("prometheus"), shutil.which("promtool")
START_LIMIT = 60.0    # seconds for a process to say where it listens
QUERY_LIMIT = 60.0    # seconds for Prometheus to show a change
SCRAPE = "250ms"
SCALING_DOC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs",
                           "scaling.md")


def read_until(process, pattern, limit=START_LIMIT, stream="stderr"):
    """The first match of `pattern` in the lines the process writes."""
    pipe = getattr(process, stream)
    deadline, text = time.monotonic() + limit, b""
    with selectors.DefaultSelector() as sel:
        sel.register(pipe, selectors.EVENT_READ)
        while True:
            m = re.search(pattern, text.decode(errors="replace"))
            if m:
                return m
            left = deadline - time.monotonic()
            if left <= 0 or not sel.select(left):
                raise AssertionError(f"no {pattern!r} within {limit} s; got {text!r}")
            chunk = os.read(pipe.fileno(), 4096)
            if not chunk:
                raise AssertionError(f"{process.args[0]} exited; got {text!r}")
            text += chunk


def get(url, timeout=10.0):
    with urllib.request.urlopen(url, timeout=timeout) as reply:
        return reply.read().decode()


def listening_port(pid, limit=START_LIMIT):
    """The TCP port a process listens on, as the OS chose it."""
    import psutil
    deadline = time.monotonic() + limit
    process = psutil.Process(pid)
    while time.monotonic() < deadline:
        ports = [c.laddr.port for c in process.connections("tcp")
                 if c.status == psutil.CONN_LISTEN]
        if ports:
            return ports[0]
        time.sleep(0.05)   # nothing to wait on: the listen is not announced
    raise AssertionError(f"process {pid} listens on no port after {limit} s")


def stop(process, sig=signal.SIGTERM):
    if process.poll() is None:
        process.send_signal(sig)
        try:
            process.wait(20)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    for pipe in (process.stdout, process.stderr):
        if pipe:
            pipe.close()


def promtool_check(text):
    check = subprocess.run([PROMTOOL, "check", "metrics"], input=text, text=True,
                           capture_output=True, timeout=60)
    return check.returncode, check.stdout + check.stderr


class Prometheus:
    """A Prometheus server on 127.0.0.1 scraping one target every 250 ms."""

    def __init__(self, directory, target):
        config = os.path.join(directory, "prometheus.yml")
        with open(config, "w") as f:
            f.write(f"global:\n  scrape_interval: {SCRAPE}\n  scrape_timeout: {SCRAPE}\n"
                    f"scrape_configs:\n  - job_name: kr2270\n"
                    f"    static_configs:\n      - targets: ['{target}']\n")
        self.process = subprocess.Popen(
            [PROMETHEUS, f"--config.file={config}",
             f"--storage.tsdb.path={os.path.join(directory, 'data')}",
             "--web.listen-address=127.0.0.1:0"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.url = f"http://127.0.0.1:{listening_port(self.process.pid)}"
        self.wait_for(lambda: self._ready(), "Prometheus to be ready")

    def _ready(self):
        try:
            return "Ready" in get(self.url + "/-/ready", timeout=2)
        except OSError:
            return False

    def query(self, expression):
        """The values of an instant query, by the series' labels."""
        reply = json.loads(get(self.url + "/api/v1/query?" +
                               urllib.parse.urlencode({"query": expression})))
        assert reply["status"] == "success", reply
        return [float(r["value"][1]) for r in reply["data"]["result"]]

    def wait_for(self, condition, what, limit=QUERY_LIMIT):
        deadline = time.monotonic() + limit
        while time.monotonic() < deadline:
            if condition():
                return
            time.sleep(0.1)   # the next scrape comes within 250 ms; nothing signals it
        raise AssertionError(f"waited {limit} s for {what}")

    def close(self):
        stop(self.process)


class MetricsTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.mkdtemp(prefix="kr2270-metrics-")
        self.processes = []

    def tearDown(self):
        for p in reversed(self.processes):
            p.close() if isinstance(p, Prometheus) else stop(p)
        shutil.rmtree(self.directory, ignore_errors=True)

    def start(self, args):
        process = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE)
        self.processes.append(process)
        return process

    def test_acquire_scraped_by_prometheus_up_then_down_after_a_restart(self):
        sim = self.start([SIM, "--command-port", "0", "--data-port", "0"])
        ports = read_until(sim, r"command_port=(\d+) data_port=(\d+)", stream="stdout")
        acquire = self.start([TOOL, "acquire", "--host", "127.0.0.1", "--port", ports[1],
                              "--data-port", ports[2], "--rate", "8k", "--channels", "1-2",
                              "--record", self.directory, "--metrics", "0",
                              "--metrics-linger", "60"])
        url = read_until(acquire, r"metrics: (http://127\.0\.0\.1:(\d+)/metrics)")
        status, said = promtool_check(get(url[1]))
        self.assertEqual(status, 0, said)

        prometheus = Prometheus(self.directory, f"127.0.0.1:{url[2]}")
        self.processes.append(prometheus)
        module = f'module="127.0.0.1:{ports[1]}"'
        received = f"kr2270_groups_received_total{{{module}}}"
        link = f'kr2270_link_up{{{module},connection="data"}}'
        seen = []

        def received_grows():
            values = prometheus.query(received)
            if values and values[0] > 0:
                seen.append(values[0])
            return len(seen) >= 2 and seen[-1] > seen[0]
        prometheus.wait_for(received_grows, "the received groups to grow")
        self.assertEqual(prometheus.query(link), [1.0])
        self.assertEqual(prometheus.query(f"kr2270_data_lost{{{module}}}"), [0.0])
        self.assertGreater(prometheus.query(f"kr2270_recording_bytes_total{{{module}}}")[0], 318)

        sim.send_signal(signal.SIGHUP)   # the module restarts; no --reconnect
        # The run ends and waits for one more scrape, then exits: the last
        # samples are read back over a range, past the series' staleness.
        prometheus.wait_for(lambda: prometheus.query(f"last_over_time({link}[5m])") == [0.0],
                            "the data link to go down")
        self.assertEqual(prometheus.query(f"last_over_time(kr2270_data_lost{{{module}}}[5m])"),
                         [1.0])
        self.assertEqual(acquire.wait(QUERY_LIMIT), 3)   # the stream was lost
        prometheus.wait_for(lambda: prometheus.query('up{job="kr2270"}') == [0.0],
                            "the exited tool to show as a target down")

    def test_scope_serves_metrics_that_promtool_accepts(self):
        scope = self.start([TOOL, "scope", "--rate", "8k", "--seconds", "120",
                            "--metrics", "127.0.0.1:0"])
        url = read_until(scope, r"metrics: (http://127\.0\.0\.1:\d+/metrics)")[1]
        deadline = time.monotonic() + QUERY_LIMIT
        while True:
            text = get(url)
            m = re.search(r"^kr2270_groups_received_total\{module=\"127\.0\.0\.1:\d+\"\} (\d+)$",
                          text, re.M)
            self.assertIsNotNone(m, text)
            if int(m[1]) > 0 or time.monotonic() > deadline:
                break
            time.sleep(0.1)   # groups arrive within milliseconds of the start
        self.assertGreater(int(m[1]), 0)
        self.assertRegex(text, r'kr2270_link_up\{module="[^"]+",connection="data"\} 1')
        status, said = promtool_check(text)
        self.assertEqual(status, 0, said)

    def test_documented_configuration_and_rules_are_valid(self):
        with open(SCALING_DOC, encoding="utf-8") as f:
            blocks = re.findall(r"```yaml\n(.*?)```", f.read(), re.S)
        config = next(b for b in blocks if "scrape_configs:" in b)
        rules = next(b for b in blocks if "alert:" in b)
        rules_path = os.path.join(self.directory, "kr2270-rules.yml")
        with open(rules_path, "w") as f:
            f.write(rules)
        config_path = os.path.join(self.directory, "prometheus.yml")
        with open(config_path, "w") as f:
            f.write(config.replace("/etc/prometheus/kr2270-rules.yml", rules_path))
        check = subprocess.run([PROMTOOL, "check", "config", config_path], capture_output=True,
                               text=True, timeout=60)
        self.assertEqual(check.returncode, 0, check.stdout + check.stderr)
        self.assertIn("SUCCESS: 5 rules found", check.stdout + check.stderr)


if __name__ == "__main__":
    if not (PROMETHEUS and PROMTOOL):
        print("prometheus or promtool not installed (scripts/install-deps.sh installs them)")
        sys.exit(77)
    unittest.main(argv=sys.argv[:1], verbosity=2)
