"""The C library: where it is, every export's signature, and status checks.

Every export is declared once, in EXPORTS. Nothing else in the package calls
ctypes on the library directly; it goes through `lib()`.
"""
import ctypes
import os
import sys
from ctypes import POINTER, c_char_p, c_double, c_int8, c_int32, c_int64, c_uint8, c_uint16
from ctypes import c_uint32, c_uint64, c_void_p

Handle = c_void_p
P_i8, P_u8, P_i32, P_u32 = POINTER(c_int8), POINTER(c_uint8), POINTER(c_int32), POINTER(c_uint32)
P_u16, P_i64, P_u64, P_f64 = POINTER(c_uint16), POINTER(c_int64), POINTER(c_uint64), POINTER(c_double)
i32 = c_int32


class Gap(ctypes.Structure):
    _fields_ = [("group_index", c_uint64), ("missing_groups", c_uint64),
                ("cause", c_int32), ("estimated", c_int32)]


class GapRecord(ctypes.Structure):
    _fields_ = [("number", c_uint64), ("index", c_uint64), ("missing", c_uint64),
                ("position", c_uint64), ("cause", c_int32), ("estimated", c_int32)]


class ConversionSettings(ctypes.Structure):
    _fields_ = [("number", c_uint64), ("index", c_uint64), ("position", c_uint64),
                ("zero_code", c_int32 * 8), ("full_code", c_int32 * 8),
                ("full_scale", c_double * 8), ("offset", c_double * 8),
                ("range_code", c_uint8 * 8), ("extended_range", c_uint8 * 8),
                ("counter_mode", c_int8 * 4), ("reserved", c_int32),
                ("counter_base_ms", c_double * 4)]


class Timeline(ctypes.Structure):
    _fields_ = [("struct_size", c_uint32), ("source", c_int32), ("start_unix_ns", c_int64),
                ("group_rate", c_double), ("averaging", c_int32), ("complete", c_int32),
                ("first_index", c_uint64), ("next_index", c_uint64), ("groups", c_uint64),
                ("gaps", c_uint64), ("missing_groups", c_uint64), ("settings", c_uint64),
                ("averaging_dropped", c_uint64)]


class Health(ctypes.Structure):
    _fields_ = [("struct_size", c_uint32), ("last_error", c_int32),
                ("groups_received", c_uint64), ("groups_dropped", c_uint64),
                ("gaps", c_uint64), ("reconnects", c_uint64),
                ("command_timeouts", c_uint64), ("stale_replies", c_uint64),
                ("ring_fill_bytes", c_uint64), ("ring_high_water", c_uint64),
                ("command_connected", c_int32), ("data_connected", c_int32)]


class TriggerSetup(ctypes.Structure):
    _fields_ = [("struct_size", c_uint32), ("source", c_int32), ("channel", c_int32),
                ("slope", c_int32), ("level", c_double), ("hysteresis", c_double),
                ("pre", c_int64), ("post", c_int64), ("repeat", c_int32),
                ("max_ready", c_int32), ("holdoff", c_int64)]


class CaptureInfo(ctypes.Structure):
    _fields_ = [("struct_size", c_uint32), ("pre_short", c_int32), ("number", c_uint64),
                ("groups", c_uint64), ("trigger_row", c_uint64), ("trigger_index", c_uint64),
                ("first_index", c_uint64), ("trigger_unix_ns", c_int64), ("gaps", c_uint64),
                ("missing_groups", c_uint64)]


class TriggerStatus(ctypes.Structure):
    _fields_ = [("struct_size", c_uint32), ("state", c_int32), ("triggers", c_uint64),
                ("ready", c_uint64), ("dropped", c_uint64), ("kept_groups", c_uint64)]


