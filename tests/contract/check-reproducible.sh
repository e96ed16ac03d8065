#!/usr/bin/env bash
# check-reproducible.sh <source dir> <scratch dir> <built payload dir>
# Two builds of the same sources and payloads in different directories give byte-identical images and bills
# of materials, and neither names a build path.
set -u
source_dir="$1"
scratch="$2"
payloads="$3"
rm -rf "$scratch" && mkdir -p "$scratch/payloads" "$scratch/one" "$scratch/second/deeper/place"
cp "$payloads"/dotnet-host.msi "$payloads"/dotnet-hostfxr.msi "$payloads"/dotnet-runtime.msi \
   "$payloads"/windowsdesktop-runtime.msi "$payloads"/Quorlith-Install.exe "$scratch/payloads/"

failures=0
for build in "$scratch/one" "$scratch/second/deeper/place"; do
  if ! cmake -S "$source_dir" -B "$build" -DQUORLITH_PAYLOAD_DIR="$scratch/payloads" -DBUILD_TESTING=OFF >"$scratch/log" 2>&1 ||
     ! cmake --build "$build" --target QuorlithSetup -j2 >>"$scratch/log" 2>&1; then
    cat "$scratch/log"
    echo "FAILED: build in $build"
    failures=$((failures + 1))
  fi
done

first="$scratch/one/QuorlithSetup.exe"
second="$scratch/second/deeper/place/QuorlithSetup.exe"
if [ "$failures" -eq 0 ]; then
  if cmp "$first" "$second"; then
    echo "identical: $(sha256sum < "$first" | cut -c1-64) ($(stat -c %s "$first") bytes)"
  else
    echo "FAILED: the two images differ"
    failures=$((failures + 1))
  fi
  if ! cmp "${first%.exe}.cdx.json" "${second%.exe}.cdx.json"; then
    echo "FAILED: the two bills of materials differ"
    failures=$((failures + 1))
  fi
  for text in "$scratch" "$source_dir" "$(basename "$scratch")"; do
    if grep -qaF "$text" "$first" "${first%.exe}.cdx.json"; then
      echo "FAILED: the image or its bill of materials holds the build path text $text"
      failures=$((failures + 1))
    fi
  done
fi
rm -rf "$scratch"
echo "$((failures == 0 ? 1 : 0)) passed, $failures failed"
[ "$failures" -eq 0 ]
