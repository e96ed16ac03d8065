"""A payload's Authenticode signature: osslsigncode verifies chain, digest and time stamp; the signer's
identity is read from the signature itself, never from osslsigncode's printed text."""
import os
import re
import subprocess
import tempfile

from asn1crypto import cms

NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"

# OpenSSL's short names, for the subject written in its one-line form ("/C=US/O=Name/CN=...").
SHORT_NAMES = {
    "country_name": "C", "state_or_province_name": "ST", "locality_name": "L", "street_address": "street",
    "organization_name": "O", "organizational_unit_name": "OU", "common_name": "CN", "serial_number": "serialNumber",
    "email_address": "emailAddress", "domain_component": "DC", "business_category": "businessCategory",
    "postal_code": "postalCode", "title": "title", "given_name": "GN", "surname": "SN",
}


class SignatureError(Exception):
    """A payload's signature is missing, invalid or by another signer; the text names the file."""


def verify_options(osslsigncode, crl, help_text):
    """The options that keep "osslsigncode verify" off the network. From 2.8 on it fetches the CRL that each
    certificate's distribution point names; 2.5 (Debian 12) fetches nothing and knows none of these options,
    so they are taken from its help. With a CRL file, revocation is checked against that file alone."""
    if crl:
        options = ["-CRLfile", crl, "-TSA-CRLfile", crl]
        if "-ignore-cdp" in help_text:
            options.append("-ignore-cdp")
        return options
    if "-ignore-crl" in help_text:
        return ["-ignore-crl"]   # -ignore-cdp alone then asks for a CRL file
    if "-ignore-cdp" in help_text:
        return ["-ignore-cdp"]
    return []


def verify_help(osslsigncode):
    result = subprocess.run([osslsigncode, "verify", "--help"], capture_output=True, text=True, errors="replace")
    return result.stdout + result.stderr


def classify_failure(output, path, ca, crl):
    """The message for a failed "osslsigncode verify", from its output."""
    if re.search(r"No signature found|has no signature", output):
        return f"Payload file is not signed: {path}"
    if re.search(r"Calculated (message digest|DigitalSignature) *: [0-9A-Fa-f]+ +MISMATCH", output):
        return f"Payload file was altered after signing (its digest no longer matches the signature): {path}"
    if "certificate revoked" in output:
        return f"Payload file's signature is revoked: {crl} revokes a certificate of its chain: {path}"
    if "unable to get certificate CRL" in output:
        return (f"Payload file's signature cannot be checked for revocation: {crl} lacks the CRL of an issuer "
                f"in its chain: {path}")
    if re.search(r"unable to get (local )?issuer certificate|self.signed certificate", output):
        return f"Payload file is signed under another root than those in {ca}: {path}"
    return f"Payload file's signature does not verify against {ca}: {path}\n{output}"


def verify(osslsigncode, path, ca, crl, options):
    """Raises SignatureError unless the signature's chain ends in a certificate of <ca> (which also serves for
    time stamps, so a signature made before its certificate expired still holds)."""
    command = [osslsigncode, "verify", "-in", path, "-CAfile", ca, "-TSA-CAfile", ca] + options
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace")
    if result.returncode != 0:
        raise SignatureError(classify_failure(result.stdout, path, ca, crl))


