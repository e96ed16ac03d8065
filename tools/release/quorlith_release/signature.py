"""A payload's Authenticode signature: osslsigncode verifies chain, digest and time stamp; the signer's
identity is read from the signature itself, never from osslsigncode's printed text."""
import os
import re
import subprocess
import tempfile

from asn1crypto import cms, core

NESTED_SIGNATURE = "1.3.6.1.4.1.311.2.4.1"

# OpenSSL's short names of attribute types (OBJ_nid2sn), for the subject in its one-line form. A type OpenSSL
# does not name is written as its dotted number, as OpenSSL writes it.
SHORT_NAMES = {
    "2.5.4.3": "CN", "2.5.4.4": "SN", "2.5.4.5": "serialNumber", "2.5.4.6": "C", "2.5.4.7": "L", "2.5.4.8": "ST",
    "2.5.4.9": "street", "2.5.4.10": "O", "2.5.4.11": "OU", "2.5.4.12": "title", "2.5.4.13": "description",
    "2.5.4.14": "searchGuide", "2.5.4.15": "businessCategory", "2.5.4.16": "postalAddress", "2.5.4.17": "postalCode",
    "2.5.4.18": "postOfficeBox", "2.5.4.19": "physicalDeliveryOfficeName", "2.5.4.20": "telephoneNumber",
    "2.5.4.21": "telexNumber", "2.5.4.22": "teletexTerminalIdentifier", "2.5.4.23": "facsimileTelephoneNumber",
    "2.5.4.24": "x121Address", "2.5.4.25": "internationaliSDNNumber", "2.5.4.26": "registeredAddress",
    "2.5.4.27": "destinationIndicator", "2.5.4.28": "preferredDeliveryMethod", "2.5.4.29": "presentationAddress",
    "2.5.4.30": "supportedApplicationContext", "2.5.4.31": "member", "2.5.4.32": "owner", "2.5.4.33": "roleOccupant",
    "2.5.4.34": "seeAlso", "2.5.4.35": "userPassword", "2.5.4.36": "userCertificate", "2.5.4.37": "cACertificate",
    "2.5.4.38": "authorityRevocationList", "2.5.4.39": "certificateRevocationList", "2.5.4.40": "crossCertificatePair",
    "2.5.4.41": "name", "2.5.4.42": "GN", "2.5.4.43": "initials", "2.5.4.44": "generationQualifier",
    "2.5.4.45": "x500UniqueIdentifier", "2.5.4.46": "dnQualifier", "2.5.4.47": "enhancedSearchGuide",
    "2.5.4.48": "protocolInformation", "2.5.4.49": "distinguishedName", "2.5.4.50": "uniqueMember",
    "2.5.4.51": "houseIdentifier", "2.5.4.52": "supportedAlgorithms", "2.5.4.53": "deltaRevocationList",
    "2.5.4.54": "dmdName", "2.5.4.65": "pseudonym", "2.5.4.72": "role", "2.5.4.97": "organizationIdentifier",
    "2.5.4.98": "c3", "2.5.4.99": "n3", "1.2.840.113549.1.9.1": "emailAddress",
    "1.2.840.113549.1.9.2": "unstructuredName",
    "1.2.840.113549.1.9.8": "unstructuredAddress", "0.9.2342.19200300.100.1.1": "UID",
    "0.9.2342.19200300.100.1.25": "DC", "1.3.6.1.4.1.311.60.2.1.1": "jurisdictionL",
    "1.3.6.1.4.1.311.60.2.1.2": "jurisdictionST", "1.3.6.1.4.1.311.60.2.1.3": "jurisdictionC",
}
GENERAL_STRING = 27
OPUS_INFO = "1.3.6.1.4.1.311.2.1.12"


class SpcString(core.Choice):
    _alternatives = [("unicode", core.BMPString, {"implicit": 0}), ("ascii", core.IA5String, {"implicit": 1})]


class SpcSerializedObject(core.Sequence):
    _fields = [("class_id", core.OctetString), ("serialized_data", core.OctetString)]


class SpcLink(core.Choice):
    _alternatives = [("url", core.IA5String, {"implicit": 0}), ("moniker", SpcSerializedObject, {"implicit": 1}),
                     ("file", SpcString, {"explicit": 2})]


class SpcSpOpusInfo(core.Sequence):
    """The signer's description and link (authenticated), which osslsigncode prints as they stand."""
    _fields = [("program_name", SpcString, {"explicit": 0, "optional": True}),
               ("more_info", SpcLink, {"explicit": 1, "optional": True})]


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
    errors = list(dict.fromkeys(line.strip() for line in output.splitlines() if "error" in line.lower()))
    said = f" (osslsigncode: {'; '.join(errors[:3])})" if errors else ""
    return f"Payload file's signature does not verify against {ca}{said}: {path}"


