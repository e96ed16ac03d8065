"""The build's proof that a runtime package, once installed by default, satisfies the presence test the program
runs for its slot. A release whose packages cannot pass would ask every user without the runtime for
elevation, install, and end with 1603.

Slot tests, as the program runs them after installation:
  101 (host): HKLM\\SOFTWARE\\dotnet\\Setup\\InstalledVersions\\x64\\sharedhost, value "Version", 64-bit view,
      text of at most 99 UTF-16 units that begins with a number of at least 10;
  102-104: the marker file in <Program Files>\\dotnet\\<family>\\10.0.N, N all digits and at least 15.
Every package must also be an x64 package that installs per machine. The proof reads the part of Windows
Installer that such packages use; a package that leans on more, where it could change what is laid down or
stop the installation, is refused, not guessed at."""
from __future__ import annotations

import bisect
from dataclasses import dataclass

from . import layout, msi
from .versions import MIN_HOST_MAJOR, MIN_RUNTIME_PATCH, host_major, is_release_folder

HOST_KEY = "SOFTWARE\\dotnet\\Setup\\InstalledVersions\\x64\\sharedhost"
HOST_VALUE = "Version"
HOST_MAX_UNITS = 99
ROOT = "ProgramFiles64Folder"
FAMILIES = (None, ("host", "fxr"), ("shared", "Microsoft.NETCore.App"), ("shared", "Microsoft.WindowsDesktop.App"))
MARKERS = (None, "hostfxr.dll", "coreclr.dll", "PresentationFramework.dll")
# Registry table roots other than HKLM; -1 is HKLM only in a per-machine installation.
HIVES = {0: "HKCR", 1: "HKCU", 3: "HKU", -1: "HKCU"}
_NO_COMPONENT = "its component is not in the Component table"
# Windows Installer 2.0 is the first to install x64 packages (Page Count summary property).
MIN_X64_PAGE_COUNT = 200
# Windows Installer 5.0 is the newest there is; a package that asks for a later one installs nowhere.
MAX_PAGE_COUNT = 500
MAX_FEATURE_DEPTH = 16
MAX_INSTALL_LEVEL = 32767
WORD_COUNT_COMPRESSED = 2
WORD_COUNT_ADMIN_IMAGE = 4
FILE_COMPRESSED = 16384
FILE_NONCOMPRESSED = 8192
UPGRADE_ONLY_DETECT = 2
# Properties that choose features in place of INSTALLLEVEL (ADVERTISE property remarks, in the order read), and
# Preselected, which the installer sets beside them and which turns the Condition table off.
FEATURE_STATE = ("ADDLOCAL", "REMOVE", "ADDSOURCE", "ADDDEFAULT", "REINSTALL", "ADVERTISE", "COMPADDLOCAL",
                 "COMPADDSOURCE", "COMPADDDEFAULT", "FILEADDLOCAL", "FILEADDSOURCE", "FILEADDDEFAULT", "Preselected")
# Properties the proof reads from the Property table as they stand; one set at install time voids it.
RELIED_ON = ("INSTALLLEVEL", "ALLUSERS", "MSIINSTALLPERUSER", "SHORTFILENAMES", "EXECUTEMODE") + FEATURE_STATE
_SET_PROPERTY = 51
_ERROR = 19  # custom action base type: shows its text and ends the installation as a failure


@dataclass(frozen=True)
class Proof:
    release: str          # the release as laid down: the folder's text, or the host's Version text
    installs: str         # the marker's path or the registry value the proof found
    name: str             # ProductName ("" when missing)
    product_version: str  # ProductVersion ("" when missing)
    manufacturer: str     # Manufacturer ("" when missing)
    folder_actions: tuple  # names of the type 35/51 custom actions that set a folder, not evaluated
    upgrade_code: str = ""   # UpgradeCode, upper case
    removes: tuple = ()      # UpgradeCodes, upper case, of the products the package removes when it installs


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


def _outside(path: str, what: str) -> ProofError:
    return ProofError("{} uses what the build does not prove: {}".format(path, what))


