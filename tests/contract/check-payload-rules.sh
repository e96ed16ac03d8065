#!/usr/bin/env bash
# check-payload-rules.sh <source dir> <scratch dir> <built payload dir>
# The build's rules for a given payload folder: a missing, empty or oversized file stops the configure step
# with a message naming it; 256 MiB exactly is accepted; a runtime package that cannot satisfy its slot's
# presence test (wrong release, slot, processor or scope, unreadable) is refused, at configure and at build
# time; a payload changed after configuring regenerates the digest table and relinks the image, and once
# rebuilt, a payload merely touched leaves nothing to do.
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
check "the message names the installer" logged "Payload file is not an x64 Windows executable: it is no PE image: $scratch/p/Quorlith-Install.exe"
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
check "the message names the 32-bit installer" logged "Payload file is not an x64 Windows executable: its machine is 0x014C, not AMD64 (0x8664): $scratch/p/Quorlith-Install.exe"
# A payload folder whose path holds CMake's list separator: configure names the option.
rm -rf "$scratch/p;x" && mkdir -p "$scratch/p;x" && cp "$payloads"/* "$scratch/p;x/"
check "a payload folder with a ; in its path fails the configure step" bash -c "! cmake -S '$source_dir' -B '$scratch/b10' -DQUORLITH_PAYLOAD_DIR='$scratch/p;x' -DBUILD_TESTING=OFF >'$scratch/log' 2>&1"
check "the message names the option" logged 'QUORLITH_PAYLOAD_DIR holds a ";", which CMake takes for a list separator'
# One whose path CMake's if() reads as false: the build would embed the sample payloads in its place.
rm -rf "$scratch/p-NOTFOUND" && mkdir -p "$scratch/p-NOTFOUND" && cp "$payloads"/* "$scratch/p-NOTFOUND/"
check "a payload folder ending in -NOTFOUND fails the configure step" bash -c "! cmake -S '$source_dir' -B '$scratch/b10' -DQUORLITH_PAYLOAD_DIR='$scratch/p-NOTFOUND' -DBUILD_TESTING=OFF >'$scratch/log' 2>&1"
check "the message names the option" logged "QUORLITH_PAYLOAD_DIR is \"$scratch/p-NOTFOUND\", which CMake reads as false"
rm -rf "$scratch"/b[1-4678] "$scratch/b10" "$scratch/p;x" "$scratch/p-NOTFOUND"

# Runtime packages that cannot satisfy their slot's presence test, made from the sample sources with wixl
# and bent with msibuild. bend <package> <how> <argument>: writes $scratch/p/<package>.msi.
bend() {
  local msi="$scratch/p/$1.msi"
  case "$2" in
    release|arch) (cd "$source_dir/samples/runtime" && wixl -a "$([ "$2" = arch ] && echo "$3" || echo x64)" \
                     -D Release="$([ "$2" = release ] && echo "$3" || echo 10.0.15)" -D ProductVersion=80.60.52019 \
                     -D Content=marker.txt -o "$msi" "$1.wxs") ;;
    copy) cp "$payloads/$3.msi" "$msi" ;;
    sql) msibuild "$msi" -q "$3" ;;
    garbage) printf '\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1 not a database' > "$msi" ;;
  esac
}
shared='below the 64-bit Program Files folder; it installs'
host='must write the value "Version" under HKLM\SOFTWARE\dotnet\Setup\InstalledVersions\x64\sharedhost (64-bit view) as a text that begins with a number ≥ 10;'
# package | how | argument | the message after the file's path, or "" where the package passes. The proof's
# own case table is the release tool's (tests/release); these show that configure stops on its word.
rules=(
  "dotnet-runtime|release|10.0.14| must install coreclr.dll in dotnet\\shared\\Microsoft.NETCore.App\\10.0.N with N ≥ 15, $shared it in [ProgramFiles64Folder]\\dotnet\\shared\\Microsoft.NETCore.App\\10.0.14"
  "dotnet-runtime|release|10.0.4294967296|"
  "dotnet-host|sql|UPDATE \`Registry\` SET \`Root\` = 1| $host it writes \"10.0.15\" under HKCU"
  "dotnet-runtime|garbage||"
)
for rule in "${rules[@]}"; do
  IFS='|' read -r package how argument message <<<"$rule"
  fresh_payloads
  bend "$package" "$how" "$argument" >"$scratch/log" 2>&1
  file="$scratch/p/$package.msi"
  if [ "$how" = garbage ]; then
    message="Runtime package cannot be read (libmsi cannot open the package); a package the build cannot prove is not embedded: $file"
  elif [ -n "$message" ]; then
    message="$file$message"
  fi
  if [ -z "$message" ]; then
    check "$package.msi, $how $argument: accepted" configure "$scratch/b9"
  else
    check "$package.msi, $how $argument: refused" fails configure "$scratch/b9"
    check "$package.msi, $how $argument: the message says why" logged "$message"
  fi
  rm -rf "$scratch/b9"
done

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
  entry='.id == $id and .file == $file and .size == $size and .sha256 == $sha256'
  # The runtime packages also name the release the proof found, their packed ProductVersion and the path.
  [ $index -lt 4 ] && entry="$entry"' and .version == "10.0.15" and .productVersion == "80.60.52019" and (.installs | length > 0)'
  check "payload manifest entry for $name" jq -e --argjson id $((101 + index)) --arg file "$name" --argjson size "$size" \
    --arg sha256 "$digest" "[.payloads[] | select($entry)] | length == 1" "$json"
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

# A runtime package one patch short, dropped in after configuring: the build proves the packages again.
cp "$scratch/p/dotnet-runtime.msi" "$scratch/runtime.msi"
bend dotnet-runtime release 10.0.14 >"$scratch/log" 2>&1
check "a package one patch short, dropped in after configuring, fails the build" fails cmake --build "$scratch/b5" --target QuorlithSetup >"$scratch/log" 2>&1
check "the build message names the file and its folder" logged "$scratch/p/dotnet-runtime.msi must install coreclr.dll in dotnet\shared\Microsoft.NETCore.App\10.0.N with N ≥ 15, $shared it in [ProgramFiles64Folder]\dotnet\shared\Microsoft.NETCore.App\10.0.14"
mv "$scratch/runtime.msi" "$scratch/p/dotnet-runtime.msi"

# Emptied after configuring: the build-time check stops it, naming the file.
: > "$scratch/p/dotnet-hostfxr.msi"
check "a payload emptied after configuring fails the build" bash -c "! cmake --build '$scratch/b5' --target QuorlithSetup >'$scratch/log' 2>&1"
check "the build message names the file" logged "Payload file is empty (0 bytes): $scratch/p/dotnet-hostfxr.msi"

rm -rf "$scratch"
echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
