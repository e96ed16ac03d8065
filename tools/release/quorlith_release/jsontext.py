"""JSON text of the build's outputs, and writing it only where it changed."""
import json


def dumps(value):
    return json.dumps(value, indent=2, ensure_ascii=False) + "\n"


def write_if_changed(path, text):
    """Writes <text> unless <path> holds it already, so an unchanged output does not rebuild what uses it."""
    data = text.encode("utf-8")
    try:
        with open(path, "rb") as handle:
            if handle.read() == data:
                return
    except OSError:
        pass
    with open(path, "wb") as handle:
        handle.write(data)