def _feature_problem(package: msi.Package) -> str:
    parents = {row.key: row.parent for row in package.features}
    for key, parent in parents.items():
        if parent == key:
            return "Feature row {} is its own parent".format(key)
        depth, seen, at = 1, {key}, parent
        # Walks no further than one step past the deepest tree allowed, so a long chain costs no more.
        while at in parents and at and depth <= MAX_FEATURE_DEPTH:
            if at in seen:
                return "Feature row {} is in a loop of parents".format(key)
            seen.add(at)
            depth += 1
            at = parents[at]
        if depth > MAX_FEATURE_DEPTH:
            return "Feature row {} is nested {} deep; Windows Installer allows {}".format(key, depth,
                                                                                     MAX_FEATURE_DEPTH)
    return ""


def _medium(media: list, last: list, sequence: int):
    """The Media row a file's Sequence falls on: the first whose LastSequence reaches it (media sorted by it,
    last their LastSequence values)."""
    at = bisect.bisect_left(last, sequence)
    return media[at] if at < len(media) else None


def _file_problem(package: msi.Package) -> str:
    media = sorted(package.media, key=lambda medium: medium.last_sequence)
    last = [medium.last_sequence for medium in media]
    for row in package.files:
        for name in row.name.split("|", 1):
            if layout.bad_name(name):
                return 'File row {} has the name "{}", which Windows cannot create'.format(row.key, row.name)
        compressed = row.attributes & FILE_COMPRESSED or (package.summary.word_count & WORD_COUNT_COMPRESSED and
                                                          not row.attributes & FILE_NONCOMPRESSED)
        if not compressed:
            return ("File row {} is read from an uncompressed source beside the package (Word Count {}, File "
                    "Attributes {}), and the package travels alone".format(row.key, package.summary.word_count,
                                                                           row.attributes))
        medium = _medium(media, last, row.sequence)
        if medium is None:
            return "File row {} has the Sequence {}, which no Media row reaches".format(row.key, row.sequence)
        if not medium.cabinet.startswith("#"):
            return ('File row {} is in the cabinet "{}" of Media row {}, not in one the package holds, and the '
                    "package travels alone".format(row.key, medium.cabinet, medium.disk))
        if medium.cabinet[1:] not in package.streams:
            return ('File row {} is in the cabinet "{}" of Media row {}, which is not a stream of the '
                    "package".format(row.key, medium.cabinet, medium.disk))
        held = package.cabinets[medium.cabinet[1:]]
        if held.problem:
            return 'the cabinet "{}" of Media row {} cannot be read: {}'.format(medium.cabinet, medium.disk,
                                                                                held.problem)
        if row.key not in held.names:
            return 'File row {} is not in the cabinet "{}" of Media row {}'.format(row.key, medium.cabinet,
                                                                                  medium.disk)
    return ""


# The actions that resolve the folders and open the script, in their order, before the one that lays the marker down;
# InstallFinalize closes the script after it.
_BEFORE_MARKER = ("CostInitialize", "FileCost", "CostFinalize", "InstallValidate", "InstallInitialize")


def _sequence_problem(package: msi.Package, index: int) -> str:
    """The action that lays the slot's marker down must run whatever the conditions: sequenced, unconditioned, and
    in its place between the actions it needs."""
    needed = "WriteRegistryValues" if index == 0 else "InstallFiles"
    steps = {step.action: step for step in package.execute_sequence}
    order = _BEFORE_MARKER + (needed, "InstallFinalize")
    for name in order:
        step = steps.get(name)
        if step is None:
            return "its InstallExecuteSequence has no {} action".format(name)
        if step.sequence <= 0:
            # 0 and NULL never run; -1 to -4 run, if at all, only once the installation has ended.
            return "its InstallExecuteSequence gives {} the Sequence {}, so it never runs".format(name, step.sequence)
        if step.condition.strip():
            return 'its InstallExecuteSequence runs {} only under the condition "{}"'.format(name, step.condition)
    for earlier, later in zip(order, order[1:]):
        if steps[earlier].sequence >= steps[later].sequence:
            return "its InstallExecuteSequence runs {} (Sequence {}) no later than {} (Sequence {})".format(
                later, steps[later].sequence, earlier, steps[earlier].sequence)
    return ""


def _found_into(package: msi.Package, names) -> str:
    """The first Upgrade row whose ActionProperty, which FindRelatedProducts sets, is one of the names."""
    for row in package.upgrades:
        if row.action_property in names:
            return "Upgrade row {} has FindRelatedProducts set {} at install time".format(row.upgrade_code,
                                                                                       row.action_property)
    return ""


