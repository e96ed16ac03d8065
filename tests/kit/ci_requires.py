"""Checks what the CI workflows require of the test kit against the kit's cases; prints JSON, exits 1 on a problem.

A Windows job that runs run-kit.exe names the cases its runner must pass in its KIT_REQUIRE variable (job or step
env, as run-kit.exe's --require takes it: names joined by commas) and hands it over with --require. Problems:
a required name the kit does not have; a list with an empty or spaced name; a job that runs the kit and requires
nothing; a job that allows changes to the machine and does not require every case that makes them; the x64 kit
on an ARM64 runner without --timeout-scale; a job or a step that runs the kit whose failure does not fail the
workflow (continue-on-error), or a step that runs the kit only under a condition (if); a case of the kit that no
job requires.

    ci_requires.py --cases <tests.list or kit-cases.txt> <workflow.yml>...
"""
from __future__ import annotations

import argparse
import json
import re
import sys
from dataclasses import asdict, dataclass
from pathlib import Path

import yaml

from compare_verdicts import KitCase, read_list

PASSES_REQUIRE = re.compile(r"--require\s+\"?\$env:KIT_REQUIRE\b")


@dataclass(frozen=True)
class KitJob:
    file: str
    job: str
    runs_on: str
    require: str | None
    script: str
    lenient: tuple[str, ...]   # what lets the kit's verdict go unseen: continue-on-error, a step's if


@dataclass(frozen=True)
class Problem:
    file: str
    job: str
    message: str


def read_jobs(path: Path) -> list[KitJob]:
    """The jobs of one workflow whose steps run run-kit.exe, with their KIT_REQUIRE and those steps' scripts."""
    workflow = yaml.safe_load(path.read_text(encoding="utf-8")) or {}
    jobs = []
    for name, job in (workflow.get("jobs") or {}).items():
        job = job or {}
        require = (job.get("env") or {}).get("KIT_REQUIRE")
        scripts = []
        # A failure that continue-on-error lets pass, or a step that an if leaves out, is a green job that did
        # not cover; an expression there is refused too, since its value is known only when the job runs.
        lenient = [f"the job has continue-on-error: {job['continue-on-error']!r}"] \
            if job.get("continue-on-error", False) is not False else []
        for step in job.get("steps") or []:
            script = str(step.get("run", ""))
            if "run-kit.exe" in script:
                scripts.append(script)
                require = (step.get("env") or {}).get("KIT_REQUIRE", require)
                if step.get("continue-on-error", False) is not False:
                    lenient.append(f"its step has continue-on-error: {step['continue-on-error']!r}")
                if "if" in step:
                    lenient.append(f"its step runs only if {step['if']!r}")
        if scripts:
            runs_on = job.get("runs-on", "")
            jobs.append(KitJob(str(path), str(name), runs_on if isinstance(runs_on, str) else json.dumps(runs_on),
                               None if require is None else str(require), "\n".join(scripts), tuple(lenient)))
    return jobs


def check(cases: list[KitCase], jobs: list[KitJob]) -> list[Problem]:
    known = {case.name for case in cases}
    required_somewhere: set[str] = set()
    problems = []
    for job in jobs:
        def problem(message: str) -> None:
            problems.append(Problem(job.file, job.job, message))

        names = job.require.split(",") if job.require is not None else []
        if job.require is None or not PASSES_REQUIRE.search(job.script):
            if "--require-all" in job.script:
                names = sorted(known)
            else:
                problem("runs the kit but requires nothing (no --require $env:KIT_REQUIRE, no --require-all)")
                names = []
        for name in names:
            if not name or name != name.strip():
                problem(f"KIT_REQUIRE holds an empty or spaced name: {job.require!r}")
            elif name not in known:
                problem(f"requires {name}, which is not a case of the kit")
            else:
                required_somewhere.add(name)
        if "--allow-system-changes" in job.script:
            missing = [case.name for case in cases if case.system_changes and case.name not in names]
            if missing:
                problem("allows changes to the machine but does not require " + ",".join(missing))
        for what in job.lenient:
            problem(f"runs the kit, but its failure may not fail the workflow: {what}")
        if "arm" in job.runs_on and "--timeout-scale" not in job.script:
            problem(f"runs the x64 kit emulated on {job.runs_on} without --timeout-scale")
    unrequired = [case.name for case in cases if case.name not in required_somewhere]
    if unrequired:
        files = " ".join(dict.fromkeys(job.file for job in jobs))
        problems.append(Problem(files, "", "no job requires " + ",".join(unrequired)))
    return problems


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--cases", type=Path, required=True)
    parser.add_argument("workflows", type=Path, nargs="+")
    args = parser.parse_args()

    cases = read_list(args.cases.read_text(encoding="utf-8"))
    if not cases:
        print(f"ci_requires: {args.cases} names no case")
        return 1
    jobs = [job for path in args.workflows for job in read_jobs(path)]
    if not jobs:
        print("ci_requires: no job of these workflows runs run-kit.exe")
        return 1
    problems = check(cases, jobs)
    print(json.dumps({
        "cases": len(cases),
        "jobs": [{"file": job.file, "job": job.job, "required": len(job.require.split(",")) if job.require else 0}
                 for job in jobs],
        "problems": [asdict(problem) for problem in problems],
    }, indent=2))
    for problem in problems:
        print(f"problem: {problem.file}: {problem.job or '(workflows)'}: {problem.message}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
