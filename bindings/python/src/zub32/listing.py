"""Directory entries from MLSD fact lines and from LIST text.

MLSD lines ("type=file;size=12;modify=20261209120000; name") give exact
facts with UTC times. LIST text has no fixed form; the Unix `ls -l` form
that vsftpd, proftpd, pure-ftpd and pyftpdlib send is read here, and the
DOS form of Windows servers. Lines in neither form ("total 12") are passed
over.
"""
from __future__ import annotations

import datetime as _dt
import re
from dataclasses import dataclass, field
from typing import Dict, Iterator, Optional

UTC = _dt.timezone.utc


@dataclass
class Entry:
    """One directory entry. `type` is "file", "dir", "link" or "other";
    `size` and `modify` are None when the listing does not give them.
    `modify` is aware (UTC) from MLSD and naive (the server's local time)
    from LIST. `facts` holds every MLSD fact by lower-case name, or for
    LIST the Unix fields (unix.mode, unix.owner, unix.group, unix.nlink and
    the link's target)."""

    name: str
    type: str
    size: Optional[int] = None
    modify: Optional[_dt.datetime] = None
    facts: Dict[str, str] = field(default_factory=dict)


def parse_time(text: str) -> Optional[_dt.datetime]:
    """An MLSD/MDTM time (YYYYMMDDHHMMSS[.fff], UTC); None when malformed."""
    m = re.fullmatch(r"(\d{4})(\d\d)(\d\d)(\d\d)(\d\d)(\d\d)(?:\.(\d{1,6}))?", text.strip())
    if not m:
        return None
    parts = [int(p) for p in m.groups()[:6]]
    micro = int((m.group(7) or "0").ljust(6, "0"))
    try:
        return _dt.datetime(*parts, micro, tzinfo=UTC)
    except ValueError:
        return None


def _int(text: Optional[str]) -> Optional[int]:
    return int(text) if text is not None and text.isdigit() else None


def parse_mlsd(line: str) -> Optional[Entry]:
    """An MLSD line; None for the directory itself and its parent."""
    facts_text, sep, name = line.partition(" ")
    if not sep:
        return None
    facts: Dict[str, str] = {}
    for fact in facts_text.split(";"):
        key, eq, value = fact.partition("=")
        if eq:
            facts[key.strip().lower()] = value
    if not facts:
        return None
    kind = facts.get("type", "").lower()
    if kind in ("cdir", "pdir"):
        return None
    if kind in ("file", "dir"):
        etype = kind
    elif "slink" in kind or "symlink" in kind:
        etype = "link"
    else:
        etype = "other"
    return Entry(name, etype, _int(facts.get("size")),
                 parse_time(facts["modify"]) if "modify" in facts else None, facts)


_MONTHS = {m: i + 1 for i, m in enumerate(
    ("jan", "feb", "mar", "apr", "may", "jun", "jul", "aug", "sep", "oct", "nov", "dec"))}

_UNIX = re.compile(
    r"(?P<kind>[-dlbcps])(?P<perm>[-rwxsStTl]{9})[.+@]?\s+(?P<links>\d+)\s+"
    r"(?P<owner>\S+)\s+(?:(?P<group>\S+)\s+)?(?P<size>\d+)\s+"
    r"(?P<month>[A-Za-z]{3})\s+(?P<day>\d{1,2})\s+(?P<when>\d{1,2}:\d\d|\d{4})\s(?P<name>.+)")

_DOS = re.compile(
    r"(?P<mon>\d\d)-(?P<day>\d\d)-(?P<year>\d{2,4})\s+(?P<hour>\d{1,2}):(?P<min>\d\d)"
    r"(?P<ampm>[AaPp][Mm])?\s+(?P<size><DIR>|\d+)\s+(?P<name>.+)")

_KINDS = {"-": "file", "d": "dir", "l": "link"}


def _mode(perm: str) -> str:
    bits = 0
    for i, ch in enumerate(perm):
        if ch not in "-ST":  # S/T: set-id/sticky without execute
            bits |= 1 << (8 - i)
    return "%04o" % bits


def _unix_time(month: str, day: str, when: str, now: _dt.datetime) -> Optional[_dt.datetime]:
    mon = _MONTHS.get(month.lower())
    if mon is None:
        return None
    try:
        if ":" in when:
            hour, minute = (int(x) for x in when.split(":"))
            stamp = _dt.datetime(now.year, mon, int(day), hour, minute)
            # `ls` shows a time instead of the year for the last six months:
            # a date past the next few days is from the year before.
            if stamp > now + _dt.timedelta(days=2):
                stamp = stamp.replace(year=now.year - 1)
            return stamp
        return _dt.datetime(int(when), mon, int(day))
    except ValueError:
        return None


def parse_list(line: str, now: Optional[_dt.datetime] = None) -> Optional[Entry]:
    """A LIST line in Unix or DOS form; None for any other line and for the
    entries "." and ".."."""
    now = now or _dt.datetime.now()
    m = _UNIX.fullmatch(line)
    if m:
        name = m.group("name")
        facts = {"unix.mode": _mode(m.group("perm")), "unix.owner": m.group("owner"),
                 "unix.nlink": m.group("links")}
        if m.group("group") is not None:
            facts["unix.group"] = m.group("group")
        etype = _KINDS.get(m.group("kind"), "other")
        if etype == "link" and " -> " in name:
            name, _, facts["target"] = name.partition(" -> ")
        if name in (".", ".."):
            return None
        return Entry(name, etype, int(m.group("size")),
                     _unix_time(m.group("month"), m.group("day"), m.group("when"), now), facts)
    m = _DOS.fullmatch(line)
    if m:
        year = int(m.group("year"))
        if year < 100:
            year += 2000 if year < 70 else 1900
        hour = int(m.group("hour")) % 12 if m.group("ampm") else int(m.group("hour"))
        if (m.group("ampm") or "").lower() == "pm":
            hour += 12
        try:
            stamp: Optional[_dt.datetime] = _dt.datetime(
                year, int(m.group("mon")), int(m.group("day")), hour, int(m.group("min")))
        except ValueError:
            stamp = None
        is_dir = m.group("size") == "<DIR>"
        return Entry(m.group("name"), "dir" if is_dir else "file",
                     None if is_dir else int(m.group("size")), stamp, {})
    return None


def parse(text_lines: Iterator[str], mlsd: bool) -> Iterator[Entry]:
    """The entries of a listing's lines."""
    for line in text_lines:
        entry = parse_mlsd(line) if mlsd else parse_list(line)
        if entry is not None:
            yield entry
