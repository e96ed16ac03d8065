#!/usr/bin/env python3
"""set-load-config.py <image> <linker map>

Points the load-configuration entry of a PE32+ image's data directory at the `_load_config_used` symbol,
which GNU ld leaves unset, and refreshes the header checksum when the image carries one. Idempotent."""
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

    data = bytearray(open(image_path, "rb").read())
    header = struct.unpack_from("<I", data, 0x3C)[0]
    if data[header:header + 4] != b"PE\0\0":
        fail("not a PE image: " + image_path)
    sections = struct.unpack_from("<H", data, header + 6)[0]
    optional_size = struct.unpack_from("<H", data, header + 20)[0]
    optional = header + 24
    if struct.unpack_from("<H", data, optional)[0] != 0x20B:
        fail("not a PE32+ image: " + image_path)
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
        total = 0
        padded = data + b"\0" * (len(data) % 2)
        for (word,) in struct.iter_unpack("<H", padded):
            total += word
            total = (total & 0xFFFF) + (total >> 16)
        struct.pack_into("<I", data, checksum_at, (total & 0xFFFF) + len(data))

    with open(image_path, "wb") as image_file:
        image_file.write(data)


main()
