"""run-kit.exe under Wine on a kit of its own, whose program (kit_probe.exe) passes, fails, skips, hangs or prints
what XML cannot carry as chosen. Run by CTest (kit_runner) with KIT_RUNNER, KIT_PROBE, KIT_WORK and WINE_RUN set,
in the shared prefix."""
from __future__ import annotations

import getpass
import os
import re
import shutil
import subprocess
import time
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass
from pathlib import Path

import pytest

from kit_verdicts import FAILED, PASSED, SKIPPED, read_junit

CASES = [
    ("pass", "-", 30, ["pass"]),
    ("fail", "-", 30, ["fail"]),
    ("skip", "-", 30, ["skip"]),
    ("partial_skip", "-", 30, ["partial-skip"]),
    ("empty", "-", 30, ["empty"]),
    ("silent", "-", 30, ["silent"]),
    ("exit_code", "-", 30, ["exit-code"]),
    ("text", "-", 30, ["text"]),
    ("inherits", "-", 30, ["handles"]),
    ("args", "-", 30, ["args", "kit:data/a b/", 'say "hi"', "plain"]),
    ("hang", "-", 1, ["hang", "kit:data/survived.txt"]),
    ("system", "system-changes", 30, ["pass"]),
    ("leaves", "system-changes", 30, ["leave"]),
    ("leaves_user", "system-changes", 30, ["leave-user"]),
    ("system_long", "system-changes", 1000, ["pass"]),
]


@dataclass
class Run:
    status: int
    stdout: str
    junit: Path
    seconds: float


def windows_path(path: Path) -> str:
    return "Z:" + str(path).replace("/", "\\")


def run_kit(kit: Path, *args: str) -> subprocess.CompletedProcess:
    return subprocess.run([os.environ["WINE_RUN"], str(kit / "run-kit.exe"), *args], capture_output=True,
                          text=True, errors="replace", timeout=120)


@pytest.fixture(scope="module")
def kit() -> Path:
    kit = Path(os.environ["KIT_WORK"]) / "kit"
    shutil.rmtree(kit, ignore_errors=True)
    (kit / "data" / "a b").mkdir(parents=True)
    shutil.copy(os.environ["KIT_RUNNER"], kit / "run-kit.exe")
    shutil.copy(os.environ["KIT_PROBE"], kit / "kit_probe.exe")
    lines = ["\t".join([name, flags, str(limit), "kit_probe.exe", *args]) for name, flags, limit, args in CASES]
    (kit / "tests.list").write_text("\n".join(lines) + "\n", encoding="utf-8")
    (kit / "not-in-kit.txt").write_text("z: needs Linux\n", encoding="utf-8")
    return kit


@pytest.fixture(scope="module")
def full_run(kit: Path) -> Run:
    started = time.monotonic()
    result = run_kit(kit)
    seconds = time.monotonic() - started
    # The sleeper would write its marker 4 s after the hang case started, had the time limit not ended it.
    time.sleep(5)
    return Run(result.returncode, result.stdout, kit / "results.xml", seconds)


VERDICTS = [
    ("pass", PASSED, ""),
    ("fail", FAILED, "probe.cpp:10: Test failed: got 2, expected 1; 1 failed, exit code 1"),
    ("skip", SKIPPED, "no ARM64 here; no second display"),
    ("partial_skip", PASSED, ""),
    ("empty", FAILED, "printed 0 passed, 0 failed: it checked nothing"),
    ("silent", FAILED, "printed no closing summary (exit code 0): it did not run to its end"),
    ("exit_code", FAILED, "0 failed, exit code 3"),
    ("text", PASSED, ""),
    # The runner's own standard handles are inheritable; the case gets its two and nothing else.
    ("inherits", PASSED, ""),
    ("args", PASSED, ""),
    ("hang", FAILED, "still running after its time limit of 1 s: ended"),
    ("system", SKIPPED, "changes the machine (installs under Program Files and HKLM, or writes the machine-wide "
                        "staging directory): run with --allow-system-changes"),
    ("leaves", SKIPPED, "changes the machine (installs under Program Files and HKLM, or writes the machine-wide "
                        "staging directory): run with --allow-system-changes"),
]
SYSTEM_SKIP = VERDICTS[-1][2]


