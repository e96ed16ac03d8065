#!/usr/bin/env bash
# check-signing.sh <source dir> <scratch dir> <built payload dir> <wine-run>
# The optional signing step: signs with a throwaway certificate made here; the signature verifies, the signed
# image still passes its own "--verify-bundle" under Wine (WINEPREFIX comes from the test), and the bill of
# materials names the signed image. With a time-stamp server, a time-stamp authority of the test's own on
# 127.0.0.1 countersigns; a server that cannot be reached or answers with an error fails the build, names its
# URL and leaves no image, nor bill of materials, behind.
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
# build_says <text>: the last build log holds text (CMake wraps long messages at spaces, so join them back)
build_says() { tr '\n' '\r' < "$scratch/build.log" | sed 's/\r  / /g' | grep -qF "$1"; }

tsa_pid=""
stop_tsa() { if [ -n "$tsa_pid" ]; then kill "$tsa_pid" 2>/dev/null; wait "$tsa_pid" 2>/dev/null; tsa_pid=""; fi; }
trap stop_tsa EXIT
trap 'exit 1' INT TERM HUP
export no_proxy=127.0.0.1 NO_PROXY=127.0.0.1

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
# Values that CMake's if() reads as false stop configure, naming the option, rather than build an image
# without its signature or its time stamp.
for option in "QUORLITH_SIGN_PFX=$scratch/sign-NOTFOUND" "QUORLITH_SIGN_PASSWORD_FILE=$scratch/password-NOTFOUND" \
              "QUORLITH_SIGN_TIMESTAMP_URL:STRING=OFF"; do
  name=${option%%[:=]*}
  check "$name set to what CMake reads as false stops configure" bash -c "! cmake -S '$source_dir' \
    -B '$scratch/build-false' -DQUORLITH_PAYLOAD_DIR='$payloads' -DBUILD_TESTING=OFF \
    -DQUORLITH_SIGN_PFX='$scratch/sign.pfx' -DQUORLITH_SIGN_PASSWORD_FILE='$scratch/password.txt' \
    '-D$option' >'$scratch/log' 2>&1"
  check "the message names $name" grep -q "$name" "$scratch/log"
  rm -rf "$scratch/build-false"
done
image="$scratch/build/QuorlithSetup.exe"
check "the signature verifies" osslsigncode verify -in "$image" -CAfile "$scratch/cert.pem"
check "the bill of materials names the signed image" \
  grep -qF "\"content\": \"$(sha256sum < "$image" | cut -c1-64)\"" "$scratch/build/QuorlithSetup.cdx.json"
check "the password is not in the build files" bash -c "! grep -rqF \"\$(cat '$scratch/password.txt')\" '$scratch/build'/*.ninja '$scratch/build'/CMakeFiles/*.dir/build.make '$scratch/build'/src/CMakeFiles 2>/dev/null"

# The time-stamp authority: "openssl ts -reply" behind a small HTTP responder; the path /fail answers 500.
check "make a throwaway TSA certificate" openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quorlith Test TSA" \
  -addext "extendedKeyUsage=critical,timeStamping" -keyout "$scratch/tsa-key.pem" -out "$scratch/tsa-cert.pem"
echo 01 > "$scratch/tsa-serial"
cat > "$scratch/tsa.cnf" <<EOF
[tsa]
serial = $scratch/tsa-serial
signer_cert = $scratch/tsa-cert.pem
signer_key = $scratch/tsa-key.pem
signer_digest = sha256
default_policy = 1.2.3.4.1
digests = sha1, sha256, sha384, sha512
ess_cert_id_alg = sha256
EOF
cat > "$scratch/tsa.py" <<'EOF'
import http.server, os, subprocess, sys, tempfile

class Responder(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        if self.path == "/fail":
            self.send_error(500)
            return
        with tempfile.TemporaryDirectory() as work:
            open(work + "/query", "wb").write(query)
            subprocess.run(["openssl", "ts", "-reply", "-config", sys.argv[1], "-section", "tsa",
                            "-queryfile", work + "/query", "-out", work + "/reply"], check=True)
            reply = open(work + "/reply", "rb").read()
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

server = http.server.HTTPServer(("127.0.0.1", 0), Responder)
# Written whole, then renamed: the script reads the port as soon as the file exists.
open(sys.argv[2] + ".part", "w").write(str(server.server_address[1]))
os.rename(sys.argv[2] + ".part", sys.argv[2])
server.serve_forever()
EOF
python3 "$scratch/tsa.py" "$scratch/tsa.cnf" "$scratch/tsa-port" >>"$scratch/log" 2>&1 &
tsa_pid=$!
for _ in $(seq 100); do [ -s "$scratch/tsa-port" ] && break; sleep 0.1; done
tsa="http://127.0.0.1:$(cat "$scratch/tsa-port" 2>/dev/null)"
# A loopback port that was free a moment ago: nothing answers there.
closed="http://127.0.0.1:$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')/"

# time-stamp server | result | case
cases=(
  "$closed|fails|an unreachable server"
  "$tsa/fail|fails|a server answering with an error"
  "$tsa/|signs|the test's own TSA"
)
for row in "${cases[@]}"; do
  IFS='|' read -r url result what <<<"$row"
  check "configure with $what" cmake -S "$source_dir" -B "$scratch/build" -DQUORLITH_SIGN_TIMESTAMP_URL="$url"
  if [ "$result" = fails ]; then
    check "$what fails the build" bash -c "! cmake --build '$scratch/build' --target QuorlithSetup -j2 >'$scratch/build.log' 2>&1"
    check "the message names $url" build_says "with a timestamp from $url failed"
    check "no image is left after $what" test ! -e "$image"
    check "nor the earlier build's bill of materials" test ! -e "$scratch/build/QuorlithSetup.cdx.json"
  else
    # The image is missing after the failures: this build links it again.
    check "build, sign and timestamp with $what" cmake --build "$scratch/build" --target QuorlithSetup -j2
    osslsigncode verify -in "$image" -CAfile "$scratch/cert.pem" -TSA-CAfile "$scratch/tsa-cert.pem" >"$scratch/verify.log" 2>&1
    check "the timestamp verifies" grep -q "^Timestamp Server Signature verification: ok" "$scratch/verify.log"
    check "the signature verifies" grep -q "^Signature verification: ok" "$scratch/verify.log"
  fi
done
stop_tsa

check "the signed image passes --verify-bundle" "$wine_run" "$image" --verify-bundle "Z:${scratch//\//\\}\\report.json"
check "its report was written" test -s "$scratch/report.json"

if [ "$failures" -ne 0 ]; then cat "$scratch/log" "$scratch/verify.log" "$scratch/build.log" 2>/dev/null; fi
rm -rf "$scratch"
echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
