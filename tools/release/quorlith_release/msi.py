"""The one reader of Windows Installer packages: libmsi's SQL queries give typed records, never printed text."""
from __future__ import annotations

import json
import os
import re
import resource
import signal
import subprocess
import sys
from dataclasses import dataclass

import gi

from . import cabinet

gi.require_version("Libmsi", "1.0")
from gi.repository import GLib, Libmsi  # noqa: E402

from . import stringpool  # noqa: E402


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


# libmsi reports a file it cannot open on stderr as well; the caller's message is the one that counts. The
# reading child lets its messages through: there every message libmsi prints refuses the package.
_quiet = [True]


def _warning(domain, level, message, data):
    if not _quiet[0]:
        sys.stderr.write("{}-WARNING: {}\n".format(domain or "libmsi", message))


GLib.log_set_handler(None, GLib.LogLevelFlags.LEVEL_WARNING, _warning, None)

# Limits of the child that reads one package, far above what a real runtime package needs (the 900-file
# replica of bench/release/make_replica.py reads in 0.2 s, 24 MB, under 128 MiB); past them the package is
# refused, not waited for.
READ_SECONDS = 120       # wall clock
READ_CPU_SECONDS = 60
READ_MEMORY = 2 << 30    # address space, bytes


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


def _table(db, table: str, present: set, strings: dict) -> list:
    """The table's rows, each text cell as its index in strings (which it extends), as each record is fetched:
    a text repeated on many rows is held once."""
    if table not in present:
        return []
    columns = _TABLES[table]
    sql = "SELECT {} FROM `{}`".format(", ".join("`{}`".format(name) for name, _ in columns), table)
    rows = []
    try:
        query = Libmsi.Query.new(db, sql)
        query.execute(None)
        record = query.fetch()
        while record is not None:
            cells = [_field(record, at + 1, kind) for at, (_, kind) in enumerate(columns)]
            rows.append([strings.setdefault(cell, len(strings)) if kind == "s" else cell
                         for cell, (_, kind) in zip(cells, columns)])
            record = query.fetch()
        query.close()
    except GLib.Error as error:
        raise PackageError("libmsi cannot read its {} table: {}".format(table, error.message)) from None
    return rows


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
    except UnicodeDecodeError:
        raise PackageError("its summary information's Template is not UTF-8 text") from None


def _read_tables(path: str) -> dict:
    """In the child: the package's tables as JSON-ready data, each text once in "strings", cells of text
    columns as indexes into it (a key repeated on 20,000 rows is sent once)."""
    # The string pool is read before libmsi reads it, and its verdict comes first: libmsi 0.101 reads back a long
    # string it wrote 64 KiB short, and the message must not depend on which libmsi is installed.
    pool_problem = stringpool.problem(path)
    db = open_database(path)
    if pool_problem:
        raise PackageError(pool_problem)
    _quiet[0] = False
    present = table_names(db)
    summary = read_summary(db)
    strings = {}
    tables = {}
    for table in _TABLES:
        try:
            tables[table] = _table(db, table, present, strings)
        except UnicodeDecodeError:
            raise PackageError("its {} table holds text that is not UTF-8".format(table)) from None
    streams = sorted(stream_names(db))
    return {"summary": [summary.template, summary.page_count, summary.word_count], "strings": list(strings),
            "tables": tables, "streams": streams, "cabinets": _cabinets(db, tables["Media"], strings, streams)}


def _cabinets(db, media: list, strings: dict, streams: list) -> dict:
    """In the child: for each Media row's "#name" that is a stream of the package, its cabinet listing as
    [names, problem]."""
    texts = list(strings)
    embedded = set()
    for row in media:
        cabinet_name = texts[row[2]]
        if cabinet_name.startswith("#") and cabinet_name[1:] in streams:
            embedded.add(cabinet_name[1:])
    listings = {}
    for name in sorted(embedded):
        held = cabinet_listing(db, name)
        listings[name] = [sorted(held.names), held.problem]
    return listings


