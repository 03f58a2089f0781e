"""The export table against the public header, and statuses as exceptions."""
import ctypes
import os
import re

import pytest

import kr2270
from kr2270 import _library

HEADER = os.path.join(os.path.dirname(__file__), "..", "..", "include", "kr2270c.h")

VALUES = {"int32_t": ctypes.c_int32, "uint32_t": ctypes.c_uint32, "uint64_t": ctypes.c_uint64,
          "double": ctypes.c_double, "void": None}
POINTEES = {"int8_t": ctypes.c_int8, "uint8_t": ctypes.c_uint8, "uint16_t": ctypes.c_uint16,
            "int32_t": ctypes.c_int32, "uint32_t": ctypes.c_uint32, "int64_t": ctypes.c_int64,
            "uint64_t": ctypes.c_uint64, "double": ctypes.c_double,
            "KR2270Gap": _library.Gap, "KR2270Health": _library.Health,
            "KR2270GapRecord": _library.GapRecord,
            "KR2270ConversionSettings": _library.ConversionSettings,
            "KR2270Timeline": _library.Timeline, "KR2270TriggerSetup": _library.TriggerSetup,
            "KR2270CaptureInfo": _library.CaptureInfo,
            "KR2270TriggerStatus": _library.TriggerStatus}


def _ctype(declaration, named):
    """The ctypes type of a C result type or a named parameter."""
    if named:
        declaration = re.sub(r"\w+\s*$", "", declaration)
    pointer = "*" in declaration
    core = declaration.replace("*", " ").replace("const", " ").strip()
    if not pointer:
        return VALUES[core]
    if core == "char":
        return ctypes.c_char_p
    if core == "KR2270Device":
        return ctypes.c_void_p
    return ctypes.POINTER(POINTEES[core])


def header_declarations():
    text = re.sub(r"/\*.*?\*/", " ", open(HEADER).read(), flags=re.S)
    found = {}
    for m in re.finditer(r"KR2270_API\s+([^;(]*?)\s*\b(KR2270_\w+)\s*\(([^)]*)\)\s*;", text):
        result, name, args = m.groups()
        args = [a.strip() for a in args.split(",")]
        argtypes = [] if args == ["void"] else [_ctype(a, True) for a in args]
        found[name] = (_ctype(result, False), argtypes)
    return found


def test_table_declares_exactly_the_headers_functions_with_their_types():
    declared = header_declarations()
    assert len(declared) >= 75
    assert sorted(_library.EXPORTS) == sorted(declared)
    for name, (restype, argtypes) in declared.items():
        assert _library.EXPORTS[name] == (restype, argtypes), name


def test_structures_match_the_header_layout():
    # Field order and widths as declared; sizes follow from natural alignment.
    assert ctypes.sizeof(_library.Gap) == 24
    assert ctypes.sizeof(_library.Health) == 4 + 4 + 8 * 8 + 4 + 4
    assert _library.Health.command_connected.offset == 72
    assert ctypes.sizeof(_library.GapRecord) == 4 * 8 + 2 * 4
    # Three counts, 8 + 8 int32 codes, 8 + 8 doubles, 8 + 8 bytes, 4 modes,
    # the reserved int32 and 4 base periods: no padding anywhere.
    assert ctypes.sizeof(_library.ConversionSettings) == 3 * 8 + 2 * 32 + 2 * 64 + 16 + 4 + 4 + 32
    assert _library.ConversionSettings.counter_base_ms.offset == 240
    assert ctypes.sizeof(_library.Timeline) == 4 + 4 + 8 + 8 + 4 + 4 + 7 * 8
    assert _library.Timeline.averaging_dropped.offset == 80


def test_every_export_the_library_has_gets_its_signature():
    lib = _library.lib()
    for name in _library.EXPORTS:
        if lib.has(name):
            fn = getattr(lib, name)
            assert fn.argtypes == _library.EXPORTS[name][1], name


@pytest.mark.parametrize("status", [-1, -2, -3, -4, -5, -6, -7, -8, -100, -101,
                                    -201, -202, -203, -204, -205])
def test_errors_carry_the_status_and_the_librarys_text(status):
    e = _library.error(status, "KR2270_X")
    assert e.status == status
    assert e.text == kr2270.status_text(status) != "unknown status"
    assert str(status) in str(e) and "KR2270_X" in str(e)
    assert isinstance(e, kr2270.Error)
    assert isinstance(e, TimeoutError) == (status == -2)
    assert isinstance(e, ConnectionError) == (status == -3)


def test_connect_to_a_closed_port_raises_connect_status():
    import socket
    with socket.socket() as s:          # a port that nobody listens on
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    with pytest.raises(kr2270.Error) as info:
        kr2270.Device("127.0.0.1", port, port, timeout=1.0)
    assert info.value.status == -101


def test_bad_address_and_missing_or_bad_recording(tmp_path):
    with pytest.raises(kr2270.Error) as info:
        kr2270.Device("not-an-address", 1, 2, timeout=0.5)
    assert info.value.status == -101
    with pytest.raises(kr2270.Error) as info:
        kr2270.Recording(tmp_path / "missing_1.dat")
    assert info.value.status == -201
    bad = tmp_path / "bad_1.dat"
    bad.write_bytes(b"nope" + bytes(400))
    with pytest.raises(kr2270.Error) as info:
        kr2270.Recording(bad)
    assert info.value.status == -203


def test_library_found_from_environment(monkeypatch, tmp_path):
    monkeypatch.setenv("KR2270C_LIBRARY", str(tmp_path / "libnothing.so"))
    assert _library.find_library() == str(tmp_path / "libnothing.so")
    monkeypatch.delenv("KR2270C_LIBRARY")
    assert os.path.exists(_library.find_library())
