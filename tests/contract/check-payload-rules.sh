#!/usr/bin/env bash
# check-payload-rules.sh <source dir> <scratch dir> <built payload dir>
# The build's rules for a given payload folder: a missing, empty or oversized file stops the configure step
# with a message naming it; 256 MiB exactly is accepted; a payload changed after configuring regenerates the
# digest table and relinks the image, and once rebuilt, a payload merely touched leaves nothing to do.
set -u
source_dir="$1"
scratch="$2"
payloads="$3"
names=(dotnet-host.msi dotnet-hostfxr.msi dotnet-runtime.msi windowsdesktop-runtime.msi Quorlith-Install.exe)
. "$(dirname "$0")/common.sh"

fresh_payloads() { # copies the built sample payloads into $scratch/p
  rm -rf "$scratch/p" && mkdir -p "$scratch/p" && cp "$payloads"/* "$scratch/p/"
}

configure() { # configure <build dir>; output in $scratch/log
  cmake -S "$source_dir" -B "$1" -DQUORLITH_PAYLOAD_DIR="$scratch/p" -DBUILD_TESTING=OFF >"$scratch/log" 2>&1
}

rm -rf "$scratch" && mkdir -p "$scratch"

fresh_payloads
rm "$scratch/p/dotnet-runtime.msi"
check "a missing payload fails the configure step" bash -c "! cmake -S '$source_dir' -B '$scratch/b1' -DQUORLITH_PAYLOAD_DIR='$scratch/p' -DBUILD_TESTING=OFF >'$scratch/log' 2>&1"
check "the message names the missing file" logged "Payload file is missing: $scratch/p/dotnet-runtime.msi"

fresh_payloads
: > "$scratch/p/Quorlith-Install.exe"
check "an empty payload fails the configure step" bash -c "! cmake -S '$source_dir' -B '$scratch/b2' -DQUORLITH_PAYLOAD_DIR='$scratch/p' -DBUILD_TESTING=OFF >'$scratch/log' 2>&1"
check "the message names the empty file" logged "Payload file is empty (0 bytes): $scratch/p/Quorlith-Install.exe"

fresh_payloads
truncate -s 268435457 "$scratch/p/dotnet-host.msi"
check "a payload over 256 MiB fails the configure step" bash -c "! cmake -S '$source_dir' -B '$scratch/b3' -DQUORLITH_PAYLOAD_DIR='$scratch/p' -DBUILD_TESTING=OFF >'$scratch/log' 2>&1"
check "the message names the oversized file" logged "Payload file is larger than 268435456 bytes (268435457): $scratch/p/dotnet-host.msi"

# 256 MiB exactly is within the bound (the file keeps its package signature; the rest is sparse).
truncate -s 268435456 "$scratch/p/dotnet-host.msi"
check "a payload of exactly 256 MiB is accepted" configure "$scratch/b4"

fresh_payloads
printf 'not a package' > "$scratch/p/windowsdesktop-runtime.msi"
check "a runtime payload that is not an MSI fails" bash -c "! cmake -S '$source_dir' -B '$scratch/b6' -DQUORLITH_PAYLOAD_DIR='$scratch/p' -DBUILD_TESTING=OFF >'$scratch/log' 2>&1"
check "the message names the file that is not an MSI" logged "Payload file is not a Windows Installer package (no compound-file signature): $scratch/p/windowsdesktop-runtime.msi"

fresh_payloads
cp "$scratch/p/dotnet-host.msi" "$scratch/p/Quorlith-Install.exe"
check "an installer that is not an executable fails" bash -c "! cmake -S '$source_dir' -B '$scratch/b7' -DQUORLITH_PAYLOAD_DIR='$scratch/p' -DBUILD_TESTING=OFF >'$scratch/log' 2>&1"
check "the message names the installer" logged "Payload file is not an x64 Windows executable: $scratch/p/Quorlith-Install.exe"
# A 32-bit executable is refused as well: the machine field must be x86-64.
fresh_payloads
python3 - "$scratch/p/Quorlith-Install.exe" <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
at = struct.unpack_from("<I", data, 0x3C)[0]
struct.pack_into("<H", data, at + 4, 0x14C)
open(sys.argv[1], "wb").write(data)
PY
check "a 32-bit installer fails" bash -c "! cmake -S '$source_dir' -B '$scratch/b8' -DQUORLITH_PAYLOAD_DIR='$scratch/p' -DBUILD_TESTING=OFF >'$scratch/log' 2>&1"
check "the message names the 32-bit installer" logged "Payload file is not an x64 Windows executable: $scratch/p/Quorlith-Install.exe"
rm -rf "$scratch"/b[1-4678]

# A payload changed after configuring: the table is regenerated and the image relinked.
fresh_payloads
check "configure with a given payload folder" configure "$scratch/b5"
check "build with a given payload folder" cmake --build "$scratch/b5" --target QuorlithSetup -j2 >"$scratch/log" 2>&1
# The payload manifest beside the image names each payload with the digest the table holds.
json="$scratch/b5/QuorlithSetup.payloads.json"
index=0
for name in "${names[@]}"; do
  digest=$(sha256sum "$scratch/p/$name" | cut -c1-64)
  size=$(stat -c %s "$scratch/p/$name")
  entry="{ \"id\": $((101 + index)), \"file\": \"$name\", \"size\": $size, \"sha256\": \"$digest\" }"
  check "payload manifest entry for $name" grep -qF "$entry" "$json"
  check "digest table row for $name" grep -q "$(echo "$digest" | sed 's/../0x&,/g')" "$scratch/b5/src/QuorlithSetup.bundle/digests.cpp"
  index=$((index + 1))
done
table="$scratch/b5/src/QuorlithSetup.bundle/digests.cpp"
old_table=$(cat "$table" 2>/dev/null)
old_image=$(sha256sum < "$scratch/b5/QuorlithSetup.exe")
printf 'changed' >> "$scratch/p/dotnet-hostfxr.msi"
new_digest=$(sha256sum "$scratch/p/dotnet-hostfxr.msi" | cut -c1-64 | sed 's/../0x&,/g')
check "rebuild after a payload change" cmake --build "$scratch/b5" --target QuorlithSetup -j2 >"$scratch/log" 2>&1
check "the digest table was regenerated" bash -c "[ \"\$(cat '$table')\" != '$old_table' ]"
check "the table holds the new digest" grep -q "$new_digest" "$table"
check "the image was relinked" bash -c "[ \"\$(sha256sum < '$scratch/b5/QuorlithSetup.exe')\" != '$old_image' ]"
# A payload touched but not changed: one build regenerates the table (the same text), the next has nothing to do.
touch "$scratch/p/dotnet-host.msi"
check "rebuild after a payload was touched" cmake --build "$scratch/b5" --target QuorlithSetup -j2 >"$scratch/log" 2>&1
check "the next build has nothing to do" bash -c "cmake --build '$scratch/b5' --target QuorlithSetup -j2 >'$scratch/log' 2>&1 &&
  ! grep -E 'Generating|Building|Linking|Writing' '$scratch/log'"

# Emptied after configuring: the build-time check stops it, naming the file.
: > "$scratch/p/dotnet-hostfxr.msi"
check "a payload emptied after configuring fails the build" bash -c "! cmake --build '$scratch/b5' --target QuorlithSetup >'$scratch/log' 2>&1"
check "the build message names the file" logged "Payload file is empty (0 bytes): $scratch/p/dotnet-hostfxr.msi"

rm -rf "$scratch"
echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
