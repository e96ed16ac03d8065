#!/usr/bin/env bash
# check-sbom.sh <source dir> <scratch dir> <built payload dir> <validator dir> <build dir>
# The bill of materials beside the image: valid against the official CycloneDX JSON schema (from the npm
# package of the CycloneDX library, installed once into <validator dir>), the digests of the image and of each
# embedded payload, the packages' own names and maker, the release each runtime package lays down as its
# version (its packed ProductVersion as a property of its own), the .NET CPE of every runtime package and the purls scanners match, the tools,
# the bootstrapper's supplier, a dependencies entry for every component, the timestamp from SOURCE_DATE_EPOCH
# only; a package without ProductVersion warns, naming the file, and keeps its release; names are escaped.
# (Two builds in different directories giving the same document: check-reproducible.sh.) <build dir> is the
# suite's own build, whose document is checked as it stands; one more build covers the odd package.
set -u
source_dir="$1"
scratch="$2"
payloads="$3"
validator="$4"
main_build="$5"
. "$(dirname "$0")/common.sh"
build() { # build [env assignments]: configure and build the image in $scratch/b; output in $scratch/log
  env "$@" cmake -S "$source_dir" -B "$scratch/b" -DQUORLITH_PAYLOAD_DIR="$scratch/p" -DBUILD_TESTING=OFF >"$scratch/log" 2>&1 &&
    env "$@" cmake --build "$scratch/b" --target QuorlithSetup -j2 >>"$scratch/log" 2>&1 || { cat "$scratch/log"; false; }
}
serial() { sed -n 's/.*"serialNumber": "\(.*\)".*/\1/p' "$1/QuorlithSetup.cdx.json"; }

# verify <build dir> <payload dir> <expected timestamp or ""> [<id of the package without version> <its name>]:
# every check of one build's document.
verify() {
  local result
  result=$(node - "$validator" "$1/QuorlithSetup.cdx.json" "$1/QuorlithSetup.exe" "$2" \
                  "$manifest_version" "$3" "${4:-}" "${5:-}" <<'JS'
const [validator, documentPath, imagePath, payloadDir, manifestVersion, timestamp, changed, changedName] =
  process.argv.slice(2);
const fs = require('fs');
const path = require('path');
const crypto = require('crypto');
const { Validation } = require(path.join(validator, 'node_modules/@cyclonedx/cyclonedx-library'));
const sha256 = (file) => crypto.createHash('sha256').update(fs.readFileSync(file)).digest('hex');
// The one SHA-256 hash an entry carries, or undefined.
const digest = (entry) => ((entry.hashes || []).length === 1 && entry.hashes[0].alg === 'SHA-256' ?
  entry.hashes[0].content : undefined);
let passed = 0;
const failed = [];
const check = (what, ok, got) => { if (ok) passed++; else failed.push(`FAILED: ${what} (got ${JSON.stringify(got)})`); };

// file, name, version, CPE, purl, what the build's proof found it to lay down; every runtime package ships in
// the one .NET release it lays down
const cpe = 'cpe:2.3:a:microsoft:.net:10.0.15:*:*:*:*:*:*:*';
const payloads = [
  ['dotnet-host.msi', 'Quorlith sample .NET host - 10.0.15 (x64)', '10.0.15', cpe, undefined,
   'HKLM\\SOFTWARE\\dotnet\\Setup\\InstalledVersions\\x64\\sharedhost\\Version'],
  ['dotnet-hostfxr.msi', 'Quorlith sample .NET host resolver - 10.0.15 (x64)', '10.0.15', cpe, undefined,
   '[ProgramFiles64Folder]\\dotnet\\host\\fxr\\10.0.15\\hostfxr.dll'],
  ['dotnet-runtime.msi', 'Quorlith sample .NET core runtime - 10.0.15 (x64)', '10.0.15',
   cpe, 'pkg:nuget/Microsoft.NETCore.App.Runtime.win-x64@10.0.15',
   '[ProgramFiles64Folder]\\dotnet\\shared\\Microsoft.NETCore.App\\10.0.15\\coreclr.dll'],
  ['windowsdesktop-runtime.msi', 'Quorlith sample desktop runtime - 10.0.15 (x64)', '10.0.15', cpe,
   'pkg:nuget/Microsoft.WindowsDesktop.App.Runtime.win-x64@10.0.15',
   '[ProgramFiles64Folder]\\dotnet\\shared\\Microsoft.WindowsDesktop.App\\10.0.15\\PresentationFramework.dll'],
  ['Quorlith-Install.exe', 'Quorlith sample product installer', '1.0.0'],
];
(async () => {
  const text = fs.readFileSync(documentPath, 'utf8');
  const bom = JSON.parse(text);
  check('CycloneDX 1.5 or later', ['1.5', '1.6'].includes(bom.specVersion), bom.specVersion);
  const errors = await new Validation.JsonStrictValidator(bom.specVersion).validate(text);
  check('valid against the CycloneDX schema', errors === null, errors);

  const image = bom.metadata.component;
  check('the bootstrapper is the described application',
        image.type === 'application' && image.name === 'QuorlithSetup', image);
  check('its version is the manifest\'s', image.version === manifestVersion, image.version);
  check('its hash is the image\'s', digest(image) === sha256(imagePath), image.hashes);
  check('timestamp only from SOURCE_DATE_EPOCH', bom.metadata.timestamp === (timestamp || undefined),
        bom.metadata.timestamp);
  check('the bootstrapper\'s supplier', (image.supplier || {}).name === 'Quorlith', image.supplier);
  const tools = (bom.metadata.tools || {}).components || [];
  check('the build\'s tools with their versions', tools.length >= 4 && tools.every((t) => t.name && t.version) &&
        tools.some((t) => t.name === 'CMake') && tools.some((t) => t.name === 'pefile') &&
        tools.some((t) => t.name === 'asn1crypto') && !tools.some((t) => t.name === 'ExifTool'), tools);

  check('five payload components', bom.components.length === 5, bom.components.length);
  payloads.forEach(([file, name, version, cpe, purl, installs], index) => {
    const component = bom.components[index] || {};
    const id = String(101 + index);
    const property = (key) => ((component.properties || []).find((p) => p.name === key) || {}).value;
    check(`${file}: resource id and file name`,
          property('quorlith:resource-id') === id && property('quorlith:file-name') === file, component.properties);
    check(`${file}: the embedded file's digest`, digest(component) === sha256(path.join(payloadDir, file)),
          component.hashes);
    check(`${file}: name, version, supplier and maker of the package`,
          component.name === (id === changed ? changedName : name) && component.version === version &&
          (component.supplier || {}).name === 'Quorlith samples' &&
          (component.manufacturer || {}).name === 'Quorlith samples', component);
    check(`${file}: CPE and purl`, component.cpe === cpe && component.purl === purl, [component.cpe, component.purl]);
    const packed = index < 4 && id !== changed ? '80.60.52019' : undefined;
    check(`${file}: packed ProductVersion and what it lays down, as properties`,
          property('quorlith:product-version') === packed && property('quorlith:installs') === installs,
          component.properties);
  });
  const carried = bom.dependencies.find((d) => d.ref === image['bom-ref']) || {};
  check('the bootstrapper carries the five payloads',
        JSON.stringify(carried.dependsOn) === JSON.stringify(bom.components.map((c) => c['bom-ref'])), carried);
  check('every payload is listed with no dependencies of its own', bom.components.every((c) =>
        JSON.stringify((bom.dependencies.find((d) => d.ref === c['bom-ref']) || {}).dependsOn) === '[]'),
        bom.dependencies);
  console.log(failed.join('\n'));
  console.log(`${passed} ${failed.length}`);
})().catch((error) => { console.log(`FAILED: ${error.stack}`); console.log('0 1'); });
JS
  )
  printf '%s\n' "$result" | sed '$d' | grep . || true
  read -r p f <<<"$(printf '%s\n' "$result" | tail -n 1)"
  passed=$((passed + ${p:-0}))
  failures=$((failures + ${f:-1}))
}

