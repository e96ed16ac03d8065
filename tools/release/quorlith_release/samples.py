"""The sample runtime packages' finishing steps: authored packages' "SHORT|long" names, which wixl does not
write, and the ProductVersion packing the real packages use.

    short-names <msi>          gives each folder and file whose name is no valid 8.3 name its "SHORT|long" form
    packed-version <release>   prints the packed ProductVersion of a sample package of that release"""
from __future__ import annotations

import argparse
import re
import sys

from . import msi
from .msi import GLib, Libmsi

# The sample packages' build number major (months since 1996-04 x 100 plus the day: 2026-04-19) and
# revision: with them 10.0.15 packs to 80.60.52019.
SAMPLE_BUILD = 36019
SAMPLE_REVISION = 3
_SHORT = re.compile(r"([A-Za-z0-9_-]+)(?:\.([A-Za-z0-9_-]+))?\Z")
_PLAIN = re.compile(r"[^A-Za-z0-9]")
_RELEASE = re.compile(r"(\d+)\.(\d+)\.(\d+)")


def is_short_name(name: str) -> bool:
    """A valid 8.3 name: at most eight plain characters, then at most one dot and three more."""
    match = _SHORT.match(name)
    return bool(match) and len(match.group(1)) <= 8 and len(match.group(2) or "") <= 3


def short_name(long: str) -> str:
    """The 8.3 alias Windows would make first: six characters of the stem, "~1", three of the extension."""
    stem, dot, ext = long.rpartition(".")
    if not dot:
        stem, ext = long, ""
    stem = _PLAIN.sub("", stem).upper()[:6]
    ext = _PLAIN.sub("", ext).upper()[:3]
    return stem + "~1" + ("." + ext if ext else "")


def give_short_names(path: str) -> int:
    """Rewrites the package's Directory and File names in place; returns how many it changed."""
    db = msi.open_database(path, Libmsi.DbFlags.TRANSACT)
    present = msi.table_names(db)
    changed = 0
    for table, key_column, name_column in (("Directory", "Directory", "DefaultDir"), ("File", "File", "FileName")):
        if table not in present:
            continue
        rows = msi.query_rows(db, "SELECT `{}`, `{}` FROM `{}`".format(key_column, name_column, table))
        for key, name in [(row.get_string(1), row.get_string(2)) for row in rows]:
            if is_short_name(name) or key == "TARGETDIR" or name == "." or any(c in name for c in "|:'"):
                continue
            update = Libmsi.Query.new(db, "UPDATE `{}` SET `{}` = ? WHERE `{}` = ?".format(table, name_column,
                                                                                          key_column))
            values = Libmsi.Record.new(2)
            values.set_string(1, "{}|{}".format(short_name(name), name))
            values.set_string(2, key)
            update.execute(values)
            update.close()
            changed += 1
    db.commit()
    return changed


def pack_version(major: int, minor: int, patch: int, build: int, revision: int) -> int:
    """The packages' packed ProductVersion as one 32-bit number."""
    return (major << 27 | minor << 22 | patch << 18 | (build & 0x3FFF) << 4 | revision & 0xF) & 0xFFFFFFFF


def version_text(packed: int) -> str:
    """The packed number as Windows Installer's three fields."""
    return "{}.{}.{}".format(packed >> 24, packed >> 16 & 0xFF, packed & 0xFFFF)


def packed_version(release: str) -> str:
    match = _RELEASE.match(release)
    if not match:
        raise ValueError("not a release: {}".format(release))
    major, minor, patch = (int(part) for part in match.groups())
    return version_text(pack_version(major, minor, patch, SAMPLE_BUILD, SAMPLE_REVISION))


def main(argv: list) -> int:
    parser = argparse.ArgumentParser(prog="quorlith-release")
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("short-names", help="give a sample package its SHORT|long names").add_argument("msi")
    commands.add_parser("packed-version", help="print a sample release's ProductVersion").add_argument("release")
    args = parser.parse_args(argv)
    try:
        if args.command == "short-names":
            give_short_names(args.msi)
        else:
            print(packed_version(args.release))
    except (msi.PackageError, GLib.Error, ValueError) as error:
        subject = args.msi if args.command == "short-names" else args.release
        print("{}: {}".format(subject, error), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
