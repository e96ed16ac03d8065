"""The sample packages' short names and packed ProductVersion."""
import pytest
from conftest import SAMPLES, wixl

from quorlith_release import msi, samples


@pytest.mark.parametrize("name, short", [
    ("dotnet", None), ("hostfxr.dll", None), ("coreclr.dll", None), ("10.0.15", "100~1.15"),
    ("Microsoft.NETCore.App", "MICROS~1.APP"), ("PresentationFramework.dll", "PRESEN~1.DLL"),
    ("dotnet-host.exe", "DOTNET~1.EXE"), ("a b", "AB~1"), ("abcdefghi", "ABCDEF~1"),
], ids=lambda value: str(value))
def test_short_name(name, short):
    assert samples.is_short_name(name) == (short is None)
    if short:
        assert samples.short_name(name) == short


def test_package_gets_short_names(tmp_path):
    path = str(tmp_path / "runtime.msi")
    wixl(SAMPLES, "dotnet-runtime.wxs", path, Release="10.0.15", ProductVersion="80.60.52019", Content="marker.txt")
    assert samples.give_short_names(path) == 2
    package = msi.read_package(path)
    assert sorted(row.default_dir for row in package.directories) == [
        ".", "100~1.15|10.0.15", "MICROS~1.APP|Microsoft.NETCore.App", "SourceDir", "dotnet", "shared"]
    assert samples.give_short_names(path) == 0


@pytest.mark.parametrize("release, text", [
    ("10.0.15", "80.60.52019"), ("10.0.14", "80.56.52019"), ("10.0.10", "80.40.52019"), ("8.0.30", "64.120.52019"),
], ids=["10.0.15", "10.0.14", "10.0.10", "8.0.30"])
def test_packed_version(release, text):
    assert samples.packed_version(release) == text


def test_packing_fields():
    # The build number's bits 12-13 land in the second field: the same release reads 80.60.x or 80.61.x.
    assert samples.version_text(samples.pack_version(10, 0, 15, 0x1000, 0)) == "80.61.0"
    assert samples.version_text(samples.pack_version(10, 0, 15, 0x4000 | 7, 0x13)) == "80.60.115"
