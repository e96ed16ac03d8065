#!/usr/bin/env bash
# check-regeneration.sh <source dir> <scratch dir> <built payload dir>
# Every output of the image's build is made again when it is deleted, alone or together with the others, with
# Makefiles as with Ninja (when installed): the digest table, the payload manifest, the bill-of-materials
# entries and tools, and the bill of materials, which then names the image's digest; the build after that has
# nothing to do.
set -u
source_dir="$1"
scratch="$2"
payloads="$3"
. "$(dirname "$0")/common.sh"
rm -rf "$scratch" && mkdir -p "$scratch/p"
cp "$payloads"/* "$scratch/p/"

table=src/QuorlithSetup.bundle/digests.cpp
entries=src/QuorlithSetup.bundle/sbom-components.json
tools=src/QuorlithSetup.sbom-tools.json
# Alone, the manifest and the document; together, all (the Makefiles generator used to stop on a missing table).
sets=(QuorlithSetup.payloads.json QuorlithSetup.cdx.json
      "$table QuorlithSetup.payloads.json $entries $tools QuorlithSetup.cdx.json")
generators=("Unix Makefiles")
command -v ninja >/dev/null && generators+=(Ninja)

build() { cmake --build "$scratch/b" --target QuorlithSetup -j2 >"$scratch/log" 2>&1; }
present() { (cd "$scratch/b" && for file in "$@"; do test -s "$file" || return 1; done); }
idle() { build && ! grep -E 'Generating|Listing|Linking|Writing' "$scratch/log"; }
names_image() {
  test "$(jq -r '.metadata.component.hashes[0].content' "$scratch/b/QuorlithSetup.cdx.json")" = \
       "$(sha256sum < "$scratch/b/QuorlithSetup.exe" | cut -c1-64)"
}

for generator in "${generators[@]}"; do
  rm -rf "$scratch/b"
  check "configure ($generator)" cmake -S "$source_dir" -B "$scratch/b" -G "$generator" \
    -DQUORLITH_PAYLOAD_DIR="$scratch/p" -DBUILD_TESTING=OFF >"$scratch/log" 2>&1
  check "build ($generator)" build
  for set in "${sets[@]}"; do
    read -ra files <<<"$set"
    (cd "$scratch/b" && rm -f "${files[@]}")
    check "$generator: rebuild after deleting $set" build
    check "$generator: $set made again" present "${files[@]}"
    check "$generator: the bill of materials names the image" names_image
    check "$generator: the next build has nothing to do" idle
  done
done

rm -rf "$scratch"
echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