# name: (result type, argument types). None as result: void.
EXPORTS = {
    "KR2270_DeviceCreate": (Handle, []),
    "KR2270_DeviceClose": (None, [Handle]),
    "KR2270_CmdConnect": (i32, [Handle, c_char_p, c_uint32, i32, i32, i32]),
    "KR2270_CmdClose": (None, [Handle]),
    "KR2270_CmdRestoreSettings": (i32, [Handle, i32]),
    "KR2270_AdSetRange": (i32, [Handle, i32, i32, i32]),
    "KR2270_AdSetRangeEx": (i32, [Handle, i32, i32, i32, i32]),
    "KR2270_AdInFifo": (i32, [Handle, P_u8, i32, i32]),
    "KR2270_AdSetEndMode": (i32, [Handle, P_u8, i32]),
    "KR2270_AdSetSleep": (i32, [Handle, P_i8, i32]),
    "KR2270_AdSetSource": (i32, [Handle, P_u8, i32]),
    "KR2270_AdFullVotage": (i32, [Handle, i32, i32]),
    "KR2270_AdReadAllOnce": (i32, [Handle, P_i32, i32]),
    "KR2270_DiReadAllOnce": (i32, [Handle, P_u8, i32]),
    "KR2270_DoWriteAllOnce": (i32, [Handle, P_u8, i32]),
    "KR2270_DoSetMode": (i32, [Handle, P_u8, i32]),
    "KR2270_DoSetVotage": (i32, [Handle, P_u8, i32]),
    "KR2270_DiInFifo": (i32, [Handle, i32, i32]),
    "KR2270_CtSetFreqBase": (i32, [Handle, i32, c_double, P_f64, i32]),
    "KR2270_CtSetModeAll": (i32, [Handle, P_i8, i32]),
    "KR2270_CtClear": (i32, [Handle, P_u8, i32]),
    "KR2270_CtInFifo": (i32, [Handle, P_u8, i32]),
    "KR2270_EcInFifo": (i32, [Handle, P_u8, i32]),
    "KR2270_EcClear": (i32, [Handle, P_u8, i32]),
    "KR2270_CtReadAllOnce": (i32, [Handle, P_u32, i32]),
    "KR2270_EcReadAllOnce": (i32, [Handle, P_u32, i32]),
    "KR2270_PwmSetPulse": (i32, [Handle, i32, c_double, c_double, P_f64, P_f64, i32]),
    "KR2270_PwmSetCount": (i32, [Handle, i32, i32, i32]),
    "KR2270_PwmSetPhase": (i32, [Handle, P_u8, i32]),
    "KR2270_PwmStartAll": (i32, [Handle, P_u8, i32]),
    "KR2270_PwmIsOver": (i32, [Handle, P_u8, i32]),
    "KR2270_SetWtdStatus": (i32, [Handle, i32, i32, i32]),
    "KR2270_AdReadZeroFull": (i32, [Handle, P_i32, P_i32, i32]),
    "KR2270_AdWriteZero": (i32, [Handle, i32, i32, i32]),
    "KR2270_AdWriteFull": (i32, [Handle, i32, i32, i32]),
    "KR2270_AdReadRef": (i32, [Handle, P_i32, i32]),
    "KR2270_AdWriteRef": (i32, [Handle, i32, i32]),
    "KR2270_HcSetFreq": (i32, [Handle, i32, i32]),
    "KR2270_HcSetTri": (i32, [Handle, i32, i32, i32]),
    "KR2270_HcSetTranBytesCount": (i32, [Handle, i32, i32]),
    "KR2270_HcSetTriCount": (i32, [Handle, i32, i32]),
    "KR2270_HcGetGroupBc": (i32, [Handle]),
    "KR2270_AdFilterTimesPC": (i32, [Handle, i32, P_f64]),
    "KR2270_HcStart": (i32, [Handle, i32, i32]),
    "KR2270_HcCodeCanReadGroupCount": (i32, [Handle]),
    "KR2270_HcCodeSplit": (i32, [Handle, i32]),
    "KR2270_HcCodeGetAd": (i32, [Handle, i32, P_i32]),
    "KR2270_HcCodeGetDi": (i32, [Handle, P_u16]),
    "KR2270_HcCodeGetCt": (i32, [Handle, i32, P_u32]),
    "KR2270_HcCodeGetEc": (i32, [Handle, i32, P_u32]),
    "KR2270_AdOriginalCodeToCode": (None, [P_i32, i32, P_i32]),
    "KR2270_AdCodeToValue": (i32, [Handle, i32, P_i32, i32, P_f64]),
    "KR2270_CtCodeToValue": (i32, [Handle, i32, P_u32, i32, P_f64]),
    "KR2270_DFWOpen": (i32, [Handle, c_char_p, i32]),
    "KR2270_DFWClose": (i32, [Handle]),
    "KR2270_DFROpen": (i32, [Handle, c_char_p, i32]),
    "KR2270_DFRClose": (i32, [Handle]),
    "KR2270_DFRRead": (i32, [Handle, c_double, i32, P_i32]),
    "KR2270_DFRGetGroupTotal": (i32, [Handle, P_f64, P_f64]),
    "KR2270_DFRGetFreq": (i32, [Handle, P_f64]),
    "KR2270_DFRGetAdInFifo": (i32, [Handle, P_u8]),
    "KR2270_DFRGetCtInFifo": (i32, [Handle, P_u8]),
    "KR2270_DFRGetEcInFifo": (i32, [Handle, P_u8]),
    "KR2270_DFRGetDiInFifo": (i32, [Handle, P_u8]),
    "KR2270_DFRGetRange": (i32, [Handle, P_u8]),
    "KR2270_DFRGetTri": (i32, [Handle, P_i32, P_i32]),
    "KR2270_DFRGetTriCount": (i32, [Handle, P_i32]),
    "KR2270_DFRCtGetFreqBase": (i32, [Handle, P_f64]),
    "KR2270_DFRCtGetModeAll": (i32, [Handle, P_i8]),
    "KR2270_DFRAdReadZeroFull": (i32, [Handle, P_i32, P_i32]),
    "KR2270_DFRAdGetEndMode": (i32, [Handle, P_i32]),
    "KR2270_DFRAdGetSleep": (i32, [Handle, P_i32]),
    "KR2270_HcGetLostGroups": (i32, [Handle, P_u64]),
    "KR2270_HcIsDataLost": (i32, [Handle]),
    "KR2270_DFWGetInfo": (i32, [Handle, P_i64, P_i32]),
    "KR2270_StatusText": (c_char_p, [i32]),
    "KR2270_HcWaitGroups": (i32, [Handle, i32, i32]),
    "KR2270_HcGetGaps": (i32, [Handle, POINTER(Gap), i32]),
    "KR2270_SetAutoReconnect": (i32, [Handle, i32, i32]),
    "KR2270_GetHealth": (i32, [Handle, POINTER(Health)]),
    "KR2270_GetVersion": (c_char_p, []),
    "KR2270_HcGetTimeline": (i32, [Handle, POINTER(Timeline)]),
    "KR2270_HcGetGapsSince": (i32, [Handle, c_uint64, POINTER(GapRecord), i32, P_u64]),
    "KR2270_HcGetSettingsSince": (i32, [Handle, c_uint64, POINTER(ConversionSettings), i32,
                                        P_u64]),
    "KR2270_GetConversionSettings": (i32, [Handle, POINTER(ConversionSettings)]),
    "KR2270_HcCodeGetIndex": (i32, [Handle, P_u64]),
    "KR2270_HcAdCodeToValue": (i32, [Handle, i32, P_i32, i32, P_f64]),
    "KR2270_HcCtCodeToValue": (i32, [Handle, i32, P_u32, i32, P_f64]),
    "KR2270_DFWSetField": (i32, [Handle, c_char_p, c_char_p]),
    "KR2270_DFWGetFileName": (i32, [Handle, i32, c_char_p, i32]),
    "KR2270_DFRGetTimeline": (i32, [Handle, POINTER(Timeline)]),
    "KR2270_DFRGetGaps": (i32, [Handle, c_uint64, POINTER(GapRecord), i32, P_u64]),
    "KR2270_DFRGetSettings": (i32, [Handle, c_uint64, POINTER(ConversionSettings), i32, P_u64]),
    "KR2270_HcTriggerArm": (i32, [Handle, POINTER(TriggerSetup)]),
    "KR2270_HcTriggerDisarm": (i32, [Handle]),
    "KR2270_HcTriggerTake": (i32, [Handle, POINTER(CaptureInfo)]),
    "KR2270_HcTriggerGetStatus": (i32, [Handle, POINTER(TriggerStatus)]),
}

