#!/usr/bin/env bash
# check-payload-signatures.sh <source dir> <scratch dir> <built payload dir>
# Signed payloads only (QUORLITH_PAYLOAD_CA). Copies of the built payloads, signed by a throwaway publisher under
# a throwaway root, build, and the payload manifest lists their digests and signer. An unsigned payload, one
# signed under another root and one altered after signing stop the configure step; a payload replaced by an
# unsigned one after configuring stops the build. Each message names the file and says what is wrong.
set -u
source_dir="$1"
scratch="$2"
payloads="$3"
names=(dotnet-host.msi dotnet-hostfxr.msi dotnet-runtime.msi windowsdesktop-runtime.msi Quorlith-Install.exe)
publisher="/O=Quorlith Test/CN=Quorlith Test Publisher"
. "$(dirname "$0")/common.sh"

fails() { ! "$@"; }
# root <name>: a self-signed root, and a code-signing certificate for the publisher issued under it
root() { # output in $scratch/log
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quorlith Test $1" -keyout "$scratch/$1-key.pem" \
    -out "$scratch/$1.pem" -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" &&
  openssl req -new -newkey rsa:2048 -nodes -subj "$publisher" -keyout "$scratch/$1-signer-key.pem" \
    -out "$scratch/$1-signer.csr" &&
  openssl x509 -req -in "$scratch/$1-signer.csr" -CA "$scratch/$1.pem" -CAkey "$scratch/$1-key.pem" -days 2 \
    -set_serial 1 -out "$scratch/$1-signer.pem" \
    -extfile <(printf 'keyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n')
} >"$scratch/log" 2>&1
sign() { # sign <root> <payload name>: signs the built payload into $scratch/p
  osslsigncode sign -certs "$scratch/$1-signer.pem" -key "$scratch/$1-signer-key.pem" -h sha256 \
    -in "$payloads/$2" -out "$scratch/p/$2.signed" >"$scratch/log" 2>&1 && mv "$scratch/p/$2.signed" "$scratch/p/$2"
}
# spoil <how> <payload name>: "altered" changes one byte of the first section
spoil() {
  case "$1" in
    unsigned) cp "$payloads/$2" "$scratch/p/$2" ;;
    other-root) sign other "$2" ;;
    altered)
      local byte; byte=$(od -An -tu1 -j1100 -N1 "$scratch/p/$2")
      printf "\\x$(printf %02x $(((byte + 1) % 256)))" | dd of="$scratch/p/$2" bs=1 seek=1100 conv=notrunc status=none ;;
  esac
}

rm -rf "$scratch" && mkdir -p "$scratch/p"
check "make the throwaway root and publisher" root release
check "make another root" root other
for name in "${names[@]}"; do
  check "sign $name" sign release "$name"
done
cp -r "$scratch/p" "$scratch/signed"

configure() {
  cmake -S "$source_dir" -B "$scratch/b" -DQUORLITH_PAYLOAD_DIR="$scratch/p" -DQUORLITH_PAYLOAD_CA="$scratch/release.pem" \
    -DBUILD_TESTING=OFF >"$scratch/log" 2>&1
}
build() { cmake --build "$scratch/b" --target QuorlithSetup -j2 >"$scratch/log" 2>&1; }

# stage | payload | spoiled how | message (none: the stage succeeds)
cases=(
  "configure|dotnet-runtime.msi|unsigned|Payload file is not signed: $scratch/p/dotnet-runtime.msi"
  "configure|Quorlith-Install.exe|other-root|Payload file is signed under another root than those in $scratch/release.pem: $scratch/p/Quorlith-Install.exe"
  "configure|Quorlith-Install.exe|altered|Payload file was altered after signing (its digest no longer matches the signature): $scratch/p/Quorlith-Install.exe"
  "configure|-|-|"
  "build|-|-|"
  "build|dotnet-hostfxr.msi|unsigned|Payload file is not signed: $scratch/p/dotnet-hostfxr.msi"
)
for row in "${cases[@]}"; do
  IFS='|' read -r stage name how message <<<"$row"
  if [ "$stage" = configure ]; then
    rm -rf "$scratch/p" && cp -r "$scratch/signed" "$scratch/p"
  fi
  spoil "$how" "$name"
  if [ -z "$message" ]; then
    check "$stage with five signed payloads" "$stage"
  else
    check "$stage stops on a payload $how ($name)" fails "$stage"
    check "the message names $name as $how" logged "$message"
  fi
done

# The manifest of the signed build: each payload's digest and its signer.
json="$scratch/b/QuorlithSetup.payloads.json"
for index in 0 1 2 3 4; do
  name="${names[$index]}"
  entry="{ \"id\": $((101 + index)), \"file\": \"$name\", \"size\": $(stat -c %s "$scratch/signed/$name"),"
  entry+=" \"sha256\": \"$(sha256sum "$scratch/signed/$name" | cut -c1-64)\", \"signer\": \"$publisher\""
  check "payload manifest entry for the signed $name" grep -qF "$entry" "$json"
done

rm -rf "$scratch"
echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