def _set_at_install(package: msi.Package, names) -> str:
    """The first custom action of type 51, AppSearch row or Upgrade row that sets one of the named properties."""
    for action in package.custom_actions:
        if action.type & 0x3F == _SET_PROPERTY and action.source in names:
            return "CustomAction row {} (type 51) sets {} at install time".format(action.action, action.source)
    for name in package.searched:
        if name in names:
            return "AppSearch sets {} at install time".format(name)
    return _found_into(package, names)


def _subset_problem(package: msi.Package) -> str:
    """What the package uses beyond the part of Windows Installer the proof reads, where it could change what is
    laid down, or stop the installation; "" when nothing."""
    properties = package.properties
    if package.summary.page_count < MIN_X64_PAGE_COUNT:
        return "its summary information gives Page Count {}; an x64 package needs {} or more".format(
            package.summary.page_count, MIN_X64_PAGE_COUNT)
    if package.summary.word_count & WORD_COUNT_ADMIN_IMAGE:
        return ("its summary information gives Word Count {}: an administrative image, whose files lie uncompressed "
                "beside it, and the package travels alone".format(package.summary.word_count))
    if package.summary.page_count > MAX_PAGE_COUNT:
        return ("its summary information gives Page Count {}, a Windows Installer later than 5.0, which no Windows "
                "has".format(package.summary.page_count))
    level = properties.get("INSTALLLEVEL", "1")
    # Five digits at most before it is read as a number: a longer text would cost int() its limit.
    if not (level.isascii() and level.isdigit() and len(level) <= 5 and 1 <= int(level) <= MAX_INSTALL_LEVEL):
        return 'the Property table sets INSTALLLEVEL ("{}"), which is not a level from 1 to {}'.format(
            level, MAX_INSTALL_LEVEL)
    for name in FEATURE_STATE:
        if name in properties:
            return 'the Property table sets {} ("{}"), which chooses the features in place of INSTALLLEVEL'.format(
                name, properties[name])
    if "SHORTFILENAMES" in properties:
        return ('the Property table sets SHORTFILENAMES ("{}"): folders are made with their short '
                "names".format(properties["SHORTFILENAMES"]))
    # Windows Installer reads only the first letter, in any case; "None" runs the installation but changes nothing.
    mode = properties.get("EXECUTEMODE", "S")
    if mode[:1] not in ("S", "s"):
        return 'the Property table sets EXECUTEMODE ("{}"): only "Script" makes changes to the system'.format(mode)
    roots = [row.key for row in package.directories if row.parent in ("", row.key)]
    if roots != ["TARGETDIR"]:
        # Windows Installer resolves every folder from the one root TARGETDIR.
        return "its Directory table has the roots {}, not TARGETDIR alone".format(_some(roots) or "(none)")
    folder_keys = {row.key for row in package.directories}
    for component in package.components:
        # Costing resolves each component's folder, a registry-only one too; a missing one fails the installation.
        if component.directory not in folder_keys:
            return "Component row {} names the Directory {}, which is not in the Directory table".format(
                component.key, component.directory or "(none)")
    searched = [name for name in package.searched if name in folder_keys]
    if searched:
        # Unlike a folder action, a search is not listed among the unevaluated actions: refused instead.
        return "AppSearch sets the folder {} at install time".format(searched[0])
    found = _found_into(package, folder_keys)
    if found:
        return found + ", a folder"
    return (_feature_problem(package) or _file_problem(package) or _set_at_install(package, RELIED_ON)
            or _error_problem(package) or _takes_away(package, _is_per_machine(properties)))


def _in_dotnet(folder: layout.Folder) -> bool:
    """Whether the folder may be where a runtime package lays its marker: below <64-bit Program Files>\\dotnet, or
    one the build cannot place."""
    if folder.problem or folder.property:
        return True
    return folder.root == ROOT and bool(folder.names) and layout.same_name(folder.names[0], "dotnet")


