"""What Windows Installer lays down from a package's static tables: folders, formatted values, the components
a default installation installs, and the custom actions that would move a folder (listed, not evaluated)."""
from __future__ import annotations

import re
from dataclasses import dataclass

from .msi import Package

# Component attribute: the component goes to the 64-bit locations (registry view and folders).
COMPONENT_64BIT = 256
# Component attribute: the component runs from the source, nothing is copied.
COMPONENT_SOURCE_ONLY = 1
# Feature attributes under which a default installation does not copy the feature's files: FollowParent is left
# out of the modelled subset rather than followed.
_FEATURE_NOT_LOCAL = ((1, "FavorSource"), (2, "FollowParent"), (4, "FavorAdvertise"))
_MAX_DEPTH = 64
# Folders Windows Installer sets itself (System Folder Properties): a Directory row of that key is that folder,
# wherever the table puts it.
SYSTEM_FOLDERS = frozenset((
    "AdminToolsFolder", "AppDataFolder", "CommonAppDataFolder", "CommonFiles64Folder", "CommonFilesFolder",
    "DesktopFolder", "FavoritesFolder", "FontsFolder", "LocalAppDataFolder", "MyPicturesFolder", "NetHoodFolder",
    "PersonalFolder", "PrintHoodFolder", "ProgramFiles64Folder", "ProgramFilesFolder", "ProgramMenuFolder",
    "RecentFolder", "SendToFolder", "StartMenuFolder", "StartupFolder", "System16Folder", "System64Folder",
    "SystemFolder", "TempFolder", "TemplateFolder", "WindowsFolder", "WindowsVolume"))
_PROPERTY_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_.]*\Z")
_BRACKET = re.compile(r"[\[\]]")
_NAME_CHARS = re.compile(r"[A-Za-z0-9_.]*\Z")
# References kept for a message; the first one already says the text cannot be read.
_MAX_UNREAD = 8
# Custom action base types that set a directory (35) or a property (51) from a formatted text.
_SET_DIRECTORY = 35
_SET_PROPERTY = 51


# Characters no Windows file or folder name holds; "|" only as the short and long names' separator.
_NOT_IN_NAMES = set('\\/:*?"<>|') | {chr(code) for code in range(32)}


def long_name(default_dir: str) -> str:
    """The target's long name of a "[SHORT|]long[:source]" Directory name."""
    target = default_dir.split(":", 1)[0]
    return target.split("|", 1)[-1]


def file_name(name: str) -> str:
    """The long name of a "[SHORT|]long" File name; a File name has no source part, so ":" stays in it."""
    return name.split("|", 1)[-1]


def bad_name(name: str) -> bool:
    """Whether Windows cannot create a file or folder of this (long or short) name."""
    return name == "" or any(char in _NOT_IN_NAMES for char in name)


def windows_upper(text: str) -> str:
    """The text as Windows compares names without regard to case: each UTF-16 code unit upper-cased on its own.
    A unit whose upper case is not one unit stays; so does one that would become ASCII from outside it (the
    dotless i, the long s), so such a name never reads as an ASCII one."""
    units = text.encode("utf-16-le", "surrogatepass")
    out = []
    for at in range(0, len(units), 2):
        char = chr(units[at] | units[at + 1] << 8)
        upper = char.upper() if not 0xD800 <= ord(char) < 0xE000 else char
        if len(upper) != 1 or ord(upper) > 0xFFFF or (upper.isascii() and not char.isascii()):
            upper = char
        out.append(upper)
    return "".join(out)


def same_name(one: str, other: str) -> bool:
    # Upper-casing keeps each unit one unit, so names of other lengths never match; ASCII needs no table.
    if len(one) != len(other):
        return False
    if one.isascii() and other.isascii():
        return one.upper() == other.upper()
    return windows_upper(one) == windows_upper(other)


@dataclass(frozen=True)
class Folder:
    """Where a Directory row's folder lands: below the folder of the Directory key `root`, or below the literal
    text of the Property row `property` (Windows takes that text as it stands, brackets and all)."""
    root: str          # a root Directory key, "" when a Property row's text stands at the top
    property: str      # the Property row whose value replaces a folder on the way up, or ""
    literal: str       # that Property row's value, trailing backslashes dropped
    names: tuple       # long names below, outermost first
    problem: str = ""  # why no folder is laid down, or ""


def show(folder: Folder) -> str:
    """The folder for a message or the manifest: "[Root]\\a\\b", or a Property's text with its name after it."""
    if folder.problem:
        return "(no folder: {})".format(folder.problem)
    if folder.property:
        return "\\".join((folder.literal,) + folder.names) + " (Property {} as literal text)".format(folder.property)
    return "\\".join(("[{}]".format(folder.root),) + folder.names)


def folders(package: Package) -> dict:
    """Each Directory key's Folder, long names taken; a Property row named after a directory on the way up
    replaces that folder and everything below it."""
    rows = {row.key: row for row in package.directories}
    resolved = {}
    for key in rows:
        parts = []
        at = key
        folder = None
        for _ in range(_MAX_DEPTH):
            row = rows.get(at)
            if at in package.properties and at != "TARGETDIR":
                folder = Folder("", at, package.properties[at].rstrip("\\"), ())
                break
            if at == "TARGETDIR" or at in SYSTEM_FOLDERS:
                folder = Folder(at, "", "", ())
                break
            if row is None or row.parent in ("", "TARGETDIR", at):
                folder = Folder(at, "", "", ())
                break
            name = long_name(row.default_dir)
            if bad_name(name):
                folder = Folder("", "", "", (), 'Directory row {} has the name "{}"'.format(at, name))
                break
            if name != ".":
                parts.append(name)
            at = row.parent
        else:
            # Windows Installer cannot resolve a chain that loops; nothing is laid down there.
            folder = Folder("", "", "", (), "the Directory chain of {} loops".format(key))
        if not folder.problem:
            folder = Folder(folder.root, folder.property, folder.literal, tuple(parts[::-1]))
        resolved[key] = folder
    return resolved


