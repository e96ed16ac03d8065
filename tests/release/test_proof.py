"""The runtime-package proof: each bent package is refused with the one message that names it, or accepted with
the release it lays down."""
import struct

import pytest
import struct

from conftest import CONDITION_TABLE, Table, add_stream, edit, set_codepage, set_summary

from quorlith_release import msi, stringpool
from quorlith_release.msi import Libmsi
from quorlith_release.proof import ProofError, check_removals, prove_runtime_package
from quorlith_release.stringpool import Gsf
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
OUTSIDE = " uses what the build does not prove: "
HOST_ROW = "reg15922FB76D852BCB894AE2DDC5650F70"


def utf8(*statements):
    """Gives the package the UTF-8 code page, then runs the statements."""
    def bend(path):
        set_codepage(path, 65001)
        edit(path, *statements)
    return bend


def cabinet_of(data):
    """Gives the package's files the cabinet stream other.cab holding these bytes."""
    def bend(path):
        add_stream(path, "other.cab", data)
        edit(path, "UPDATE `Media` SET `Cabinet` = '#other.cab'")
    return bend


def remove_file(name, folder, mode=1):
    return ("INSERT INTO `RemoveFile` (`FileKey`, `Component_`, `FileName`, `DirProperty`, `InstallMode`) VALUES "
            "('RemoveOne', 'Marker', ?, ?, ?)", (name, folder, mode))


def remove_registry(key, component, name="-"):
    return (Table("RemoveRegistry", "CREATE TABLE `RemoveRegistry` (`RemoveRegistry` CHAR(72) NOT NULL, `Root` SHORT "
                  "NOT NULL, `Key` CHAR(255) NOT NULL, `Name` CHAR(255), `Component_` CHAR(72) NOT NULL PRIMARY KEY "
                  "`RemoveRegistry`)"),
            ("INSERT INTO `RemoveRegistry` (`RemoveRegistry`, `Root`, `Key`, `Name`, `Component_`) VALUES "
             "('RemoveKey', 2, ?, ?, ?)", (key, name, component)))


SHAREDHOST = "SOFTWARE\\dotnet\\Setup\\InstalledVersions\\x64\\sharedhost"
MOVE_TABLE = Table("MoveFile", "CREATE TABLE `MoveFile` (`FileKey` CHAR(72) NOT NULL, `Component_` CHAR(72) NOT NULL, "
                   "`SourceName` CHAR(255), `DestName` CHAR(255), `SourceFolder` CHAR(72), `DestFolder` CHAR(72) NOT "
                   "NULL, `Options` SHORT NOT NULL PRIMARY KEY `FileKey`)")


# A cabinet header announcing one file entry at offset 36, where the stream ends.
CUT_SHORT = struct.pack("<4sIIIIIBBHHHHH", b"MSCF", 0, 36, 0, 36, 0, 3, 1, 0, 1, 0, 0, 0)


def summary(**fields):
    return lambda path: set_summary(path, **fields)


def prop(name, value):
    return ("INSERT INTO `Property` (`Property`, `Value`) VALUES (?, ?)", (name, value))


def host_version(value):
    return ("UPDATE `Property` SET `Value` = ? WHERE `Property` = 'HOSTVERSION'", (value,))


def action(name, source, target, kind=51):
    return ("INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES (?, ?, ?, ?)",
            (name, kind, source, target))


def nested_features(depth):
    """Main below a chain of depth - 1 features."""
    rows = [("INSERT INTO `Feature` (`Feature`, `Feature_Parent`, `Display`, `Level`, `Attributes`) "
             "VALUES (?, ?, 0, 1, 0)", ("F{}".format(at), "F{}".format(at - 1) if at > 1 else ""))
            for at in range(1, depth)]
    return rows + [("UPDATE `Feature` SET `Feature_Parent` = ? WHERE `Feature` = 'Main'", ("F{}".format(depth - 1),))]


SECOND_HOST_WRITER = (
    "INSERT INTO `Component` (`Component`, `ComponentId`, `Directory_`, `Attributes`, `KeyPath`) VALUES "
    "('Second', '{4D1A7E30-6C55-4B7A-9A11-0E5B2C7D3009}', 'DOTNETDIR', 260, 'regSecond')",
    "INSERT INTO `FeatureComponents` (`Feature_`, `Component_`) VALUES ('Main', 'Second')",
    "INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Value`, `Component_`) VALUES ('regSecond', 2, "
    "'SOFTWARE\\dotnet\\Setup\\InstalledVersions\\x64\\sharedhost', 'Version', '9.0.8', 'Second')")
