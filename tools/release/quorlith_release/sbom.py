"""The CycloneDX bill of materials: the payloads' entries, written with the digest table from the same
digests, and the document, finished once the image is final (linked and, when set up, signed). The document
depends on its inputs only: no wall-clock time, no build path, no random serial number."""
import re
import time

from . import pe

NET_CPE = "cpe:2.3:a:microsoft:.net:{}:*:*:*:*:*:*:*"
# The runtime packs that carry the same release are NuGet packages; the host and its resolver have none.
NUGET_PACKAGES = (None, None, "Microsoft.NETCore.App.Runtime.win-x64", "Microsoft.WindowsDesktop.App.Runtime.win-x64")
RELEASE = re.compile(r"[0-9]+\.[0-9]+\.[0-9]+")


class SbomError(Exception):
    pass


def component(payload, warn):
    """One entry of "components". A runtime package's version is the release it lays down, not its
    ProductVersion, which Windows Installer limits to 255.255.65535 and .NET packs."""
    identifiers = {}
    properties = [{"name": "quorlith:resource-id", "value": str(payload.id)},
                  {"name": "quorlith:file-name", "value": payload.name}]
    if payload.proof is not None:
        kind = "platform"
        name, version, supplier = payload.proof.name, payload.proof.release, payload.proof.manufacturer
        if not payload.proof.product_version:
            warn(f"Runtime package has no ProductVersion; its bill-of-materials entry has none: {payload.path}")
        # Digits and dots when the proof passed; anything else gets no identifier to match. NVD names .NET 5
        # and later ".net" of vendor "microsoft"; every runtime package ships in that release.
        if RELEASE.fullmatch(version):
            identifiers["cpe"] = NET_CPE.format(version)
            package = NUGET_PACKAGES[payload.id - 101]
            if package:
                identifiers["purl"] = f"pkg:nuget/{package}@{version}"
        extra = (("signer", payload.signer), ("product-version", payload.proof.product_version),
                 ("installs", payload.proof.installs))
    else:
        kind = "application"
        strings = pe.version_strings(payload.path)
        name, version = strings.get("ProductName", ""), strings.get("ProductVersion", "")
        supplier = strings.get("CompanyName", "")
        extra = (("signer", payload.signer),)
    entry = {"type": kind, "bom-ref": f"payload-{payload.id}"}
    if supplier:
        entry["supplier"] = {"name": supplier}
        entry["manufacturer"] = {"name": supplier}
    entry["name"] = name or payload.name
    if version:
        entry["version"] = version
    entry.update(identifiers)
    entry["hashes"] = [{"alg": "SHA-256", "content": payload.sha256}]
    properties += [{"name": f"quorlith:{key}", "value": value} for key, value in extra if value]
    entry["properties"] = properties
    return entry


def serial_number(image_sha256):
    """A name-based UUID (version 8, as RFC 9562 allows for a SHA-256 name hash) from the image's digest: the
    same image always gets the same serial number, another image another one."""
    h = image_sha256
    variant = "89ab"[int(h[16], 16) % 4]
    return f"urn:uuid:{h[0:8]}-{h[8:12]}-8{h[13:16]}-{variant}{h[17:20]}-{h[20:32]}"


def timestamp(source_date_epoch):
    if source_date_epoch is None or source_date_epoch == "":
        return None
    if not source_date_epoch.isascii() or not source_date_epoch.isdigit():
        raise SbomError(f"SOURCE_DATE_EPOCH is not a number of seconds: {source_date_epoch}")
    return time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(int(source_date_epoch)))


def assembly_version(manifest_text, manifest_path):
    match = re.search(r"<assemblyIdentity[^>]*[ \t\r\n]version=\"([^\"]+)\"", manifest_text)
    if not match:
        raise SbomError(f"No version in the assembly identity of {manifest_path}")
    return match.group(1)


def document(image_sha256, version, supplier, tools, components, when):
    metadata = {}
    if when:
        metadata["timestamp"] = when
    metadata["tools"] = {"components": tools}
    metadata["component"] = {
        "type": "application", "bom-ref": "QuorlithSetup",
        "supplier": {"name": supplier}, "manufacturer": {"name": supplier},
        "name": "QuorlithSetup", "version": version,
        "hashes": [{"alg": "SHA-256", "content": image_sha256}],
    }
    refs = [entry["bom-ref"] for entry in components]
    # Consumers read a component without an entry as "dependencies unknown"; a payload has none of its own.
    dependencies = [{"ref": "QuorlithSetup", "dependsOn": refs}] + [{"ref": ref, "dependsOn": []} for ref in refs]
    return {"bomFormat": "CycloneDX", "specVersion": "1.6", "serialNumber": serial_number(image_sha256),
            "version": 1, "metadata": metadata, "components": components, "dependencies": dependencies}
