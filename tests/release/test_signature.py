"""Signer pins read from the signature itself: certificates made with openssl under a throwaway root, a sample
package signed with osslsigncode, the signer and nested signers read with asn1crypto."""
import os
import shutil
import subprocess

import pytest

from asn1crypto import cms

from quorlith_release import signature

ROOT = "/CN=Quorlith Test Certificate Root"


class Publisher:
    def __init__(self, folder):
        self.folder = str(folder)
        self.serial = 1
        self.root("root", ROOT)

    def root(self, name, subject):
        """A self-signed CA; <subject> in openssl's -subj form, UTF-8 (through a request: "req -x509 -utf8"
        encodes it twice)."""
        extensions = self.path(name + ".ext")
        with open(extensions, "w", encoding="ascii") as handle:
            handle.write("basicConstraints=critical,CA:TRUE\nkeyUsage=critical,keyCertSign,cRLSign\n")
        self.run("req", "-new", "-newkey", "rsa:2048", "-nodes", "-utf8", "-subj", subject,
                 "-keyout", self.path(name + "-key.pem"), "-out", self.path(name + ".csr"))
        self.run("x509", "-req", "-in", self.path(name + ".csr"), "-key", self.path(name + "-key.pem"),
                 "-days", "2", "-out", self.path(name + ".pem"), "-extfile", extensions)
        return name

    def path(self, name):
        return os.path.join(self.folder, name)

    def run(self, *args):
        subprocess.run(["openssl", *args], check=True, capture_output=True)

    def issue(self, name, subject, usage="codeSigning", root="root", serial=None, string_mask=None):
        """A certificate under <root>; <subject> in openssl's -subj form ("\\" escapes a "/" or "+", an unescaped
        "+" joins the values of one RDN)."""
        self.serial += 1
        mask = ["-multivalue-rdn"] + (["-config", self.mask_config(string_mask)] if string_mask else [])
        extensions = self.path(name + ".ext")
        with open(extensions, "w", encoding="ascii") as handle:
            handle.write(f"keyUsage=critical,digitalSignature\nextendedKeyUsage=critical,{usage}\n")
        self.run("req", "-new", "-newkey", "rsa:2048", "-nodes", "-utf8", "-subj", subject, *mask,
                 "-keyout", self.path(name + "-key.pem"), "-out", self.path(name + ".csr"))
        self.run("x509", "-req", "-in", self.path(name + ".csr"), "-CA", self.path(root + ".pem"),
                 "-CAkey", self.path(root + "-key.pem"), "-days", "2", "-set_serial", str(serial or self.serial),
                 "-out", self.path(name + ".pem"), "-extfile", extensions)
        return name

    def mask_config(self, mask):
        """An openssl configuration whose string_mask picks how values are encoded ("bmp": BMPString)."""
        path = self.path(f"mask-{mask}.cnf")
        with open(path, "w", encoding="ascii") as handle:
            handle.write(f"[req]\ndistinguished_name = dn\nstring_mask = {mask}\n[dn]\n")
        return path

    def sign(self, source, name, output, *extra):
        command = ["osslsigncode", "sign", "-certs", self.path(name + ".pem"), "-key", self.path(name + "-key.pem"),
                   "-h", "sha256", "-in", source, "-out", output, *extra]
        subprocess.run(command, check=True, capture_output=True)
        return output


@pytest.fixture(scope="module")
def publisher(tmp_path_factory):
    if not shutil.which("osslsigncode"):
        pytest.skip("osslsigncode is not installed")
    return Publisher(tmp_path_factory.mktemp("pki"))


def settings(publisher, runtime_signer="", installer_signer=""):
    return signature_settings(publisher.path("root.pem"), runtime_signer, installer_signer)


def signature_settings(ca, runtime_signer, installer_signer):
    from quorlith_release.__main__ import Settings
    return Settings(check_size=True, check_kind=False, max_size=1 << 28, ca=ca, crl="",
                    runtime_signer=runtime_signer, installer_signer=installer_signer, osslsigncode="osslsigncode")


