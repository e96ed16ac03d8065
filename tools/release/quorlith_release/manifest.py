"""The payload manifest beside the image: each payload's id, embedded name, size and digest, its signer when
signatures are checked, and for a proven runtime package the release it lays down, its ProductVersion, what
the proof found and the folder-setting custom actions the proof did not evaluate ("unevaluatedActions")."""


def manifest(payloads):
    entries = []
    for payload in payloads:
        entry = {"id": payload.id, "file": payload.name, "size": payload.size, "sha256": payload.sha256}
        if payload.signed:
            entry["signer"] = payload.signer
        if payload.proof is not None:
            entry["version"] = payload.proof.release
            entry["productVersion"] = payload.proof.product_version
            entry["installs"] = payload.proof.installs
            entry["unevaluatedActions"] = list(payload.proof.folder_actions)
        entries.append(entry)
    return {"payloads": entries}