rm -rf "$scratch" && mkdir -p "$scratch/p"
cp "$payloads"/* "$scratch/p/"
manifest_version=$(sed -n 's/.*<assemblyIdentity[^>]* version="\([^"]*\)".*/\1/p' "$source_dir/res/QuorlithSetup.manifest")

# The validator: the CycloneDX library with its JSON-schema dependencies, which tools/install-deps.sh puts
# into <validator dir> at the versions its lock file pins. The test never reaches for the network.
if ! cmp -s "$validator/package-lock.json" "$validator/node_modules/.installed-lock"; then
  echo "FAILED: the schema validator is not installed as $validator/package-lock.json pins it:" \
       "run bash tools/install-deps.sh"
  echo "0 passed, 1 failed"
  exit 1
fi

# The suite's own build: no SOURCE_DATE_EPOCH, so no timestamp.
verify "$main_build" "$payloads" ""

# Without ProductVersion, and a name with JSON's and CMake's special characters (msibuild, of msitools,
# changes the Property table): the build warns and goes on, and the entry keeps the release it lays down.
odd_name='Quorlith "sample"; runtime \ [1]'
msibuild "$scratch/p/dotnet-runtime.msi" -q "DELETE FROM \`Property\` WHERE \`Property\` = 'ProductVersion'" \
  -q "UPDATE \`Property\` SET \`Value\` = '$odd_name' WHERE \`Property\` = 'ProductName'"
check "build with SOURCE_DATE_EPOCH set" build SOURCE_DATE_EPOCH=1767225600
check "the warning names the package" \
  logged "Runtime package has no ProductVersion; its bill-of-materials entry has none: $scratch/p/dotnet-runtime.msi"
verify "$scratch/b" "$scratch/p" "2026-01-01T00:00:00Z" 103 "$odd_name"
check "another image, another serial number" test "$(serial "$scratch/b")" != "$(serial "$main_build")"

rm -rf "$scratch"
echo "$passed passed, $failures failed"
[ "$failures" -eq 0 ]