def verify(osslsigncode, path, ca, crl, options):
    """("", report) when osslsigncode's exit status says the signature's chain ends in a certificate of <ca>
    (which also serves for time stamps, so a signature made before its certificate expired still holds), else
    (the message saying why not, report)."""
    command = [osslsigncode, "verify", "-in", path, "-CAfile", ca, "-TSA-CAfile", ca] + options
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace")
    if result.returncode != 0:
        return classify_failure(result.stdout, path, ca, crl), result.stdout
    return "", result.stdout


def check_report(report, count, path, ca):
    """"" when osslsigncode's report shows each of the <count> signatures that the signature holds verified, once.
    Its exit status counts a signature that fails (no chain, no signer certificate) as verified while another
    one verifies, the primary one included, and it lists no signature nested inside a nested one; a report
    without "Signature Index" lines speaks of one. A verdict more than the signature holds is text from inside
    the signature imitating the report. The report is read only to refuse."""
    listed = max(1, len(re.findall(r"^Signature Index: ", report, re.M)))
    verdicts = re.findall(r"^Signature verification: (.*?)\s*$", report, re.M)
    verified = verdicts.count("ok")
    if listed > count or len(verdicts) > count:
        return (f"Payload file's signature does not verify against {ca}: osslsigncode's report lists "
                f"{max(listed, len(verdicts))} signatures where the signature holds {count}, so text inside the "
                f"signature imitates its report: {path}")
    if listed != count or verified != count:
        return (f"Payload file's signature does not verify against {ca}: osslsigncode reports {verified} of its "
                f"{count} signatures verified, though its exit status says all: {path}")
    return ""


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


def _signer_certificate(signed_data, path, nested):
    """The one certificate of the set that the one SignerInfo names. OpenSSL, which verified the signature,
    takes the first certificate of the set whose serial number equals the SignerInfo's and whose issuer matches
    by its canonical encoding (ASCII case and white space folded); other readers fold more (Unicode case, NFKC).
    So the set may carry just one certificate with that serial number, and its issuer must be encoded byte for
    byte as the SignerInfo names it: then every reader's rule picks that one, the one whose key verified."""
    whose = "nested signature's signer" if nested else "signer"
    infos = list(signed_data["signer_infos"])
    if len(infos) != 1:
        what = "nested signature" if nested else "signature"
        raise SignatureError(f"Payload file's {what} has {len(infos)} SignerInfos, where Authenticode has exactly "
                             f"one: {path}")
    sid = infos[0]["sid"]
    if sid.name != "issuer_and_serial_number":
        raise SignatureError(f"Payload file's {whose} SignerInfo names its certificate by key identifier, which "
                             f"the signature check (by issuer and serial number) cannot bind: {path}")
    serial = sid.chosen["serial_number"].native
    same_serial = [choice.chosen for choice in (signed_data["certificates"] or [])
                   if choice.name == "certificate" and choice.chosen.serial_number == serial]
    if not same_serial:
        raise SignatureError(f"Payload file's {whose} certificate is not in its signature: {path}")
    if len(same_serial) > 1:
        raise SignatureError(f"Payload file's signature carries {len(same_serial)} certificates with the serial "
                             f"number its {whose} SignerInfo names, where exactly one must: {path}")
    certificate = same_serial[0]
    if certificate["tbs_certificate"]["issuer"].dump() != sid.chosen["issuer"].dump():
        raise SignatureError(f"Payload file's {whose} certificate is not in its signature: the one with its serial "
                             f"number has an issuer encoded otherwise than its SignerInfo names: {path}")
    _check_description(infos[0], whose, path)
    return certificate, infos[0]


def _check_description(info, whose, path):
    """A line break in the signer's description or link would start a line of osslsigncode's report, which the
    check reads ("Signature verification: ok"), so any control character there is refused."""
    for attribute in info["signed_attrs"] or []:
        if attribute["type"].dotted != OPUS_INFO:
            continue
        for value in attribute["values"]:
            opus = SpcSpOpusInfo.load(value.dump())
            name, link = opus["program_name"], opus["more_info"]
            texts = [] if isinstance(name, core.Void) else [name.native]
            if not isinstance(link, core.Void) and link.name in ("url", "file"):
                texts.append(link.native)
            for text in texts:
                if any(ord(char) < 0x20 or ord(char) == 0x7F for char in text):
                    raise SignatureError(f"Payload file's {whose} description or link holds a control character, "
                                         f"which osslsigncode's report would print as it stands: {path}")


