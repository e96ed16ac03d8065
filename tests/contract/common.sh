# Sourced by the build-contract scripts, after they set $scratch: counted checks and the build log.
failures=0
passed=0

check() { # check <description> <condition...>
  local what="$1"; shift
  if "$@"; then passed=$((passed + 1)); else failures=$((failures + 1)); echo "FAILED: $what"; fi
}

fails() { ! "$@"; }

logged() { # logged <text>: the last log holds text (CMake wraps long messages at spaces, so join them back)
  tr '\n' '\r' < "$scratch/log" | sed 's/\r  / /g' | grep -qF "$1"
}
