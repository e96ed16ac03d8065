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
# An escape "[\\x]", a run of "[" (none of them opening an escape) or a run of "]".
_TOKEN = re.compile(r"\[\\.\]|(?:\[(?!\\.\]))+|\]+", re.DOTALL)
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


def _resolve_chain(name: str, properties: dict, levels: int) -> tuple:
    """The value of [name] and of as many enclosing levels (up to levels in all) as hold just the previous value
    while it is a property name; returns (value, levels used). A chain that loops is stepped over whole."""
    value = properties.get(name, "")
    used = 1
    seen = {name: 0}
    while used < levels and _PROPERTY_NAME.match(value):
        if value in seen:
            period = used - seen[value]
            used += (levels - used) // period * period
            seen = {}
            if used == levels:
                break
        seen[value] = used
        value = properties.get(value, "")
        used += 1
    return value, used


def format_text(text: str, properties: dict) -> str:
    """A Formatted value as Windows Installer resolves it, innermost reference first: "[NAME]" is the property's
    value (blank when unknown), "[\\x]" is x, other references ([#file], [$component], [%variable], [~]) stay."""
    if "[" not in text:
        return text
    # One flat list of pieces and a stack of runs of "[": text is copied once, and a run of brackets costs as
    # much as one bracket, however deep it nests.
    out = []
    opens = []        # [index of the run's piece in out, levels of it still open, innermost may be a name]
    at = 0
    for match in _TOKEN.finditer(text):
        if match.start() > at:
            _add(out, opens, text[at:match.start()])
        at = match.end()
        token = match.group()
        if token[0] == "[" and token[1:2] == "\\" and len(token) == 4:
            _add(out, opens, token[2])
        elif token[0] == "[":
            opens.append([len(out), len(token), True])
            out.append(token)
        else:
            _close(out, opens, len(token), properties)
    if at < len(text):
        _add(out, opens, text[at:])
    # Brackets never closed stay as they were written.
    return "".join(out)


def _add(out: list, opens: list, piece: str):
    out.append(piece)
    if opens and opens[-1][2] and not _NAME_CHARS.match(piece):
        opens[-1][2] = False


def _close(out: list, opens: list, closing: int, properties: dict):
    while closing and opens:
        run = opens[-1]
        start, count, plain = run
        name = "".join(out[start + 1:]) if plain else ""
        if plain and _PROPERTY_NAME.match(name):
            value, used = _resolve_chain(name, properties, min(count, closing))
            del out[start + 1:]
            count -= used
            closing -= used
            if count:
                out[start] = "[" * count
                run[1], run[2] = count, bool(_NAME_CHARS.match(value))
                out.append(value)
                continue
            del out[start]
            opens.pop()
            _add(out, opens, value)
            continue
        # A reference that stays: the levels of its run around it stay too.
        used = min(count, closing)
        out.append("]" * used)
        closing -= used
        run[1], run[2] = count - used, False
        if not run[1]:
            opens.pop()
            if opens:
                opens[-1][2] = False
    if closing:
        out.append("]" * closing)


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
