"""Compares run-kit.exe's verdicts under Wine with CTest's for the same cases; prints JSON, exits 1 on a difference.

A case that changes the machine must be skipped, saying why, in the run without --allow-system-changes, and
give CTest's verdict in the run with it. Every other case must give CTest's verdict. A case CTest did not run in
this run (a partial ctest) must not fail under the kit either.
"""
from __future__ import annotations

import argparse
import json
import sys
from dataclasses import asdict, dataclass
from pathlib import Path

from kit_verdicts import FAILED, SKIPPED, Verdict, read_ctest_log, read_junit

SYSTEM_CHANGES_REASON = "run with --allow-system-changes"


@dataclass(frozen=True)
class Difference:
    name: str
    run: str
    ctest: str
    kit: str
    message: str


@dataclass(frozen=True)
class KitCase:
    name: str
    system_changes: bool


def read_list(text: str) -> list[KitCase]:
    """The kit's cases from tests.list: the name and flags are its first two tab-separated fields."""
    cases = []
    for line in text.splitlines():
        fields = line.split("\t")
        if len(fields) >= 4:
            cases.append(KitCase(fields[0], fields[1] == "system-changes"))
    return cases


def compare(cases: list[KitCase], ctest: dict[str, Verdict], plain: dict[str, Verdict],
            system: dict[str, Verdict], system_cases: set[str]) -> list[Difference]:
    differences = []

    def check(run: str, case: KitCase, kit: Verdict | None) -> None:
        expected = ctest.get(case.name)
        got = kit.verdict if kit else "missing"
        message = kit.message if kit else "not in the report"
        if expected is None:
            if got in ("missing", FAILED):
                differences.append(Difference(case.name, run, "not run", got, message))
        elif got != expected.verdict:
            differences.append(Difference(case.name, run, expected.verdict, got, message))

    for case in cases:
        kit = plain.get(case.name)
        if case.system_changes:
            if not kit or kit.verdict != SKIPPED or SYSTEM_CHANGES_REASON not in kit.message:
                differences.append(Difference(case.name, "plain", "skipped without the option",
                                              kit.verdict if kit else "missing", kit.message if kit else ""))
        else:
            check("plain", case, kit)
        if case.name in system_cases:
            check("system", case, system.get(case.name))
    return differences


def again(first: dict[str, Verdict], second: dict[str, Verdict]) -> dict[str, Verdict]:
    """The verdicts of a run with those of its failed cases run once more in their place."""
    return {name: second.get(name, verdict) if verdict.verdict == FAILED else verdict
            for name, verdict in first.items()}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--ctest-log", type=Path, required=True)
    parser.add_argument("--plain", type=Path, required=True)
    parser.add_argument("--system", type=Path, required=True)
    parser.add_argument("--system-cases", required=True)
    parser.add_argument("--list", type=Path, required=True)
    parser.add_argument("--again", type=Path,
                        help="the report of the cases that failed in the plain run, run once more: as under "
                             "CTest, a case's last verdict counts")
    args = parser.parse_args()

    cases = read_list(args.list.read_text(encoding="utf-8"))
    ctest = read_ctest_log(args.ctest_log.read_text(encoding="utf-8", errors="replace")) \
        if args.ctest_log.exists() else {}
    reports = {}
    for run, path in (("plain", args.plain), ("system", args.system)):
        reports[run] = read_junit(path.read_text(encoding="utf-8")) if path.exists() else {}
    if args.again and args.again.exists():
        reports["plain"] = again(reports["plain"], read_junit(args.again.read_text(encoding="utf-8")))
    system_cases = set(filter(None, args.system_cases.split(",")))
    differences = compare(cases, ctest, reports["plain"], reports["system"], system_cases)
    print(json.dumps({
        "cases": len(cases),
        "ctestVerdicts": sum(1 for case in cases if case.name in ctest),
        "differences": [asdict(difference) for difference in differences],
    }, indent=2))
    differing = {difference.name for difference in differences}
    compared = sum(1 for case in cases if case.name in ctest)
    print(f"{len(cases) - len(differing)} of {len(cases)} kit cases as expected, {len(differing)} not "
          f"({compared} compared with CTest's verdict in this run, the others only required not to fail)")
    return 1 if differences or not reports["plain"] else 0


if __name__ == "__main__":
    sys.exit(main())
