#!/usr/bin/env python3
"""set-load-config.py <image> <linker map>

Points the load-configuration entry of a PE32+ image's data directory at the `_load_config_used` symbol,
which GNU ld leaves unset, and refreshes the header checksum when the image carries one. Idempotent."""
import mmap
import re
import struct
import sys


def fail(message):
    sys.exit("set-load-config: " + message)


def main():
    image_path, map_path = sys.argv[1], sys.argv[2]
    address = None
    with open(map_path, encoding="utf-8", errors="replace") as map_file:
        for line in map_file:
            match = re.match(r"\s+0x([0-9a-fA-F]+)\s+_load_config_used\s*$", line)
            if match:
                address = int(match.group(1), 16)
                break
    if address is None:
        fail("_load_config_used is not in " + map_path)

    # Patched in place through a mapping: images with the largest bundles exceed a gigabyte.
    with open(image_path, "r+b") as image_file, mmap.mmap(image_file.fileno(), 0) as data:
        patch(data, address)


def patch(data, address):
    header = struct.unpack_from("<I", data, 0x3C)[0]
    if data[header:header + 4] != b"PE\0\0":
        fail("not a PE image")
    sections = struct.unpack_from("<H", data, header + 6)[0]
    optional_size = struct.unpack_from("<H", data, header + 20)[0]
    optional = header + 24
    if struct.unpack_from("<H", data, optional)[0] != 0x20B:
        fail("not a PE32+ image")
    image_base = struct.unpack_from("<Q", data, optional + 24)[0]
    rva = address - image_base

    offset = None
    table = optional + optional_size
    for index in range(sections):
        entry = table + index * 40
        virtual_size, virtual_address, raw_size, raw_pointer = struct.unpack_from("<IIII", data, entry + 8)
        if virtual_address <= rva < virtual_address + max(virtual_size, raw_size):
            offset = rva - virtual_address + raw_pointer
            break
    if offset is None:
        fail("no section holds _load_config_used")
    size = struct.unpack_from("<I", data, offset)[0]
    if size < 0x4C:
        fail("the load configuration is too small to hold DependentLoadFlags (%d bytes)" % size)

    struct.pack_into("<II", data, optional + 112 + 10 * 8, rva, size)

    checksum_at = optional + 64
    if struct.unpack_from("<I", data, checksum_at)[0]:
        struct.pack_into("<I", data, checksum_at, 0)
        struct.pack_into("<I", data, checksum_at, checksum(data))


def checksum(data):
    """The PE header checksum: 16-bit words summed with end-around carry, plus the file length. Since
    2**16 leaves 1 modulo 0xFFFF, summing 64-bit words gives the same residue much faster."""
    length = len(data)
    whole = length - length % 8
    view = memoryview(data)
    total = sum(view[:whole].cast("Q")) + int.from_bytes(data[whole:length], "little")
    view.release()
    folded = (total - 1) % 0xFFFF + 1 if total else 0
    return (folded + length) & 0xFFFFFFFF


main()
