"""Library calls that other threads and Ctrl-C may cut short.

`SharedHandle`: a library handle that several threads use; it is released
only once no thread is inside a call with it, so that closing a device from
one thread while another reads ends that read with an exception instead of
a use after free.

`interruptible`: a blocking call made on the main thread runs on a helper
thread while the main thread waits in short slices, so that Python's Ctrl-C
handler runs; on Ctrl-C the caller's `wake` ends the call (a stop, a closed
connection) and KeyboardInterrupt goes on.
"""
import threading
import warnings

from ._library import Error

# How often the main thread looks for a Ctrl-C while a call blocks.
_SLICE_S = 0.05
# How long the call may take to return after it was woken.
_WAKE_WAIT_S = 2.0
# How long a close waits for other threads' calls before it gives up on
# releasing the handle (it is then kept, never freed under a caller).
_CLOSE_WAIT_S = 30.0


class SharedHandle:
    """A handle with the threads that use it counted."""

    def __init__(self, raw, what):
        self._raw = raw
        self._what = what
        self._users = {}          # thread id -> calls in progress
        self._closing = False
        self._changed = threading.Condition()

    @property
    def closed(self):
        return self._closing

    def use(self):
        return _Use(self)

    def _enter(self):
        with self._changed:
            if self._closing:
                raise Error(-1, self._what, f"the {self._what} is closed")
            me = threading.get_ident()
            self._users[me] = self._users.get(me, 0) + 1
            return self._raw

    def _leave(self):
        with self._changed:
            me = threading.get_ident()
            self._users[me] -= 1
            if not self._users[me]:
                del self._users[me]
            self._changed.notify_all()

    def close(self, wake, release):
        """Refuses new calls, runs `wake(raw)` to end the calls in progress,
        waits until no other thread is inside one and runs `release(raw)`.
        Returns False when this close found the handle closed already."""
        with self._changed:
            if self._closing:
                return False
            self._closing = True
        raw = self._raw
        try:
            wake(raw)
        finally:
            me = threading.get_ident()
            with self._changed:
                done = self._changed.wait_for(
                    lambda: not any(n for t, n in self._users.items() if t != me),
                    _CLOSE_WAIT_S)
            if done:
                release(raw)
            else:
                warnings.warn(f"a call on the {self._what} did not return; its handle is "
                              "kept rather than freed under it", ResourceWarning)
            self._raw = None
        return True


class _Use:
    def __init__(self, handle):
        self._handle = handle

    def __enter__(self):
        return self._handle._enter()

    def __exit__(self, *exc):
        self._handle._leave()


def interruptible(call, wake, handle):
    """call() on the main thread, ended by `wake()` when Ctrl-C comes; on
    other threads (which never get Ctrl-C) call() as it is. The helper thread
    holds `handle` (a SharedHandle) for the call itself: the caller may be
    gone, and the handle closed, before a woken call returns."""
    if threading.current_thread() is not threading.main_thread():
        return call()
    outcome = {}
    finished = threading.Event()

    def run():
        try:
            with handle.use():
                outcome["value"] = call()
        except BaseException as e:   # handed to the waiting thread
            outcome["error"] = e
        finally:
            finished.set()

    try:
        # Ctrl-C may come while the thread starts, too.
        threading.Thread(target=run, name="kr2270 call", daemon=True).start()
        while not finished.wait(_SLICE_S):
            pass
    except KeyboardInterrupt:
        try:
            wake()
        except Exception:   # the interrupt is what the caller hears of
            pass
        finished.wait(_WAKE_WAIT_S)
        raise
    if "error" in outcome:
        raise outcome["error"]
    return outcome["value"]


class CtrlCStops:
    """While streams run, Ctrl-C stops them before KeyboardInterrupt is
    raised, wherever the main thread is (in a read, or in the caller's own
    loop between reads). Only taken when SIGINT has Python's default handler
    and the stream starts on the main thread: a program with a handler of
    its own decides for itself."""

    def __init__(self):
        self._streams = []
        # Reentrant: the handler runs on the main thread, which may be inside
        # watch or unwatch when Ctrl-C comes.
        self._lock = threading.RLock()
        self._installed = False

    def watch(self, stop):
        """`stop()` runs on Ctrl-C until `unwatch(stop)`."""
        import signal
        if threading.current_thread() is not threading.main_thread():
            return
        with self._lock:
            if not self._installed:
                if signal.getsignal(signal.SIGINT) is not signal.default_int_handler:
                    return
                signal.signal(signal.SIGINT, self._on_ctrl_c)
                self._installed = True
            self._streams.append(stop)

    def unwatch(self, stop):
        import signal
        with self._lock:
            if stop in self._streams:
                self._streams.remove(stop)
            if self._streams or not self._installed:
                return
            if threading.current_thread() is threading.main_thread():
                if signal.getsignal(signal.SIGINT) == self._on_ctrl_c:
                    signal.signal(signal.SIGINT, signal.default_int_handler)
                self._installed = False

    def _on_ctrl_c(self, signum, frame):
        import signal
        with self._lock:
            stops = list(self._streams)
        for stop in stops:
            try:
                stop()
            except Exception:   # the interrupt is what the caller hears of
                pass
        signal.default_int_handler(signum, frame)


ctrl_c_stops = CtrlCStops()