def _takes_away(package: msi.Package, per_machine: bool) -> str:
    """A row that, as its component installs, removes or moves files where the runtime packages lay their markers,
    or removes the host's value or a key above it: this package's own, or one another package of the bundle laid
    down before it."""
    holds = layout.component_holds(package)
    folders = layout.folders(package)
    unplaced = layout.Folder("", "", "", (), "no Directory row")
    for table, rows in (("RemoveFile", package.file_removals), ("MoveFile", package.file_moves)):
        for row in rows:
            # RemoveFile InstallMode 1 and 3 act on install; MoveFile Options 1 moves rather than copies.
            if holds.get(row.component, _NO_COMPONENT) or not row.mode & 1:
                continue
            folder = folders.get(row.folder, unplaced)
            if _in_dotnet(folder):
                return '{} row {} takes "{}" away from {} as it installs, where the runtime markers lie'.format(
                    table, row.key, row.name, layout.show(folder) if row.folder in folders else row.folder)
    folder_keys = frozenset(folders)
    for row in package.registry_removals:
        if holds.get(row.component, _NO_COMPONENT) or not (row.root == 2 or (row.root == -1 and per_machine)):
            continue
        key = layout.format_text(row.path, package.properties, folder_keys)
        name = layout.format_text(row.name, package.properties, folder_keys)
        text = key.text.rstrip("\\")
        whole = name.text == "-"   # "-" removes the key with everything below it
        size = len(text)
        host = layout.same_name(text, HOST_KEY) and (whole or layout.same_name(name.text, HOST_VALUE))
        above = whole and HOST_KEY[size:size + 1] == "\\" and layout.same_name(text, HOST_KEY[:size])
        if key.unread or name.unread or host or above:
            what = "the key" if whole else 'the value "{}" of'.format(name.text)
            return ("RemoveRegistry row {} removes {} HKLM\\{} as it installs, which may take the host's value "
                    "away".format(row.key, what, key.text))
    return ""


def _error_problem(package: msi.Package) -> str:
    """A type 19 custom action the InstallExecuteSequence runs without a condition fails every installation;
    ForceReboot there restarts Windows in its middle, at once when there is no user interface."""
    errors = {action.action for action in package.custom_actions if action.type & 0x3F == _ERROR}
    for step in package.execute_sequence:
        if step.sequence <= 0 or step.condition.strip():
            continue
        if step.action in errors:
            return ("CustomAction row {} (type 19) is in the InstallExecuteSequence without a condition, so every "
                    "installation ends with its error".format(step.action))
        if step.action == "ForceReboot":
            return ("its InstallExecuteSequence runs ForceReboot without a condition, which restarts Windows in the "
                    "middle of every installation")
    return ""


def _units(text: str) -> int:
    return len(text.encode("utf-16-le", "surrogatepass")) // 2


def _prove_host(path: str, package: msi.Package, per_machine: bool) -> tuple:
    attributes = {row.key: row.attributes for row in package.components}
    holds = layout.component_holds(package)
    folder_keys = frozenset(row.key for row in package.directories)
    properties = package.properties
    writes = []
    writers = []
    found = []
    used = set()
    for row in package.registry:
        hold = holds.get(row.component, _NO_COMPONENT)
        hklm = row.root == 2 or (row.root == -1 and per_machine)
        view64 = bool(attributes.get(row.component, 0) & layout.COMPONENT_64BIT)
        # Key, Name and Value are all Formatted columns.
        key = layout.format_text(row.path, properties, folder_keys)
        name = layout.format_text(row.name, properties, folder_keys)
        if key.unread or name.unread:
            if hold or not (hklm and view64):
                continue
            raise _outside(path, "Registry row {} writes under a Key or Name that holds {}, which the build cannot "
                                 "read, so it may write the value the host's test reads".format(
                                     row.key, _some(list(key.unread + name.unread))))
        if not hold and hklm and view64:
            # A property set at install time could make this row the host value.
            used.update(key.used + name.used)
        if not (layout.same_name(key.text, HOST_KEY) and layout.same_name(name.text, HOST_VALUE)):
            continue
        formatted = layout.format_text(row.value, properties, folder_keys)
        used.update(formatted.used)
        value = formatted.text
        # Registry table prefixes: "##" a text, stored without its first "#" only; "#%" expandable text; "#" a
        # number or bytes.
        text = value[1:] if value.startswith("##") else value[2:] if value.startswith("#%") else (
            "" if value.startswith("#") else value)
        if not hklm:
            writes.append('"{}" under {}'.format(value, HIVES.get(row.root, "root {}".format(row.root))))
            continue
        if not view64:
            writes.append('"{}" in the 32-bit view'.format(value))
            continue
        if not hold:
            writers.append(row)
        if formatted.unread:
            writes.append('"{}" (the build cannot read {})'.format(value, _some(list(formatted.unread))))
        elif value.startswith("#") and not value.startswith(("##", "#%")):
            writes.append("{} (a number, not text)".format(value))
        elif _units(text) > HOST_MAX_UNITS:
            writes.append('"{}" ({} UTF-16 units; the test reads {})'.format(text, _units(text), HOST_MAX_UNITS))
        elif host_major(text) < MIN_HOST_MAJOR:
            writes.append('"{}"'.format(text))
        elif hold:
            writes.append('"{}"{}'.format(text, _held(hold)))
        else:
            found.append(text)
    if len(writers) > 1:
        raise _outside(path, "Registry rows {} all write the value the host's test reads, in an order Windows "
                             "Installer does not state".format(_some([row.key for row in writers])))
    late = _set_at_install(package, used)
    if late:
        raise _outside(path, late + ", which the host's value or where it is written is made of")
    if found:
        return found[0], "HKLM\\{}\\{}".format(HOST_KEY, HOST_VALUE)
    instead = "it writes " + _some(writes) if writes else "it writes no such value"
    raise ProofError('{} must write the value "{}" under HKLM\\{} (64-bit view) as a text that begins with a number '
                     "≥ {}; {}".format(path, HOST_VALUE, HOST_KEY, MIN_HOST_MAJOR, instead))


