"""The product installer's check: a complete x64 Windows executable, made here with MinGW-w64 and bent by
header field; its version resource; and library errors met while a payload is read, each one line naming
the file."""
import os
import re
import shutil
import struct
import subprocess

import pytest

from asn1crypto import x509
from quorlith_release import __main__ as cli, payload

SOURCE = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PROGRAM = "int main(void) { return 0; }\n"


@pytest.fixture(scope="module")
def images(tmp_path_factory):
    """GUI and console executables and a DLL, each with the sample installer's version resource."""
    if not shutil.which("x86_64-w64-mingw32-gcc"):
        pytest.skip("MinGW-w64 is not installed")
    folder = tmp_path_factory.mktemp("images")
    (folder / "main.c").write_text(PROGRAM)
    subprocess.run(["x86_64-w64-mingw32-windres", os.path.join(SOURCE, "samples", "installer", "sample_installer.rc"),
                    "-O", "coff", "-o", str(folder / "version.o")], check=True, capture_output=True)
    built = {}
    for name, flags in (("gui.exe", ["-mwindows"]), ("console.exe", []), ("library.dll", ["-shared"])):
        subprocess.run(["x86_64-w64-mingw32-gcc", "-s", *flags, str(folder / "main.c"), str(folder / "version.o"),
                        "-o", str(folder / name)], check=True, capture_output=True)
        built[name] = (folder / name).read_bytes()
    return built


def _field(offset, form, value):
    """Sets a header field: <offset> from the PE signature."""
    def bend(data):
        struct.pack_into(form, data, struct.unpack_from("<I", data, 0x3C)[0] + offset, value)
    return bend


def _characteristics(clear):
    def bend(data):
        at = struct.unpack_from("<I", data, 0x3C)[0] + 22
        struct.pack_into("<H", data, at, struct.unpack_from("<H", data, at)[0] & ~clear)
    return bend


def _cut(size):
    def bend(data):
        del data[size:]
    return bend


NOT_X64 = "Payload file is not an x64 Windows executable: "
# id | built image | how it is bent (None: as built) | message after NOT_X64 and before the path, a pattern
# (None: accepted)
INSTALLER_CASES = [
    ("gui", "gui.exe", None, None),
    ("console", "console.exe", None, None),
    ("dll", "library.dll", None, "it is a DLL"),
    ("i386-machine", "gui.exe", _field(4, "<H", 0x14C), r"its machine is 0x014C, not AMD64 \(0x8664\)"),
    ("pe32-with-amd64-machine", "gui.exe", _field(24, "<H", 0x10B),
     r"its optional header is not PE32\+ \(magic 0x10B, not 0x20B\)"),
    ("native-subsystem", "gui.exe", _field(24 + 68, "<H", 1),
     r"its subsystem is 1, not Windows GUI \(2\) or console \(3\)"),
    ("efi-subsystem", "console.exe", _field(24 + 68, "<H", 10),
     r"its subsystem is 10, not Windows GUI \(2\) or console \(3\)"),
    ("not-marked-executable", "gui.exe", _characteristics(0x0002),
     r"it is not marked executable \(IMAGE_FILE_EXECUTABLE_IMAGE\)"),
    ("first-4-kb", "gui.exe", _cut(4096),
     r"its section '[.\w]+' ends at byte \d+, past the end of the file \(4096 bytes\)"),
    ("headers-cut", "gui.exe", _cut(1000), r"its headers end at byte 1024, past the end of the file \(1000 bytes\)"),
    ("no-image", "gui.exe", _cut(64), "it is no PE image"),
]


@pytest.mark.parametrize("built,bend,message", [case[1:] for case in INSTALLER_CASES],
                         ids=[case[0] for case in INSTALLER_CASES])
def test_installer_is_a_complete_x64_executable(images, tmp_path, built, bend, message):
    data = bytearray(images[built])
    if bend:
        bend(data)
    path = tmp_path / "Quorlith-Install.exe"
    path.write_bytes(bytes(data))
    got = payload.problem(str(path), 4, True, True, 1 << 28)
    if message is None:
        assert got == "", f"got {got!r}"
    else:
        assert re.fullmatch(re.escape(NOT_X64) + message + re.escape(f": {path}"), got), f"got {got!r}"


def _bad_string_file_info(data):
    """StringFileInfo's value length made non-zero: pefile then keeps the block without its string tables."""
    at = data.find("StringFileInfo".encode("utf-16-le")) - 6
    struct.pack_into("<H", data, at + 2, 100)


@pytest.mark.parametrize("command", ["check", "generate"])
def test_malformed_version_resource_stops_configure_and_build(images, sample, tmp_path, capsys, command):
    data = bytearray(images["gui.exe"])
    _bad_string_file_info(data)
    installer = tmp_path / "Quorlith-Install.exe"
    installer.write_bytes(bytes(data))
    files = [sample(index) for index in range(4)] + [str(installer)]
    outputs = (["--out", str(tmp_path / "d.cpp"), "--components", str(tmp_path / "c.json")] if command == "generate"
               else [])
    status = cli.main([command, "--files", *files, "--check-size", "--check-kind", *outputs])
    err = capsys.readouterr().err
    assert (status, err) == (1, "Payload file cannot be read: its version resource holds a StringFileInfo block "
                                f"whose string tables cannot be read: {installer}\n"), f"got {status} {err!r}"


def _tool_fault(path):
    return {}["missing"]


# id | step | its argument | message before the path
READ_CASES = [
    # A private-use character is prohibited in the names that asn1crypto compares.
    ("asn1crypto", lambda name: name == x509.Name.build({"common_name": "Root"}),
     x509.Name.build({"common_name": "Root\ue000"}), "Payload file cannot be read: asn1crypto raised ValueError: "),
    ("tool-fault", _tool_fault, None, "Payload file cannot be read: test_pe.py:"),
]


@pytest.mark.parametrize("step,argument,message", [case[1:] for case in READ_CASES],
                         ids=[case[0] for case in READ_CASES])
def test_library_errors_become_one_line(step, argument, message):
    with pytest.raises(cli.Failure) as error:
        cli.reading("/p/file", step, argument)
    text = str(error.value)
    assert text.startswith(message) and text.endswith(": /p/file") and "\n" not in text, f"got {text!r}"
