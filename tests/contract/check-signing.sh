#!/usr/bin/env bash
# check-signing.sh <source dir> <scratch dir> <built payload dir> <wine-run>
# The optional signing step: signs with a throwaway certificate made here; the signature verifies, the signed
# image still passes its own "--verify-bundle" under Wine (WINEPREFIX comes from the test), and the bill of
# materials names the signed image.
set -u
source_dir="$1"
scratch="$2"
payloads="$3"
wine_run="$4"
failures=0
passed=0
check() {
  local what="$1"; shift
  if "$@" >>"$scratch/log" 2>&1; then passed=$((passed + 1)); else failures=$((failures + 1)); echo "FAILED: $what"; fi
}

rm -rf "$scratch" && mkdir -p "$scratch"
: > "$scratch/log"
printf 'throwaway-%s' "$RANDOM$RANDOM" > "$scratch/password.txt"
check "make a throwaway certificate" openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quorlith Test Signing" \
  -keyout "$scratch/key.pem" -out "$scratch/cert.pem"
check "pack it as PKCS#12" openssl pkcs12 -export -inkey "$scratch/key.pem" -in "$scratch/cert.pem" \
  -out "$scratch/sign.pfx" -passout "file:$scratch/password.txt"
check "configure with signing" cmake -S "$source_dir" -B "$scratch/build" -DQUORLITH_PAYLOAD_DIR="$payloads" \
  -DBUILD_TESTING=OFF -DQUORLITH_SIGN_PFX="$scratch/sign.pfx" -DQUORLITH_SIGN_PASSWORD_FILE="$scratch/password.txt"
check "build and sign" cmake --build "$scratch/build" --target QuorlithSetup -j2
image="$scratch/build/QuorlithSetup.exe"
check "the signature verifies" osslsigncode verify -in "$image" -CAfile "$scratch/cert.pem"
check "the bill of materials names the signed image" \
  grep -qF "\"content\": \"$(sha256sum < "$image" | cut -c1-64)\"" "$scratch/build/QuorlithSetup.cdx.json"
check "the password is not in the build files" bash -c "! grep -rqF \"\$(cat '$scratch/password.txt')\" '$scratch/build'/*.ninja '$scratch/build'/CMakeFiles/*.dir/build.make '$scratch/build'/src/CMakeFiles 2>/dev/null"
check "the signed image passes --verify-bundle" "$wine_run" "$image" --verify-bundle "Z:${scratch//\//\\}\\report.json"
check "its report was written" test -s "$scratch/report.json"

if [ "$failures" -ne 0 ]; then cat "$scratch/log"; fi
rm -rf "$scratch"
echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
