"""What Windows Installer lays down, from tables given as data."""
import pytest

from quorlith_release import layout
from quorlith_release.msi import (Component, CustomAction, Directory, Feature, FeatureComponent, Package)


def package(properties=(), directories=(), components=(), features=(), links=(), actions=()):
    return Package(path="p.msi", template="x64;1033", properties=dict(properties),
                   directories=tuple(Directory(*row) for row in directories),
                   components=tuple(Component(*row) for row in components), files=(), registry=(),
                   features=tuple(Feature(*row) for row in features),
                   feature_components=tuple(FeatureComponent(*row) for row in links),
                   custom_actions=tuple(CustomAction(*row) for row in actions))


BASE = [("TARGETDIR", "", "SourceDir"), ("ProgramFiles64Folder", "TARGETDIR", ".")]


@pytest.mark.parametrize("rows, properties, expected", [
    ([("HOME", "ProgramFiles64Folder", "dotnet"), ("R", "HOME", "100~1.15|10.0.15")], {},
     "[ProgramFiles64Folder]\\dotnet\\10.0.15"),
    ([("ProgramFiles6432Folder", "ProgramFiles64Folder", "."), ("HOME", "ProgramFiles6432Folder", "DOTNET~1|dotnet"),
      ("R", "HOME", "10.0.15")], {}, "[ProgramFiles64Folder]\\dotnet\\10.0.15"),
    ([("HOME", "ProgramFiles64Folder", "dotnet:src"), ("R", "HOME", "SHORT|10.0.15:SRC|source")], {},
     "[ProgramFiles64Folder]\\dotnet\\10.0.15"),
    ([("HOME", "ProgramFiles64Folder", "dotnet"), ("R", "HOME", "10.0.15")], {"HOME": "C:\\elsewhere\\"},
     "C:\\elsewhere\\10.0.15 (Property HOME as literal text)"),
    ([("HOME", "ProgramFiles64Folder", "dotnet"), ("R", "HOME", "10.0.15")], {"R": "D:\\r"},
     "D:\\r (Property R as literal text)"),
    ([("R", "MISSING", "10.0.15")], {}, "[MISSING]\\10.0.15"),
    ([("A", "B", "a"), ("B", "A", "b"), ("R", "A", "r")], {}, "(no folder: the Directory chain of R loops)"),
    # A Property row's value is literal text, even when it spells a root as this tool writes one.
    ([("HOME", "ProgramFiles64Folder", "dotnet"), ("R", "HOME", "10.0.15")],
     {"HOME": "[ProgramFiles64Folder]\\dotnet"},
     "[ProgramFiles64Folder]\\dotnet\\10.0.15 (Property HOME as literal text)"),
    ([("HOME", "ProgramFiles64Folder", "dotnet\\shared"), ("R", "HOME", "10.0.15")], {},
     '(no folder: Directory row HOME has the name "dotnet\\shared")'),
    ([("HOME", "ProgramFiles64Folder", "SHORT|a|b"), ("R", "HOME", "10.0.15")], {},
     '(no folder: Directory row HOME has the name "a|b")'),
], ids=["long-names", "6432-dot-row", "target-and-source", "property-replaces-parent", "property-replaces-itself",
        "unknown-parent-is-a-root", "cycle-stops", "property-spelling-a-root-is-text", "backslash-in-a-name",
        "second-bar-in-a-name"])
def test_folders(rows, properties, expected):
    folder = layout.folders(package(properties, BASE + rows))["R"]
    assert layout.show(folder) == expected
    # Only a folder under a root Directory key has a root; text from a Property row never does.
    assert (folder.root == "") == (expected.endswith(" as literal text)") or expected.startswith("(no folder"))


