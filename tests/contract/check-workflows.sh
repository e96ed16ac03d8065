#!/usr/bin/env bash
# The CI definition passes the workflow linter, and the linter really looks: a workflow with known faults
# must be refused with each of them named, at its line. Then what the Windows jobs require of the test kit:
# every name a case of the kit (the list CMake recorded), every case required by some job; the same check must
# name each fault of a workflow planted with them, and a name planted in the CI definition's own list.
#
#   check-workflows.sh <source dir> <kit-cases.txt> <python>
set -u
source_dir="$1" kit_cases="$2" python="$3"
lint="$source_dir/tools/workflow-lint/lint.cjs"
requires="$source_dir/tests/kit/ci_requires.py"
faulty="$source_dir/tests/contract/workflows/faulty.yml"
faulty_require="$source_dir/tests/contract/workflows/faulty-require"
passed=0
failed=0

check() {   # check <condition status> <message>
  if [ "$1" -eq 0 ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAILED: $2"
  fi
}

output=$(node "$lint" "$source_dir"/.github/workflows/*.yml)
status=$?
echo "$output"
# A linter that is not installed says so in one line: that is the whole answer.
if grep -q 'not installed' <<<"$output"; then
  echo "0 passed, 1 failed"
  exit 1
fi
check "$status" "the workflows have problems (exit status $status)"

output=$(node "$lint" "$faulty")
status=$?
[ "$status" -ne 0 ]
check $? "the faulty workflow passed"
# <line>:<column>: ... [<kind>] for each planted fault; the ARM64 runner label on line 16 is not one.
for expected in "7:14 runner-label" "9:15 action" "12:11 action" "13:24 expression" "14:3 job-needs" \
                "18:23 expression"; do
  position=${expected% *}
  kind=${expected#* }
  grep -q "faulty.yml:$position: .*\[$kind\]\$" <<<"$output"
  check $? "not named: $kind at $position"
done
count=$(grep -c 'faulty.yml:' <<<"$output")
[ "$count" -eq 6 ]
check $? "$count problems named in the faulty workflow, expected 6:
$output"

output=$("$python" "$requires" --cases "$kit_cases" "$source_dir"/.github/workflows/*.yml)
status=$?
grep '^problem: \|^ci_requires: ' <<<"$output"
check "$status" "what the CI jobs require does not fit the kit's cases (exit status $status)"

output=$("$python" "$requires" --cases "$faulty_require.list" "$faulty_require.yml")
status=$?
[ "$status" -ne 0 ]
check $? "the faulty require lists passed"
while IFS= read -r expected; do
  grep -qF "problem: $faulty_require.yml: $expected" <<<"$output"
  check $? "not named: $expected"
done <<'LIST'
x64: requires no_such_case, which is not a case of the kit
x64: allows changes to the machine but does not require gamma
arm: KIT_REQUIRE holds an empty or spaced name: 'arm_only, alpha'
arm: runs the x64 kit emulated on windows-11-arm without --timeout-scale
unrequired: runs the kit but requires nothing (no --require $env:KIT_REQUIRE, no --require-all)
(workflows): no job requires gamma,lonely
lenient: runs the kit, but its failure may not fail the workflow: the job has continue-on-error: True
lenient: runs the kit, but its failure may not fail the workflow: its step has continue-on-error: '${{ matrix.experimental }}'
lenient: runs the kit, but its failure may not fail the workflow: its step runs only if "github.ref == 'refs/heads/main'"
LIST
count=$(grep -c '^problem: ' <<<"$output")
[ "$count" -eq 9 ]
check $? "$count problems named in the faulty require lists, expected 9:
$output"

# The CI definition itself, with a case the kit does not have added to the first list it requires.
planted=$(mktemp --suffix=.yml)
sed '0,/KIT_REQUIRE: /s//KIT_REQUIRE: no_such_case,/' "$source_dir/.github/workflows/ci.yml" >"$planted"
output=$("$python" "$requires" --cases "$kit_cases" "$planted")
status=$?
grep -q "^problem: $planted: windows-x64: requires no_such_case, which is not a case of the kit\$" <<<"$output" &&
  [ "$status" -ne 0 ]
check $? "a case planted in the x64 job's list was not named:
$output"
rm -f "$planted"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
