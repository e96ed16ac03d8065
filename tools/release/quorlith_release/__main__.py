"""quorlith-release <command> ...: the build's reading of the payloads and the outputs it writes from them.

  check        configure time: each given payload is present, of its kind, signed (with --ca) and, for a
               runtime package, proven to satisfy its slot's presence test
  generate     build time: the same checks, then the digest table, the payload manifest and the bill of
               materials' payload entries, each rewritten only when its text changes
  sbom         post-build: the bill of materials of the final image
  tools        the build's tools with the versions they report, for the bill of materials
  load-config  post-link: the image loads its DLLs from System32 only, or it is removed with its outputs
  short-names, packed-version: for the sample packages

Every expected failure is one message naming the file on stderr and exit status 1."""
import argparse
import dataclasses
import json
import os
import sys
import traceback

from . import digests, jsontext, manifest, payload, pe, sbom, signature


class Failure(Exception):
    """One message for stderr; the command exits 1."""


@dataclasses.dataclass
class Settings:
    check_size: bool
    check_kind: bool
    max_size: int
    ca: str
    crl: str
    runtime_signer: str
    installer_signer: str
    osslsigncode: str


@dataclasses.dataclass
class Payload:
    id: int
    name: str         # the name it is embedded and published under
    path: str
    size: int = 0
    sha256: str = ""
    signed: bool = False
    signer: str = ""
    proof: object = None


def settings_from(args):
    return Settings(check_size=args.check_size, check_kind=args.check_kind, max_size=args.max_size,
                    ca=args.ca or "", crl=args.crl or "", runtime_signer=args.runtime_signer or "",
                    installer_signer=args.installer_signer or "", osslsigncode=args.osslsigncode or "osslsigncode")


# The libraries that read payloads, by the folder or file their code lives in.
LIBRARIES = ("asn1crypto", "pefile", "gi")


def _origin(error):
    """Where <error> was raised: the payload-reading library the traceback's innermost frame of theirs or
    ours is in, else the file and line of that frame."""
    frames = traceback.extract_tb(error.__traceback__)[1:]   # the first is reading()'s own
    for frame in reversed(frames):
        parts = frame.filename.replace("\\", "/").split("/")
        for library in LIBRARIES:
            if library in parts[:-1] or parts[-1] == library + ".py":
                return library
        if "quorlith_release" in parts[:-1]:
            return f"quorlith_release/{parts[-1]}:{frame.lineno}"
    return f"{os.path.basename(frames[-1].filename)}:{frames[-1].lineno}" if frames else "Python"


def reading(path, step, *args):
    """Runs one read of payload <path>. The tool's own refusals pass through; anything else raised while the
    payload is read (by asn1crypto, pefile or gi on what the file holds, or by a fault of the tool's own)
    becomes one line that names the file, where it was raised and what, never a silent pass."""
    try:
        return step(*args)
    except (Failure, signature.SignatureError, OSError):
        raise
    except pe.ImageError as error:
        raise Failure(f"Payload file cannot be read: {error}: {path}") from None
    except Exception as error:   # noqa: BLE001 - named in the message, and the build stops
        from . import proof   # loaded already: every read follows read_payloads' import
        if isinstance(error, proof.ProofError):
            raise
        text = " ".join(str(error).split())
        raise Failure(f"Payload file cannot be read: {_origin(error)} raised {type(error).__name__}"
                      f"{': ' + text if text else ''}: {path}") from None


def read_payloads(files, settings):
    """Checks the five files in identifier order and returns their records; raises Failure at the first
    problem."""
    from . import proof   # libmsi is loaded only where packages are read
    help_text = signature.verify_help(settings.osslsigncode) if settings.ca else ""
    payloads = []
    for index, path in enumerate(files):
        record = Payload(id=101 + index, name=payload.NAMES[index], path=path)
        problem = reading(path, payload.problem, path, index, settings.check_size, settings.check_kind,
                          settings.max_size)
        if problem:
            raise Failure(problem)
        if settings.ca:
            try:
                record.signer = reading(path, signature.payload_signer, path, index, settings, help_text)
            except signature.SignatureError as error:
                raise Failure(str(error)) from None
            record.signed = True
        if settings.check_kind and index < 4:
            try:
                record.proof = reading(path, proof.prove_runtime_package, path, index)
            except proof.ProofError as error:
                raise Failure(str(error)) from None
        elif settings.check_kind:
            # What the bill of materials reads from the installer, read here too, so configure stops on it.
            reading(path, pe.version_strings, path)
        payloads.append(record)
    try:
        proof.check_removals([(record.path, record.proof) for record in payloads if record.proof is not None])
    except proof.ProofError as error:
        raise Failure(str(error)) from None
    return payloads


def command_check(args):
    read_payloads(args.files, settings_from(args))


def warn(text):
    print(f"warning: {text}", file=sys.stderr)


