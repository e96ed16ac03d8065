#!/bin/sh
# link-with-lld.sh <clang++> <target triple> <compiler> <link arguments...>
# Runs a link line written for the MinGW GCC driver through clang's MinGW driver and LLD instead: Debian's
# MinGW GCC always runs GNU ld, whatever -fuse-ld says.
clang="$1"
triple="$2"
shift 3
exec "$clang" "--target=$triple" -fuse-ld=lld "$@"
