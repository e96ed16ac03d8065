#!/usr/bin/env bash
# Installs what building and testing need on Debian 12, only where something is missing.
set -eu
packages=(cmake make python3 g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64 clang lld wine wine64 fonts-wine wixl
          msitools libimage-exiftool-perl xvfb xauth x11-apps imagemagick osslsigncode openssl jq)
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
  exit 0
fi
echo "== Installing missing packages: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "Run as root (or install these packages first): ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq "${missing[@]}" >/dev/null
echo "== Packages installed"
