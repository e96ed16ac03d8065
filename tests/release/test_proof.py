"""The runtime-package proof: each bent package is refused with the one message that names it, or accepted with
the release it lays down."""
import struct

import pytest
from conftest import edit, set_codepage, set_summary

from quorlith_release import msi, stringpool
from quorlith_release.msi import Libmsi
from quorlith_release.stringpool import Gsf

from quorlith_release.proof import ProofError, prove_runtime_package
from quorlith_release.versions import load_version_names

PF64 = "[ProgramFiles64Folder]\\dotnet\\"
HOST_KEY = "SOFTWARE\\dotnet\\Setup\\InstalledVersions\\x64\\sharedhost"
HOST = ('must write the value "Version" under HKLM\\SOFTWARE\\dotnet\\Setup\\InstalledVersions\\x64\\sharedhost '
        "(64-bit view) as a text that begins with a number ≥ 10; ")
FAMILY = {1: "host\\fxr", 2: "shared\\Microsoft.NETCore.App", 3: "shared\\Microsoft.WindowsDesktop.App"}
MARKER = {1: "hostfxr.dll", 2: "coreclr.dll", 3: "PresentationFramework.dll"}
NOT_INSTALLED = " (not installed by default: "


def needs(index):
    return (" must install {} in dotnet\\{}\\10.0.N with N ≥ 15, below the 64-bit Program Files folder; "
            .format(MARKER[index], FAMILY[index]))


def installs_in(index, folder, hold=""):
    """The refusal of a package that lays the marker down in <folder> below dotnet."""
    return needs(index) + "it installs it in " + PF64 + folder + (NOT_INSTALLED + hold + ")" if hold else "")


def sql(*statements):
    return lambda path: edit(path, *statements)