def command_generate(args):
    payloads = read_payloads(args.files, settings_from(args))
    for record in payloads:
        record.size = os.path.getsize(record.path)
        record.sha256 = payload.sha256(record.path)
    jsontext.write_if_changed(args.out, digests.table_text(payloads))
    if args.manifest:
        jsontext.write_if_changed(args.manifest, jsontext.dumps(manifest.manifest(payloads)))
    if args.components:
        entries = [reading(record.path, sbom.component, record, warn) for record in payloads]
        jsontext.write_if_changed(args.components, jsontext.dumps(entries))


def command_sbom(args):
    if args.when_inputs_exist and not all(map(os.path.exists, (args.image, args.components, args.tools))):
        return
    with open(args.manifest, encoding="utf-8") as handle:
        version = sbom.assembly_version(handle.read(), args.manifest)
    with open(args.components, encoding="utf-8") as handle:
        components = json.load(handle)
    with open(args.tools, encoding="utf-8") as handle:
        tool_list = json.load(handle)
    try:
        when = sbom.timestamp(os.environ.get("SOURCE_DATE_EPOCH"))
    except sbom.SbomError as error:
        raise Failure(str(error)) from None
    image = payload.sha256(args.image)
    document = sbom.document(image, version, args.supplier, tool_list, components, when)
    with open(args.out, "w", encoding="utf-8") as handle:
        handle.write(jsontext.dumps(document))


def command_tools(args):
    from . import tools
    with open(args.out, "w", encoding="utf-8") as handle:
        handle.write(jsontext.dumps(tools.tool_list(args.tool, args.program)))


def command_load_config(args):
    problem = pe.load_config_problem(args.image)
    if problem:
        for path in [args.image] + args.remove:
            if os.path.lexists(path):
                os.remove(path)
        raise Failure(f"{args.image} {problem}, so DLLs beside it could be loaded in place of system ones; it was "
                      "removed. The MinGW build must link it with LLD (cmake/QuorlithLld.cmake), which takes "
                      "CMake 3.21 or later.")


def add_payload_options(parser):
    parser.add_argument("--files", nargs=5, required=True, metavar="FILE",
                        help="the five payloads in identifier order (101-105)")
    parser.add_argument("--check-size", action="store_true", help="refuse empty files and files over --max-size")
    parser.add_argument("--max-size", type=int, default=268435456)
    parser.add_argument("--check-kind", action="store_true",
                        help="packages for 101-104, proven; an x64 executable for 105")
    parser.add_argument("--ca", default="", help="PEM roots every payload must be signed under")
    parser.add_argument("--crl", default="", help="PEM CRLs the signatures are checked against")
    parser.add_argument("--runtime-signer", default="", help="the one O= of the signer of 101-104")
    parser.add_argument("--installer-signer", default="", help="the one O= of the signer of 105")
    parser.add_argument("--osslsigncode", default="osslsigncode")


def parser():
    top = argparse.ArgumentParser(prog="quorlith-release", description=__doc__.split("\n\n")[0])
    commands = top.add_subparsers(dest="command", required=True)
    check = commands.add_parser("check", help="check the payloads at configure time")
    add_payload_options(check)
    check.set_defaults(run=command_check)
    generate = commands.add_parser("generate", help="check the payloads and write what the build embeds")
    add_payload_options(generate)
    generate.add_argument("--out", required=True, help="digest table (C++)")
    generate.add_argument("--manifest", default="", help="payload manifest (JSON)")
    generate.add_argument("--components", default="", help="bill-of-materials payload entries (JSON)")
    generate.set_defaults(run=command_generate)
    document = commands.add_parser("sbom", help="write the bill of materials of the final image")
    document.add_argument("--image", required=True)
    document.add_argument("--components", required=True)
    document.add_argument("--manifest", required=True, help="the image's application manifest")
    document.add_argument("--tools", required=True, help="JSON list of the build's tools")
    document.add_argument("--supplier", required=True)
    document.add_argument("--out", required=True)
    document.add_argument("--when-inputs-exist", action="store_true",
                          help="write nothing while the image or an input is missing (the build makes them first)")
    document.set_defaults(run=command_sbom)
    listing = commands.add_parser("tools", help="list the build's tools with their versions (JSON)")
    listing.add_argument("--out", required=True)
    listing.add_argument("--tool", nargs=2, action="append", default=[], metavar=("NAME", "VERSION"))
    listing.add_argument("--program", nargs=2, action="append", default=[], metavar=("NAME", "PATH"),
                         help="a tool whose version it reports with --version")
    listing.set_defaults(run=command_tools)
    load_config = commands.add_parser("load-config", help="check the linked image's load configuration")
    load_config.add_argument("--image", required=True)
    load_config.add_argument("--remove", nargs="*", default=[], help="outputs removed with the image on failure")
    load_config.set_defaults(run=command_load_config)
    for name in ("short-names", "packed-version"):
        commands.add_parser(name, add_help=False, help="sample packages (see --help of the command)")
    return top


def main(argv=None):
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv and argv[0] in ("short-names", "packed-version"):
        from . import samples
        return samples.main(argv)
    args = parser().parse_args(argv)
    try:
        args.run(args)
    except Failure as error:
        print(error, file=sys.stderr)
        return 1
    except OSError as error:
        print(f"{error.strerror}: {error.filename}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
