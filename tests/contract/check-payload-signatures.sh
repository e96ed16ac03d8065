#!/usr/bin/env bash
# check-payload-signatures.sh <source dir> <scratch dir> <built payload dir>
# Signed payloads only (QUORLITH_PAYLOAD_CA). Copies of the built payloads, signed by a throwaway publisher under
# a throwaway root, build, and the payload manifest and bill of materials name their signer. An unsigned
# payload, one signed under another root, one altered after signing, one whose certificate the given CRL
# revokes, and one signed by another organisation than the pinned one (or by a subject with two) stop the
# configure step, while a pinned organisation with a ";" in it, or that begins with "-", reaches the release tool
# whole; an option value the build's commands cannot carry stops it, naming the option; a payload replaced after
# configuring stops the build. Each message names the file and says what is wrong. Every
# publisher certificate names a CRL distribution point on a closed loopback port, so a check that went to the
# network would fail.
set -u
source_dir="$1"
scratch="$2"
payloads="$3"
names=(dotnet-host.msi dotnet-hostfxr.msi dotnet-runtime.msi windowsdesktop-runtime.msi Quorlith-Install.exe)
publisher="/O=Quorlith Test/CN=Quorlith Test Publisher"
. "$(dirname "$0")/common.sh"

fails() { ! "$@"; }
root() { # root <name>: a self-signed root that also issues CRLs
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quorlith Test $1" -keyout "$scratch/$1-key.pem" \
    -out "$scratch/$1.pem" -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
} >"$scratch/log" 2>&1
issue() { # issue <root> <name> <serial> <subject>: a code-signing certificate under <root>
  openssl req -new -newkey rsa:2048 -nodes -utf8 -subj "$4" -keyout "$scratch/$2-key.pem" -out "$scratch/$2.csr" &&
  openssl x509 -req -in "$scratch/$2.csr" -CA "$scratch/$1.pem" -CAkey "$scratch/$1-key.pem" -days 2 \
    -set_serial "$3" -out "$scratch/$2.pem" -extfile <(printf 'keyUsage=critical,digitalSignature\n%s\n%s\n' \
      extendedKeyUsage=codeSigning "crlDistributionPoints=URI:http://127.0.0.1:$closed_port/$1.crl")
} >"$scratch/log" 2>&1
crl() { # crl <root> <revoked certificate...>: the root's CRL, in $scratch/<root>-crl.pem
  printf '[ca]\ndefault_ca = db\n[db]\ndatabase = %s\ndefault_md = sha256\ndefault_crl_days = 2\n' \
    "$scratch/$1-index" > "$scratch/$1-ca.cnf" && : > "$scratch/$1-index" && local root="$1" && shift &&
  for certificate in "$@"; do
    openssl ca -config "$scratch/$root-ca.cnf" -keyfile "$scratch/$root-key.pem" -cert "$scratch/$root.pem" \
      -revoke "$scratch/$certificate.pem" || return 1
  done &&
  openssl ca -config "$scratch/$root-ca.cnf" -keyfile "$scratch/$root-key.pem" -cert "$scratch/$root.pem" -gencrl \
    -out "$scratch/$root-crl.pem"
} >"$scratch/log" 2>&1
sign() { # sign <certificate> <payload name>: signs the built payload into $scratch/p
  osslsigncode sign -certs "$scratch/$1.pem" -key "$scratch/$1-key.pem" -h sha256 \
    -in "$payloads/$2" -out "$scratch/p/$2.signed" >"$scratch/log" 2>&1 && mv "$scratch/p/$2.signed" "$scratch/p/$2"
}
# spoil <how> <payload name>: "altered" changes one byte of the first section; "revoked", "stranger",
# "accented", "semicolon", "escaped" and "doubled" sign under the release root with a revoked certificate, another
# organisation's, one whose organisation osslsigncode prints escaped, one whose organisation holds a ";", one
# whose organisation is the literal text of such an escape, and one whose subject has two organisations
spoil() {
  case "$1" in
    unsigned) cp "$payloads/$2" "$scratch/p/$2" ;;
    other-root|revoked|stranger|accented|semicolon|escaped|doubled) sign "$1" "$2" ;;
    altered)
      local byte; byte=$(od -An -tu1 -j1100 -N1 "$scratch/p/$2")
      printf "\\x$(printf %02x $(((byte + 1) % 256)))" | dd of="$scratch/p/$2" bs=1 seek=1100 conv=notrunc status=none ;;
  esac
}

