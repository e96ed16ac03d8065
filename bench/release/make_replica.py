"""Builds a package shaped like the real core runtime package at its size, for measuring the release tool's
package reading: 900 files of random content (60 MB in all) in dotnet\\shared\\Microsoft.NETCore.App\\10.0.15,
coreclr.dll among them, one component each, through wixl.

    python3 bench/release/make_replica.py <out.msi> [files] [total bytes]"""
import os
import subprocess
import sys
import tempfile
from xml.sax.saxutils import quoteattr

_HEAD = """<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="*" Name="Replica runtime - 10.0.15 (x64)" Language="1033" Version="80.60.52019" Manufacturer="Maker"
           UpgradeCode="9B6E0A4C-1D2E-4F30-8A5B-6C7D8E9F0900">
    <Package InstallerVersion="500" Compressed="yes" InstallScope="perMachine"/>
    <Media Id="1" Cabinet="a.cab" EmbedCab="yes"/>
    <Directory Id="TARGETDIR" Name="SourceDir"><Directory Id="ProgramFiles64Folder"><Directory Id="DOTNETHOME"
      Name="dotnet"><Directory Id="SHARED" Name="shared"><Directory Id="FAMILY" Name="Microsoft.NETCore.App">
      <Directory Id="RELEASE" Name="10.0.15">
"""
_TAIL = """      </Directory></Directory></Directory></Directory></Directory></Directory>
    <Feature Id="F" Level="1">{refs}</Feature>
  </Product>
</Wix>
"""


def main(argv):
    out = os.path.abspath(argv[0])
    count = int(argv[1]) if len(argv) > 1 else 900
    total = int(argv[2]) if len(argv) > 2 else 60_000_000
    with tempfile.TemporaryDirectory() as folder:
        parts = [_HEAD]
        refs = []
        for at in range(count):
            name = "coreclr.dll" if at == 0 else "System.Replica.{:04d}.dll".format(at)
            with open(os.path.join(folder, "f{}".format(at)), "wb") as stream:
                stream.write(os.urandom(total // count))
            parts.append('<Component Id="C{0}" Guid="9B6E0A4C-1D2E-4F30-8A5B-{0:012d}" Win64="yes"><File Id="F{0}" '
                         'Name={1} Source="f{0}" KeyPath="yes"/></Component>\n'.format(at, quoteattr(name)))
            refs.append('<ComponentRef Id="C{}"/>'.format(at))
        parts.append(_TAIL.format(refs="".join(refs)))
        with open(os.path.join(folder, "replica.wxs"), "w", encoding="utf-8") as stream:
            stream.write("".join(parts))
        subprocess.run(["wixl", "-a", "x64", "-o", out, "replica.wxs"], cwd=folder, check=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
