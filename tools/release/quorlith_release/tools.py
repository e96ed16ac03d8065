"""The tools that make the image and read its payloads, with the versions they report, for the bill of
materials."""
import platform
import re
import shutil
import subprocess

import asn1crypto
import pefile

VERSION = re.compile(r"\b([0-9]+\.[0-9][0-9.]*)")


def reported_version(program, option="--version"):
    """The first dotted number that <program> <option> prints, or "" when it prints none or fails."""
    try:
        result = subprocess.run([program, option], capture_output=True, text=True, errors="replace")
    except OSError:
        return ""
    match = VERSION.search(result.stdout + result.stderr) if result.returncode == 0 else None
    return match.group(1).rstrip(".") if match else ""


def reading_tools():
    """What reads the payloads: this interpreter, libmsi (released with msitools, whose msiinfo reports the
    version), pefile and asn1crypto."""
    tools = [("Python", platform.python_version())]
    msiinfo = shutil.which("msiinfo")
    if msiinfo:
        tools.append(("msitools", reported_version(msiinfo)))
    tools += [("pefile", pefile.__version__), ("asn1crypto", asn1crypto.__version__)]
    return tools


def tool_list(named, programs):
    """<named>: (name, version) pairs; <programs>: (name, path) pairs whose version is asked for."""
    tools = list(named) + [(name, reported_version(path)) for name, path in programs] + reading_tools()
    return [{"type": "application", "name": name, "version": version} for name, version in tools if version]
