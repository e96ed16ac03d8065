"""JSON text of the build's outputs, laid out for a reader: objects and arrays of plain values on one line,
the rest indented by two. Every value goes through json.dumps."""
import json


def _scalar(value):
    return not isinstance(value, (dict, list))


def _inline(value):
    if isinstance(value, dict):
        return all(_scalar(item) or (isinstance(item, list) and all(map(_scalar, item))) for item in value.values())
    if isinstance(value, list):
        return all(map(_scalar, value)) or (len(value) == 1 and isinstance(value[0], dict) and _inline(value[0]))
    return True


def _one_line(value):
    if isinstance(value, dict):
        if not value:
            return "{}"
        return "{ " + ", ".join(f"{json.dumps(key, ensure_ascii=False)}: {_one_line(item)}"
                                for key, item in value.items()) + " }"
    if isinstance(value, list):
        return "[ " + ", ".join(_one_line(item) for item in value) + " ]" if value else "[]"
    return json.dumps(value, ensure_ascii=False)


def render(value, depth=0):
    if _inline(value) and depth > 0:
        return _one_line(value)
    inner = "  " * (depth + 1)
    if isinstance(value, dict):
        lines = [f"{inner}{json.dumps(key, ensure_ascii=False)}: {render(item, depth + 1)}"
                 for key, item in value.items()]
        return "{\n" + ",\n".join(lines) + "\n" + "  " * depth + "}"
    if isinstance(value, list):
        return "[\n" + ",\n".join(inner + render(item, depth + 1) for item in value) + "\n" + "  " * depth + "]"
    return _one_line(value)


def dumps(value):
    return render(value) + "\n"


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