rm -rf "$scratch" && mkdir -p "$scratch/p"
# A loopback port that was free a moment ago: nothing answers there.
closed_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
check "make the throwaway release root" root release
check "make its publisher" issue release signer 1 "$publisher"
check "make a publisher whose certificate is revoked" issue release revoked 2 "$publisher"
check "make another organisation's publisher" issue release stranger 3 "/O=Quorlith Other/CN=Quorlith Other Publisher"
check "make a publisher with a slash and accents in its organisation" issue release accented 4 "/O=Société A\/B/CN=Quorlith"
check "make a publisher with a semicolon in its organisation" issue release semicolon 5 "/O=Quorlith; Test/CN=Quorlith"
check "make a publisher whose organisation reads like an escape" issue release escaped 6 "/O=Quorlith Tes\\\\x74/CN=Quorlith"
check "make a publisher with two organisations" issue release doubled 7 "/O=Quorlith Test/O=Quorlith Other/CN=Quorlith"
check "make the release root's CRL" crl release revoked
check "make another root" root other
check "make a publisher under it" issue other other-root 1 "$publisher"
for name in "${names[@]}"; do
  check "sign $name" sign signer "$name"
done
cp -r "$scratch/p" "$scratch/signed"
# Names that CMake's if() reads as false.
cp "$scratch/release.pem" "$scratch/roots-NOTFOUND" && cp "$scratch/release-crl.pem" "$scratch/crls-NOTFOUND"

configure() { # configure [option,option...]: the given options after the defaults
  local options=()
  IFS=',' read -ra options <<<"$1"
  cmake -S "$source_dir" -B "$scratch/b" -DQUORLITH_PAYLOAD_DIR="$scratch/p" -DQUORLITH_PAYLOAD_CA="$scratch/release.pem" \
    -DQUORLITH_RUNTIME_SIGNER= -DQUORLITH_INSTALLER_SIGNER= -DQUORLITH_PAYLOAD_CRL= -DQUORLITH_SUPPLIER=Quorlith \
    -DBUILD_TESTING=OFF "${options[@]}" \
    >"$scratch/log" 2>&1
}
build() { cmake --build "$scratch/b" --target QuorlithSetup -j2 >"$scratch/log" 2>&1; }