@pytest.mark.parametrize("text, expected, unread", [
    ("[HOSTVERSION]", "10.0.15", ()),
    ("[UNKNOWN]x", "[UNKNOWN]x", ("[UNKNOWN]",)),
    ("[[NAME]]", "10.0.15", ()),
    ("[\\[]HOSTVERSION]", "[HOSTVERSION]", ()),
    ("[#file] [$comp] [%PATH] [~]", "[#file] [$comp] [%PATH] [~]", ("[#file]", "[$comp]", "[%PATH]", "[~]")),
    ("open [HOSTVERSION", "open [HOSTVERSION", ()),
    ("${unset} $ENV{SECRET_TOKEN}", "${unset} $ENV{SECRET_TOKEN}", ()),
    ("[SELF]", "[SELF]", ()),
    ("[\\]][HOSTVERSION]]", "]10.0.15]", ()),
    ("[[#x]y]", "[[#x]y]", ("[#x]", "[[#x]y]")),
    ("[#a]" * 9, "[#a]" * 9, ("[#a]",) * 8),
    ("Version[HOME]", "Version[HOME]", ("[HOME]",)),
    ("Version[WindowsVolume]", "Version[WindowsVolume]", ("[WindowsVolume]",)),
], ids=["property", "unknown-not-read", "innermost-first", "escape", "other-references-kept", "unclosed",
        "cmake-text-is-text", "value-not-formatted-again", "escaped-closing-bracket-and-a-stray-one",
        "unread-inside-unread", "first-eight-unread-kept", "folder-key-with-a-property-row-not-read",
        "system-property-not-read"])
def test_format_text(text, expected, unread):
    properties = {"HOSTVERSION": "10.0.15", "NAME": "HOSTVERSION", "SELF": "[SELF]", "HOME": "C:\\h"}
    formatted = layout.format_text(text, properties, frozenset({"HOME"}))
    assert (formatted.text, formatted.unread) == (expected, unread)


@pytest.mark.parametrize("one, other, same", [
    ("PresentationFramework.dll", "presentationframework.DLL", True),
    ("PresentationFramewor\u212a.dll", "PresentationFramework.dll", False),
    ("hostfxr.dll", "host\u0192xr.dll", False),
    ("hostfxr.dll", "hostfxr.dl\u0131", False),
    ("\u00e9t\u00e9", "\u00c9T\u00c9", True),
    ("stra\u00dfe", "STRASSE", False),
], ids=["ascii-case", "kelvin-sign-is-not-k", "other-letter", "dotless-i-is-not-i", "latin-1-case",
        "sharp-s-is-one-unit"])
def test_same_name_as_windows_compares(one, other, same):
    assert layout.same_name(one, other) is same


@pytest.mark.parametrize("features, links, condition, installlevel, expected", [
    ([("F", "", 1)], [("F", "C")], "", None, ""),
    ([("F", "", 0)], [("F", "C")], "", None, "feature F is at level 0 (INSTALLLEVEL 1)"),
    ([("F", "", 0), ("G", "", 1)], [("F", "C"), ("G", "C")], "", None, ""),
    ([("F", "", 4)], [("F", "C")], "", "4", ""),
    ([("P", "", 0), ("F", "P", 1)], [("F", "C")], "", None, "feature P is at level 0 (INSTALLLEVEL 1)"),
    ([("F", "", 1)], [("F", "C")], "Installed", None, 'its component has the Condition "Installed"'),
    ([("F", "", 1)], [], "", None, "its component is in no feature"),
    ([("F", "", 2)], [("F", "C")], "", "x", "feature F is at level 2 (INSTALLLEVEL 1)"),
], ids=["level-1", "level-0", "second-feature-installs", "within-installlevel", "parent-held-back", "condition",
        "no-feature", "installlevel-not-a-number"])
def test_component_holds(features, links, condition, installlevel, expected):
    properties = {"INSTALLLEVEL": installlevel} if installlevel else {}
    built = package(properties, BASE, [("C", "TARGETDIR", 256, condition)], features, links)
    assert layout.component_holds(built)["C"] == expected


def test_folder_actions_listed_not_evaluated():
    built = package((), BASE + [("HOME", "ProgramFiles64Folder", "dotnet")], actions=[
        ("SetHome", 51, "HOME", "[ProgramFiles64Folder]x64"), ("SetDir", 35 | 0x100, "HOME", "C:\\x"),
        ("SetOther", 51, "NOT_A_FOLDER", "1"), ("Run", 34, "HOME", "x.exe")])
    assert layout.folder_actions(built) == ("SetHome", "SetDir")
    assert layout.show(layout.folders(built)["HOME"]) == "[ProgramFiles64Folder]\\dotnet"
