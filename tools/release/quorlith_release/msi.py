"""The one reader of Windows Installer packages: libmsi's SQL queries give typed records, never printed text."""
from __future__ import annotations

from dataclasses import dataclass

import gi

from . import cabinet

gi.require_version("Libmsi", "1.0")
from gi.repository import GLib, Libmsi  # noqa: E402


class PackageError(Exception):
    """libmsi cannot read the package; str(error) says what it could not read."""


@dataclass(frozen=True)
class Directory:
    key: str
    parent: str        # "" for a root
    default_dir: str   # "[SHORT|]long[:[SHORT|]source]"


@dataclass(frozen=True)
class Component:
    key: str
    directory: str
    attributes: int
    condition: str


@dataclass(frozen=True)
class File:
    key: str
    component: str
    name: str          # "[SHORT|]long"
    attributes: int = 0
    sequence: int = 0  # its place on the media, against Media.LastSequence


@dataclass(frozen=True)
class RegistryRow:
    key: str
    root: int
    path: str
    name: str
    value: str         # Formatted, unresolved
    component: str


@dataclass(frozen=True)
class Feature:
    key: str
    parent: str
    level: int
    attributes: int = 0


@dataclass(frozen=True)
class FeatureComponent:
    feature: str
    component: str


@dataclass(frozen=True)
class CustomAction:
    action: str
    type: int
    source: str
    target: str


@dataclass(frozen=True)
class FeatureCondition:
    feature: str
    level: int
    condition: str


@dataclass(frozen=True)
class Upgrade:
    upgrade_code: str
    attributes: int
    action_property: str = ""  # FindRelatedProducts sets it to the product codes it finds


@dataclass(frozen=True)
class Step:
    action: str
    condition: str
    sequence: int = 0  # its place when positive; 0 (NULL reads as 0) and below do not run with the others


@dataclass(frozen=True)
class Medium:
    disk: int
    last_sequence: int
    cabinet: str       # "#name" a stream of the package itself, "" none


@dataclass(frozen=True)
class FileRemoval:
    """A RemoveFile row, or a MoveFile row (name its SourceName, folder its SourceFolder, mode its Options)."""
    key: str
    component: str
    name: str          # file name, wildcards allowed
    folder: str        # the property, a Directory key as a rule, that holds the folder's path
    mode: int          # RemoveFile InstallMode: 1 on install, 2 on removal, 3 both; MoveFile Options: 1 moves


@dataclass(frozen=True)
class RegistryRemoval:
    key: str
    root: int
    path: str          # Formatted
    name: str          # Formatted; "-" the whole key
    component: str


@dataclass(frozen=True)
class Summary:
    template: str
    page_count: int    # the least Windows Installer version, times 100
    word_count: int    # source image flags: 1 short names, 2 compressed


@dataclass(frozen=True)
class Package:
    path: str
    template: str
    properties: dict
    directories: tuple
    components: tuple
    files: tuple
    registry: tuple
    features: tuple
    feature_components: tuple
    custom_actions: tuple
    summary: Summary = Summary("", 0, 0)
    conditions: tuple = ()
    upgrades: tuple = ()
    execute_sequence: tuple = ()   # Steps of InstallExecuteSequence
    media: tuple = ()
    searched: tuple = ()           # property names that AppSearch sets
    streams: frozenset = frozenset()  # names of the package's own streams (embedded cabinets among them)
    cabinets: dict = None          # stream name -> cabinet.Listing, for each Media row's "#name" that is a stream
    file_removals: tuple = ()      # FileRemovals of the RemoveFile table
    registry_removals: tuple = ()  # RegistryRemovals
    file_moves: tuple = ()         # FileRemovals of the MoveFile table


# libmsi reports a file it cannot open on stderr as well; the caller's message is the one that counts.
GLib.log_set_handler(None, GLib.LogLevelFlags.LEVEL_WARNING, lambda *args: None, None)

# Table, columns and how each column is read: "s" text (NULL reads as ""), "i" integer (NULL reads as 0).
_TABLES = {
    "Property": (("Property", "s"), ("Value", "s")),
    "Directory": (("Directory", "s"), ("Directory_Parent", "s"), ("DefaultDir", "s")),
    "Component": (("Component", "s"), ("Directory_", "s"), ("Attributes", "i"), ("Condition", "s")),
    "File": (("File", "s"), ("Component_", "s"), ("FileName", "s"), ("Attributes", "i"), ("Sequence", "i")),
    "Registry": (("Registry", "s"), ("Root", "i"), ("Key", "s"), ("Name", "s"), ("Value", "s"), ("Component_", "s")),
    "Feature": (("Feature", "s"), ("Feature_Parent", "s"), ("Level", "i"), ("Attributes", "i")),
    "FeatureComponents": (("Feature_", "s"), ("Component_", "s")),
    "CustomAction": (("Action", "s"), ("Type", "i"), ("Source", "s"), ("Target", "s")),
    "Condition": (("Feature_", "s"), ("Level", "i"), ("Condition", "s")),
    "Upgrade": (("UpgradeCode", "s"), ("Attributes", "i"), ("ActionProperty", "s")),
    "InstallExecuteSequence": (("Action", "s"), ("Condition", "s"), ("Sequence", "i")),
    "Media": (("DiskId", "i"), ("LastSequence", "i"), ("Cabinet", "s")),
    "AppSearch": (("Property", "s"),),
    "RemoveFile": (("FileKey", "s"), ("Component_", "s"), ("FileName", "s"), ("DirProperty", "s"),
                   ("InstallMode", "i")),
    "RemoveRegistry": (("RemoveRegistry", "s"), ("Root", "i"), ("Key", "s"), ("Name", "s"), ("Component_", "s")),
    "MoveFile": (("FileKey", "s"), ("Component_", "s"), ("SourceName", "s"), ("SourceFolder", "s"),
                 ("Options", "i")),
}


