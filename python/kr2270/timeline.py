"""A stream's timeline as the library keeps it: when index 0 was sampled,
where groups are missing and which settings each group converts with. For a
running stream it comes from the HcGet* exports, for a recording from the
DFRGet* exports (which read its sidecar); the sidecar's application fields
(how the tool's run ended, the module's address) are read from the file.
Nothing here is derived from counts of groups: every number is the
library's."""
import ctypes
import datetime
import json
import os
import re
from dataclasses import dataclass

from ._library import ConversionSettings, GapRecord
from ._library import Timeline as _CTimeline
from ._library import lib
from .block import Gap, utc_datetime

# Records fetched per call; the library keeps the newest 4096 gaps, so a
# reader that comes back at least that often misses none.
_PAGE = 256

SOURCES = {1: "live run", 2: "recording with its sidecar", 3: "recording without a sidecar",
           4: "recording whose sidecar could not be read"}


@dataclass(frozen=True)
class Timeline:
    """What the library holds of a run's (or a recording's) timeline."""
    source: int = 0             # see SOURCES
    start_unix_ns: int = 0      # time of index 0, ns since 1970 UTC; 0 while unknown
    rate: float = 0.0           # groups per second of the index
    first_index: int = 0        # index of the first group (a recording begun during a run > 0)
    next_index: int = 0         # index after the newest group
    groups: int = 0             # received (live) or recorded
    gaps: int = 0
    missing_groups: int = 0
    settings: int = 0           # settings in force in all: 1 + changes
    complete: bool = False      # a recording closed orderly
    averaging_dropped: int = 0

    @property
    def start_utc(self):
        return utc_datetime(self.start_unix_ns)

    @property
    def start_text(self):
        """The start as ISO 8601 UTC with its nanoseconds, or ""."""
        return utc_text(self.start_unix_ns)

    @property
    def source_text(self):
        return SOURCES.get(self.source, f"source {self.source}")


@dataclass(frozen=True)
class Conversion:
    """The settings groups convert with from `index` on (number 0: what the
    run or recording started with; 1, 2 ... each change)."""
    number: int
    index: int
    position: int               # groups before the first one converted
    zero_codes: tuple           # calibration pair of channels 1..8
    full_codes: tuple
    span_volts: tuple           # volts at the full-scale code
    offset_volts: tuple         # volts at the zero code
    range_codes: tuple
    extended_ranges: tuple      # 1 where the range code means the extended range
    counter_modes: tuple        # counters 1..4
    counter_base_seconds: tuple

    def as_dict(self):
        return {name: list(value) if isinstance(value, tuple) else value
                for name, value in self.__dict__.items()}


def utc_text(unix_ns):
    if not unix_ns:
        return ""
    seconds, ns = divmod(int(unix_ns), 10**9)
    moment = datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc) + \
        datetime.timedelta(seconds=seconds)
    fraction = f".{ns:09d}".rstrip("0") if ns else ""
    return moment.strftime("%Y-%m-%dT%H:%M:%S") + fraction + "Z"


def _timeline(export, handle):
    raw = _CTimeline()
    raw.struct_size = ctypes.sizeof(_CTimeline)
    lib().check(export, handle, ctypes.byref(raw))
    return Timeline(raw.source, raw.start_unix_ns, raw.group_rate, raw.first_index,
                    raw.next_index, raw.groups, raw.gaps, raw.missing_groups, raw.settings,
                    bool(raw.complete), raw.averaging_dropped)


def live_timeline(handle):
    """The current (or last) run's timeline."""
    return _timeline("KR2270_HcGetTimeline", handle)


def recorded_timeline(handle):
    """The attached recording's timeline."""
    return _timeline("KR2270_DFRGetTimeline", handle)


class GapReader:
    """Every gap of a run (or recording), in order: each call asks the
    library for the gaps from the newest one read on. That one is read again
    because it may still grow: drops that follow it with no group between
    join it. A gap the library no longer kept when asked (more than 4096
    since the last call) is counted in `unread`."""

    def __init__(self, export):
        self._export = export
        self.gaps = []
        self.unread = 0

    def read(self, handle):
        """Reads the gaps found (or grown) since the last call."""
        L = lib()
        while True:
            first = self.gaps[-1].number if self.gaps else 0
            page = (GapRecord * _PAGE)()
            count = L.check(self._export, handle, ctypes.c_uint64(first), page, _PAGE, None)
            for record in page[:count]:
                gap = Gap(record.index, record.missing, record.cause, bool(record.estimated),
                          record.number, record.position)
                if self.gaps and self.gaps[-1].number == gap.number:
                    self.gaps[-1] = gap
                    continue
                self.unread += gap.number - (self.gaps[-1].number + 1 if self.gaps else 0)
                self.gaps.append(gap)
            if count < _PAGE:
                return


def settings_in_force(handle, export):
    """The settings in force (number 0 and each change), oldest first, from
    "KR2270_HcGetSettingsSince" (live) or "KR2270_DFRGetSettings"."""
    L, out, following = lib(), [], 0
    while True:
        page = (ConversionSettings * 64)()
        count = L.check(export, handle, ctypes.c_uint64(following), page, 64, None)
        out += [conversion_of(s) for s in page[:count]]
        if count < 64:
            return out
        following = page[count - 1].number + 1


def conversion_of(s):
    return Conversion(s.number, s.index, s.position, tuple(s.zero_code), tuple(s.full_code),
                      tuple(s.full_scale), tuple(s.offset), tuple(s.range_code),
                      tuple(s.extended_range), tuple(s.counter_mode),
                      tuple(ms / 1000.0 for ms in s.counter_base_ms))


def sidecar_path(recording_file):
    """The sidecar beside a recording's first file (X_1.dat -> X_1.json),
    from any file of its chain."""
    path = os.fspath(recording_file)
    stem = re.sub(r"_\d+\.dat$", "", path)
    return (stem + "_1.json") if stem != path else os.path.splitext(path)[0] + ".json"


def sidecar_fields(recording_file):
    """The sidecar's own texts the exports show (the library version that
    wrote it, its end status) and its "application" object (fields that the
    recording application added, as `kr2270 acquire`'s "kr2270"); empty when
    there is no readable sidecar."""
    try:
        with open(sidecar_path(recording_file), encoding="utf-8") as f:
            sidecar = json.load(f)
    except (OSError, ValueError):
        return {}, {}
    if not isinstance(sidecar, dict):
        return {}, {}
    own = {k: sidecar[k] for k in ("library_version", "end_status", "complete") if k in sidecar}
    application = sidecar.get("application")
    return own, application if isinstance(application, dict) else {}