pins="-DQUORLITH_RUNTIME_SIGNER=Quorlith Test,-DQUORLITH_INSTALLER_SIGNER=Quorlith Test"
crl="-DQUORLITH_PAYLOAD_CRL=$scratch/release-crl.pem"
pinned="than QUORLITH_INSTALLER_SIGNER names: expected \"Quorlith Test\", found \"Quorlith Other\""
tab=$'\t'
# -D trims white space at a value's ends; an initial cache does not.
printf 'set(QUORLITH_INSTALLER_SIGNER "Quorlith Test " CACHE STRING "" FORCE)\n' > "$scratch/spaced.cmake"
# stage | payload | spoiled how | configure options | message (none: the stage succeeds)
cases=(
  "configure|dotnet-runtime.msi|unsigned||Payload file is not signed: $scratch/p/dotnet-runtime.msi"
  "configure|Quorlith-Install.exe|other-root||Payload file is signed under another root than those in $scratch/release.pem: $scratch/p/Quorlith-Install.exe"
  "configure|Quorlith-Install.exe|altered||Payload file was altered after signing (its digest no longer matches the signature): $scratch/p/Quorlith-Install.exe"
  "configure|dotnet-hostfxr.msi|revoked|$crl|Payload file's signature is revoked: $scratch/release-crl.pem revokes a certificate of its chain: $scratch/p/dotnet-hostfxr.msi"
  "configure|-|-|-DQUORLITH_RUNTIME_SIGNER=Quorlith|Payload file is signed by another organisation than QUORLITH_RUNTIME_SIGNER names: expected \"Quorlith\", found \"Quorlith Test\": $scratch/p/dotnet-host.msi"
  "configure|Quorlith-Install.exe|stranger|$pins|Payload file is signed by another organisation $pinned: $scratch/p/Quorlith-Install.exe"
  "configure|-|-|-DQUORLITH_PAYLOAD_CA=,-DQUORLITH_INSTALLER_SIGNER=Quorlith Test|QUORLITH_INSTALLER_SIGNER is set: QUORLITH_PAYLOAD_CA must name the roots the payloads are signed under"
  "configure|Quorlith-Install.exe|accented|-DQUORLITH_INSTALLER_SIGNER=Société A/B|"
  "configure|Quorlith-Install.exe|escaped|-DQUORLITH_INSTALLER_SIGNER=Quorlith Test|Payload file is signed by another organisation than QUORLITH_INSTALLER_SIGNER names: expected \"Quorlith Test\", found \"Quorlith Tes\\x74\": $scratch/p/Quorlith-Install.exe"
  "configure|Quorlith-Install.exe|doubled|-DQUORLITH_INSTALLER_SIGNER=Quorlith Test|Payload file's signer has 2 organisations (O=) in its subject, where QUORLITH_INSTALLER_SIGNER \"Quorlith Test\" needs exactly one: $scratch/p/Quorlith-Install.exe"
  "configure|Quorlith-Install.exe|semicolon|-DQUORLITH_INSTALLER_SIGNER=Quorlith|Payload file is signed by another organisation than QUORLITH_INSTALLER_SIGNER names: expected \"Quorlith\", found \"Quorlith; Test\": $scratch/p/Quorlith-Install.exe"
  "configure|Quorlith-Install.exe|semicolon|-DQUORLITH_INSTALLER_SIGNER=Quorlith; Test|"
  "build|-|-||"
  "configure|-|-|-DQUORLITH_RUNTIME_SIGNER=-Evil|Payload file is signed by another organisation than QUORLITH_RUNTIME_SIGNER names: expected \"-Evil\", found \"Quorlith Test\": $scratch/p/dotnet-host.msi"
  "configure|-|-|-C,$scratch/spaced.cmake|QUORLITH_INSTALLER_SIGNER begins or ends with white space (\"Quorlith Test \")"
  "configure|-|-|-DQUORLITH_RUNTIME_SIGNER=Quorlith${tab}Test|QUORLITH_RUNTIME_SIGNER holds a control character"
  "configure|-|-|-DQUORLITH_RUNTIME_SIGNER=\$<1:Quorlith Test>|QUORLITH_RUNTIME_SIGNER holds \"\$<\", which the build's commands would read as a generator expression"
  "configure|-|-|-DQUORLITH_RUNTIME_SIGNER=Quorlith \$(EMPTY)Test|QUORLITH_RUNTIME_SIGNER holds \"\$(\", which the build's commands would pass on as a make variable"
  "configure|-|-|-DQUORLITH_SUPPLIER=Quorlith\$(EMPTY)|QUORLITH_SUPPLIER holds \"\$(\", which the build's commands would pass on as a make variable"
  "configure|-|-|-DQUORLITH_PAYLOAD_CRL=$scratch/a;b.pem|QUORLITH_PAYLOAD_CRL holds a \";\", which CMake takes for a list separator"
  "configure|-|-|-DQUORLITH_PAYLOAD_CA=$scratch/release-crl.pem|QUORLITH_PAYLOAD_CA holds no PEM \"CERTIFICATE\" block: $scratch/release-crl.pem"
  "configure|-|-|-DQUORLITH_PAYLOAD_CRL=$scratch/release.pem|QUORLITH_PAYLOAD_CRL holds no PEM \"X509 CRL\" block: $scratch/release.pem"
  "configure|-|-|-DQUORLITH_PAYLOAD_CA=$scratch|QUORLITH_PAYLOAD_CA names no file: $scratch"
  "configure|dotnet-runtime.msi|unsigned|-DQUORLITH_PAYLOAD_CA=$scratch/roots-NOTFOUND|QUORLITH_PAYLOAD_CA is \"$scratch/roots-NOTFOUND\", which CMake reads as false, so the build would go on as if it were not set"
  "configure|dotnet-hostfxr.msi|revoked|-DQUORLITH_PAYLOAD_CRL=$scratch/crls-NOTFOUND|QUORLITH_PAYLOAD_CRL is \"$scratch/crls-NOTFOUND\", which CMake reads as false, so the build would go on as if it were not set"
  "configure|-|-||"
  "build|-|-||"
  "configure|-|-|$pins,$crl|"
  "build|-|-||"
  "build|Quorlith-Install.exe|stranger||Payload file is signed by another organisation $pinned: $scratch/p/Quorlith-Install.exe"
  "build|dotnet-hostfxr.msi|unsigned||Payload file is not signed: $scratch/p/dotnet-hostfxr.msi"
)
for row in "${cases[@]}"; do
  IFS='|' read -r stage name how options message <<<"$row"
  if [ "$stage" = configure ]; then
    rm -rf "$scratch/p" && cp -r "$scratch/signed" "$scratch/p"
  fi
  spoil "$how" "$name"
  if [ -z "$message" ]; then
    check "$stage with five signed payloads ${options:+($options)}" "$stage" "$options"
  else
    check "$stage stops on a payload $how ($name, ${options:-no options})" fails "$stage" "$options"
    check "the message names $name as $how" logged "$message"
  fi
done

# The manifest and bill of materials of the signed build: each payload's digest and its signer.
json="$scratch/b/QuorlithSetup.payloads.json"
for index in 0 1 2 3 4; do
  name="${names[$index]}"
  check "payload manifest entry for the signed $name" jq -e --argjson id $((101 + index)) --arg file "$name" \
    --argjson size "$(stat -c %s "$scratch/signed/$name")" --arg sha256 "$(sha256sum "$scratch/signed/$name" | cut -c1-64)" \
    --arg signer "$publisher" \
    '[.payloads[] | select(.id == $id and .file == $file and .size == $size and .sha256 == $sha256 and .signer == $signer)] | length == 1' \
    "$json"
done
check "the bill of materials names the signer of each payload" jq -e --arg signer "$publisher" \
  '[.components[].properties[] | select(.name == "quorlith:signer" and .value == $signer)] | length == 5' \
  "$scratch/b/QuorlithSetup.cdx.json"

rm -rf "$scratch"
echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