STATUS_NAMES = {
    0: "OK", -1: "ARGUMENT", -2: "TIMEOUT", -3: "RESET", -4: "SOCKET",
    -5: "WRITE_ECHO", -6: "READ_REPLY", -7: "EXCEPTION4", -8: "RANGE",
    -100: "NETSTART", -101: "CONNECT", -201: "FILE", -202: "FILE_WRITE",
    -203: "FILE_READ", -204: "FILE_SEEK", -205: "FILE_CLOSE",
}


class Error(Exception):
    """A negative status of the library. `.status` is the code, `.text` the
    library's text for it, `.function` the export that returned it."""

    def __init__(self, status, function="", text=None):
        self.status = int(status)
        self.function = function
        self.text = text if text is not None else status_text(self.status)
        where = f"{function}: " if function else ""
        super().__init__(f"{where}{self.text} (status {self.status})")


class Timeout(Error, TimeoutError):
    """Status -2: nothing arrived within the time-out."""


class LinkLost(Error, ConnectionError):
    """Status -3: the connection was reset or closed by the module."""


_ERROR_CLASSES = {-2: Timeout, -3: LinkLost}


def error(status, function="", text=None):
    return _ERROR_CLASSES.get(int(status), Error)(status, function, text)


def _missing(name):
    def call(*_args):
        raise Error(-1, name, "not provided by the loaded library")
    call.missing = True
    return call