TO_ELSEWHERE = ("INSERT INTO `Property` (`Property`, `Value`) VALUES (?, ?)", ("DOTNETDIR", "C:\\elsewhere\\"))

def crash_directory(path):
    """One byte of the compound file's root directory entry: its mini stream starts at sector 0x7F000000."""
    with open(path, "r+b") as stream:
        data = bytearray(stream.read())
        directory = (struct.unpack_from("<I", data, 0x30)[0] + 1) * 512
        data[directory + 0x77] = 0x7F
        stream.seek(0)
        stream.write(data)


def columns_entry(table, column, byte):
    """Sets one byte of the _Columns row of table.column to 0x7F, found through the string pool, so the same
    row is bent whatever order wixl writes its tables in. byte "table" is the high byte of the row's table
    name reference (beyond the string pool: libmsi crashes), "width" the low byte of its type (the column's
    width in bytes: libmsi prints a critical message and reads on)."""
    def bend(path):
        storage = Gsf.InfileMSOle.new(Gsf.InputStdio.new(path))

        def stream(name):
            child = storage.child_by_name(stringpool.stream_name(name))
            return bytes(child.read(child.size))

        pool, strings, columns = stream("_StringPool"), stream("_StringData"), stream("_Columns")
        assert pool[3] & 0x80 == 0, "string references of 3 bytes: the rows are not laid out as read here"
        ids, at = {}, 0
        for entry in range(1, len(pool) // 4):
            length = int.from_bytes(pool[entry * 4:entry * 4 + 2], "little")
            ids.setdefault(strings[at:at + length], entry)
            at += length
        # Four columns of 2-byte cells, one after the other: table, number, name, type.
        rows = len(columns) // 8

        def cell(part, row):
            at = 2 * (part * rows + row)
            return int.from_bytes(columns[at:at + 2], "little")

        row = next(row for row in range(rows)
                   if cell(0, row) == ids[table.encode()] and cell(2, row) == ids[column.encode()])
        offset = 2 * row + 1 if byte == "table" else 2 * (3 * rows + row)
        with open(path, "r+b") as stream_file:
            data = bytearray(stream_file.read())
            assert data.count(columns) == 1
            data[data.find(columns) + offset] = 0x7F
            stream_file.seek(0)
            stream_file.write(data)
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
# "~": the message begins so and ends with the path. libmsi 0.101 and 0.106 crash (SIGSEGV) on these and print what they
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
     " " + HOST + 'it writes "[HOSTVERSION]" (the build cannot read [HOSTVERSION])'),
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
     needs(2) + "it installs it in C:\\elsewhere\\shared\\Microsoft.NETCore.App\\10.0.15 (Property DOTNETDIR as "
     "literal text)"),
    ("patch-2^32+15-recorded-as-written", 2, (2, "10.0.4294967311", "x64"), None, "=10.0.4294967311"),
    ("host-major-saturates", 0, (0, "4294967306.0.1", "x64"), None, "=4294967306.0.1"),
    ("host-100-characters", 0, (0, "10." + "0" * 97, "x64"), None,
     " " + HOST + 'it writes "10.' + "0" * 97 + '" (100 UTF-16 units; the test reads 99)'),
    # What a default installation leaves out beyond levels: advertised, run-from-source, moved by a condition.
    ("feature-favor-advertise", 2, (2, "10.0.15", "x64"), sql("UPDATE `Feature` SET `Attributes` = 4"),
     installs_in(2, "shared\\Microsoft.NETCore.App\\10.0.15", "feature Main has the Attributes 4 (FavorAdvertise)")),
    ("component-source-only", 1, (1, "10.0.15", "x64"), sql("UPDATE `Component` SET `Attributes` = 257"),
     installs_in(1, "host\\fxr\\10.0.15", "its component has the Attributes 257 (SourceOnly)")),
    ("optional-component-in-favor-source-feature", 3, (3, "10.0.15", "x64"),
     sql("UPDATE `Component` SET `Attributes` = 258", "UPDATE `Feature` SET `Attributes` = 1"),
     installs_in(3, "shared\\Microsoft.WindowsDesktop.App\\10.0.15",
                 "feature Main has the Attributes 1 (FavorSource)")),
    ("condition-table-sets-level-0", 2, (2, "10.0.15", "x64"),
     sql(CONDITION_TABLE, "INSERT INTO `Condition` (`Feature_`, `Level`, `Condition`) VALUES ('Main', 0, '1')"),
     installs_in(2, "shared\\Microsoft.NETCore.App\\10.0.15",
                 'the Condition table may set feature Main to level 0 (condition "1")')),
    ("condition-table-level-within-installlevel", 2, (2, "10.0.15", "x64"),
     sql(CONDITION_TABLE, "INSERT INTO `Condition` (`Feature_`, `Level`, `Condition`) VALUES ('Main', 1, 'X')"),
     "=10.0.15"),
    # Property rows that choose features or names in place of what the proof reads.
    ("property-advertise-all", 2, (2, "10.0.15", "x64"), sql(prop("ADVERTISE", "ALL")),
     OUTSIDE + 'the Property table sets ADVERTISE ("ALL"), which chooses the features in place of INSTALLLEVEL'),
    ("property-remove-all", 0, (0, "10.0.15", "x64"), sql(prop("REMOVE", "ALL")),
     OUTSIDE + 'the Property table sets REMOVE ("ALL"), which chooses the features in place of INSTALLLEVEL'),
    ("property-addlocal-another-feature", 1, (1, "10.0.15", "x64"), sql(prop("ADDLOCAL", "Other")),
     OUTSIDE + 'the Property table sets ADDLOCAL ("Other"), which chooses the features in place of INSTALLLEVEL'),
    ("installlevel-0", 2, (2, "10.0.15", "x64"), sql(prop("INSTALLLEVEL", "0")),
     OUTSIDE + 'the Property table sets INSTALLLEVEL ("0"), which is not a level from 1 to 32767'),
    ("installlevel-1-after-4999-zeros", 2, (2, "10.0.15", "x64"), sql(prop("INSTALLLEVEL", "0" * 4999 + "1")),
     OUTSIDE + 'the Property table sets INSTALLLEVEL ("' + "0" * 4999 + '1"), which is not a level from 1 to 32767'),
    ("property-executemode-none", 1, (1, "10.0.15", "x64"), sql(prop("EXECUTEMODE", "None")),
     OUTSIDE + 'the Property table sets EXECUTEMODE ("None"): only "Script" makes changes to the system'),
    ("property-executemode-script-lower-case", 1, (1, "10.0.15", "x64"), sql(prop("EXECUTEMODE", "script")),
     "=10.0.15"),
    ("property-preselected", 2, (2, "10.0.15", "x64"), sql(prop("Preselected", "1")),
     OUTSIDE + 'the Property table sets Preselected ("1"), which chooses the features in place of INSTALLLEVEL'),
    ("property-shortfilenames", 3, (3, "10.0.15", "x64"), sql(prop("SHORTFILENAMES", "1")),
     OUTSIDE + 'the Property table sets SHORTFILENAMES ("1"): folders are made with their short names'),
    ("folder-key-is-a-system-folder", 2, (2, "10.0.15", "x64"),
     sql("INSERT INTO `Directory` (`Directory`, `Directory_Parent`, `DefaultDir`) VALUES ('ProgramFilesFolder', "
         "'FAMILYDIR', '10.0.15')", "UPDATE `Component` SET `Directory_` = 'ProgramFilesFolder'"),
     needs(2) + "it installs it in [ProgramFilesFolder]"),
    ("program-files-as-the-root", 2, (2, "10.0.15", "x64"),
     sql("DELETE FROM `Directory` WHERE `Directory` = 'TARGETDIR'",
         "UPDATE `Directory` SET `Directory_Parent` = '' WHERE `Directory` = 'ProgramFiles64Folder'"),
     OUTSIDE + "its Directory table has the roots ProgramFiles64Folder, not TARGETDIR alone"),
    ("second-root", 1, (1, "10.0.15", "x64"),
     sql("INSERT INTO `Directory` (`Directory`, `Directory_Parent`, `DefaultDir`) VALUES ('OTHERROOT', 'OTHERROOT', "
         "'Other')"),
     OUTSIDE + "its Directory table has the roots TARGETDIR, OTHERROOT, not TARGETDIR alone"),
    ("property-spells-the-root", 2, (2, "10.0.15", "x64"), sql(prop("DOTNETDIR", "[ProgramFiles64Folder]\\dotnet")),
     needs(2) + "it installs it in [ProgramFiles64Folder]\\dotnet\\shared\\Microsoft.NETCore.App\\10.0.15 "
     "(Property DOTNETDIR as literal text)"),
    # The host value's Key, Name and Value as Windows formats them, counted as detection reads them.
    ("host-name-holds-a-folder", 0, (0, "10.0.15", "x64"), sql("UPDATE `Registry` SET `Name` = 'Version[DOTNETDIR]'"),
     OUTSIDE + "Registry row " + HOST_ROW + " writes under a Key or Name that holds [DOTNETDIR], which the build "
     "cannot read, so it may write the value the host's test reads"),
    ("host-key-holds-a-system-property", 0, (0, "10.0.15", "x64"),
     sql(("UPDATE `Registry` SET `Key` = ?",
          ("SOFTWARE\\dotnet\\Setup\\InstalledVersions\\x64\\sharedhost[WindowsVolume]",))),
     OUTSIDE + "Registry row " + HOST_ROW + " writes under a Key or Name that holds [WindowsVolume], which the build "
     "cannot read, so it may write the value the host's test reads"),
    ("host-value-after-two-number-signs", 0, (0, "10.0.15", "x64"), sql("UPDATE `Registry` SET `Value` = '##10.0.15'"),
     " " + HOST + 'it writes "#10.0.15"'),
    ("host-value-expandable", 0, (0, "10.0.15", "x64"), sql("UPDATE `Registry` SET `Value` = '#%[HOSTVERSION]'"),
     "=10.0.15"),
    ("host-value-with-a-file-path", 0, (0, "10.0.15", "x64"),
     sql("UPDATE `Registry` SET `Value` = '10.0.15[#DotnetExe]'"),
     " " + HOST + 'it writes "10.0.15[#DotnetExe]" (the build cannot read [#DotnetExe])'),
    ("host-value-with-an-environment-value", 0, (0, "10.0.15", "x64"),
     sql("UPDATE `Registry` SET `Value` = '[HOSTVERSION][%PATH]'"),
     " " + HOST + 'it writes "10.0.15[%PATH]" (the build cannot read [%PATH])'),
    ("host-value-multi-string", 0, (0, "10.0.15", "x64"), sql("UPDATE `Registry` SET `Value` = '[HOSTVERSION][~]'"),
     " " + HOST + 'it writes "10.0.15[~]" (the build cannot read [~])'),
    ("host-value-101-utf16-units-52-code-points", 0, (0, "10.0.15", "x64"),
     utf8(host_version("10." + "\U0001d7d8" * 49)),
     " " + HOST + 'it writes "10.' + "\U0001d7d8" * 49 + '" (101 UTF-16 units; the test reads 99)'),
    ("host-value-99-utf16-units", 0, (0, "10.0.15", "x64"), utf8(host_version("10." + "\u00e9" * 96)),
     "=10." + "\u00e9" * 96),
    ("host-component-in-a-missing-folder", 0, (0, "10.0.15", "x64"),
     sql("UPDATE `Component` SET `Directory_` = 'NOPE' WHERE `Component` = 'HostVersion'"),
     OUTSIDE + "Component row HostVersion names the Directory NOPE, which is not in the Directory table"),
    ("host-value-two-writers", 0, (0, "10.0.15", "x64"), sql(*SECOND_HOST_WRITER),
     OUTSIDE + "Registry rows " + HOST_ROW + ", regSecond all write the value the host's test reads, in an order "
     "Windows Installer does not state"),
    ("host-value-set-by-type-51", 0, (0, "10.0.15", "x64"), sql(action("SetHost", "HOSTVERSION", "9.0.8")),
     OUTSIDE + "CustomAction row SetHost (type 51) sets HOSTVERSION at install time, which the host's value or where "
     "it is written is made of"),
    ("host-value-name-set-by-type-51", 0, (0, "10.0.15", "x64"),
     sql(*SECOND_HOST_WRITER[:2], prop("VALUENAME", "Other"), action("SetName", "VALUENAME", "Version"),
         "INSERT INTO `Registry` (`Registry`, `Root`, `Key`, `Name`, `Value`, `Component_`) VALUES ('regSecond', 2, "
         "'SOFTWARE\\dotnet\\Setup\\InstalledVersions\\x64\\sharedhost', '[VALUENAME]', '9.0.8', 'Second')"),
     OUTSIDE + "CustomAction row SetName (type 51) sets VALUENAME at install time, which the host's value or where "
     "it is written is made of"),
    ("installlevel-set-by-type-51", 2, (2, "10.0.15", "x64"), sql(action("SetLevel", "INSTALLLEVEL", "0")),
     OUTSIDE + "CustomAction row SetLevel (type 51) sets INSTALLLEVEL at install time"),
    ("folder-set-by-appsearch", 3, (3, "10.0.15", "x64"),
     sql("INSERT INTO `AppSearch` (`Property`, `Signature_`) VALUES ('DOTNETDIR', 'DotnetSearch')"),
     OUTSIDE + "AppSearch sets the folder DOTNETDIR at install time"),
    ("folder-set-by-find-related-products", 2, (2, "10.0.15", "x64"),
     sql(("INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMax`, `Attributes`, `ActionProperty`) VALUES (?, ?, ?, ?)",
          ("{4D1A7E30-6C55-4B7A-9A11-0E5B2C7D2003}", "255.255.65535", 2, "DOTNETDIR"))),
     OUTSIDE + "Upgrade row {4D1A7E30-6C55-4B7A-9A11-0E5B2C7D2003} has FindRelatedProducts set DOTNETDIR at "
     "install time, a folder"),
    ("installlevel-set-by-find-related-products", 1, (1, "10.0.15", "x64"),
     sql(("INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMax`, `Attributes`, `ActionProperty`) VALUES (?, ?, ?, ?)",
          ("{4D1A7E30-6C55-4B7A-9A11-0E5B2C7D2002}", "255.255.65535", 0, "INSTALLLEVEL"))),
     OUTSIDE + "Upgrade row {4D1A7E30-6C55-4B7A-9A11-0E5B2C7D2002} has FindRelatedProducts set INSTALLLEVEL at "
     "install time"),
    # Names as Windows compares them: one UTF-16 unit at a time, upper-cased.
    ("marker-with-kelvin-sign", 3, (3, "10.0.15", "x64"),
     utf8(("UPDATE `File` SET `FileName` = ?", ("PRESEN~1.DLL|PresentationFramewor\u212a.dll",))),
     needs(3) + "it installs no PresentationFramework.dll; its files go to " + PF64
     + "shared\\Microsoft.WindowsDesktop.App\\10.0.15"),
    ("family-folder-with-kelvin-sign", 3, (3, "10.0.15", "x64"),
     utf8(("UPDATE `Directory` SET `DefaultDir` = ? WHERE `Directory` = 'FAMILYDIR'",
           ("MICROS~1.APP|Microsoft.WindowsDes\u212atop.App",))),
     installs_in(3, "shared\\Microsoft.WindowsDes\u212atop.App\\10.0.15")),
    ("marker-in-other-case", 2, (2, "10.0.15", "x64"), sql("UPDATE `File` SET `FileName` = 'CoreCLR.DLL'"), "=10.0.15"),
    # Packages Windows Installer refuses or cannot install from the embedded package alone.
    ("page-count-below-200", 2, (2, "10.0.15", "x64"), summary(VERSION=100),
     OUTSIDE + "its summary information gives Page Count 100; an x64 package needs 200 or more"),
    ("page-count-above-500", 2, (2, "10.0.15", "x64"), summary(VERSION=501),
     OUTSIDE + "its summary information gives Page Count 501, a Windows Installer later than 5.0, which no Windows "
     "has"),
    ("feature-nested-17-deep", 1, (1, "10.0.15", "x64"), sql(*nested_features(17)),
     OUTSIDE + "Feature row Main is nested 17 deep; Windows Installer allows 16"),
    ("feature-nested-16-deep", 1, (1, "10.0.15", "x64"), sql(*nested_features(16)), "=10.0.15"),
    ("feature-its-own-parent", 2, (2, "10.0.15", "x64"), sql("UPDATE `Feature` SET `Feature_Parent` = 'Main'"),
     OUTSIDE + "Feature row Main is its own parent"),
    ("file-name-with-colon", 2, (2, "10.0.15", "x64"), sql("UPDATE `File` SET `FileName` = 'coreclr.dll:x'"),
     OUTSIDE + 'File row MarkerFile has the name "coreclr.dll:x", which Windows cannot create'),
    ("word-count-uncompressed-source", 2, (2, "10.0.15", "x64"), summary(SOURCE=0),
     OUTSIDE + "File row MarkerFile is read from an uncompressed source beside the package (Word Count 0, File "
     "Attributes 512), and the package travels alone"),
    ("cabinet-beside-the-package", 2, (2, "10.0.15", "x64"), sql("UPDATE `Media` SET `Cabinet` = 'sample.cab'"),
     OUTSIDE + 'File row MarkerFile is in the cabinet "sample.cab" of Media row 1, not in one the package holds, and '
     "the package travels alone"),
    ("cabinet-stream-missing", 2, (2, "10.0.15", "x64"), sql("UPDATE `Media` SET `Cabinet` = '#other.cab'"),
     OUTSIDE + 'File row MarkerFile is in the cabinet "#other.cab" of Media row 1, which is not a stream of the '
     "package"),
    ("error-action-unconditioned", 2, (2, "10.0.15", "x64"),
     sql(action("Refuse", "", "This package cannot be installed.", kind=19),
         "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('Refuse', 1450)"),
     OUTSIDE + "CustomAction row Refuse (type 19) is in the InstallExecuteSequence without a condition, so every "
     "installation ends with its error"),
    ("error-action-conditioned", 2, (2, "10.0.15", "x64"),
     sql(action("Refuse", "", "A newer release is installed.", kind=19),
         "INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES ('Refuse', "
         "'NEWER_FOUND', 1450)"),
     "=10.0.15"),
    ("file-not-in-its-cabinet", 2, (2, "10.0.15", "x64"),
     sql("INSERT INTO `File` (`File`, `Component_`, `FileName`, `FileSize`, `Attributes`, `Sequence`) VALUES "
         "('Extra', 'Marker', 'extra.dll', 1, 512, 1)"),
     OUTSIDE + 'File row Extra is not in the cabinet "#sample.cab" of Media row 1'),
    ("cabinet-stream-not-a-cabinet", 2, (2, "10.0.15", "x64"), cabinet_of(b"not a cabinet"),
     OUTSIDE + 'the cabinet "#other.cab" of Media row 1 cannot be read: it is not a cabinet'),
    ("cabinet-file-entries-cut-short", 2, (2, "10.0.15", "x64"), cabinet_of(CUT_SHORT),
     OUTSIDE + 'the cabinet "#other.cab" of Media row 1 cannot be read: its file entries are cut short'),
    ("force-reboot-unconditioned", 1, (1, "10.0.15", "x64"),
     sql("INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('ForceReboot', 3900)"),
     OUTSIDE + "its InstallExecuteSequence runs ForceReboot without a condition, which restarts Windows in the "
     "middle of every installation"),
    ("no-install-files", 1, (1, "10.0.15", "x64"),
     sql("DELETE FROM `InstallExecuteSequence` WHERE `Action` = 'InstallFiles'"),
     OUTSIDE + "its InstallExecuteSequence has no InstallFiles action"),
    ("install-files-sequence-0", 3, (3, "10.0.15", "x64"),
     sql("UPDATE `InstallExecuteSequence` SET `Sequence` = 0 WHERE `Action` = 'InstallFiles'"),
     OUTSIDE + "its InstallExecuteSequence gives InstallFiles the Sequence 0, so it never runs"),
    ("write-registry-values-at-success", 0, (0, "10.0.15", "x64"),
     sql("UPDATE `InstallExecuteSequence` SET `Sequence` = -1 WHERE `Action` = 'WriteRegistryValues'"),
     OUTSIDE + "its InstallExecuteSequence gives WriteRegistryValues the Sequence -1, so it never runs"),
    ("no-cost-finalize", 2, (2, "10.0.15", "x64"),
     sql("DELETE FROM `InstallExecuteSequence` WHERE `Action` = 'CostFinalize'"),
     OUTSIDE + "its InstallExecuteSequence has no CostFinalize action"),
    ("install-files-before-install-initialize", 2, (2, "10.0.15", "x64"),
     sql("UPDATE `InstallExecuteSequence` SET `Sequence` = 1450 WHERE `Action` = 'InstallFiles'"),
     OUTSIDE + "its InstallExecuteSequence runs InstallFiles (Sequence 1450) no later than InstallInitialize "
     "(Sequence 1500)"),
    ("install-finalize-conditioned", 0, (0, "10.0.15", "x64"),
     sql("UPDATE `InstallExecuteSequence` SET `Condition` = 'NOT Installed' WHERE `Action` = 'InstallFinalize'"),
     OUTSIDE + 'its InstallExecuteSequence runs InstallFinalize only under the condition "NOT Installed"'),
    # What a package takes away as it installs, from where it or another runtime package laid its marker down.
    ("remove-file-on-removal-only", 1, (1, "10.0.15", "x64"), sql(remove_file("hostfxr.dll", "VERSIONDIR", 2)),
     "=10.0.15"),
    ("remove-file-of-another-runtime", 3, (3, "10.0.15", "x64"), sql(remove_file("*.dll", "DOTNETDIR")),
     OUTSIDE + 'RemoveFile row RemoveOne takes "*.dll" away from ' + PF64[:-1] + " as it installs, where the "
     "runtime markers lie"),
    ("remove-file-outside-dotnet", 3, (3, "10.0.15", "x64"), sql(remove_file("*.tmp", "TARGETDIR")), "=10.0.15"),
    ("move-file-out-of-its-folder", 3, (3, "10.0.15", "x64"),
     sql(MOVE_TABLE, "INSERT INTO `MoveFile` (`FileKey`, `Component_`, `SourceName`, `SourceFolder`, `DestFolder`, "
         "`Options`) VALUES ('MoveOne', 'Marker', 'PresentationFramework.dll', 'VERSIONDIR', 'TARGETDIR', 1)"),
     OUTSIDE + 'MoveFile row MoveOne takes "PresentationFramework.dll" away from ' + PF64
     + "shared\\Microsoft.WindowsDesktop.App\\10.0.15 as it installs, where the runtime markers lie"),
    ("remove-registry-host-key", 1, (1, "10.0.15", "x64"), sql(*remove_registry(SHAREDHOST, "Marker")),
     OUTSIDE + "RemoveRegistry row RemoveKey removes the key HKLM\\" + SHAREDHOST + " as it installs, which may take "
     "the host's value away"),
    ("remove-registry-host-value", 1, (1, "10.0.15", "x64"), sql(*remove_registry(SHAREDHOST, "Marker", "version")),
     OUTSIDE + 'RemoveRegistry row RemoveKey removes the value "version" of HKLM\\' + SHAREDHOST + " as it installs, "
     "which may take the host's value away"),
    ("remove-registry-dotnet-key-lower-case", 2, (2, "10.0.15", "x64"),
     sql(*remove_registry("software\\DOTNET\\", "Marker")),
     OUTSIDE + "RemoveRegistry row RemoveKey removes the key HKLM\\software\\DOTNET\\ as it installs, which may take "
     "the host's value away"),
    ("remove-registry-other-value-above-the-host", 2, (2, "10.0.15", "x64"),
     sql(*remove_registry("SOFTWARE\\dotnet", "Marker", "Version")), "=10.0.15"),
    ("remove-registry-key-beside-the-host", 0, (0, "10.0.15", "x64"),
     sql(*remove_registry(SHAREDHOST + "Old", "HostVersion")), "=10.0.15"),
    ("write-registry-values-conditioned", 0, (0, "10.0.15", "x64"),
     sql("UPDATE `InstallExecuteSequence` SET `Condition` = 'REMOVE' WHERE `Action` = 'WriteRegistryValues'"),
     OUTSIDE + 'its InstallExecuteSequence runs WriteRegistryValues only under the condition "REMOVE"'),
    ("word-count-compressed-administrative-image", 2, (2, "10.0.15", "x64"), summary(SOURCE=6),
     OUTSIDE + "its summary information gives Word Count 6: an administrative image, whose files lie uncompressed "
     "beside it, and the package travels alone"),
    ("word-count-uncompressed-file-compressed", 2, (2, "10.0.15", "x64"),
     lambda path: (set_summary(path, SOURCE=0), edit(path, "UPDATE `File` SET `Attributes` = 16896")), "=10.0.15"),
    # Hostile packages: read in a child under limits, refused with one message that names the file.
    ("compound-directory-byte-crashes-libmsi", 2, (2, "10.0.15", "x64"), crash_directory,
     CRASHED),
    ("template-byte-e9", 2, (2, "10.0.15", "x64"), template_byte,
     UNREAD.format("its summary information's Template is not UTF-8 text")),
    ("columns-table-name-crashes-libmsi", 2, (2, "10.0.15", "x64"), columns_entry("Property", "Property", "table"),
     CRASHED),
    ("columns-width-libmsi-critical", 2, (2, "10.0.15", "x64"), columns_entry("Registry", "Root", "width"),
     "~Runtime package cannot be read (libmsi reported a fault while reading it: CRITICAL: "),
    ("long-string-shifts-host-value", 0, (0, "9.0.800", "x64"), long_string_before_host_value,
     LONG_STRING),
    ("long-string-alone", 2, (2, "10.0.15", "x64"),
     sql(("UPDATE `Property` SET `Value` = ? WHERE `Property` = 'Manufacturer'", ("x" * 70000,))),
     LONG_STRING),
    ("registry-20000-rows-one-30kb-key", 0, (0, "10.0.15", "x64"), registry_rows(20000, "K" * 30000), "=10.0.15"),
    ("registry-1000-rows-nested-brackets", 0, (0, "10.0.15", "x64"), registry_rows(1000, NESTED),
     OUTSIDE + "Registry row r0 writes under a Key or Name that holds [HOSTVERSION 0], [[HOSTVERSION 0]], "
     "[[[HOSTVERSION 0]]], ..., which the build cannot read, so it may write the value the host's test reads"),
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
    """A reader past its limit refuses the package (24 MiB is less than the interpreter and libmsi take)."""
    path = sample(2)
    monkeypatch.setattr(msi, limit, value)
    with pytest.raises(ProofError) as error:
        prove_runtime_package(path, 2)
    assert str(error.value) == UNREAD[1:].format(expected) + path


