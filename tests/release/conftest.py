"""Package builders for the tooling's tests: the sample sources through wixl, a package shaped like the real
runtime packages, and edits through libmsi (parameterised SQL, summary information, code page, streams)."""
from dataclasses import dataclass
import os
import shutil
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.abspath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tools", "release"))

from quorlith_release import msi, samples  # noqa: E402
from quorlith_release.msi import Libmsi  # noqa: E402

SAMPLES = os.path.join(SOURCE, "samples", "runtime")
PACKAGES = ("dotnet-host", "dotnet-hostfxr", "dotnet-runtime", "windowsdesktop-runtime")
FAMILIES = (None, ("host", "fxr"), ("shared", "Microsoft.NETCore.App"), ("shared", "Microsoft.WindowsDesktop.App"))
MARKERS = (None, "hostfxr.dll", "coreclr.dll", "PresentationFramework.dll")


def edit(path, *statements):
    """Runs SQL statements on the package: each a text, or (text, values) with one "?" per value."""
    db = msi.open_database(path, Libmsi.DbFlags.TRANSACT)
    for statement in statements:
        if isinstance(statement, Table):
            if statement.name in msi.table_names(db):
                continue
            statement = statement.create
        sql, values = (statement, ()) if isinstance(statement, str) else statement
        record = None
        if values:
            record = Libmsi.Record.new(len(values))
            for at, value in enumerate(values, 1):
                if isinstance(value, int):
                    record.set_int(at, value)
                else:
                    record.set_string(at, value)
        query = Libmsi.Query.new(db, sql)
        query.execute(record)
        query.close()
    db.commit()


def add_stream(path, name, data):
    """Adds a stream of the given bytes to the package."""
    from gi.repository import Gio, GLib
    db = msi.open_database(path, Libmsi.DbFlags.TRANSACT)
    record = Libmsi.Record.new(2)
    record.set_string(1, name)
    record.set_stream(2, Gio.MemoryInputStream.new_from_bytes(GLib.Bytes.new(data)), len(data), None)
    query = Libmsi.Query.new(db, "INSERT INTO `_Streams` (`Name`, `Data`) VALUES (?, ?)")
    query.execute(record)
    query.close()
    db.commit()


def set_summary(path, **fields):
    """Sets summary information fields by Libmsi.Property name: set_summary(p, SUBJECT="...", VERSION=100)."""
    db = msi.open_database(path, Libmsi.DbFlags.TRANSACT)
    info = Libmsi.SummaryInfo.new(db, 20)
    for name, value in fields.items():
        if isinstance(value, int):
            info.set_int(getattr(Libmsi.Property, name), value)
        else:
            info.set_string(getattr(Libmsi.Property, name), value)
    info.persist()
    db.commit()


def set_codepage(path, codepage):
    """Gives the package another code page, so it can hold text its first one cannot."""
    idt = path + ".codepage.idt"
    with open(idt, "w", encoding="ascii", newline="") as stream:
        stream.write("\r\n\r\n{}\t_ForceCodepage\r\n".format(codepage))
    db = msi.open_database(path, Libmsi.DbFlags.TRANSACT)
    db.import_(idt)
    db.commit()
    os.remove(idt)


@dataclass(frozen=True)
class Table:
    """A table for edit() to create where the package lacks it: wixl 0.106 writes every standard table, empty
    where it has no rows, while 0.101 writes only those it fills."""
    name: str
    create: str


CONDITION_TABLE = Table("Condition", "CREATE TABLE `Condition` (`Feature_` CHAR(38) NOT NULL, `Level` SHORT NOT "
                                     "NULL, `Condition` CHAR(255) PRIMARY KEY `Feature_`, `Level`)")


def wixl(source_dir, wxs, output, arch="x64", **defines):
    command = ["wixl", "-a", arch, "-o", output]
    for name, value in defines.items():
        command += ["-D", "{}={}".format(name, value)]
    subprocess.run(command + [wxs], cwd=source_dir, check=True, capture_output=True)


@pytest.fixture(scope="session")
def built(tmp_path_factory):
    """wixl builds, each made once per session: built(key, make) -> path of the cached package."""
    cache = {}
    folder = tmp_path_factory.mktemp("built")

    def get(key, make):
        if key not in cache:
            cache[key] = str(folder / "{}.msi".format(len(cache)))
            make(cache[key])
        return cache[key]

    return get


@pytest.fixture
def sample(tmp_path, built):
    """sample(index, release, arch) -> a fresh copy of the sample package of slot 101 + index, built as the
    build builds it (wixl, then SHORT|long names)."""
    def make(index, release="10.0.15", arch="x64", copy_name=None):
        def build(path):
            wixl(SAMPLES, PACKAGES[index] + ".wxs", path, arch, Release=release, ProductVersion="80.60.52019",
                 Content="marker.txt")
            samples.give_short_names(path)
        path = str(tmp_path / "{}.msi".format(copy_name or PACKAGES[index]))
        shutil.copyfile(built(("sample", index, release, arch), build), path)
        return path
    return make