class Library:
    """The loaded library, with each export as an attribute (missing exports
    raise `Error` when called, so that an older library still loads)."""

    def __init__(self, path):
        self.path = path
        try:
            self._dll = ctypes.CDLL(path)
        except OSError as e:
            # The loader's own words say what is wrong: a missing dependency,
            # a library for another machine, a file that is no library.
            raise OSError(f"cannot load the kr2270c library {path}: {e}") from e
        self.missing = []
        for name, (restype, argtypes) in EXPORTS.items():
            try:
                fn = getattr(self._dll, name)
            except AttributeError:
                self.missing.append(name)
                setattr(self, name, _missing(name))
                continue
            fn.restype = restype
            fn.argtypes = argtypes
            setattr(self, name, fn)

    def has(self, name):
        return name not in self.missing

    def check(self, name, *args):
        """Calls an export whose result is a status or a count; raises `Error`
        for a negative result and returns the result otherwise."""
        status = getattr(self, name)(*args)
        if status < 0:
            raise error(status, name)
        return status


_PACKAGE_DIR = os.path.dirname(os.path.abspath(__file__))
# A wheel carries the library and kr2270-sim here.
_BUNDLED_DIR = os.path.join(_PACKAGE_DIR, "_native")
_LIBRARY_NAMES = (["kr2270c.dll"] if sys.platform == "win32"
                  else ["libkr2270c.dylib"] if sys.platform == "darwin"
                  else ["libkr2270c.so.1", "libkr2270c.so"])


def _installed_dir(name):
    """A directory recorded by `cmake --install`, relative to the package, so
    that a moved prefix still works; None in a source tree."""
    try:
        from . import _installed
    except ImportError:
        return None
    return os.path.normpath(os.path.join(_PACKAGE_DIR, getattr(_installed, name)))


def _installed_dirs():
    directory = _installed_dir("LIBRARY_DIR")
    return [directory] if directory else []


def _source_tree_dirs():
    root = os.path.dirname(os.path.dirname(_PACKAGE_DIR))
    return [os.path.join(root, "build")]


def find_library():
    """KR2270C_LIBRARY when set; else the package's own: the library a wheel
    bundles, the one installed beside the package, the build tree of a
    source checkout, in this order (never one found elsewhere first)."""
    explicit = os.environ.get("KR2270C_LIBRARY")
    if explicit:
        return explicit
    searched = []
    for directory in [_BUNDLED_DIR] + _installed_dirs() + _source_tree_dirs():
        for name in _LIBRARY_NAMES:
            candidate = os.path.join(directory, name)
            if os.path.exists(candidate):
                return candidate
            searched.append(candidate)
    raise OSError("libkr2270c not found; looked for " + ", ".join(searched) +
                  ": install the wheel, build the library (cmake --build build) or set "
                  "KR2270C_LIBRARY to its path")


def find_simulator():
    """KR2270_SIM, else the kr2270-sim a wheel bundles, else the installed
    one, else the build tree's sim/kr2270-sim."""
    explicit = os.environ.get("KR2270_SIM")
    if explicit:
        return explicit
    exe = "kr2270-sim.exe" if sys.platform == "win32" else "kr2270-sim"
    lib_dir = os.path.dirname(os.path.abspath(lib().path))
    for directory in (_BUNDLED_DIR, _installed_dir("PROGRAM_DIR"), os.path.join(lib_dir, "sim"),
                      lib_dir):
        if directory is None:
            continue
        candidate = os.path.normpath(os.path.join(directory, exe))
        if os.path.exists(candidate):
            return candidate
    raise OSError("kr2270-sim not found: build it (cmake --build build --target kr2270-sim) "
                  "or set KR2270_SIM to its path")


_lib = None


def lib():
    global _lib
    if _lib is None:
        _lib = Library(find_library())
    return _lib


def status_text(status):
    try:
        text = lib().KR2270_StatusText(int(status))
    except OSError:
        text = None
    if text:
        return text.decode("utf-8", "replace")
    return STATUS_NAMES.get(int(status), "unknown status")


def version():
    """The library's version text ("unknown" for a library without one)."""
    L = lib()
    return L.KR2270_GetVersion().decode("ascii") if L.has("KR2270_GetVersion") else "unknown"
