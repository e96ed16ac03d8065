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
     "C:\\elsewhere\\10.0.15"),
    ([("HOME", "ProgramFiles64Folder", "dotnet"), ("R", "HOME", "10.0.15")], {"R": "D:\\r"}, "D:\\r"),
    ([("R", "MISSING", "10.0.15")], {}, "[MISSING]\\10.0.15"),
    ([("A", "B", "a"), ("B", "A", "b"), ("R", "A", "r")], {}, "(no folder: the Directory chain of R loops)"),
], ids=["long-names", "6432-dot-row", "target-and-source", "property-replaces-parent", "property-replaces-itself",
        "unknown-parent-is-a-root", "cycle-stops"])
def test_folders(rows, properties, expected):
    assert layout.folders(package(properties, BASE + rows))["R"] == expected


@pytest.mark.parametrize("text, expected", [
    ("[HOSTVERSION]", "10.0.15"),
    ("[UNKNOWN]x", "x"),
    ("[[NAME]]", "10.0.15"),
    ("[\\[]HOSTVERSION]", "[HOSTVERSION]"),
    ("[#file] [$comp] [%PATH] [~]", "[#file] [$comp] [%PATH] [~]"),
    ("open [HOSTVERSION", "open [HOSTVERSION"),
    ("${unset} $ENV{SECRET_TOKEN}", "${unset} $ENV{SECRET_TOKEN}"),
    ("[SELF]", "[SELF]"),
    ("[[[[NAME]]]]", "[[10.0.15]]"),
    ("[[[[LOOP]]]]", "LOOP"),
    ("[[[PING]]] [[[[PING]]]]", "PONG PING"),
    ("[[[a b]]", "[[[a b]]"),
    ("[[[\\[]NAME]]]", "[[[NAME]]]"),
], ids=["property", "unknown-blank", "innermost-first", "escape", "other-references-kept", "unclosed",
        "cmake-text-is-text", "value-not-formatted-again", "nest-resolves-until-no-name", "nest-self-loop",
        "nest-two-cycle-parity", "nest-unclosed-outer", "nest-escape-inside"])
def test_format_text(text, expected):
    properties = {"HOSTVERSION": "10.0.15", "NAME": "HOSTVERSION", "SELF": "[SELF]", "LOOP": "LOOP",
                  "PING": "PONG", "PONG": "PING"}
    assert layout.format_text(text, properties) == expected


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
    assert layout.folders(built)["HOME"] == "[ProgramFiles64Folder]\\dotnet"
