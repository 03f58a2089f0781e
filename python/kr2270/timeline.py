"""Where the package takes a stream's timeline from: when group 0 was taken,
where groups are missing, how the run ended. Every consumer (blocks,
recordings, exports, plots) asks these functions and nothing else, so that
the library's own timeline can take their place in one step.

Until then: a live stream's gaps come from the library's gap log (which
keeps the first and the last 1000) and its start is the wall clock when the
start returned; a recording's start, module and end come from the metadata
file `kr2270 acquire` writes beside it, and its gaps are not known (the
metadata counts them in groups handed out, not in groups recorded)."""
import datetime
import json
import os
from dataclasses import dataclass, field

from ._library import Gap as _CGap
from ._library import lib
from .block import Gap

# The library's gap log keeps this many entries (the first and the last
# 1000); the count it returns may be larger.
_GAPS_KEPT = 2000


@dataclass(frozen=True)
class Timeline:
    start_utc: datetime.datetime = None   # wall-clock time of group 0, or None
    gaps: tuple = ()                      # Gap, oldest first
    end_reason: str = ""                  # why the run ended, "" when not known
    end_detail: str = ""
    module: dict = field(default_factory=dict)   # host, command_port, data_port
    tool_version: str = ""

    def gaps_in(self, first, end):
        """The gaps just before groups first .. end - 1."""
        return [g for g in self.gaps if first <= g.group_index < end]

    def missing_before(self, index):
        """Groups missing before group `index`."""
        return sum(g.missing_groups for g in self.gaps if g.group_index < index)

    @property
    def start_text(self):
        """The start as ISO 8601 UTC ("2026-12-08T19:00:00Z"), or ""."""
        return utc_text(self.start_utc) if self.start_utc else ""


def utc_now():
    return datetime.datetime.now(datetime.timezone.utc)


def utc_text(moment):
    # Microseconds only when there are any: "2026-12-08T19:00:00.25Z".
    text = moment.astimezone(datetime.timezone.utc).strftime("%Y-%m-%dT%H:%M:%S.%f")
    return text.rstrip("0").rstrip(".") + "Z"


def live_gaps(handle):
    """Every gap the library still keeps since the start, oldest first."""
    L = lib()
    total = L.check("KR2270_HcGetGaps", handle, None, 0)
    while True:
        room = min(max(total, 1), _GAPS_KEPT)
        array = (_CGap * room)()
        count = L.check("KR2270_HcGetGaps", handle, array, room)
        # Past the kept entries the count goes on but nothing more is copied.
        copied = min(count, room)
        if count <= room or room == _GAPS_KEPT:
            return [Gap(g.group_index, g.missing_groups, g.cause, bool(g.estimated))
                    for g in array[:copied]]
        total = count


def live_gap_count(handle):
    """Gaps found since the start (all of them, kept or not)."""
    return lib().check("KR2270_HcGetGaps", handle, None, 0)


def recording_timeline(first_file):
    """What is known of a recording's timeline, from the metadata file
    beside its first file (X_1.dat -> X_1.json), when there is one."""
    path = os.path.splitext(os.fspath(first_file))[0] + ".json"
    try:
        with open(path, encoding="utf-8") as f:
            meta = json.load(f)
    except (OSError, ValueError):
        return Timeline()
    end = meta.get("end") or {}
    module = meta.get("module") or {}
    return Timeline(start_utc=_parse_utc(meta.get("started_utc")),
                    end_reason=str(end.get("reason", "")), end_detail=str(end.get("detail", "")),
                    module={k: module[k] for k in ("host", "command_port", "data_port")
                            if k in module},
                    tool_version=str(meta.get("tool_version", "")))


def _parse_utc(text):
    if not text:
        return None
    try:
        moment = datetime.datetime.fromisoformat(str(text).replace("Z", "+00:00"))
    except ValueError:
        return None
    return moment if moment.tzinfo else moment.replace(tzinfo=datetime.timezone.utc)
