"""The program's reading of release folders and host versions, and the shared table of version folder names
that the detection tests and the proof's tests both read.

    python3 -m quorlith_release.versions --header <out.h> [--table <version-names.json>]
writes the table as a C++ header for the detection tests."""
from __future__ import annotations

import argparse
import json
import os
import sys
from dataclasses import dataclass

MAXDWORD = 0xFFFFFFFF
MIN_RUNTIME_PATCH = 15
MIN_HOST_MAJOR = 10
RELEASE_PREFIX = "10.0."
TABLE = os.path.join(os.path.dirname(__file__), "..", "..", "..", "tests", "runtime", "version-names.json")


def read_decimal(text: str) -> tuple:
    """The leading ASCII digits as a 32-bit value that saturates at MAXDWORD, and the text after them."""
    value = 0
    at = 0
    while at < len(text) and "0" <= text[at] <= "9":
        digit = ord(text[at]) - ord("0")
        value = MAXDWORD if value > (MAXDWORD - digit) // 10 else value * 10 + digit
        at += 1
    return value, text[at:]


def is_release_folder(name: str) -> bool:
    """Detection's rule for a version folder: "10.0." and then digits only, to a patch of at least 15."""
    if not name.startswith(RELEASE_PREFIX):
        return False
    patch, rest = read_decimal(name[len(RELEASE_PREFIX):])
    return rest == "" and patch >= MIN_RUNTIME_PATCH


def host_major(text: str) -> int:
    return read_decimal(text)[0]


@dataclass(frozen=True)
class VersionName:
    name: str
    taken: bool      # detection takes a folder of this name
    note: str


def load_version_names(path: str = TABLE) -> tuple:
    with open(path, encoding="ascii") as stream:
        table = json.load(stream)
    return tuple(VersionName(entry["name"], entry["taken"], entry.get("note", "")) for entry in table["names"])


def _wide_literal(text: str) -> str:
    """A C++ wide string literal of the text's UTF-16 units; each escape ends its piece, so a digit after it
    is never read as part of the escape."""
    units = text.encode("utf-16-le", "surrogatepass")
    pieces = ['L"']
    for at in range(0, len(units), 2):
        unit = units[at] | units[at + 1] << 8
        if 0x20 <= unit < 0x7F and chr(unit) not in '"\\':
            pieces.append(chr(unit))
        else:
            pieces.append('\\x{:04X}" L"'.format(unit))
    pieces.append('"')
    return "".join(pieces)


def header_text(names: tuple) -> str:
    lines = [
        "// Generated from tests/runtime/version-names.json by quorlith_release.versions; edit the table instead.",
        "#pragma once",
        "",
        "struct VersionName",
        "{",
        "    const WCHAR* name;",
        "    BOOL taken;   // detection takes a version directory of this name",
        "};",
        "",
        "static const VersionName g_versionNames[] = {",
    ]
    for entry in names:
        lines.append("    {{{}, {}}},".format(_wide_literal(entry.name), "TRUE" if entry.taken else "FALSE"))
    lines += ["};", ""]
    return "\n".join(lines)


def main(argv: list) -> int:
    parser = argparse.ArgumentParser(prog="quorlith_release.versions")
    parser.add_argument("--header", required=True, help="C++ header to write")
    parser.add_argument("--table", default=TABLE, help="the version-names JSON table")
    args = parser.parse_args(argv)
    text = header_text(load_version_names(args.table))
    with open(args.header, "w", encoding="ascii", newline="\n") as stream:
        stream.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