def child_main(path: str, memory: int, seconds: int) -> int:
    """The reading child: one JSON document on stdout, {"error": ...} for a package libmsi cannot read. The
    limits are set once the interpreter and its libraries are loaded: they bound the reading, and an interpreter
    that cannot start under a small limit (Python 3.13 ends with "lost sys.stderr") would say nothing of it."""
    resource.setrlimit(resource.RLIMIT_AS, (memory, memory))
    resource.setrlimit(resource.RLIMIT_CPU, (seconds, seconds))
    try:
        document = {"package": _read_tables(path)}
    except PackageError as error:
        document = {"error": str(error)}
    except MemoryError:
        document = {"memory": True}
    # A reader left without room for a few MiB was at its limit, and whatever libmsi or GLib printed on the
    # way (an iconv that could not open, say) comes of that: the limit is what the verdict names.
    try:
        bytearray(4 << 20)
    except MemoryError:
        document = {"memory": True}
    sys.stdout.write(json.dumps(document))
    return 0


# GLib's message lines: "** (process:12): CRITICAL **: 05:04:29.414: text", "(process:12): dom-WARNING **: text".
_GLIB_PREFIX = re.compile(r"(?:\*\* )?\([^()]*:\d+\): ")
_GLIB_LEVEL = re.compile(r"^(\S+) \*\*: (?:\d\d:\d\d:\d\d\.\d+: )?")


def _limit_child():
    resource.setrlimit(resource.RLIMIT_CORE, (0, 0))


def _first_message(stderr: bytes) -> str:
    """The first line the child printed, without GLib's "(process:N): " prefix and time; of a traceback, its
    last line."""
    lines = [line.strip() for line in stderr.decode("utf-8", "replace").splitlines() if line.strip()]
    if lines and lines[0].startswith("Traceback"):
        lines = lines[-1:]
    if not lines:
        return ""
    line = _GLIB_PREFIX.sub("", lines[0])
    return _GLIB_LEVEL.sub(r"\1: ", line, count=1)


def _verdict(returncode: int, stdout: bytes, stderr: bytes) -> dict:
    """The child's tables, or PackageError saying what happened to it."""
    said = _first_message(stderr)
    out_of_memory = "MemoryError" in said or "failed to allocate" in said or b'"memory": true' in stdout[:20]
    if out_of_memory:
        raise PackageError("reading it needs more than the {} MiB of address space it is given".format(
            READ_MEMORY >> 20))
    if returncode < 0:
        name = signal.Signals(-returncode).name
        if -returncode == signal.SIGXCPU:
            raise PackageError("reading it used more than {} s of processor time".format(READ_CPU_SECONDS))
        raise PackageError("libmsi crashed on it ({}{})".format(name, "; it printed: " + said if said else ""))
    try:
        document = json.loads(stdout) if returncode == 0 else None
    except ValueError:
        document = None
    if not isinstance(document, dict):
        raise PackageError("its reader exited with status {}{}".format(returncode,
                                                                       "; it printed: " + said if said else ""))
    if "error" in document:
        raise PackageError(document["error"])
    if said:
        raise PackageError("libmsi reported a fault while reading it: {}".format(said))
    return document["package"]


def read_package(path: str) -> Package:
    """The package's tables, read by libmsi in a child process under limits of time and memory: a crash, a
    message from libmsi or a limit reached raises PackageError."""
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    command = [sys.executable, "-c", "import sys; sys.path.insert(0, sys.argv[1]); "
               "from quorlith_release import msi; sys.exit(msi.child_main(sys.argv[2], int(sys.argv[3]), "
               "int(sys.argv[4])))", root, path, str(READ_MEMORY), str(READ_CPU_SECONDS)]
    child = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             preexec_fn=_limit_child)
    try:
        stdout, stderr = child.communicate(timeout=READ_SECONDS)
    except subprocess.TimeoutExpired:
        child.kill()
        child.communicate()
        raise PackageError("reading it took longer than {} s".format(READ_SECONDS)) from None
    document = _verdict(child.returncode, stdout, stderr)
    summary = Summary(*document["summary"])
    strings = document["strings"]
    tables = {table: [tuple(strings[cell] if kind == "s" else cell for cell, (_, kind) in zip(row, columns))
                      for row in document["tables"][table]] for table, columns in _TABLES.items()}
    if not tables["Property"]:
        raise PackageError("the package has no Property table")
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
        streams=frozenset(document["streams"]),
        cabinets={name: cabinet.Listing(frozenset(names), problem)
                  for name, (names, problem) in document["cabinets"].items()},
        file_removals=tuple(FileRemoval(*row) for row in tables["RemoveFile"]),
        registry_removals=tuple(RegistryRemoval(*row) for row in tables["RemoveRegistry"]),
        file_moves=tuple(FileRemoval(*row) for row in tables["MoveFile"]),
    )
