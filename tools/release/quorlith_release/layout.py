"""What Windows Installer lays down from a package's static tables: folders, formatted values, the components
a default installation installs, and the custom actions that would move a folder (listed, not evaluated)."""
from __future__ import annotations

import re
from dataclasses import dataclass

from .msi import Package

# Component attribute: the component goes to the 64-bit locations (registry view and folders).
COMPONENT_64BIT = 256
_MAX_DEPTH = 64
_PROPERTY_NAME = re.compile(r"[A-Za-z_][A-Za-z0-9_.]*\Z")
_NAME_CHARS = re.compile(r"[A-Za-z0-9_.]*\Z")
_BRACKET = re.compile(r"[\[\]]")
# Custom action base types that set a directory (35) or a property (51) from a formatted text.
_SET_DIRECTORY = 35
_SET_PROPERTY = 51


def long_name(default_dir: str) -> str:
    """The target's long name of a "[SHORT|]long[:source]" Directory or File name."""
    target = default_dir.split(":", 1)[0]
    return target.split("|", 1)[-1]


def folders(package: Package) -> dict:
    """Each Directory key's folder: "[Root]\\long\\names", or a Property row's value where one is named after a
    directory on the way up (it replaces that folder and everything below it)."""
    rows = {row.key: row for row in package.directories}
    resolved = {}
    for key in rows:
        parts = []
        at = key
        folder = ""
        for _ in range(_MAX_DEPTH):
            row = rows.get(at)
            if at in package.properties and at != "TARGETDIR":
                folder = package.properties[at].rstrip("\\")
                break
            if at == "TARGETDIR":
                break
            if row is None or row.parent in ("", "TARGETDIR", at):
                folder = "[{}]".format(at)
                break
            name = long_name(row.default_dir)
            if name != ".":
                parts.append(name)
            at = row.parent
        else:
            # Windows Installer cannot resolve a chain that loops; nothing is laid down there.
            resolved[key] = "(no folder: the Directory chain of {} loops)".format(key)
            continue
        resolved[key] = "\\".join([folder] + parts[::-1]) if parts else folder
    return resolved


def format_text(text: str, properties: dict) -> str:
    """A Formatted value as Windows Installer resolves it, innermost reference first: "[NAME]" is the property's
    value (blank when unknown), "[\\x]" is x, other references ([#file], [$component], [%variable], [~]) stay."""
    if "[" not in text:
        return text
    # One flat list of pieces and the index of each open "[" in it, so text between brackets is copied once and
    # a deep nest of references that stay costs no more than its length.
    out = []
    opens = []        # (index of the "[" piece, whether everything since it may still be a property name)
    at = 0
    for match in _BRACKET.finditer(text):
        if match.start() < at:
            continue
        if match.start() > at:
            piece = text[at:match.start()]
            out.append(piece)
            if opens and opens[-1][1] and not _NAME_CHARS.match(piece):
                opens[-1] = (opens[-1][0], False)
        at = match.end()
        if match.group() == "[" and text[at:at + 1] == "\\" and text[at + 2:at + 3] == "]":
            out.append(text[at + 1])
            if opens and opens[-1][1] and not _NAME_CHARS.match(text[at + 1]):
                opens[-1] = (opens[-1][0], False)
            at += 3
        elif match.group() == "[":
            opens.append((len(out), True))
            out.append("[")
        elif opens:
            start, plain = opens.pop()
            inner = "".join(out[start + 1:]) if plain else ""
            if plain and _PROPERTY_NAME.match(inner):
                del out[start:]
                value = properties.get(inner, "")
                out.append(value)
                if opens and opens[-1][1] and not _NAME_CHARS.match(value):
                    opens[-1] = (opens[-1][0], False)
            else:
                out.append("]")
                if opens:
                    opens[-1] = (opens[-1][0], False)
        else:
            out.append("]")
            if opens:
                opens[-1] = (opens[-1][0], False)
    out.append(text[at:])
    # Brackets never closed stay as they were written.
    return "".join(out)


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
    at a level from 1 to INSTALLLEVEL (with its parents) holds it, or it has a Condition of its own."""
    level = install_level(package)
    features = {row.key: row for row in package.features}

    def feature_hold(key: str) -> str:
        seen = set()
        while key and key not in seen:
            seen.add(key)
            row = features.get(key)
            if row is None:
                return "feature {} is not in the Feature table".format(key)
            if not 1 <= row.level <= level:
                return "feature {} is at level {} (INSTALLLEVEL {})".format(key, row.level, level)
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
