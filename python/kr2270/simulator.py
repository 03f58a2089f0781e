"""The built-in simulated module, run as a child process on 127.0.0.1."""
import os
import selectors
import signal
import subprocess
import time

from ._library import find_simulator


class Simulator:
    """Starts `kr2270-sim` with OS-chosen ports and learns them from the line
    it prints once both listen. Options follow its command line: `sequence`,
    `flood`, `ex_ranges`, `clock_scale`, and per-channel `dc`, `amplitude`,
    `frequency` dicts ({channel: value})."""

    host = "127.0.0.1"

    def __init__(self, sequence=False, flood=False, ex_ranges=False, clock_scale=None,
                 dc=None, amplitude=None, frequency=None, start_timeout=20.0):
        args = [find_simulator(), "--command-port", "0", "--data-port", "0"]
        args += ["--sequence"] * bool(sequence) + ["--flood"] * bool(flood)
        args += ["--ex-ranges"] * bool(ex_ranges)
        if clock_scale is not None:
            args += ["--clock-scale", repr(float(clock_scale))]
        for option, values in (("--dc", dc), ("--amplitude", amplitude),
                               ("--frequency", frequency)):
            for channel, value in (values or {}).items():
                args += [option, f"{int(channel)}={float(value)!r}"]
        self.args = args
        self.port = self.data_port = None
        self._process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                         stdin=subprocess.DEVNULL)
        try:
            self._read_ports(start_timeout)
        except BaseException:
            self.close()
            raise

    def _read_ports(self, timeout):
        deadline = time.monotonic() + timeout
        line = b""
        with selectors.DefaultSelector() as sel:
            sel.register(self._process.stdout, selectors.EVENT_READ)
            while not line.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0 or not sel.select(left):
                    raise RuntimeError("kr2270-sim did not report its ports in time")
                chunk = os.read(self._process.stdout.fileno(), 256)
                if not chunk:
                    err = self._process.stderr.read().decode(errors="replace").strip()
                    raise RuntimeError(f"kr2270-sim exited: {err or 'no message'}")
                line += chunk
        fields = dict(item.split("=", 1) for item in line.decode().split())
        self.port, self.data_port = int(fields["command_port"]), int(fields["data_port"])

    @property
    def running(self):
        return self._process.poll() is None

    def _fault(self, name):
        if os.name == "nt":
            raise NotImplementedError("faults on demand are POSIX signals")
        self._process.send_signal(getattr(signal, name))

    def reset_data_connection(self):
        """Closes the data connection, as a link that drops would: a stream
        with automatic reconnection goes on after a "link lost" gap."""
        self._fault("SIGUSR1")

    def restart(self):
        """Power-cycles the module: both connections drop and every setting
        goes back to its power-on value ("module restart" gap)."""
        self._fault("SIGHUP")

    def stall(self):
        """Stalls the stream for the simulator's --stall-ms (2 s)."""
        self._fault("SIGUSR2")

    def kill(self):
        """Ends the module abruptly, as a power loss would (connections drop)."""
        if self.running:
            self._process.kill()
        self._process.wait()

    def close(self, timeout=10.0):
        if self.running:
            if os.name == "nt":
                self._process.terminate()
            else:
                self._process.send_signal(signal.SIGINT)   # a clean stop
            try:
                self._process.wait(timeout)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
        for pipe in (self._process.stdout, self._process.stderr):
            if pipe:
                pipe.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        return f"Simulator({self.host}:{self.port}, data port {self.data_port})"