# id | subject of the signer | pin | message (None: accepted), "{}" for the file | subject recorded
PIN_CASES = [
    ("exact", "/O=Quorlith Test/CN=Quorlith Test Publisher", "Quorlith Test", None,
     "/O=Quorlith Test/CN=Quorlith Test Publisher"),
    ("no-pin", "/O=Quorlith Other/CN=Other", "", None, "/O=Quorlith Other/CN=Other"),
    ("another-organisation", "/O=Quorlith Other/CN=Other", "Quorlith Test",
     'Payload file is signed by another organisation than QUORLITH_RUNTIME_SIGNER names: expected "Quorlith Test", '
     'found "Quorlith Other": {}', None),
    ("prefix-is-not-enough", "/O=Quorlith Test/CN=Quorlith Test Publisher", "Quorlith",
     'Payload file is signed by another organisation than QUORLITH_RUNTIME_SIGNER names: expected "Quorlith", '
     'found "Quorlith Test": {}', None),
    ("escape-text-is-literal", "/O=Quorlith Tes\\\\x74/CN=Quorlith", "Quorlith Test",
     'Payload file is signed by another organisation than QUORLITH_RUNTIME_SIGNER names: expected "Quorlith Test", '
     'found "Quorlith Tes\\x74": {}', None),
    ("line-break-shown-escaped", "/O=Quorlith\nTest/CN=Quorlith", "Quorlith Test",
     'Payload file is signed by another organisation than QUORLITH_RUNTIME_SIGNER names: expected "Quorlith Test", '
     'found "Quorlith\\x0ATest": {}', None),
    ("two-organisations", "/O=Quorlith Test/O=Quorlith Other/CN=Quorlith", "Quorlith Test",
     'Payload file\'s signer has 2 organisations (O=) in its subject, where QUORLITH_RUNTIME_SIGNER '
     '"Quorlith Test" needs exactly one: {}', None),
    ("two-organisations-no-pin", "/O=Quorlith Test/O=Quorlith Other/CN=Quorlith", "", None,
     "/O=Quorlith Test/O=Quorlith Other/CN=Quorlith"),
    ("no-organisation", "/CN=Quorlith Test", "Quorlith Test",
     'Payload file\'s signer has 0 organisations (O=) in its subject, where QUORLITH_RUNTIME_SIGNER '
     '"Quorlith Test" needs exactly one: {}', None),
    ("semicolon", "/O=Quorlith; Test/CN=Quorlith", "Quorlith; Test", None, "/O=Quorlith; Test/CN=Quorlith"),
    ("semicolon-cut", "/O=Quorlith; Test/CN=Quorlith", "Quorlith",
     'Payload file is signed by another organisation than QUORLITH_RUNTIME_SIGNER names: expected "Quorlith", '
     'found "Quorlith; Test": {}', None),
    ("accents-and-slash", "/C=FR/O=Société A\\/B/CN=Quorlith", "Société A/B", None,
     "/C=FR/O=Soci\\xC3\\xA9t\\xC3\\xA9 A\\/B/CN=Quorlith"),
]


@pytest.mark.parametrize("subject,pin,message,recorded", [case[1:] for case in PIN_CASES],
                         ids=[case[0] for case in PIN_CASES])
def test_runtime_signer_pin(publisher, sample, tmp_path, subject, pin, message, recorded):
    name = publisher.issue(f"signer{publisher.serial}", subject)
    signed = publisher.sign(sample(2), name, str(tmp_path / "signed.msi"))
    help_text = signature.verify_help("osslsigncode")
    if message is None:
        got = signature.payload_signer(signed, 2, settings(publisher, runtime_signer=pin), help_text)
        assert got == recorded, f"got {got!r}"
    else:
        with pytest.raises(signature.SignatureError) as error:
            signature.payload_signer(signed, 2, settings(publisher, runtime_signer=pin), help_text)
        assert str(error.value) == message.format(signed), f"got {error.value}"


