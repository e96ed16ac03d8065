"""What the build writes from the payloads: the digest table's C++ text, the payload manifest, the bill of
materials' entries and document, and the command-line failures (one message naming the file, exit 1)."""
import json
import os

import pytest

from quorlith_release import __main__ as cli, digests, jsontext, manifest, sbom
from quorlith_release.proof import Proof

DIGEST = "00ff" * 16


def record(index, proof=None, signer="", path="/p/x", sha256=DIGEST):
    return cli.Payload(id=101 + index, name=cli.payload.NAMES[index], path=path, size=7, sha256=sha256,
                       signed=bool(signer), signer=signer, proof=proof)


def proof(release="10.0.15", name="Runtime", product_version="80.60.52019", maker="Maker", actions=()):
    return Proof(release=release, installs="[ProgramFiles64Folder]\\dotnet\\x", name=name,
                 product_version=product_version, manufacturer=maker, folder_actions=tuple(actions))


def test_digest_table_text():
    text = digests.table_text([record(0, path="/in/a.msi", sha256="0a" * 32)])
    assert text == ("// Generated from the embedded payload files; do not edit.\n#include \"payload/payload.h\"\n\n"
                    "const BYTE PayloadDigestTable[PAYLOAD_COUNT][DIGEST_SIZE] = {\n"
                    "    { " + "0x0a," * 32 + " }, // a.msi, 7 bytes\n};\n"), f"got {text!r}"


# id | payload record | manifest entry members beyond id, file, size and sha256
MANIFEST_CASES = [
    ("unsigned-installer", record(4), {}),
    ("signed-installer", record(4, signer="/O=A/CN=B"), {"signer": "/O=A/CN=B"}),
    ("proven-package", record(2, proof(actions=["Set_DOTNETHOME_NON_NATIVE_ARCHITECTURE"])),
     {"version": "10.0.15", "productVersion": "80.60.52019", "installs": "[ProgramFiles64Folder]\\dotnet\\x",
      "unevaluatedActions": ["Set_DOTNETHOME_NON_NATIVE_ARCHITECTURE"]}),
]


@pytest.mark.parametrize("payload,members", [c[1:] for c in MANIFEST_CASES], ids=[c[0] for c in MANIFEST_CASES])
def test_manifest_entry(payload, members):
    got = json.loads(jsontext.dumps(manifest.manifest([payload])))["payloads"][0]
    expected = {"id": payload.id, "file": payload.name, "size": 7, "sha256": DIGEST, **members}
    assert got == expected, f"got {got}"


# id | slot | proof | cpe | purl | name | warns
COMPONENT_CASES = [
    ("host", 0, proof(), "cpe:2.3:a:microsoft:.net:10.0.15:*:*:*:*:*:*:*", None, "Runtime", False),
    ("hostfxr", 1, proof(), "cpe:2.3:a:microsoft:.net:10.0.15:*:*:*:*:*:*:*", None, "Runtime", False),
    ("core", 2, proof(), "cpe:2.3:a:microsoft:.net:10.0.15:*:*:*:*:*:*:*",
     "pkg:nuget/Microsoft.NETCore.App.Runtime.win-x64@10.0.15", "Runtime", False),
    ("desktop", 3, proof(release="10.0.4294967311"), "cpe:2.3:a:microsoft:.net:10.0.4294967311:*:*:*:*:*:*:*",
     "pkg:nuget/Microsoft.WindowsDesktop.App.Runtime.win-x64@10.0.4294967311", "Runtime", False),
    ("no-release-no-identifiers", 2, proof(release="10.0"), None, None, "Runtime", False),
    ("no-name-no-version", 1, proof(name="", product_version=""), "cpe:2.3:a:microsoft:.net:10.0.15:*:*:*:*:*:*:*",
     None, "dotnet-hostfxr.msi", True),
    ("text-stays-text", 2, proof(name='Runtime $ENV{HOME} ${x}; "q" \\ \n[1]'),
     "cpe:2.3:a:microsoft:.net:10.0.15:*:*:*:*:*:*:*", "pkg:nuget/Microsoft.NETCore.App.Runtime.win-x64@10.0.15",
     'Runtime $ENV{HOME} ${x}; "q" \\ \n[1]', False),
]