@dataclass(frozen=True)
class Formatted:
    text: str          # references the build cannot read stay as written
    unread: tuple      # those references, "[#file]", "[DOTNETDIR]", ...
    used: tuple        # the names of the Property rows read


def format_text(text: str, properties: dict, folder_keys=frozenset()) -> Formatted:
    """A Formatted value as Windows Installer resolves it, innermost reference first: "[NAME]" is a Property row's
    value and "[\\x]" is x. A name with no Property row, a Directory key (Windows puts the folder's path there),
    and [#file], [$component], [%variable], [~] are not read; they stay as written and are listed in unread."""
    if "[" not in text:
        return Formatted(text, (), ())
    # One flat list of pieces and, for each "[" still open, its index there and whether everything since it may
    # still be a property name: text between brackets is copied once, and a deep nest of references that stay
    # costs no more than its length.
    out = []
    opens = []
    unread = []
    used = []

    def added(piece: str) -> None:
        out.append(piece)
        if opens and opens[-1][1] and not _NAME_CHARS.match(piece):
            opens[-1] = (opens[-1][0], False)

    at = 0
    while True:
        found = _BRACKET.search(text, at)
        if found is None:
            break
        start = found.start()
        if start > at:
            added(text[at:start])
        at = start + 1
        if text[start] == "[" and text[start + 1:start + 2] == "\\" and text[start + 3:start + 4] == "]":
            added(text[start + 2])
            at = start + 4
        elif text[start] == "[":
            opens.append((len(out), True))
            out.append("[")
        elif opens:
            begin, plain = opens.pop()
            inner = "".join(out[begin + 1:]) if plain else ""
            if plain and _PROPERTY_NAME.match(inner) and inner in properties and inner not in folder_keys:
                del out[begin:]
                added(properties[inner])
                used.append(inner)
            else:
                if len(unread) < _MAX_UNREAD:
                    unread.append("".join(out[begin:]) + "]")
                added("]")
        else:
            added("]")
    if at < len(text):
        added(text[at:])
    # Brackets never closed stay as they were written.
    return Formatted("".join(out), tuple(unread), tuple(used))


@dataclass(frozen=True)
class Hold:
    """Why a component does not install at the default INSTALLLEVEL; reason is "" when it does."""
    component: str
    reason: str


def install_level(package: Package) -> int:
    text = package.properties.get("INSTALLLEVEL", "")
    return int(text) if text.isascii() and text.isdigit() and int(text) > 0 else 1


def component_holds(package: Package) -> dict:
    """For each component, the reason a default installation leaves it out ("" when it installs it): no feature
    at a level from 1 to INSTALLLEVEL (with its parents) installs it locally, or it has a Condition of its own,
    or it runs from the source only. A feature installs locally when its Attributes favour neither the source,
    nor advertising, nor its parent's state, and no Condition table row may move it outside those levels."""
    level = install_level(package)
    features = {row.key: row for row in package.features}
    moves = {}
    for row in package.conditions:
        if not 1 <= row.level <= level:
            moves.setdefault(row.feature, row)

    def feature_hold(key: str) -> str:
        seen = set()
        while key and key not in seen:
            seen.add(key)
            row = features.get(key)
            if row is None:
                return "feature {} is not in the Feature table".format(key)
            if not 1 <= row.level <= level:
                return "feature {} is at level {} (INSTALLLEVEL {})".format(key, row.level, level)
            kinds = [name for bit, name in _FEATURE_NOT_LOCAL if row.attributes & bit]
            if kinds:
                return "feature {} has the Attributes {} ({})".format(key, row.attributes, ", ".join(kinds))
            if key in moves:
                return 'the Condition table may set feature {} to level {} (condition "{}")'.format(
                    key, moves[key].level, moves[key].condition)
            key = row.parent
        return ""

    owners_of = {}
    for row in package.feature_components:
        owners_of.setdefault(row.component, []).append(row.feature)
    holds = {}
    for component in package.components:
        owners = owners_of.get(component.key, [])
        reasons = [feature_hold(feature) for feature in owners]
        if component.condition.strip():
            reason = "its component has the Condition \"{}\"".format(component.condition)
        elif component.attributes & COMPONENT_SOURCE_ONLY:
            reason = "its component has the Attributes {} (SourceOnly)".format(component.attributes)
        elif not owners:
            reason = "its component is in no feature"
        elif all(reasons):
            reason = "; ".join(reasons)
        else:
            reason = ""
        holds[component.key] = reason
    return holds


def folder_actions(package: Package) -> tuple:
    """Names of the custom actions that would set a folder at install time (type 35, or 51 on a Directory key)."""
    keys = {row.key for row in package.directories}
    names = []
    for action in package.custom_actions:
        base = action.type & 0x3F
        if base == _SET_DIRECTORY or (base == _SET_PROPERTY and action.source in keys):
            names.append(action.action)
    return tuple(names)
