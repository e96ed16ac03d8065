#!/usr/bin/env bash
# The CI definition passes the workflow linter, and the linter really looks: a workflow with known faults
# must be refused with each of them named, at its line.
#
#   check-workflows.sh <source dir>
set -u
source_dir="$1"
lint="$source_dir/tools/workflow-lint/lint.cjs"
faulty="$source_dir/tests/contract/workflows/faulty.yml"
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

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