# A package shaped like the public WiX 5 authoring of the real runtime packages: DOTNETHOME "dotnet" under
# ProgramFiles6432Folder ("." under ProgramFiles64Folder, or that folder itself), the release folder below
# it, 32-bit registrations, a conditioned cmpPath component and the type-51 action for ARM64 hosts.
_REAL = """<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="*" Name="Runtime {release} (x64)" Language="1033" Version="80.60.52019" Manufacturer="Maker"
           UpgradeCode="9B6E0A4C-1D2E-4F30-8A5B-6C7D8E9F{index:04d}">
    <Package InstallerVersion="500" Compressed="yes" InstallScope="perMachine"/>
    <Media Id="1" Cabinet="a.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFiles64Folder">
        {home_open}
          <Directory Id="DOTNETHOME" Name="dotnet">
            {payload}
            <Component Id="cmpPath" Guid="9B6E0A4C-1D2E-4F30-8A5B-6C7D8E9F1001" Win64="yes">
              <RegistryValue Root="HKLM" Key="SOFTWARE\\dotnet\\path" Name="dir" Type="string" Value="[DOTNETHOME]"
                             KeyPath="yes"/>
            </Component>
            <Component Id="Registrations32" Guid="9B6E0A4C-1D2E-4F30-8A5B-6C7D8E9F1002" Win64="no">
              <RegistryValue Root="HKLM" Key="SOFTWARE\\dotnet\\Setup\\InstalledVersions\\x64" Name="InstallLocation"
                             Type="string" Value="[DOTNETHOME]" KeyPath="yes"/>
              <RegistryValue Root="HKLM" Key="SOFTWARE\\dotnet\\Setup\\InstalledVersions\\x64\\hostfxr"
                             Name="Version" Type="string" Value="{release}"/>
              <RegistryValue Root="HKLM" Name="{release}" Type="integer" Value="1"
                             Key="SOFTWARE\\dotnet\\Setup\\InstalledVersions\\x64\\sharedfx\\Microsoft.NETCore.App"/>
            </Component>
          </Directory>
        {home_close}
      </Directory>
    </Directory>
    <Feature Id="F" Level="1">
      <ComponentRef Id="Payload"/>
      <ComponentRef Id="cmpPath"/>
      <ComponentRef Id="Registrations32"/>
    </Feature>
  </Product>
</Wix>
"""
_REAL_HOST = """<Component Id="Payload" Guid="9B6E0A4C-1D2E-4F30-8A5B-6C7D8E9F2000" Win64="yes">
              <File Id="dotnet.exe" Name="dotnet.exe" Source="marker.txt" KeyPath="yes"/>
              <RegistryValue Root="HKLM" Key="SOFTWARE\\dotnet\\Setup\\InstalledVersions\\x64\\sharedhost"
                             Name="Version" Type="string" Value="{release}"/>
            </Component>"""
_REAL_VERSIONED = """<Directory Id="ROOT" Name="{root}"><Directory Id="FAMILY" Name="{family}">
              <Directory Id="RELEASE" Name="{release}">
                <Component Id="Payload" Guid="9B6E0A4C-1D2E-4F30-8A5B-6C7D8E9F200{index}" Win64="yes">
                  <File Id="Marker" Name="{marker}" Source="marker.txt" KeyPath="yes"/>
                </Component>
              </Directory></Directory></Directory>"""


def _build_real(path, index, spelling, release):
    payload = (_REAL_HOST.format(release=release) if index == 0 else
               _REAL_VERSIONED.format(root=FAMILIES[index][0], family=FAMILIES[index][1], release=release,
                                      index=index, marker=MARKERS[index]))
    home = ('<Directory Id="ProgramFiles6432Folder" Name=".">', "</Directory>") if spelling == "dot-row" else ("", "")
    text = _REAL.format(release=release, index=index, payload=payload, home_open=home[0], home_close=home[1])
    folder = os.path.dirname(path)
    wxs = path + ".wxs"
    with open(wxs, "w", encoding="utf-8") as stream:
        stream.write(text)
    shutil.copyfile(os.path.join(SAMPLES, "marker.txt"), os.path.join(folder, "marker.txt"))
    wixl(folder, wxs, path)
    samples.give_short_names(path)
    edit(path,
         "UPDATE `Component` SET `Condition` = 'NOT DOTNETHOME_NON_NATIVE_ARCHITECTURE' WHERE `Component` = 'cmpPath'",
         ("INSERT INTO `CustomAction` (`Action`, `Type`, `Source`, `Target`) VALUES (?, ?, ?, ?)",
          ("Set_DOTNETHOME_NON_NATIVE_ARCHITECTURE", 51, "DOTNETHOME", "[ProgramFiles64Folder]dotnet\\x64\\")),
         ("INSERT INTO `InstallExecuteSequence` (`Action`, `Condition`, `Sequence`) VALUES (?, ?, ?)",
          ("Set_DOTNETHOME_NON_NATIVE_ARCHITECTURE", "NATIVE_ARCHITECTURE = \"arm64\"", 990)))


@pytest.fixture
def real(tmp_path, built):
    """real(index, spelling, release) -> a fresh copy of a real-shaped package of slot 101 + index; spelling
    "dot-row" or "itself" for how ProgramFiles6432Folder is written."""
    def make(index, spelling="dot-row", release="10.0.15"):
        path = str(tmp_path / "{}.msi".format(PACKAGES[index]))
        shutil.copyfile(built(("real", index, spelling, release),
                              lambda out: _build_real(out, index, spelling, release)), path)
        return path
    return make
