"""The names of the files a cabinet holds, from its header and file entries alone: nothing is decompressed, and no
more is read than those entries can take."""
from __future__ import annotations

import struct
from dataclasses import dataclass

# CFHEADER: signature, reserved, cbCabinet, reserved, coffFiles, reserved, versionMinor, versionMajor, cFolders,
# cFiles, flags, setID, iCabinet.
_HEADER = struct.Struct("<4sIIIIIBBHHHHH")
# CFFILE before its name: cbFile, uoffFolderStart, iFolder, date, time, attribs.
_FILE = struct.Struct("<IIHHHH")
_MAX_NAME = 256            # CB_MAX_FILENAME, its terminating NUL included
_NAME_IS_UTF = 0x80        # attribs: the name is UTF-8, else the code page of the machine that made it
SIGNATURE = b"MSCF"


@dataclass(frozen=True)
class Listing:
    names: frozenset       # the names its file entries carry
    problem: str = ""      # why it cannot be read as a cabinet, or ""


def listing(read) -> Listing:
    """read(count) returns the next count bytes of the cabinet, fewer only at its end."""
    head = read(_HEADER.size)
    if len(head) < _HEADER.size or head[:4] != SIGNATURE:
        return Listing(frozenset(), "it is not a cabinet")
    fields = _HEADER.unpack(head)
    offset, count = fields[4], fields[9]
    if offset < _HEADER.size:
        return Listing(frozenset(), "its file entries start inside its header")
    # What lies between the header and the file entries is passed over a piece at a time, so a far offset costs
    # no memory; the entries themselves take at most 65535 times 272 bytes.
    left = offset - _HEADER.size
    while left > 0:
        skipped = len(read(min(left, 1 << 20)))
        if not skipped:
            break
        left -= skipped
    data = read(count * (_FILE.size + _MAX_NAME))
    names = []
    at = 0
    for _ in range(count):
        start = at + _FILE.size
        end = data.find(b"\0", start, start + _MAX_NAME)
        if start > len(data) or end < 0:
            return Listing(frozenset(), "its file entries are cut short")
        attributes = _FILE.unpack_from(data, at)[5]
        raw = data[start:end]
        # Package file keys are ASCII, so a name in another code page only has to stay unlike them.
        names.append(raw.decode("utf-8", "replace") if attributes & _NAME_IS_UTF else raw.decode("latin-1"))
        at = end + 1
    return Listing(frozenset(names))


def stream_listing(stream) -> Listing:
    """The listing of a cabinet read from a Gio.InputStream at its start."""
    def read(count: int) -> bytes:
        chunks = []
        while count > 0:
            chunk = stream.read_bytes(min(count, 1 << 20), None).get_data()
            if not chunk:
                break
            chunks.append(chunk)
            count -= len(chunk)
        return b"".join(chunks)

    return listing(read)