@pytest.mark.parametrize("index,package,cpe,purl,name,warns", [c[1:] for c in COMPONENT_CASES],
                         ids=[c[0] for c in COMPONENT_CASES])
def test_runtime_component(index, package, cpe, purl, name, warns):
    warnings = []
    entry = json.loads(jsontext.dumps([sbom.component(record(index, package, signer="/O=S"), warnings.append)]))[0]
    assert (entry.get("cpe"), entry.get("purl"), entry["name"]) == (cpe, purl, name), f"got {entry}"
    assert entry["type"] == "platform" and entry["version"] == package.release, f"got {entry}"
    properties = {p["name"]: p["value"] for p in entry["properties"]}
    assert properties.get("quorlith:signer") == "/O=S", f"got {properties}"
    assert ("quorlith:product-version" in properties) != warns, f"got {properties}"
    assert len(warnings) == int(warns), f"got {warnings}"


def test_installer_without_version_resource(tmp_path):
    path = tmp_path / "Quorlith-Install.exe"
    path.write_bytes(b"MZ" + bytes(200))
    entry = sbom.component(record(4, path=str(path)), None)
    assert (entry["type"], entry["name"], "version" in entry, "supplier" in entry) == \
        ("application", "Quorlith-Install.exe", False, False), f"got {entry}"


@pytest.mark.parametrize("epoch,expected", [
    (None, None), ("", None), ("1767225600", "2026-01-01T00:00:00Z"), ("17e8", sbom.SbomError), ("-1", sbom.SbomError),
], ids=["unset", "empty", "seconds", "exponent", "negative"])
def test_timestamp(epoch, expected):
    if expected is sbom.SbomError:
        with pytest.raises(sbom.SbomError):
            sbom.timestamp(epoch)
    else:
        assert sbom.timestamp(epoch) == expected


def test_document_serial_and_dependencies():
    image = "0123456789abcdef" + "c" + "0" * 47
    document = json.loads(jsontext.dumps(sbom.document(image, "1.0.0.0", "Quorlith", [], [
        {"bom-ref": "payload-101"}, {"bom-ref": "payload-102"}], None)))
    assert document["serialNumber"] == "urn:uuid:01234567-89ab-8def-8000-000000000000", f"got {document}"
    assert document["dependencies"] == [{"ref": "QuorlithSetup", "dependsOn": ["payload-101", "payload-102"]},
                                        {"ref": "payload-101", "dependsOn": []},
                                        {"ref": "payload-102", "dependsOn": []}], f"got {document}"
    assert "timestamp" not in document["metadata"]


@pytest.mark.parametrize("value", ["plain", "quote \" backslash \\ tab \t nul-free \x01 é ☃", {"a": [1, {"b": []}]},
                                   [{"one": {}}], []], ids=["plain", "special", "nested", "single", "empty"])
def test_json_text_round_trips(value):
    assert json.loads(jsontext.dumps(value)) == value


def test_failures_name_the_file_without_traceback(tmp_path, capsys):
    files = [str(tmp_path / name) for name in cli.payload.NAMES]
    for path in files:
        open(path, "wb").close()
    status = cli.main(["check", "--files", *files, "--check-size"])
    err = capsys.readouterr().err
    assert (status, err) == (1, f"Payload file is empty (0 bytes): {files[0]}\n"), f"got {status} {err!r}"

    image = tmp_path / "image.exe"
    image.write_bytes(b"not an image")
    others = [tmp_path / "image.payloads.json", tmp_path / "image.cdx.json"]
    for path in others:
        path.write_text("{}")
    status = cli.main(["load-config", "--image", str(image), "--remove", *map(str, others)])
    err = capsys.readouterr().err
    assert status == 1 and err.startswith(f"{image} is no PE image") and "Traceback" not in err, f"got {err!r}"
    assert not any(os.path.exists(path) for path in [image, *others]), "an output was left"