@pytest.mark.parametrize("name, verdict, message", VERDICTS, ids=[case[0] for case in VERDICTS])
def test_verdicts(full_run: Run, name: str, verdict: str, message: str) -> None:
    got = read_junit(full_run.junit.read_text(encoding="utf-8"))[name]
    assert (got.verdict, got.message) == (verdict, message)


def test_closing_line_and_exit_code(full_run: Run) -> None:
    assert full_run.stdout.rstrip().splitlines()[-1] == "5 passed, 5 failed, 5 skipped"
    assert full_run.status == 1
    suite = ElementTree.parse(full_run.junit).getroot()
    assert {key: suite.get(key) for key in ("tests", "failures", "skipped")} == \
        {"tests": "15", "failures": "5", "skipped": "5"}


def test_system_named_first(full_run: Run) -> None:
    head = full_run.stdout.splitlines()[:6]
    prefixes = ["Test kit: ", "Windows ", "Native architecture: x64", "System DPI: 96 ", "Elevated: ", "Wine: "]
    assert [line[:len(prefix)] for line, prefix in zip(head, prefixes)] == prefixes, head


def test_output_kept_and_escaped(full_run: Run, kit: Path) -> None:
    cases = {case.get("name"): case for case in ElementTree.parse(full_run.junit).getroot().iter("testcase")}
    text = cases["text"].find("system-out").text
    assert 'a <b> & "c"  \ufffd' in text
    assert (kit / "results" / "text.txt").read_bytes().startswith(b'a <b> & "c" \x01 \xff')


def test_arguments_expanded_and_quoted(full_run: Run, kit: Path) -> None:
    output = (kit / "results" / "args.txt").read_text(encoding="utf-8")
    assert output.splitlines()[:3] == [f"[{windows_path(kit / 'data' / 'a b')}\\]", '[say "hi"]', "[plain]"]


def test_time_limit_ends_the_process_tree(full_run: Run, kit: Path) -> None:
    assert not (kit / "data" / "survived.txt").exists()


# The user's temporary directory: C:\users\<name>\Temp under Wine 8, AppData\Local\Temp under Wine 10 (a
# prefix has the one its Wine uses).
USER_TEMP_LAYOUTS = (("AppData", "Local", "Temp"), ("Temp",))


def user_temp_parts() -> tuple:
    home = Path(os.environ["WINEPREFIX"]) / "drive_c" / "users" / getpass.getuser()
    return next(parts for parts in USER_TEMP_LAYOUTS if home.joinpath(*parts).is_dir())


def prefix_temp(which: str) -> Path:
    drive_c = Path(os.environ["WINEPREFIX"]) / "drive_c"
    if which == "machine":
        return drive_c / "windows" / "temp"
    return drive_c.joinpath("users", getpass.getuser(), *user_temp_parts())


# What a case leaves is named, in either temporary directory; what was there before the case is not its doing.
@pytest.mark.parametrize("case, which, windows_dir", [
    ("leaves", "machine", "C:\\windows\\Temp"),
    ("leaves_user", "user", None),
], ids=["machine-temp", "user-temp"])
def test_leftovers_fail_the_case(kit: Path, case: str, which: str, windows_dir: str) -> None:
    if windows_dir is None:
        windows_dir = "\\".join(("C:", "users", getpass.getuser()) + user_temp_parts())
    left = prefix_temp(which) / "Quorlith-Setup-probe"
    earlier = prefix_temp(which) / "Quorlith-Setup-earlier"
    earlier.mkdir(parents=True, exist_ok=True)
    try:
        result = run_kit(kit, "--junit", windows_path(kit / case / "results.xml"), "--allow-system-changes",
                         "--only", case)
        got = read_junit((kit / case / "results.xml").read_text(encoding="utf-8"))[case]
    finally:
        shutil.rmtree(left, ignore_errors=True)
        shutil.rmtree(earlier, ignore_errors=True)
    assert result.returncode == 1
    assert (got.verdict, got.message.lower()) == (FAILED, f"left behind: {windows_dir}\\Quorlith-Setup-probe".lower())