# id | subject of the signer | openssl string_mask (None: UTF-8) | subject recorded, as OpenSSL's
# X509_NAME_oneline writes it (osslsigncode prints the same after "Subject: ")
RECORDED_CASES = [
    ("multi-valued-rdn", "/O=Quorlith Test+OU=Builds/CN=Quorlith", None, "/OU=Builds+O=Quorlith Test/CN=Quorlith"),
    ("escaped-plus", "/O=Quorlith Test/CN=A\\+B", None, "/O=Quorlith Test/CN=A\\+B"),
    ("bmp-string", "/O=Quorlith Test/CN=Qé", "MASK:0x800",
     "/O=\\x00Q\\x00u\\x00o\\x00r\\x00l\\x00i\\x00t\\x00h\\x00 \\x00T\\x00e\\x00s\\x00t/CN=\\x00Q\\x00\\xE9"),
    ("other-attributes", "/C=US/ST=WA/L=Town/street=1 Way/O=Quorlith Test/OU=U/serialNumber=7/title=T/CN=Q/"
     "emailAddress=a@b.c/DC=quorlith/UID=u1/jurisdictionC=US/businessCategory=Private Organization", None,
     "/C=US/ST=WA/L=Town/street=1 Way/O=Quorlith Test/OU=U/serialNumber=7/title=T/CN=Q/emailAddress=a@b.c/"
     "DC=quorlith/UID=u1/jurisdictionC=US/businessCategory=Private Organization"),
]


@pytest.mark.parametrize("subject,mask,recorded", [case[1:] for case in RECORDED_CASES],
                         ids=[case[0] for case in RECORDED_CASES])
def test_recorded_signer_is_openssl_oneline(publisher, sample, tmp_path, subject, mask, recorded):
    name = publisher.issue(f"recorded{publisher.serial}", subject, string_mask=mask)
    signed = publisher.sign(sample(1), name, str(tmp_path / "signed.msi"))
    got = signature.payload_signer(signed, 1, settings(publisher, runtime_signer="Quorlith Test"),
                                   signature.verify_help("osslsigncode"))
    assert got == recorded, f"got {got!r}"
    printed = subprocess.run(["osslsigncode", "verify", "-in", signed, "-CAfile", publisher.path("root.pem")],
                             capture_output=True, text=True, errors="replace").stdout
    assert f"Subject: {recorded}\n" in printed, f"osslsigncode printed {printed}"


def test_installer_pin_applies_to_slot_105_only(publisher, sample, tmp_path):
    name = publisher.issue("installer", "/O=Quorlith Test/CN=Quorlith")
    signed = publisher.sign(sample(0), name, str(tmp_path / "signed.msi"))
    help_text = signature.verify_help("osslsigncode")
    got = signature.payload_signer(signed, 0, settings(publisher, "Quorlith Test", "Someone Else"), help_text)
    assert got == "/O=Quorlith Test/CN=Quorlith", f"got {got!r}"
    with pytest.raises(signature.SignatureError) as error:
        signature.payload_signer(signed, 4, settings(publisher, "Quorlith Test", "Someone Else"), help_text)
    assert "than QUORLITH_INSTALLER_SIGNER names" in str(error.value), f"got {error.value}"


# id | the nested signer's subject | its root | message (None: accepted)
NESTED_CASES = [
    ("same-organisation", "/O=Quorlith Test/CN=Second", "root", None),
    ("another-organisation", "/O=Quorlith Other/CN=Second", "root",
     'Payload file carries a nested signature by another organisation than QUORLITH_RUNTIME_SIGNER names: '
     'expected "Quorlith Test", found "Quorlith Other": {}'),
    ("under-another-root", "/O=Quorlith Test/CN=Second", "stranger-root",
     "Payload file's signature does not verify against {ca}: osslsigncode reports 1 of its 2 signatures verified, "
     "though its exit status says all: {}"),
]


@pytest.mark.parametrize("nested_subject,root,message", [case[1:] for case in NESTED_CASES],
                         ids=[case[0] for case in NESTED_CASES])