def garbage(path):
    with open(path, "wb") as stream:
        stream.write(b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1 not a database")


def forged_subject(path):
    set_summary(path, SUBJECT="Runtime\r\nTemplate: x64;1033")


FORGED_ROW = ("x\r\nregForged\t2\tSOFTWARE\\dotnet\\Setup\\InstalledVersions\\x64\\sharedhost\tVersion\t10.0.15"
              "\tHostVersion")
TO_ELSEWHERE = ("INSERT INTO `Property` (`Property`, `Value`) VALUES (?, ?)", ("DOTNETDIR", "C:\\elsewhere\\"))

def crash_directory(path):
    """One byte of the compound file's root directory entry: its mini stream starts at sector 0x7F000000."""
    with open(path, "r+b") as stream:
        data = bytearray(stream.read())
        directory = (struct.unpack_from("<I", data, 0x30)[0] + 1) * 512
        data[directory + 0x77] = 0x7F
        stream.seek(0)
        stream.write(data)


def columns_byte(offset):
    """Sets one byte of the _Columns stream to 0x7F: at 51 a table name's string reference beyond the string
    pool, at 1078 the high byte of a column's type."""
    def bend(path):
        storage = Gsf.InfileMSOle.new(Gsf.InputStdio.new(path))
        columns = storage.child_by_name(stringpool.stream_name("_Columns"))
        content = bytes(columns.read(columns.size))
        with open(path, "r+b") as stream:
            data = bytearray(stream.read())
            assert data.count(content) == 1
            data[data.find(content) + offset] = 0x7F
            stream.seek(0)
            stream.write(data)
    return bend


def long_string_before_host_value(path):
    """A string of 128 KiB + 256 bytes, then the host's value "9.0.801": libmsi 0.101 takes the long string as
    64 KiB shorter and reads the next one 64 KiB early, where this string holds "10.0.15"."""
    length = 0x20100
    early = length - 0x10000
    edit(path, ("UPDATE `Property` SET `Value` = ? WHERE `Property` = 'Manufacturer'",
                ("x" * early + "10.0.15" + "x" * (length - early - 7),)),
         "UPDATE `Property` SET `Value` = '9.0.801' WHERE `Property` = 'HOSTVERSION'")


def template_byte(path):
    """A Template with the byte 0xE9 (é in code page 1252), which is no UTF-8."""
    set_summary(path, TEMPLATE="x64;1033~QZ")
    with open(path, "rb") as stream:
        data = stream.read()
    assert data.count(b"~QZ") == 1
    with open(path, "wb") as stream:
        stream.write(data.replace(b"~QZ", b"\xe9QZ"))


def registry_rows(count, key):
    """count Registry rows of the host's component (key formatted with the row's number), then the host's own
    row again, so a reader meets them first."""
    def bend(path):
        db = msi.open_database(path, Libmsi.DbFlags.TRANSACT)
        Libmsi.Query.new(db, "DELETE FROM `Registry`").execute(None)
        query = Libmsi.Query.new(db, "INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Value`, "
                                     "`Component_`) VALUES (?, 2, ?, ?, ?, 'HostVersion')")
        rows = [("r{}".format(at), key.format(at), "v{}".format(at), "1") for at in range(count)]
        for row in rows + [("host", HOST_KEY, "Version", "[HOSTVERSION]")]:
            values = Libmsi.Record.new(4)
            for field, text in enumerate(row, 1):
                values.set_string(field, text)
            query.execute(values)
        query.close()
        db.commit()
    return bend


UNREAD = "!Runtime package cannot be read ({}); a package the build cannot prove is not embedded: "
# "~": the message begins so and ends with the path. libmsi 0.101 crashes (SIGSEGV) on these and prints what it
# prints; the string pool entry depends on how wixl orders its strings.
CRASHED = "~Runtime package cannot be read (libmsi"
LONG_STRING = "~Runtime package cannot be read (its string pool holds a string longer than 65535 bytes (entry "
NESTED = "[" * 16000 + "HOSTVERSION {}" + "]" * 16000

# id | slot index | package built as: (sample index, release, arch) | bent by | release, or message after the path
CASES = [
    # The build's first rule table, every case kept.
    ("patch-14", 2, (2, "10.0.14", "x64"), None, installs_in(2, "shared\\Microsoft.NETCore.App\\10.0.14")),
    ("patch-015-leading-zero", 2, (2, "10.0.015", "x64"), None, "=10.0.015"),
    ("patch-100", 2, (2, "10.0.100", "x64"), None, "=10.0.100"),
    ("pre-release", 3, (3, "10.0.16-rc.1", "x64"), None,
     installs_in(3, "shared\\Microsoft.WindowsDesktop.App\\10.0.16-rc.1")),
    ("fourth-number", 1, (1, "10.0.16.1", "x64"), None, installs_in(1, "host\\fxr\\10.0.16.1")),
    ("major-11", 1, (1, "11.0.20", "x64"), None, installs_in(1, "host\\fxr\\11.0.20")),
    ("patch-2^32-saturates", 2, (2, "10.0.4294967296", "x64"), None, "=10.0.4294967296"),
    ("desktop-package-in-core-slot", 2, (3, "10.0.15", "x64"), None,
     needs(2) + "it installs no coreclr.dll; its files go to " + PF64
     + "shared\\Microsoft.WindowsDesktop.App\\10.0.15"),
    ("x86-template", 2, (2, "10.0.15", "x86"), None, ' must be an x64 package; its template is "Intel;1033"'),
    ("allusers-removed", 3, (3, "10.0.15", "x64"), sql("DELETE FROM `Property` WHERE `Property` = 'ALLUSERS'"),
     ' must install per machine (ALLUSERS 1); it installs per user (ALLUSERS "", MSIINSTALLPERUSER "")'),
    ("host-9", 0, (0, "9.0.8", "x64"), None, " " + HOST + 'it writes "9.0.8"'),
    ("host-hkcu", 0, (0, "10.0.15", "x64"), sql("UPDATE `Registry` SET `Root` = 1"),
     " " + HOST + 'it writes "10.0.15" under HKCU'),
    ("host-property-missing", 0, (0, "10.0.15", "x64"), sql("DELETE FROM `Property` WHERE `Property` = 'HOSTVERSION'"),
     " " + HOST + 'it writes ""'),
    ("host-number", 0, (0, "10.0.15", "x64"), sql("UPDATE `Registry` SET `Value` = '#10'"),
     " " + HOST + "it writes #10 (a number, not text)"),
    ("host-root-minus-1-per-machine", 0, (0, "10.0.15", "x64"), sql("UPDATE `Registry` SET `Root` = -1"), "=10.0.15"),
    ("unreadable", 2, (2, "10.0.15", "x64"), garbage, "!Runtime package cannot be read (libmsi cannot open the "
     "package); a package the build cannot prove is not embedded: "),
    # Package text is data: no expansion, no row forged by a line break, the summary's one template.
    ("file-name-with-cmake-reference", 2, (2, "10.0.15", "x64"),
     sql(("UPDATE `File` SET `FileName` = ?", ("CORECL~1.DLL|core${unset}clr.dll",))),
     needs(2) + "it installs no coreclr.dll; its files go to " + PF64 + "shared\\Microsoft.NETCore.App\\10.0.15"),
    ("host-version-forged-in-another-value", 0, (0, "10.0.15", "x64"),
     sql(("UPDATE `Registry` SET `Name` = 'Other', `Value` = ?", (FORGED_ROW,))),
     " " + HOST + "it writes no such value"),
    ("allusers-forged-in-upgradecode", 2, (2, "10.0.15", "x64"),
     sql("DELETE FROM `Property` WHERE `Property` = 'ALLUSERS'",
         ("UPDATE `Property` SET `Value` = ? WHERE `Property` = 'UpgradeCode'", ("{0}\r\nALLUSERS\t1",))),
     ' must install per machine (ALLUSERS 1); it installs per user (ALLUSERS "", MSIINSTALLPERUSER "")'),
    ("template-forged-in-subject", 2, (2, "10.0.15", "x86"), forged_subject,
     ' must be an x64 package; its template is "Intel;1033"'),
    # What Windows Installer installs by default, and where.
    ("marker-feature-level-0", 2, (2, "10.0.15", "x64"), sql("UPDATE `Feature` SET `Level` = 0"),
     installs_in(2, "shared\\Microsoft.NETCore.App\\10.0.15", "feature Main is at level 0 (INSTALLLEVEL 1)")),
    ("marker-feature-above-installlevel", 1, (1, "10.0.15", "x64"), sql("UPDATE `Feature` SET `Level` = 3"),
     installs_in(1, "host\\fxr\\10.0.15", "feature Main is at level 3 (INSTALLLEVEL 1)")),
    ("marker-feature-within-installlevel", 1, (1, "10.0.15", "x64"),
     sql("UPDATE `Feature` SET `Level` = 3",
         "INSERT INTO `Property` (`Property`, `Value`) VALUES ('INSTALLLEVEL', '3')"),
     "=10.0.15"),
    ("marker-component-condition", 3, (3, "10.0.15", "x64"),
     sql("UPDATE `Component` SET `Condition` = 'VersionNT64 >= 1000'"),
     installs_in(3, "shared\\Microsoft.WindowsDesktop.App\\10.0.15",
                 'its component has the Condition "VersionNT64 >= 1000"')),
    ("marker-in-no-feature", 2, (2, "10.0.15", "x64"), sql("DELETE FROM `FeatureComponents`"),
     installs_in(2, "shared\\Microsoft.NETCore.App\\10.0.15", "its component is in no feature")),
    ("host-value-component-condition", 0, (0, "10.0.15", "x64"),
     sql("UPDATE `Component` SET `Condition` = 'NOT Installed' WHERE `Component` = 'HostVersion'"),
     " " + HOST + 'it writes "10.0.15"' + NOT_INSTALLED + 'its component has the Condition "NOT Installed")'),
    ("property-redirects-folder", 2, (2, "10.0.15", "x64"), sql(TO_ELSEWHERE),
     needs(2) + "it installs it in C:\\elsewhere\\shared\\Microsoft.NETCore.App\\10.0.15"),
    ("patch-2^32+15-recorded-as-written", 2, (2, "10.0.4294967311", "x64"), None, "=10.0.4294967311"),
    ("host-major-saturates", 0, (0, "4294967306.0.1", "x64"), None, "=4294967306.0.1"),
    ("host-100-characters", 0, (0, "10." + "0" * 97, "x64"), None, " " + HOST + 'it writes "10.' + "0" * 97 + '"'),
    # Hostile packages: read in a child under limits, refused with one message that names the file.
    ("compound-directory-byte-crashes-libmsi", 2, (2, "10.0.15", "x64"), crash_directory,
     CRASHED),
    ("template-byte-e9", 2, (2, "10.0.15", "x64"), template_byte,
     UNREAD.format("its summary information's Template is not UTF-8 text")),
    ("columns-byte-crashes-libmsi", 2, (2, "10.0.15", "x64"), columns_byte(51), CRASHED),
    ("columns-byte-libmsi-critical", 2, (2, "10.0.15", "x64"), columns_byte(1078),
     "~Runtime package cannot be read (libmsi reported a fault while reading it: CRITICAL: "),
    ("long-string-shifts-host-value", 0, (0, "9.0.800", "x64"), long_string_before_host_value,
     LONG_STRING),
    ("long-string-alone", 2, (2, "10.0.15", "x64"),
     sql(("UPDATE `Property` SET `Value` = ? WHERE `Property` = 'Manufacturer'", ("x" * 70000,))),
     LONG_STRING),
    ("registry-20000-rows-one-30kb-key", 0, (0, "10.0.15", "x64"), registry_rows(20000, "K" * 30000), "=10.0.15"),
    ("registry-1000-rows-nested-brackets", 0, (0, "10.0.15", "x64"), registry_rows(1000, NESTED),
     "=10.0.15"),
]


@pytest.mark.parametrize("index, built_as, bend, expected", [case[1:] for case in CASES],
                         ids=[case[0] for case in CASES])
def test_bent_package(sample, index, built_as, bend, expected):
    path = sample(built_as[0], built_as[1], built_as[2], copy_name="slot")
    if bend:
        bend(path)
    if expected.startswith("="):
        assert prove_runtime_package(path, index).release == expected[1:]
        return
    with pytest.raises(ProofError) as error:
        prove_runtime_package(path, index)
    if expected.startswith("~"):
        assert str(error.value).startswith(expected[1:]) and str(error.value).endswith(path), str(error.value)
        return
    wanted = expected[1:] + path if expected.startswith("!") else path + expected
    assert str(error.value) == wanted


@pytest.mark.parametrize("limit, value, expected", [
    ("READ_SECONDS", 0, "reading it took longer than 0 s"),
    ("READ_MEMORY", 24 << 20, "reading it needs more than the 24 MiB of address space it is given"),
], ids=["wall-clock", "address-space"])
def test_reading_limits(sample, monkeypatch, limit, value, expected):
    """A reader past its limit refuses the package (24 MiB is too little for the interpreter itself)."""
    path = sample(2)
    monkeypatch.setattr(msi, limit, value)
    with pytest.raises(ProofError) as error:
        prove_runtime_package(path, 2)
    assert str(error.value) == UNREAD[1:].format(expected) + path


def test_package_text_stays_data(sample):
    path = sample(2)
    edit(path, ("UPDATE `Property` SET `Value` = ? WHERE `Property` = 'ProductName'", ("Runtime $ENV{SECRET_TOKEN}",)))
    assert prove_runtime_package(path, 2).name == "Runtime $ENV{SECRET_TOKEN}"


@pytest.mark.parametrize("spelling", ["dot-row", "itself"])
@pytest.mark.parametrize("index", [0, 1, 2, 3], ids=["host", "hostfxr", "runtime", "desktop"])
def test_real_shaped_package_accepted(real, index, spelling):
    proof = prove_runtime_package(real(index, spelling), index)
    assert (proof.release, proof.folder_actions) == ("10.0.15", ("Set_DOTNETHOME_NON_NATIVE_ARCHITECTURE",))
    assert proof.installs.startswith(("HKLM\\", PF64)), proof.installs


def _msi_name(name):
    """Whether a folder can carry the name in a package at all: its text must be UTF-8, which a lone surrogate
    is not (the packages' code page is set to UTF-8 for the rest)."""
    try:
        name.encode("utf-8")
        return True
    except UnicodeEncodeError:
        return False


VERSION_NAMES = load_version_names()


@pytest.mark.parametrize("entry", [entry for entry in VERSION_NAMES if _msi_name(entry.name)],
                         ids=[ascii(entry.name) for entry in VERSION_NAMES if _msi_name(entry.name)])
def test_version_folder_as_detection_reads_it(sample, entry):
    path = sample(2)
    if not entry.name.isascii():
        set_codepage(path, 65001)
    edit(path, ("UPDATE `Directory` SET `DefaultDir` = ? WHERE `Directory` = 'VERSIONDIR'", (entry.name,)))
    try:
        proof = prove_runtime_package(path, 2)
    except ProofError as error:
        assert not entry.taken, str(error)
        assert str(error).endswith("\\Microsoft.NETCore.App\\" + entry.name)
    else:
        assert entry.taken and proof.release == entry.name


def test_names_no_package_can_hold():
    assert [entry.name for entry in VERSION_NAMES if not _msi_name(entry.name)] == ["10.0.15\ud800"]
