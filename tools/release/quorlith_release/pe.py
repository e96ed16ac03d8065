"""PE images read with pefile: the installer's kind and version resource, and the linked image's
load-configuration check."""
import pefile

IMAGE_FILE_MACHINE_AMD64 = 0x8664
IMAGE_FILE_EXECUTABLE_IMAGE = 0x0002
IMAGE_FILE_DLL = 0x2000
SUBSYSTEMS = (2, 3)   # Windows GUI, Windows console
LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800
DEPENDENT_LOAD_FLAGS_OFFSET = 78   # in IMAGE_LOAD_CONFIG_DIRECTORY64
LOAD_CONFIG = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG"]
RESOURCE = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]


class ImageError(Exception):
    """A PE image pefile reads but not as the format has it; the text says what was met."""


def open_image(path):
    """The image with its headers only, or None when it is no PE image."""
    try:
        return pefile.PE(path, fast_load=True)
    except (pefile.PEFormatError, OSError):
        return None


def executable_problem(path):
    """Why <path> is not a complete x64 Windows executable that Windows would start as a process, or "": PE32+
    for AMD64, marked executable, no DLL, the Windows GUI or console subsystem, and every section's raw data
    inside the file (a cut-off image loads as far as its headers)."""
    image = open_image(path)
    if image is None:
        return "it is no PE image"
    try:
        header, optional = image.FILE_HEADER, image.OPTIONAL_HEADER
        if header.Machine != IMAGE_FILE_MACHINE_AMD64:
            return f"its machine is 0x{header.Machine:04X}, not AMD64 (0x8664)"
        if optional.Magic != pefile.OPTIONAL_HEADER_MAGIC_PE_PLUS:
            return f"its optional header is not PE32+ (magic 0x{optional.Magic:X}, not 0x20B)"
        if header.Characteristics & IMAGE_FILE_DLL:
            return "it is a DLL"
        if not header.Characteristics & IMAGE_FILE_EXECUTABLE_IMAGE:
            return "it is not marked executable (IMAGE_FILE_EXECUTABLE_IMAGE)"
        if optional.Subsystem not in SUBSYSTEMS:
            return f"its subsystem is {optional.Subsystem}, not Windows GUI (2) or console (3)"
        size = len(image.__data__)
        if optional.SizeOfHeaders > size:
            return f"its headers end at byte {optional.SizeOfHeaders}, past the end of the file ({size} bytes)"
        if len(image.sections) != header.NumberOfSections:
            return (f"its section table is cut short ({len(image.sections)} of {header.NumberOfSections} sections "
                    "readable)")
        for section in image.sections:
            end = section.PointerToRawData + section.SizeOfRawData
            if section.SizeOfRawData and end > size:
                name = section.Name.rstrip(b"\0").decode("latin-1")
                return f"its section {name!r} ends at byte {end}, past the end of the file ({size} bytes)"
        return ""
    finally:
        image.close()


def _text(value):
    return value.decode("utf-8", "replace") if isinstance(value, bytes) else value


def version_strings(path):
    """ProductName, ProductVersion and CompanyName of the first string table of the version resource; an
    image without one has none of them, which is no fault. A version resource that pefile reads only in part
    raises ImageError."""
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
                if not hasattr(info, "StringTable"):
                    raise ImageError("its version resource holds a StringFileInfo block whose string tables "
                                     "cannot be read")
                for table in info.StringTable:
                    for key, value in table.entries.items():
                        found.setdefault(_text(key), _text(value))
    except pefile.PEFormatError as error:
        raise ImageError(f"its version resource cannot be read ({error.value})") from None
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