def _nested(info, path):
    """The SignedData of each nested signature (an unsigned attribute of the SignerInfo)."""
    nested = []
    for attribute in info["unsigned_attrs"] or []:
        if attribute["type"].dotted != NESTED_SIGNATURE:
            continue
        for value in attribute["values"]:
            content = cms.ContentInfo.load(value.dump())
            if content["content_type"].native != "signed_data":
                raise SignatureError(f"Payload file carries a nested signature that is not SignedData "
                                     f"({content['content_type'].dotted}): {path}")
            nested.append(content["content"])
    return nested


def all_signers(der, path):
    """The certificates of the signature's signer and of every nested signature's signer, outermost first. A
    time stamp's countersigner sits in an unsigned attribute of its own and is never one of them."""
    content = cms.ContentInfo.load(der)
    if content["content_type"].native != "signed_data":
        raise SignatureError(f"Payload file's signature is not SignedData ({content['content_type'].dotted}): {path}")
    pending = [content["content"]]
    signers = []
    while pending:
        certificate, info = _signer_certificate(pending.pop(0), path, nested=bool(signers))
        signers.append(certificate)
        pending.extend(_nested(info, path))
    return signers


def organisations(certificate):
    return [attribute["value"].native
            for rdn in certificate.subject.chosen for attribute in rdn
            if attribute["type"].dotted == "2.5.4.10"]


def oneline(certificate):
    """The subject as OpenSSL's X509_NAME_oneline writes it: "/" before each RDN and "+" between the values of
    a multi-valued one, the value's encoded bytes as they stand (a BMPString's two per character), "\\" before
    "/" and "+", bytes outside printable ASCII as \\xHH; a GeneralString whose every fourth byte alone is not
    zero (a 32-bit encoding) is written from those bytes."""
    text = ""
    for rdn in certificate.subject.chosen:
        separator = "/"
        for attribute in rdn:
            kind = attribute["type"].dotted
            value = core.load(attribute["value"].dump())
            data = bytes(value.contents)
            if value.tag == GENERAL_STRING and len(data) % 4 == 0 and not any(
                    byte for at, byte in enumerate(data) if at % 4 != 3):
                data = data[3::4]
            escaped = "".join("\\" + chr(byte) if byte in (0x2F, 0x2B) else chr(byte) if 0x20 <= byte <= 0x7E
                              else f"\\x{byte:02X}" for byte in data)
            text += f"{separator}{SHORT_NAMES.get(kind, kind)}={escaped}"
            separator = "+"
    return text


def check_pin(path, signers, option, pin):
    """Every signer's subject (the signature's and each nested one's) must carry exactly one O= equal to
    <pin>: the roots alone would accept anything else they certify, an older runtime or another product."""
    for depth, certificate in enumerate(signers):
        whose = "signer" if depth == 0 else "nested signature's signer"
        found = organisations(certificate)
        if len(found) != 1:
            raise SignatureError(f"Payload file's {whose} has {len(found)} organisations (O=) in its subject, "
                                 f"where {option} \"{pin}\" needs exactly one: {path}")
        if found[0] != pin:
            what = "is signed" if depth == 0 else "carries a nested signature"
            # A control character of the subject is shown as \xHH, so the message stays one line.
            shown = "".join(f"\\x{ord(char):02X}" if ord(char) < 0x20 or ord(char) == 0x7F else char
                            for char in found[0])
            raise SignatureError(f"Payload file {what} by another organisation than {option} names: "
                                 f"expected \"{pin}\", found \"{shown}\": {path}")


def payload_signer(path, index, settings, help_text):
    """Verifies payload <index> (0..4) and returns its signer's subject; raises SignatureError. A readable
    signature's structure is judged before osslsigncode's verdict is passed on, so a set that could make two
    readers pick two certificates is named as such, whichever one osslsigncode picked."""
    options = verify_options(settings.osslsigncode, settings.crl, help_text)
    failure, report = verify(settings.osslsigncode, path, settings.ca, settings.crl, options)
    try:
        der = extract(settings.osslsigncode, path)
    except SignatureError:
        if failure:
            raise SignatureError(failure) from None
        raise
    signers = all_signers(der, path)
    failure = failure or check_report(report, len(signers), path, settings.ca)
    if failure:
        raise SignatureError(failure)
    option, pin = (("QUORLITH_RUNTIME_SIGNER", settings.runtime_signer) if index < 4
                   else ("QUORLITH_INSTALLER_SIGNER", settings.installer_signer))
    if pin:
        check_pin(path, signers, option, pin)
    return oneline(signers[0])