def query_rows(db, sql: str) -> list:
    query = Libmsi.Query.new(db, sql)
    query.execute(None)
    rows = []
    while True:
        record = query.fetch()
        if record is None:
            break
        rows.append(record)
    query.close()
    return rows


def _field(record, index: int, kind: str):
    if record.is_null(index):
        return "" if kind == "s" else 0
    return record.get_string(index) if kind == "s" else record.get_int(index)


def _table(db, table: str, present: set) -> list:
    if table not in present:
        return []
    columns = _TABLES[table]
    sql = "SELECT {} FROM `{}`".format(", ".join("`{}`".format(name) for name, _ in columns), table)
    try:
        records = query_rows(db, sql)
    except GLib.Error as error:
        raise PackageError("libmsi cannot read its {} table: {}".format(table, error.message)) from None
    return [tuple(_field(record, at + 1, kind) for at, (_, kind) in enumerate(columns)) for record in records]


def open_database(path: str, flags=Libmsi.DbFlags.READONLY):
    try:
        db = Libmsi.Database.new(path, flags, None)
    except (GLib.Error, TypeError):
        # libmsi 0.101 returns NULL for a file that is no database, which the bindings raise as TypeError.
        db = None
    if db is None:
        raise PackageError("libmsi cannot open the package")
    return db


def table_names(db) -> set:
    try:
        return {record.get_string(1) for record in query_rows(db, "SELECT `Name` FROM `_Tables`")}
    except GLib.Error as error:
        raise PackageError("libmsi cannot list its tables: {}".format(error.message)) from None


def stream_names(db) -> frozenset:
    try:
        return frozenset(record.get_string(1) for record in query_rows(db, "SELECT `Name` FROM `_Streams`"))
    except GLib.Error as error:
        raise PackageError("libmsi cannot list its streams: {}".format(error.message)) from None


def cabinet_listing(db, name: str) -> cabinet.Listing:
    """The file names of the package's stream of that name, read as a cabinet."""
    record = Libmsi.Record.new(1)
    record.set_string(1, name)
    query = Libmsi.Query.new(db, "SELECT `Data` FROM `_Streams` WHERE `Name` = ?")
    try:
        query.execute(record)
        stream = query.fetch().get_stream(1)
    except (GLib.Error, AttributeError):
        raise PackageError("libmsi cannot read its stream {}".format(name)) from None
    try:
        return cabinet.stream_listing(stream)
    except GLib.Error as error:
        raise PackageError("libmsi cannot read its stream {}: {}".format(name, error.message)) from None
    finally:
        stream.close(None)
        query.close()


def _summary_int(info, field) -> int:
    if info.get_property_type(field) == Libmsi.PropertyType.EMPTY:
        return 0
    return info.get_int(field)


def read_summary(db) -> Summary:
    try:
        info = Libmsi.SummaryInfo.new(db, 0)
        return Summary(template=info.get_string(Libmsi.Property.TEMPLATE) or "",
                       page_count=_summary_int(info, Libmsi.Property.VERSION),
                       word_count=_summary_int(info, Libmsi.Property.SOURCE))
    except (GLib.Error, TypeError):
        raise PackageError("libmsi cannot read its summary information") from None


def read_package(path: str) -> Package:
    db = open_database(path)
    present = table_names(db)
    summary = read_summary(db)
    tables = {table: _table(db, table, present) for table in _TABLES}
    if not tables["Property"]:
        raise PackageError("the package has no Property table")
    streams = stream_names(db)
    embedded = {row[2][1:] for row in tables["Media"] if row[2].startswith("#") and row[2][1:] in streams}
    return Package(
        path=path,
        template=summary.template,
        properties={name: value for name, value in tables["Property"]},
        directories=tuple(Directory(*row) for row in tables["Directory"]),
        components=tuple(Component(*row) for row in tables["Component"]),
        files=tuple(File(*row) for row in tables["File"]),
        registry=tuple(RegistryRow(*row) for row in tables["Registry"]),
        features=tuple(Feature(*row) for row in tables["Feature"]),
        feature_components=tuple(FeatureComponent(*row) for row in tables["FeatureComponents"]),
        custom_actions=tuple(CustomAction(*row) for row in tables["CustomAction"]),
        summary=summary,
        conditions=tuple(FeatureCondition(*row) for row in tables["Condition"]),
        upgrades=tuple(Upgrade(*row) for row in tables["Upgrade"]),
        execute_sequence=tuple(Step(*row) for row in tables["InstallExecuteSequence"]),
        media=tuple(Medium(*row) for row in tables["Media"]),
        searched=tuple(row[0] for row in tables["AppSearch"]),
        streams=streams,
        cabinets={name: cabinet_listing(db, name) for name in sorted(embedded)},
        file_removals=tuple(FileRemoval(*row) for row in tables["RemoveFile"]),
        registry_removals=tuple(RegistryRemoval(*row) for row in tables["RemoveRegistry"]),
        file_moves=tuple(FileRemoval(*row) for row in tables["MoveFile"]),
    )
