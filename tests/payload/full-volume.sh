#!/usr/bin/env bash
# full-volume.sh <payload_extract.exe> <template wine prefix> <scratch dir>
# Mounts a 1 MiB tmpfs, maps it as drive Q: of a prefix of its own (a copy of the template: drive letters
# are prefix configuration, and a mount under a running wineserver is no business of other tests) and lets
# the extraction run into it: a real full volume, where writing fails with ERROR_DISK_FULL. Exits 77
# (skipped) where mounting is not permitted.
set -u
program="$1"
template="$2"
scratch="$3"
volume="$scratch/volume"
prefix="$scratch/prefix"
letter="q"

cleanup() {
  WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1
  umount "$volume" 2>/dev/null
  rm -rf "$prefix"
}

mkdir -p "$volume"
umount "$volume" 2>/dev/null
if ! mount -t tmpfs -o size=1m tmpfs "$volume" 2>/dev/null; then
  echo "skipped: cannot mount a tmpfs here (mounting needs root or CAP_SYS_ADMIN)"
  exit 77
fi
trap cleanup EXIT

rm -rf "$prefix"
cp -a "$template" "$prefix"
ln -s "$volume" "$prefix/dosdevices/$letter:"

WINEPREFIX="$prefix" WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}" \
  wine "$program" full-volume "${letter^^}:\\Quorlith-Install.exe"
status=$?

left=$(ls -A "$volume")
if [ -n "$left" ]; then
  echo "left on the full volume: $left"
  [ "$status" -eq 0 ] && status=1
fi
exit "$status"
