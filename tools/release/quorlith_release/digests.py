"""The digest table the image embeds: C++ source with one SHA-256 row per payload, in identifier order."""
import os

HEADER = ("// Generated from the embedded payload files; do not edit.\n#include \"payload/payload.h\"\n\n"
          "const BYTE PayloadDigestTable[PAYLOAD_COUNT][DIGEST_SIZE] = {\n")


def table_text(payloads):
    """<payloads>: Payload records (path, size, sha256)."""
    rows = ""
    for payload in payloads:
        data = "".join(f"0x{payload.sha256[at:at + 2]}," for at in range(0, len(payload.sha256), 2))
        rows += f"    {{ {data} }}, // {os.path.basename(payload.path)}, {payload.size} bytes\n"
    return HEADER + rows + "};\n"
