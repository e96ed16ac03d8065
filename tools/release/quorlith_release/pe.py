"""PE images read with pefile: the payload kind check, the installer's version resource and the linked
image's load-configuration check."""
import pefile

IMAGE_FILE_MACHINE_AMD64 = 0x8664
LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800
DEPENDENT_LOAD_FLAGS_OFFSET = 78   # in IMAGE_LOAD_CONFIG_DIRECTORY64
LOAD_CONFIG = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG"]
RESOURCE = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]


def open_image(path):
    """The image with its headers only, or None when it is no PE image."""
    try:
        return pefile.PE(path, fast_load=True)
    except (pefile.PEFormatError, OSError):
        return None


def is_x64_image(path):
    image = open_image(path)
    if image is None:
        return False
    try:
        return image.FILE_HEADER.Machine == IMAGE_FILE_MACHINE_AMD64
    finally:
        image.close()


def _text(value):
    return value.decode("utf-8", "replace") if isinstance(value, bytes) else value


def version_strings(path):
    """ProductName, ProductVersion and CompanyName of the first string table of the version resource; an
    image without one has none of them, which is no fault."""
    found = {}
    image = open_image(path)
    if image is None:
        return found
    try:
        image.parse_data_directories(directories=[RESOURCE])
        for info_list in getattr(image, "FileInfo", None) or []:
            for info in info_list:
                if _text(getattr(info, "Key", b"")) != "StringFileInfo":
                    continue
                for table in info.StringTable:
                    for key, value in table.entries.items():
                        found.setdefault(_text(key), _text(value))
    except pefile.PEFormatError:
        pass
    finally:
        image.close()
    return {key: found[key] for key in ("ProductName", "ProductVersion", "CompanyName") if key in found}


def load_config_problem(path):
    """What keeps the linked image from loading its DLLs from System32 alone, or "" when nothing does: no
    load-configuration directory (GNU ld, or a linker launcher an old CMake ignored), or DependentLoadFlags
    other than LOAD_LIBRARY_SEARCH_SYSTEM32."""
    image = open_image(path)
    if image is None:
        return "is no PE image"
    try:
        directories = image.OPTIONAL_HEADER.DATA_DIRECTORY
        if len(directories) <= LOAD_CONFIG or image.OPTIONAL_HEADER.Magic != pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS:
            return "is no PE image"
        directory = directories[LOAD_CONFIG]
        if directory.VirtualAddress == 0 or directory.Size == 0:
            return "has no load-configuration directory"
        flags = image.get_word_at_rva(directory.VirtualAddress + DEPENDENT_LOAD_FLAGS_OFFSET)
        if flags != LOAD_LIBRARY_SEARCH_SYSTEM32:
            return ("has a load-configuration directory whose DependentLoadFlags is not "
                    "LOAD_LIBRARY_SEARCH_SYSTEM32")
        return ""
    finally:
        image.close()
