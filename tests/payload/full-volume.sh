#!/usr/bin/env bash
# full-volume.sh <payload_extract.exe> <wine prefix> <scratch dir>
# Mounts a 1 MiB tmpfs, maps it as a free drive letter of the prefix and lets the extraction run into it:
# a real full volume, where writing fails with ERROR_DISK_FULL. Exits 77 (skipped) where mounting is not
# permitted.
set -u
program="$1"
prefix="$2"
scratch="$3"
volume="$scratch/volume"
letter=""

cleanup() {
  [ -n "$letter" ] && rm -f "$prefix/dosdevices/$letter:"
  umount "$volume" 2>/dev/null
}

mkdir -p "$volume"
umount "$volume" 2>/dev/null
if ! mount -t tmpfs -o size=1m tmpfs "$volume" 2>/dev/null; then
  echo "skipped: cannot mount a tmpfs here (mounting needs root or CAP_SYS_ADMIN)"
  exit 77
fi
trap cleanup EXIT

# The prefix is shared with other tests: claim a letter that nobody uses. Creating the link is atomic,
# so two runs can never claim the same one.
for candidate in q r s t u v w x y; do
  if ln -s "$volume" "$prefix/dosdevices/$candidate:" 2>/dev/null; then
    letter="$candidate"
    break
  fi
done
if [ -z "$letter" ]; then
  echo "skipped: no free drive letter in $prefix"
  exit 77
fi

WINEPREFIX="$prefix" WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}" \
  wine "$program" full-volume "${letter^^}:\\Quorlith-Install.exe"
status=$?

left=$(ls -A "$volume")
if [ -n "$left" ]; then
  echo "left on the full volume: $left"
  [ "$status" -eq 0 ] && status=1
fi
exit "$status"