def extract(osslsigncode, path):
    """The DER PKCS#7 signature that <path> carries (PE and MSI alike)."""
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "signature.p7")
        result = subprocess.run([osslsigncode, "extract-signature", "-in", path, "-out", out],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace")
        if result.returncode != 0 or not os.path.exists(out):
            raise SignatureError(f"Payload file's signature cannot be extracted: {path}\n{result.stdout}")
        with open(out, "rb") as handle:
            der = handle.read()
    # A PE signature is stored behind an 8-byte WIN_CERTIFICATE header; take the PKCS#7 alone should a version
    # of osslsigncode leave the header on.
    if der[:1] != b"\x30" and der[8:9] == b"\x30":
        der = der[8:]
    return der


def signed_data_signers(signed_data):
    """Each SignerInfo's certificate (found by issuer and serial, or by key identifier) and the nested
    signatures' SignedData. A time stamp's countersigner sits in an unsigned attribute of its own and is
    never one of them."""
    certificates = [choice.chosen for choice in (signed_data["certificates"] or [])
                    if choice.name == "certificate"]
    found = []
    nested = []
    for info in signed_data["signer_infos"]:
        sid = info["sid"]
        match = None
        for certificate in certificates:
            if sid.name == "issuer_and_serial_number":
                if (certificate.issuer == sid.chosen["issuer"]
                        and certificate.serial_number == sid.chosen["serial_number"].native):
                    match = certificate
                    break
            elif certificate.key_identifier == sid.chosen.native:
                match = certificate
                break
        found.append(match)
        for attribute in info["unsigned_attrs"] or []:
            if attribute["type"].dotted == NESTED_SIGNATURE:
                for value in attribute["values"]:
                    nested.append(cms.ContentInfo.load(value.dump())["content"])
    return found, nested


def all_signers(der):
    """The certificates of the signature's signer and of every nested signature's signer, outermost first;
    None where a SignerInfo names a certificate the signature does not carry."""
    pending = [cms.ContentInfo.load(der)["content"]]
    signers = []
    while pending:
        found, nested = signed_data_signers(pending.pop(0))
        signers.extend(found)
        pending.extend(nested)
    return signers


def organisations(certificate):
    return [attribute["value"].native
            for rdn in certificate.subject.chosen for attribute in rdn
            if attribute["type"].native == "organization_name"]


def oneline(certificate):
    """The subject as OpenSSL's one-line form prints it: "/" before each attribute, "\\/" for a slash in a
    value, bytes outside printable ASCII as \\xHH."""
    text = ""
    for rdn in certificate.subject.chosen:
        for attribute in rdn:
            kind = attribute["type"]
            name = SHORT_NAMES.get(kind.native, kind.dotted)
            value = attribute["value"].native
            data = value.encode("utf-8") if isinstance(value, str) else bytes(attribute["value"].contents)
            escaped = "".join("\\/" if byte == 0x2F else chr(byte) if 0x20 <= byte <= 0x7E else f"\\x{byte:02X}"
                              for byte in data)
            text += f"/{name}={escaped}"
    return text


def check_pin(path, signers, option, pin):
    """Every signer's subject (the signature's and each nested one's) must carry exactly one O= equal to
    <pin>: the roots alone would accept anything else they certify, an older runtime or another product."""
    for depth, certificate in enumerate(signers):
        whose = "signer" if depth == 0 else "nested signature's signer"
        if certificate is None:
            raise SignatureError(f"Payload file's {whose} certificate is not in its signature: {path}")
        found = organisations(certificate)
        if len(found) != 1:
            raise SignatureError(f"Payload file's {whose} has {len(found)} organisations (O=) in its subject, "
                                 f"where {option} \"{pin}\" needs exactly one: {path}")
        if found[0] != pin:
            what = "is signed" if depth == 0 else "carries a nested signature"
            raise SignatureError(f"Payload file {what} by another organisation than {option} names: "
                                 f"expected \"{pin}\", found \"{found[0]}\": {path}")


def payload_signer(path, index, settings, help_text):
    """Verifies payload <index> (0..4) and returns its signer's subject; raises SignatureError."""
    options = verify_options(settings.osslsigncode, settings.crl, help_text)
    verify(settings.osslsigncode, path, settings.ca, settings.crl, options)
    signers = all_signers(extract(settings.osslsigncode, path))
    if not signers or signers[0] is None:
        raise SignatureError(f"Payload file's signer certificate is not in its signature: {path}")
    option, pin = (("QUORLITH_RUNTIME_SIGNER", settings.runtime_signer) if index < 4
                   else ("QUORLITH_INSTALLER_SIGNER", settings.installer_signer))
    if pin:
        check_pin(path, signers, option, pin)
    return oneline(signers[0])
