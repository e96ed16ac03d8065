"""The build's proof that a runtime package, once installed by default, satisfies the presence test the program
runs for its slot. A release whose packages cannot pass would ask every user without the runtime for
elevation, install, and end with 1603.

Slot tests, as the program runs them after installation:
  101 (host): HKLM\\SOFTWARE\\dotnet\\Setup\\InstalledVersions\\x64\\sharedhost, value "Version", 64-bit view,
      text of at most 99 characters that begins with a number of at least 10;
  102-104: the marker file in <Program Files>\\dotnet\\<family>\\10.0.N, N all digits and at least 15.
Every package must also be an x64 package that installs per machine."""
from __future__ import annotations

from dataclasses import dataclass

from . import layout, msi
from .versions import MIN_HOST_MAJOR, MIN_RUNTIME_PATCH, host_major, is_release_folder

HOST_KEY = "SOFTWARE\\dotnet\\Setup\\InstalledVersions\\x64\\sharedhost"
HOST_VALUE = "Version"
HOST_MAX_CHARS = 99
ROOT = "[ProgramFiles64Folder]\\dotnet\\"
FAMILIES = (None, "host\\fxr", "shared\\Microsoft.NETCore.App", "shared\\Microsoft.WindowsDesktop.App")
MARKERS = (None, "hostfxr.dll", "coreclr.dll", "PresentationFramework.dll")
# Registry table roots other than HKLM; -1 is HKLM only in a per-machine installation.
HIVES = {0: "HKCR", 1: "HKCU", 3: "HKU", -1: "HKCU"}
_NO_COMPONENT = "its component is not in the Component table"


@dataclass(frozen=True)
class Proof:
    release: str          # the release as laid down: the folder's text, or the host's Version text
    installs: str         # the marker's path or the registry value the proof found
    name: str             # ProductName ("" when missing)
    product_version: str  # ProductVersion ("" when missing)
    manufacturer: str     # Manufacturer ("" when missing)
    folder_actions: tuple  # names of the type 35/51 custom actions that set a folder, not evaluated


class ProofError(Exception):
    """str(error) is the one message, naming the file."""


def _some(items: list) -> str:
    """At most three distinct entries, for a message."""
    unique = list(dict.fromkeys(items))
    return ", ".join(unique[:3] + (["..."] if len(unique) > 3 else []))


def _is_per_machine(properties: dict) -> bool:
    all_users = properties.get("ALLUSERS", "")
    return all_users == "1" or (all_users == "2" and properties.get("MSIINSTALLPERUSER", "") != "1")


def _held(reason: str) -> str:
    return " (not installed by default: {})".format(reason)


def _prove_host(path: str, package: msi.Package, per_machine: bool) -> tuple:
    attributes = {row.key: row.attributes for row in package.components}
    holds = layout.component_holds(package)
    writes = []
    for row in package.registry:
        # Key, Name and Value are all Formatted columns.
        key = layout.format_text(row.path, package.properties).lower()
        name = layout.format_text(row.name, package.properties).lower()
        if key != HOST_KEY.lower() or name != HOST_VALUE.lower():
            continue
        value = layout.format_text(row.value, package.properties)
        # Registry table prefixes: "##" a text that starts with "#", "#%" expandable text, "#" a number or bytes.
        text = value[2:] if value.startswith(("##", "#%")) else ("" if value.startswith("#") else value)
        if not (row.root == 2 or (row.root == -1 and per_machine)):
            writes.append('"{}" under {}'.format(value, HIVES.get(row.root, "root {}".format(row.root))))
        elif not attributes.get(row.component, 0) & layout.COMPONENT_64BIT:
            writes.append('"{}" in the 32-bit view'.format(value))
        elif value.startswith("#") and not value.startswith(("##", "#%")):
            writes.append("{} (a number, not text)".format(value))
        elif len(text) > HOST_MAX_CHARS or host_major(text) < MIN_HOST_MAJOR:
            writes.append('"{}"'.format(text))
        elif holds.get(row.component, _NO_COMPONENT):
            writes.append('"{}"{}'.format(text, _held(holds.get(row.component, _NO_COMPONENT))))
        else:
            return text, "HKLM\\{}\\{}".format(HOST_KEY, HOST_VALUE)
    instead = "it writes " + _some(writes) if writes else "it writes no such value"
    raise ProofError('{} must write the value "{}" under HKLM\\{} (64-bit view) as a text that begins with a number '
                     "≥ {}; {}".format(path, HOST_VALUE, HOST_KEY, MIN_HOST_MAJOR, instead))


def _prove_versioned(path: str, package: msi.Package, index: int) -> tuple:
    family, marker = FAMILIES[index], MARKERS[index]
    root = (ROOT + family + "\\").lower()
    folders = layout.folders(package)
    holds = layout.component_holds(package)
    directory = {row.key: row.directory for row in package.components}
    places = []
    all_folders = []
    for row in package.files:
        folder = folders.get(directory.get(row.component, ""), "")
        all_folders.append(folder)
        if layout.long_name(row.name).lower() != marker.lower():
            continue
        version = folder[len(root):] if folder.lower().startswith(root) else ""
        hold = holds.get(row.component, _NO_COMPONENT)
        if is_release_folder(version) and not hold:
            return version, "{}\\{}".format(folder, marker)
        places.append(folder + (_held(hold) if is_release_folder(version) else ""))
    if places:
        instead = "it installs it in " + _some(places)
    elif all_folders:
        instead = "it installs no {}; its files go to {}".format(marker, _some(all_folders))
    else:
        instead = "it installs no files"
    raise ProofError("{} must install {} in dotnet\\{}\\10.0.N with N ≥ {}, below the 64-bit Program Files folder; "
                     "{}".format(path, marker, family, MIN_RUNTIME_PATCH, instead))


def prove_runtime_package(path: str, index: int) -> Proof:
    """Proves that the package at path, in slot 101 + index, lays down what that slot's presence test looks for
    once a default installation has run; raises ProofError with one message naming the file otherwise."""
    try:
        package = msi.read_package(path)
    except msi.PackageError as error:
        raise ProofError("Runtime package cannot be read ({}); a package the build cannot prove is not embedded: "
                         "{}".format(error, path)) from None
    properties = package.properties
    per_machine = _is_per_machine(properties)
    if package.template.split(";", 1)[0] != "x64":
        raise ProofError('{} must be an x64 package; its template is "{}"'.format(path, package.template))
    if not per_machine:
        raise ProofError('{} must install per machine (ALLUSERS 1); it installs per user (ALLUSERS "{}", '
                         'MSIINSTALLPERUSER "{}")'.format(path, properties.get("ALLUSERS", ""),
                                                          properties.get("MSIINSTALLPERUSER", "")))
    if index == 0:
        release, installs = _prove_host(path, package, per_machine)
    else:
        release, installs = _prove_versioned(path, package, index)
    return Proof(
        release=release,
        installs=installs,
        name=properties.get("ProductName", ""),
        product_version=properties.get("ProductVersion", ""),
        manufacturer=properties.get("Manufacturer", ""),
        folder_actions=layout.folder_actions(package),
    )