def test_nested_signature_is_held_to_the_pin(publisher, sample, tmp_path, nested_subject, root, message):
    if root != "root" and not os.path.exists(publisher.path(root + ".pem")):
        publisher.root(root, "/CN=Quorlith Stranger Root")
    first = publisher.issue(f"first{publisher.serial}", "/O=Quorlith Test/CN=First")
    second = publisher.issue(f"second{publisher.serial}", nested_subject, root=root)
    signed = publisher.sign(sample(1), first, str(tmp_path / "once.msi"))
    signed = publisher.sign(signed, second, str(tmp_path / "twice.msi"), "-nest")
    der = signature.extract("osslsigncode", signed)
    assert len(signature.all_signers(der, signed)) == 2, "the nested signature was not found"
    outcome = None
    try:
        signature.payload_signer(signed, 1, settings(publisher, runtime_signer="Quorlith Test"),
                                 signature.verify_help("osslsigncode"))
    except signature.SignatureError as error:
        outcome = str(error)
    expected = message.format(signed, ca=publisher.path("root.pem")) if message else None
    assert outcome == expected, f"got {outcome}"


def _tlv(tag, body):
    size = len(body)
    length = bytes([size]) if size < 0x80 else bytes([0x80 | ((size.bit_length() + 7) // 8)]) + size.to_bytes(
        (size.bit_length() + 7) // 8, "big")
    return bytes([tag]) + length + body


def with_certificates(der, certificates):
    """The signature <der> with its certificate set replaced by <certificates> (DER): the set is no part of what
    the signature covers."""
    content = cms.ContentInfo.load(der)
    signed_data = content["content"]
    body = b"".join(signed_data[field].dump() for field in ("version", "digest_algorithms", "encap_content_info"))
    body += _tlv(0xA0, b"".join(certificates)) + signed_data["signer_infos"].dump()
    return _tlv(0x30, content["content_type"].dump() + _tlv(0xA0, _tlv(0x30, body)))


def set_order(der, nested, serial):
    """The organisations of the certificates with <serial> in the (outer or nested) signature's set, in order."""
    signed_data = cms.ContentInfo.load(der)["content"]
    if nested:
        attribute = signed_data["signer_infos"][0]["unsigned_attrs"][0]
        signed_data = cms.ContentInfo.load(attribute["values"][0].dump())["content"]
    return [choice.chosen.subject.native["organization_name"] for choice in signed_data["certificates"]
            if choice.chosen.serial_number == serial]


def pem_der(path):
    return subprocess.run(["openssl", "x509", "-in", path, "-outform", "DER"], check=True, capture_output=True).stdout


# A CA named like the root, by one reader's rule or another's, issues a certificate with the real signer's serial
# number and the pinned organisation; it is put beside the real one in the signature's certificate set.
TWO = ("Payload file's signature carries 2 certificates with the serial number its {} SignerInfo names, where "
       "exactly one must: {{}}")
NOT_IN = ("Payload file's {} certificate is not in its signature: the one with its serial number has an issuer "
          "encoded otherwise than its SignerInfo names: {{}}")
# id | the look-alike CA's subject | where its certificate is in the set (first, last, only: in place of the real
# one) | outer signature or nested | message
LOOKALIKE_CASES = [
    ("soft-hyphen", "/CN=Quorlith Test Certi\u00adficate Root", "first", "outer", TWO.format("signer")),
    ("ligature", "/CN=Quorlith Test Certi\ufb01cate Root", "first", "outer", TWO.format("signer")),
    ("fullwidth", "/CN=\uff31uorlith Test Certificate Root", "first", "outer", TWO.format("signer")),
    ("upper-case", "/CN=QUORLITH TEST CERTIFICATE ROOT", "first", "outer", TWO.format("signer")),
    ("white-space", "/CN=Quorlith  Test Certificate Root", "last", "outer", TWO.format("signer")),
    ("private-use", "/CN=Quorlith Test Certificate Root\ue000", "first", "outer", TWO.format("signer")),
    ("after-the-real-one", "/CN=Quorlith Test Certi\u00adficate Root", "last", "outer", TWO.format("signer")),
    ("in-place-of-the-real-one", "/CN=Quorlith Test Certi\u00adficate Root", "only", "outer", NOT_IN.format("signer")),
    ("nested-soft-hyphen", "/CN=Quorlith Test Certi\u00adficate Root", "first", "nested",
     TWO.format("nested signature's signer")),
    ("nested-in-place", "/CN=Quorlith Test Certificate Root\u00ad", "only", "nested",
     NOT_IN.format("nested signature's signer")),
]


@pytest.mark.parametrize("lookalike,where,level,message", [case[1:] for case in LOOKALIKE_CASES],
                         ids=[case[0] for case in LOOKALIKE_CASES])
def test_pin_speaks_of_the_verified_certificate(publisher, sample, tmp_path, lookalike, where, level, message):
    real = publisher.issue(f"other{publisher.serial}", "/O=Quorlith Other/CN=Quorlith Other Publisher")
    serial = publisher.serial
    root = publisher.root(f"lookalike{serial}", lookalike)
    decoy = publisher.issue(f"decoy{serial}", "/O=Quorlith Test/CN=Quorlith Test Publisher", root=root, serial=serial)
    unsigned = sample(2)
    der = signature.extract("osslsigncode", publisher.sign(unsigned, real, str(tmp_path / "other.msi")))
    certificates = [choice.dump() for choice in cms.ContentInfo.load(der)["content"]["certificates"]]
    fake = pem_der(publisher.path(decoy + ".pem"))
    real_der = pem_der(publisher.path(real + ".pem"))
    certificates = {"first": [fake] + certificates, "last": certificates + [fake],
                    "only": [fake if item == real_der else item for item in certificates]}[where]
    sigin = tmp_path / "attack.p7"
    sigin.write_bytes(with_certificates(der, certificates))
    target = unsigned
    extra = []
    if level == "nested":
        first = publisher.issue(f"first{publisher.serial}", "/O=Quorlith Test/CN=First")
        target, extra = publisher.sign(unsigned, first, str(tmp_path / "once.msi")), ["-nest"]
    attacked = str(tmp_path / "attacked.msi")
    # It writes the file also where its own check picks the look-alike and fails.
    subprocess.run(["osslsigncode", "attach-signature", "-sigin", str(sigin), "-in", target, "-out", attacked,
                    "-CAfile", publisher.path("root.pem"), *extra], capture_output=True)
    assert os.path.exists(attacked), "osslsigncode attached nothing"
    order = set_order(signature.extract("osslsigncode", attacked), level == "nested", serial)
    assert order == {"first": ["Quorlith Test", "Quorlith Other"], "last": ["Quorlith Other", "Quorlith Test"],
                     "only": ["Quorlith Test"]}[where], f"the set holds {order}"
    with pytest.raises(signature.SignatureError) as error:
        signature.payload_signer(attacked, 2, settings(publisher, runtime_signer="Quorlith Test"),
                                 signature.verify_help("osslsigncode"))
    assert str(error.value) == message.format(attacked), f"got {error.value}"


def _nest_inside_nested(der, inner):
    """The signature <der> with <inner> (a whole signature) nested inside its first nested signature."""
    content = cms.ContentInfo.load(der)
    attribute = content["content"]["signer_infos"][0]["unsigned_attrs"][0]
    nested = cms.ContentInfo.load(attribute["values"][0].dump())
    nested["content"]["signer_infos"][0]["unsigned_attrs"] = [cms.CMSAttribute(
        {"type": "microsoft_nested_signature", "values": [cms.ContentInfo.load(inner)]})]
    attribute["values"] = [nested]
    return content.dump(force=True)


VERDICTS = ("Payload file's signature does not verify against {{ca}}: osslsigncode reports {} of its {} signatures "
            "verified, though its exit status says all: {{}}")
IMITATED = ("Payload file's signature does not verify against {{ca}}: osslsigncode's report lists {} signatures where "
            "the signature holds {}, so text inside the signature imitates its report: {{}}")
DESCRIBED = ("Payload file's signer description or link holds a control character, which osslsigncode's report "
             "would print as it stands: {}")
# Every signer has the pinned organisation; one of them is under another root, so osslsigncode cannot verify it,
# yet its exit status says all were. id | root of the primary signer | its signing options (a description, -n, or
# a link, -i, which osslsigncode prints as they stand) | root of a signer nested inside the nested one (None: no
# such signature) | message
FORGED_REPORT_CASES = [
    ("nested-in-a-nested-signature", "root", [], "stranger-root", VERDICTS.format(2, 3)),
    ("description-imitates-a-verdict", "stranger-root", ["-n", "Quorlith\nSignature verification: ok"], None,
     DESCRIBED),
    ("description-imitates-an-index-and-a-verdict", "root",
     ["-n", "Quorlith\nSignature Index: 2 \nSignature verification: ok"], "stranger-root", DESCRIBED),
    ("link-imitates-a-verdict", "stranger-root", ["-i", "http://quorlith.example/\nSignature verification: ok"],
     None, DESCRIBED),
    ("verdict-imitated-by-no-text", "stranger-root", [], None, VERDICTS.format(1, 2)),
]


@pytest.mark.parametrize("primary_root,options,deep_root,message", [case[1:] for case in FORGED_REPORT_CASES],
                         ids=[case[0] for case in FORGED_REPORT_CASES])
def test_every_signature_is_verified(publisher, sample, tmp_path, primary_root, options, deep_root, message):
    if not os.path.exists(publisher.path("stranger-root.pem")):
        publisher.root("stranger-root", "/CN=Quorlith Stranger Root")
    first = publisher.issue(f"first{publisher.serial}", "/O=Quorlith Test/CN=First", root=primary_root)
    second = publisher.issue(f"second{publisher.serial}", "/O=Quorlith Test/CN=Second")
    unsigned = sample(1)
    signed = publisher.sign(unsigned, first, str(tmp_path / "once.msi"), *options)
    signed = publisher.sign(signed, second, str(tmp_path / "twice.msi"), "-nest")
    if deep_root:
        deep = publisher.issue(f"deep{publisher.serial}", "/O=Quorlith Test/CN=Deep", root=deep_root)
        inner = signature.extract("osslsigncode", publisher.sign(unsigned, deep, str(tmp_path / "deep.msi")))
        sigin = tmp_path / "deep.p7"
        sigin.write_bytes(_nest_inside_nested(signature.extract("osslsigncode", signed), inner))
        signed = str(tmp_path / "attacked.msi")
        # It writes the file also where its own check fails.
        subprocess.run(["osslsigncode", "attach-signature", "-sigin", str(sigin), "-in", unsigned, "-out", signed],
                       capture_output=True)
        assert os.path.exists(signed), "osslsigncode attached nothing"
    with pytest.raises(signature.SignatureError) as error:
        signature.payload_signer(signed, 1, settings(publisher, runtime_signer="Quorlith Test"),
                                 signature.verify_help("osslsigncode"))
    assert str(error.value) == message.format(signed, ca=publisher.path("root.pem")), f"got {error.value}"


OK, FAILED = "Signature verification: ok\n", "Signature verification: failed\n"
INDEX = "Signature Index: {}\n"
# osslsigncode's report, as text, for a signature of <count> signatures. id | report | count | message (None: it
# shows every signature verified)
REPORT_CASES = [
    ("one-without-index-lines", OK, 1, None),
    ("two-verified", INDEX.format(0) + OK + INDEX.format(1) + OK, 2, None),
    ("time-stamped", INDEX.format(0) + "Timestamp Server Signature verification: ok\n"
     "Signature verification time: Dec  9 05:52:54 2026 GMT\n" + OK, 1, None),
    ("second-failed", INDEX.format(0) + OK + INDEX.format(1) + FAILED, 2, VERDICTS.format(1, 2)),
    ("failed-beside-an-imitated-verdict", INDEX.format(0) + OK + INDEX.format(1) + OK + FAILED, 2,
     IMITATED.format(3, 2)),
    ("index-imitated", INDEX.format(0) + OK + INDEX.format(1) + INDEX.format(2) + OK, 2, IMITATED.format(3, 2)),
    ("one-of-two-listed", INDEX.format(0) + OK, 2, VERDICTS.format(1, 2)),
    ("verdict-missing", INDEX.format(0) + OK + INDEX.format(1), 2, VERDICTS.format(1, 2)),
    ("verdict-indented", INDEX.format(0) + "\t" + OK, 1, VERDICTS.format(0, 1)),
]


@pytest.mark.parametrize("report,count,message", [case[1:] for case in REPORT_CASES],
                         ids=[case[0] for case in REPORT_CASES])
def test_report_shows_each_signature_verified(report, count, message):
    got = signature.check_report(report, count, "p.msi", "roots.pem")
    assert got == (message.format("p.msi", ca="roots.pem") if message else ""), f"got {got}"


def _key_identifier(content):
    info = content["content"]["signer_infos"][0]
    info["version"] = "v3"
    info["sid"] = cms.SignerIdentifier(name="subject_key_identifier", value=b"\x01" * 20)


def _nested_data(content):
    content["content"]["signer_infos"][0]["unsigned_attrs"] = [cms.CMSAttribute(
        {"type": "microsoft_nested_signature", "values": [cms.ContentInfo({"content_type": "data",
                                                                           "content": b"not signed data"})]})]


def _two_signer_infos(content):
    infos = content["content"]["signer_infos"]
    content["content"]["signer_infos"] = cms.SignerInfos([infos[0], cms.SignerInfo.load(infos[0].dump())])


# id | how the extracted signature is bent | message
STRUCTURE_CASES = [
    ("key-identifier", _key_identifier,
     "Payload file's signer SignerInfo names its certificate by key identifier, which the signature check (by "
     "issuer and serial number) cannot bind: {}"),
    ("nested-not-signed-data", _nested_data,
     "Payload file carries a nested signature that is not SignedData (1.2.840.113549.1.7.1): {}"),
    ("two-signer-infos", _two_signer_infos,
     "Payload file's signature has 2 SignerInfos, where Authenticode has exactly one: {}"),
]


@pytest.mark.parametrize("bend,message", [case[1:] for case in STRUCTURE_CASES],
                         ids=[case[0] for case in STRUCTURE_CASES])
def test_signature_structure_outside_authenticode(publisher, sample, tmp_path, bend, message):
    name = publisher.issue(f"structure{publisher.serial}", "/O=Quorlith Test/CN=Quorlith")
    signed = publisher.sign(sample(0), name, str(tmp_path / "signed.msi"))
    content = cms.ContentInfo.load(signature.extract("osslsigncode", signed))
    bend(content)
    with pytest.raises(signature.SignatureError) as error:
        signature.all_signers(content.dump(force=True), signed)
    assert str(error.value) == message.format(signed), f"got {error.value}"


def test_time_stamp_signer_is_never_the_signer(publisher, sample, tmp_path):
    usage = subprocess.run(["osslsigncode", "--help"], capture_output=True, text=True)
    if "-TSA-certs" not in usage.stdout + usage.stderr:
        pytest.skip("this osslsigncode (Debian 12 has 2.5) has no -TSA-certs: it time-stamps only through a server")
    signer = publisher.issue("stamped", "/O=Quorlith Test/CN=Quorlith Test Publisher")
    tsa = publisher.issue("tsa", "/O=Quorlith Other/CN=Quorlith Time Stamps", usage="timeStamping")
    signed = publisher.sign(sample(3), signer, str(tmp_path / "stamped.msi"),
                            "-TSA-certs", publisher.path(tsa + ".pem"), "-TSA-key", publisher.path(tsa + "-key.pem"),
                            "-TSA-time", "1767225600")
    help_text = signature.verify_help("osslsigncode")
    got = signature.payload_signer(signed, 3, settings(publisher, runtime_signer="Quorlith Test"), help_text)
    assert got == "/O=Quorlith Test/CN=Quorlith Test Publisher", f"got {got!r}"
    assert len(signature.all_signers(signature.extract("osslsigncode", signed), signed)) == 1


def test_unsigned_package_is_refused(publisher, sample):
    path = sample(2)
    with pytest.raises(signature.SignatureError) as error:
        signature.payload_signer(path, 2, settings(publisher), signature.verify_help("osslsigncode"))
    assert str(error.value) == f"Payload file is not signed: {path}", f"got {error.value}"
