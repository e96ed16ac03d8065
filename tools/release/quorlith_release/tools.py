"""The tools that read the payloads, with the versions they report, for the bill of materials."""
import platform
import shutil
import subprocess
import re

import asn1crypto
import pefile


def reading_tools():
    tools = [("Python", platform.python_version())]
    msiinfo = shutil.which("msiinfo")
    version = ""
    if msiinfo:
        result = subprocess.run([msiinfo, "--version"], capture_output=True, text=True, errors="replace")
        match = re.search(r"version ([0-9][0-9.]*)", result.stdout + result.stderr)
        version = match.group(1) if match else ""
    if version:
        tools.append(("msitools", version))   # libmsi is msitools' own library, released with it
    tools += [("pefile", pefile.__version__), ("asn1crypto", asn1crypto.__version__)]
    return [{"type": "application", "name": name, "version": version} for name, version in tools if version]
