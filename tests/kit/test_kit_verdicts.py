"""The readers of CTest's log and of the runner's JUnit report, and the comparison kit_wine makes with them."""
from __future__ import annotations

import pytest

from compare_verdicts import KitCase, again, compare, read_list
from kit_verdicts import FAILED, PASSED, SKIPPED, Verdict, read_ctest_log, read_junit


def record(name: str, output: str, verdict_lines: str) -> str:
    return (f"1/9 Testing: {name}\n1/9 Test: {name}\nCommand: \"x\"\nOutput:\n"
            f"----------------------------------------------------------\n{output}<end of output>\n"
            f"Test time =   0.50 sec\n----------------------------------------------------------\n"
            f"{verdict_lines}\n\"{name}\" end time: Dec 08 21:33 UTC\n")


SKIP_REASON = "Test Pass Reason:\nSkip regular expression found in output. Regex=[(^|\n)0 passed, 0 failed]"

LOGS = [
    ("passed", record("a", "3 passed, 0 failed\n", "Test Passed."), {"a": PASSED}),
    ("failed", record("a", "0 passed, 1 failed\n", "Test Failed."), {"a": FAILED}),
    ("skipped", record("a", "0 passed, 0 failed, 1 skipped\n", SKIP_REASON), {"a": SKIPPED}),
    # With --repeat until-pass:2 the last run counts.
    ("repeated", record("a", "", "Test Failed.") + record("a", "1 passed, 0 failed\n", "Test Passed."),
     {"a": PASSED}),
    # What a program prints is not CTest's verdict.
    ("verdict-in-output", record("a", "Test Failed.\nTest Pass Reason:\n1 passed, 0 failed\n", "Test Passed."),
     {"a": PASSED}),
    ("several", record("a", "", "Test Passed.") + record("b", "", "Test Failed."), {"a": PASSED, "b": FAILED}),
]


@pytest.mark.parametrize("log, expected", [case[1:] for case in LOGS], ids=[case[0] for case in LOGS])
def test_ctest_log(log: str, expected: dict[str, str]) -> None:
    assert {name: verdict.verdict for name, verdict in read_ctest_log(log).items()} == expected


def test_junit() -> None:
    report = ('<testsuite><testcase name="a"/><testcase name="b"><failure message="got 2"/></testcase>'
              '<testcase name="c"><skipped message="no &quot;ARM64&quot;"/><system-out>x</system-out></testcase>'
              '</testsuite>')
    assert read_junit(report) == {"a": Verdict("a", PASSED), "b": Verdict("b", FAILED, "got 2"),
                                  "c": Verdict("c", SKIPPED, 'no "ARM64"')}


def test_list() -> None:
    text = "a\t-\t60\ta.exe\nb\tsystem-changes\t90\tb.exe\tkit:data/x\n\n"
    assert read_list(text) == [KitCase("a", False), KitCase("b", True)]


ALLOWED = "changes the machine (...): run with --allow-system-changes"
PLAIN, SYSTEM = KitCase("p", False), KitCase("s", True)
COMPARISONS = [
    ("agree", [PLAIN], {"p": PASSED}, {"p": Verdict("p", PASSED)}, {}, set(), []),
    ("kit-fails", [PLAIN], {"p": PASSED}, {"p": Verdict("p", FAILED, "got 2")}, {}, set(), [("p", "plain")]),
    ("kit-passes-a-skip", [PLAIN], {"p": SKIPPED}, {"p": Verdict("p", PASSED)}, {}, set(), [("p", "plain")]),
    ("missing-from-report", [PLAIN], {"p": PASSED}, {}, {}, set(), [("p", "plain")]),
    ("not-run-by-ctest-passes", [PLAIN], {}, {"p": Verdict("p", PASSED)}, {}, set(), []),
    ("not-run-by-ctest-fails", [PLAIN], {}, {"p": Verdict("p", FAILED)}, {}, set(), [("p", "plain")]),
    ("system-skipped", [SYSTEM], {"s": PASSED}, {"s": Verdict("s", SKIPPED, ALLOWED)}, {}, set(), []),
    ("system-run-without-option", [SYSTEM], {"s": PASSED}, {"s": Verdict("s", PASSED)}, {}, set(),
     [("s", "plain")]),
    ("system-skipped-other-reason", [SYSTEM], {"s": PASSED}, {"s": Verdict("s", SKIPPED, "no display")}, {}, set(),
     [("s", "plain")]),
    ("system-allowed-agrees", [SYSTEM], {"s": PASSED}, {"s": Verdict("s", SKIPPED, ALLOWED)},
     {"s": Verdict("s", PASSED)}, {"s"}, []),
    ("system-allowed-fails", [SYSTEM], {"s": PASSED}, {"s": Verdict("s", SKIPPED, ALLOWED)},
     {"s": Verdict("s", FAILED, "left behind: ...")}, {"s"}, [("s", "system")]),
]


@pytest.mark.parametrize("cases, ctest, plain, system, system_cases, expected",
                         [case[1:] for case in COMPARISONS], ids=[case[0] for case in COMPARISONS])
def test_compare(cases, ctest, plain, system, system_cases, expected) -> None:
    ctest_verdicts = {name: Verdict(name, verdict) for name, verdict in ctest.items()}
    differences = compare(cases, ctest_verdicts, plain, system, system_cases)
    assert [(difference.name, difference.run) for difference in differences] == expected


# A case that failed and passed when run once more counts as passed; one that did not run again keeps its failure,
# and a second run never replaces a verdict that was not a failure.
@pytest.mark.parametrize("first, second, expected", [
    ({"a": FAILED}, {"a": PASSED}, {"a": PASSED}),
    ({"a": FAILED}, {"a": FAILED}, {"a": FAILED}),
    ({"a": FAILED, "b": PASSED}, {}, {"a": FAILED, "b": PASSED}),
    ({"a": SKIPPED}, {"a": PASSED}, {"a": SKIPPED}),
], ids=["passes-again", "fails-again", "not-run-again", "only-failures-replaced"])
def test_again(first, second, expected) -> None:
    merged = again({name: Verdict(name, verdict) for name, verdict in first.items()},
                   {name: Verdict(name, verdict) for name, verdict in second.items()})
    assert {name: verdict.verdict for name, verdict in merged.items()} == expected
