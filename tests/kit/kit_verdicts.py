"""Verdicts of test cases, as CTest recorded them in LastTest.log and as run-kit.exe wrote them in JUnit XML."""
from __future__ import annotations

import re
import xml.etree.ElementTree as ElementTree
from dataclasses import dataclass

PASSED = "passed"
FAILED = "failed"
SKIPPED = "skipped"

# "12/35 Test: name" opens a case's record; everything up to "<end of output>" is the program's own output.
_RECORD = re.compile(r"^\d+/\d+ Test: (?P<name>\S+)$")
_END_OF_OUTPUT = "<end of output>"


@dataclass(frozen=True)
class Verdict:
    name: str
    verdict: str
    message: str = ""


def read_ctest_log(text: str) -> dict[str, Verdict]:
    """The last verdict of each case in a LastTest.log (with --repeat, a case has one record per run)."""
    verdicts: dict[str, Verdict] = {}
    name = None
    in_output = False
    pass_reason = False
    for line in text.splitlines():
        opened = _RECORD.match(line)
        if opened:
            name, in_output, pass_reason = opened.group("name"), True, False
            continue
        if name is None:
            continue
        if in_output:
            in_output = line != _END_OF_OUTPUT
            continue
        if line == "Test Passed.":
            verdicts[name] = Verdict(name, PASSED)
        elif line == "Test Failed.":
            verdicts[name] = Verdict(name, FAILED)
        elif line == "Test Pass Reason:":
            pass_reason = True
            verdicts[name] = Verdict(name, PASSED)
        elif pass_reason and line.startswith("Skip regular expression found"):
            verdicts[name] = Verdict(name, SKIPPED)
            pass_reason = False
    return verdicts


def read_junit(text: str) -> dict[str, Verdict]:
    """The verdict of each testcase of a JUnit report: failure, skipped or passed, with its message."""
    verdicts: dict[str, Verdict] = {}
    for case in ElementTree.fromstring(text).iter("testcase"):
        name = case.get("name", "")
        failure = case.find("failure")
        skipped = case.find("skipped")
        if failure is not None:
            verdicts[name] = Verdict(name, FAILED, failure.get("message", ""))
        elif skipped is not None:
            verdicts[name] = Verdict(name, SKIPPED, skipped.get("message", ""))
        else:
            verdicts[name] = Verdict(name, PASSED)
    return verdicts