# Windows Installer's work goes on outside the case's job: the runner waits, within its bound, until the
# execution mutex is free before it looks for leftovers, and fails the case when it stays held.
def test_waits_for_windows_installer(kit: Path) -> None:
    holder = subprocess.Popen([os.environ["WINE_RUN"], os.environ["KIT_PROBE"], "hold-msiexecute", "12"],
                              stdout=subprocess.PIPE, text=True, errors="replace")
    try:
        assert holder.stdout.readline().strip() == "holding"
        # 300 s scaled to 3 s; the case's own limit of 1000 s to 10 s.
        busy = run_kit(kit, "--junit", windows_path(kit / "busy" / "results.xml"), "--allow-system-changes",
                       "--only", "system_long", "--timeout-scale", "0.01")
        started = time.monotonic()
        waited = run_kit(kit, "--junit", windows_path(kit / "idle" / "results.xml"), "--allow-system-changes",
                         "--only", "system_long")
        seconds = time.monotonic() - started
        holder_running = holder.poll() is None
    finally:
        holder.wait(timeout=60)
    got = read_junit((kit / "busy" / "results.xml").read_text(encoding="utf-8"))["system_long"]
    assert (busy.returncode, got.verdict, got.message) == \
        (1, FAILED, "Windows Installer still busy 3 s after the case (Global\\_MSIExecute held)")
    assert waited.returncode == 0, waited.stdout
    assert not holder_running, f"the second run ended after {seconds:.1f} s, before the holder did"


def test_nothing_ran_is_no_pass(kit: Path, tmp_path: Path) -> None:
    empty = tmp_path / "empty"
    empty.mkdir()
    shutil.copy(kit / "run-kit.exe", empty / "run-kit.exe")
    (empty / "tests.list").write_text("", encoding="utf-8")
    result = run_kit(empty)
    assert (result.returncode, result.stdout.rstrip().splitlines()[-1]) == \
        (2, "run-kit: tests.list names no case: nothing to run")


def test_list(kit: Path) -> None:
    result = run_kit(kit, "--list")
    assert result.returncode == 0
    assert result.stdout.splitlines() == [f"{name}  ({limit} s{', changes the machine' if flags != '-' else ''})"
                                          for name, flags, limit, _ in CASES] + ["not in the kit: z: needs Linux"]


@pytest.mark.parametrize("args, status, last_lines", [
    (["--only", "pass,skip"], 0, ["1 passed, 0 failed, 1 skipped"]),
    (["--only", "system", "--allow-system-changes"], 0, ["1 passed, 0 failed, 0 skipped"]),
    (["--only", "skip,system"], 1, ["run-kit: no case ran (every selected case skipped): nothing was covered",
                                    "0 passed, 0 failed, 2 skipped"]),
    (["--only", "pass,skip", "--require", "skip"], 1,
     ["skip: failed: required on this machine, but skipped: no ARM64 here; no second display",
      "1 passed, 1 failed, 0 skipped"]),
    (["--only", "pass,system", "--require-all"], 1,
     [f"system: failed: required on this machine, but skipped: {SYSTEM_SKIP}", "1 passed, 1 failed, 0 skipped"]),
    (["--only", "pass,partial_skip", "--require-all"], 0, ["2 passed, 0 failed, 0 skipped"]),
    (["--only", "nosuch"], 2, ["run-kit: no case nosuch in the kit"]),
    (["--require", "pass,nosuch"], 2, ["run-kit: no required case nosuch in the kit"]),
    (["--only", "skip", "--require", "pass"], 2, ["run-kit: required case pass is not run: not in --only"]),
    (["--require", ""], 2, [""]),
    (["--bogus"], 2, [""]),
], ids=["only", "system-changes-allowed", "all-skipped", "required-skips", "require-all-system-skips",
        "require-all-partial-skip-passes", "unknown-case", "unknown-required-case", "required-not-selected",
        "empty-require", "unknown-option"])
def test_options(kit: Path, args: list[str], status: int, last_lines: list[str]) -> None:
    result = run_kit(kit, "--junit", windows_path(kit / "options" / "results.xml"), *args)
    assert result.returncode == status
    # Without each case's time.
    lines = [re.sub(r" \(\d+\.\d s\)", "", line) for line in result.stdout.rstrip().splitlines()] or [""]
    assert lines[-len(last_lines):] == last_lines