CORE_CODE = "{4D1A7E30-6C55-4B7A-9A11-0E5B2C7D2003}"
DESKTOP_CODE = "{4D1A7E30-6C55-4B7A-9A11-0E5B2C7D2004}"
SEQUENCE = "INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('{}', {})"
FIND_AND_REMOVE = (SEQUENCE.format("FindRelatedProducts", 25), SEQUENCE.format("RemoveExistingProducts", 1450))


def upgrade(code, attributes=0):
    return ("INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMax`, `Attributes`, `ActionProperty`) VALUES (?, ?, ?, ?)",
            (code, "255.255.65535", attributes, "OLDPRODUCTS"))


# id | slot of the bent package | its statements | the slot named in the refusal, or None when the bundle passes
REMOVALS = [
    ("desktop-removes-core-runtime", 3, (upgrade(CORE_CODE.lower()),) + FIND_AND_REMOVE, 2),
    ("host-removes-desktop-runtime", 0, (upgrade(DESKTOP_CODE),) + FIND_AND_REMOVE, 3),
    ("only-detects-core-runtime", 3, (upgrade(CORE_CODE, 2),) + FIND_AND_REMOVE, None),
    ("remove-not-sequenced", 3, (upgrade(CORE_CODE), FIND_AND_REMOVE[0]), None),
    ("removes-its-own-older-releases", 3, (upgrade(DESKTOP_CODE),) + FIND_AND_REMOVE, None),
]


@pytest.mark.parametrize("bent, statements, removed", [case[1:] for case in REMOVALS],
                         ids=[case[0] for case in REMOVALS])
def test_one_package_removing_another(sample, bent, statements, removed):
    paths = [sample(index) for index in range(4)]
    edit(paths[bent], *statements)
    proven = [(path, prove_runtime_package(path, index)) for index, path in enumerate(paths)]
    if removed is None:
        check_removals(proven)
        return
    with pytest.raises(ProofError) as error:
        check_removals(proven)
    code = CORE_CODE if removed == 2 else DESKTOP_CODE
    assert str(error.value) == (paths[bent] + OUTSIDE + "its Upgrade table names the UpgradeCode " + code + " of "
                                + paths[removed] + ", with FindRelatedProducts and RemoveExistingProducts "
                                "sequenced, so installing it removes that package")


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