def _release_of(folder: layout.Folder, family: tuple) -> str:
    """The version folder's name when the folder is <64-bit Program Files>\\dotnet\\<family>\\<one name>, else ""."""
    wanted = ("dotnet",) + family
    if folder.problem or folder.property or folder.root != ROOT or len(folder.names) != len(wanted) + 1:
        return ""
    if not all(layout.same_name(name, want) for name, want in zip(folder.names, wanted)):
        return ""
    return folder.names[-1]


def _prove_versioned(path: str, package: msi.Package, index: int) -> tuple:
    family, marker = FAMILIES[index], MARKERS[index]
    folders = layout.folders(package)
    holds = layout.component_holds(package)
    directory = {row.key: row.directory for row in package.components}
    places = []
    all_folders = []
    for row in package.files:
        key = directory.get(row.component, "")
        folder = folders.get(key, layout.Folder("", "", "", (), "Directory row {} is missing".format(key)))
        shown = layout.show(folder)
        all_folders.append(shown)
        if not layout.same_name(layout.file_name(row.name), marker):
            continue
        version = _release_of(folder, family)
        hold = holds.get(row.component, _NO_COMPONENT)
        if is_release_folder(version) and not hold:
            return version, "{}\\{}".format(shown, marker)
        places.append(shown + (_held(hold) if is_release_folder(version) else ""))
    if places:
        instead = "it installs it in " + _some(places)
    elif all_folders:
        instead = "it installs no {}; its files go to {}".format(marker, _some(all_folders))
    else:
        instead = "it installs no files"
    raise ProofError("{} must install {} in dotnet\\{}\\10.0.N with N ≥ {}, below the 64-bit Program Files folder; "
                     "{}".format(path, marker, "\\".join(family), MIN_RUNTIME_PATCH, instead))


def _removes(package: msi.Package) -> tuple:
    """UpgradeCodes of the products a major upgrade removes: Upgrade rows that do more than detect, once both
    FindRelatedProducts and RemoveExistingProducts are sequenced (their conditions not evaluated)."""
    if not {"FindRelatedProducts", "RemoveExistingProducts"} <= {step.action for step in package.execute_sequence}:
        return ()
    return tuple(layout.windows_upper(row.upgrade_code) for row in package.upgrades
                 if not row.attributes & UPGRADE_ONLY_DETECT)


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
    problem = _subset_problem(package) or _sequence_problem(package, index)
    if problem:
        raise _outside(path, problem)
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
        upgrade_code=layout.windows_upper(properties.get("UpgradeCode", "")),
        removes=_removes(package),
    )


def check_removals(proven: list) -> None:
    """Refuses a bundle in which one runtime package removes another when it installs; proven is a list of
    (path, Proof) in slot order."""
    for path, proof in proven:
        for other_path, other in proven:
            if other_path != path and other.upgrade_code and other.upgrade_code in proof.removes:
                raise _outside(path, "its Upgrade table names the UpgradeCode {} of {}, with FindRelatedProducts "
                                     "and RemoveExistingProducts sequenced, so installing it removes that "
                                     "package".format(other.upgrade_code, other_path))
