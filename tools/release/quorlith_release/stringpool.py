"""A package's string pool read apart from libmsi, through libgsf's compound-file reader: every string's length
must be one that all readers agree on, and the lengths must add up to the string data exactly."""
from __future__ import annotations

import gi

gi.require_version("Gsf", "1")
from gi.repository import Gsf, GLib  # noqa: E402

# Table stream names are stored packed: two characters of this alphabet in one code unit from 0x3800, one in one
# from 0x4800, after the mark 0x4840 of a table.
_ALPHABET = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz._"
_TABLE_MARK = 0x4840
LONG_STRING = 0xFFFF


def stream_name(table: str) -> str:
    units = [_TABLE_MARK]
    for at in range(0, len(table), 2):
        pair = table[at:at + 2]
        if len(pair) == 2:
            units.append(0x3800 + _ALPHABET.index(pair[0]) + (_ALPHABET.index(pair[1]) << 6))
        else:
            units.append(0x4800 + _ALPHABET.index(pair[0]))
    return "".join(map(chr, units))


def _stream(storage, table: str) -> bytes:
    child = storage.child_by_name(stream_name(table))
    if child is None:
        return b""
    data = child.read(child.size) if child.size else b""
    if data is None or len(data) != child.size:
        raise ValueError("its {} stream cannot be read whole".format(table))
    return bytes(data)


def problem(path: str) -> str:
    """Why the package's string pool cannot be read the same by every reader, or "" when it can."""
    try:
        storage = Gsf.InfileMSOle.new(Gsf.InputStdio.new(path))
        pool = _stream(storage, "_StringPool")
        data = _stream(storage, "_StringData")
    except GLib.Error as error:
        return "its compound file cannot be read: {}".format(error.message)
    except ValueError as error:
        return str(error)
    if len(pool) % 4:
        return "its string pool is {} bytes, not a whole number of entries".format(len(pool))
    total = 0
    for entry in range(1, len(pool) // 4):
        length, refs = int.from_bytes(pool[entry * 4:entry * 4 + 2], "little"), \
            int.from_bytes(pool[entry * 4 + 2:entry * 4 + 4], "little")
        # A string over 64 KiB takes an entry of length 0 and a second one; readers do not agree which half of
        # which entry holds the high word (libmsi 0.101 reads the ones libmsi writes 64 KiB short), and one that
        # takes it wrong reads every later string from the wrong place.
        if length == 0 and refs != 0:
            return ("its string pool holds a string longer than {} bytes (entry {}), whose length readers "
                    "disagree on".format(LONG_STRING, entry))
        total += length
    if total != len(data):
        return "its string pool gives {} bytes of strings, its string data holds {}".format(total, len(data))
    return ""
