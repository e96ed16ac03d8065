"""The checks of one payload file: present, not empty, not too large, and of the kind its identifier carries
(a Windows Installer package for 101-104, an x64 executable for 105)."""
import hashlib
import os

from . import pe

NAMES = ("dotnet-host.msi", "dotnet-hostfxr.msi", "dotnet-runtime.msi", "windowsdesktop-runtime.msi",
         "Quorlith-Install.exe")
COMPOUND_FILE_SIGNATURE = bytes.fromhex("d0cf11e0a1b11ae1")


def problem(path, index, check_size, check_kind, max_size):
    """A message naming the file when it fails a check, or ""."""
    if not os.path.isfile(path):
        return f"Payload file is missing: {path}"
    size = os.path.getsize(path)
    if check_size and size == 0:
        return f"Payload file is empty (0 bytes): {path}"
    if check_size and size > max_size:
        return f"Payload file is larger than {max_size} bytes ({size}): {path}"
    if check_kind and index < 4:
        with open(path, "rb") as handle:
            if handle.read(8) != COMPOUND_FILE_SIGNATURE:
                return f"Payload file is not a Windows Installer package (no compound-file signature): {path}"
    elif check_kind:
        why = pe.executable_problem(path)
        if why:
            return f"Payload file is not an x64 Windows executable: {why}: {path}"
    return ""


def sha256(path):
    digest = hashlib.sha256()
    with open(path, "rb") as handle:
        for block in iter(lambda: handle.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()
