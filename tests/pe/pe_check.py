#!/usr/bin/env python3
"""Byte-level check of a built tallowix.dll, read from the PE file itself.

Checks the export table (module name, ordinals, the undecorated names),
the imports (system DLLs only, and only functions on a list that Windows XP
SP3 has), the system version the header asks for (XP's or older) and the one
resource: its place in the resource directory and the version block tree,
block by block, with every stated length and the 4-byte alignment.

usage: pe_check.py PATH/tallowix.dll
Prints each failed check and exits 1 if any failed.
"""
import struct
import sys

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
    return condition


class Image:
    def __init__(self, data):
        self.data = data
        pe = self.unpack("<I", 0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        sections, optional_size = self.unpack("<H", pe + 6), self.unpack("<H", pe + 20)
        optional = pe + 24
        directories = optional + (112 if self.unpack("<H", optional) == 0x20B else 96)
        self.directories = [struct.unpack_from("<II", data, directories + 8 * i) for i in range(16)]
        self.sections = []
        for entry in range(optional + optional_size, optional + optional_size + 40 * sections, 40):
            virtual_size, rva, raw_size, raw = struct.unpack_from("<IIII", data, entry + 8)
            self.sections.append((rva, max(virtual_size, raw_size), raw))

    def unpack(self, form, offset):
        values = struct.unpack_from(form, self.data, offset)
        return values[0] if len(values) == 1 else values

    def offset(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError("RVA %#x lies in no section" % rva)

    def at(self, form, rva):
        return self.unpack(form, self.offset(rva))

    def ascii(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")


EXPORTS = {1: "DllMain", 100: "Get32BitCrc", 101: "GetDllVersion",
           102: "MIRCFindFileSizeCrc", 103: "FindFileSizeCrc",
           104: "SignalGet32BitCrc", 105: "SignalFindFileSizeCrc",
           106: "LoadDll", 107: "UnloadDll", 108: "CancelSignal", 109: "GetSignalProgress",
           110: "SignalCheckSfv", 111: "SignalMakeSfv", 112: "SignalCheckNameCrc"}
ORDINAL_SLOTS = 112


def check_exports(image):
    rva, size = image.directories[0]
    if not check(rva and size, "exports: no export directory"):
        return
    name, base, functions, names, functions_rva, names_rva, ordinals_rva = \
        image.at("<7I", rva + 12)
    check(image.ascii(name) == "TALLOWIX.dll", "exports: module name %r" % image.ascii(name))
    check(base == 1, "exports: ordinal base %d" % base)
    check(functions == ORDINAL_SLOTS, "exports: %d ordinal slots" % functions)
    found = {base + image.at("<H", ordinals_rva + 2 * i): image.ascii(image.at("<I", names_rva + 4 * i))
             for i in range(names)}
    check(found == EXPORTS, "exports: names by ordinal %r" % found)
    for ordinal in range(base, base + functions):
        address = image.at("<I", functions_rva + 4 * (ordinal - base))
        check(bool(address) == (ordinal in EXPORTS),
              "exports: ordinal %d %s an address" % (ordinal, "lacks" if address == 0 else "has"))


# Every function the DLLs may import, by DLL: only system DLLs (no compiler
# run-time DLL such as libgcc, libstdc++ or libwinpthread), and only what
# Windows XP SP3 has, the oldest system the 32-bit DLL loads on (mIRC 6 ran
# there). A new import is a decision: add it here only once it is known to
# exist on XP SP3. Some come from the compiler's start-up code, and some from
# one architecture only (_iob on x86, __iob_func on x64; the x86 unwinder
# looks up its frame registry with the module calls).
ALLOWED_IMPORTS = {
    # File names go through the wide calls only: no single-byte file call
    # (CreateFileA, FindFirstFileA, ...) may come back, as it would turn a
    # name into a best-fit look-alike.
    "kernel32.dll": {
        "CloseHandle", "CreateFileMappingW", "CreateFileW", "CreateSemaphoreW",
        "DeleteCriticalSection", "DeleteFileW", "EnterCriticalSection", "FindClose",
        "FindFirstFileW", "FindNextFileW", "FlushFileBuffers", "FreeLibrary", "GetACP",
        "GetCurrentThreadId", "GetEnvironmentVariableA", "GetFileAttributesW",
        "GetFileInformationByHandle", "GetFileSize", "GetFullPathNameW", "GetLastError",
        "GetLocalTime", "GetModuleFileNameW", "GetModuleHandleA", "GetModuleHandleExW",
        "GetModuleHandleW", "GetProcAddress", "GetTickCount",
        "GlobalAlloc", "GlobalFree", "GlobalLock", "GlobalUnlock", "InitializeCriticalSection",
        "LeaveCriticalSection", "LoadLibraryA", "MapViewOfFile", "MoveFileExW",
        "MultiByteToWideChar", "ReadFile", "ReleaseSemaphore", "SetLastError", "Sleep",
        "TlsGetValue", "UnmapViewOfFile", "VirtualProtect", "VirtualQuery",
        "WaitForSingleObject", "WideCharToMultiByte", "WriteFile",
    },
    "msvcrt.dll": {
        "__iob_func", "_amsg_exit", "_initterm", "_iob", "_lock", "_unlock", "abort", "calloc",
        "free", "fwrite", "malloc", "memcmp", "memcpy", "memmove", "memset", "realloc", "strcat",
        "strchr", "strcmp", "strcpy", "strrchr", "strcspn", "strlen", "strncmp", "vfprintf", "wcslen", "wcsncmp",
    },
    "user32.dll": {
        "GetWindowThreadProcessId", "IsHungAppWindow", "IsWindow", "IsWindowUnicode",
        "SendMessageTimeoutW", "wsprintfW",
    },
    "version.dll": {"GetFileVersionInfoSizeW", "GetFileVersionInfoW", "VerQueryValueA"},
}
REQUIRED_IMPORTS = {"kernel32.dll", "version.dll", "user32.dll"}


def check_imports(image):
    rva, _ = image.directories[1]
    wide = image.unpack("<H", image.unpack("<I", 0x3C) + 24) == 0x20B
    entry_form, ordinal_flag = ("<Q", 1 << 63) if wide else ("<I", 1 << 31)
    names = set()
    while check(rva != 0, "imports: no import directory") and image.at("<I", rva + 12):
        dll = image.ascii(image.at("<I", rva + 12)).lower()
        names.add(dll)
        allowed = ALLOWED_IMPORTS.get(dll, set())
        thunk = image.at("<I", rva) or image.at("<I", rva + 16)
        while True:
            entry = image.at(entry_form, thunk)
            if entry == 0:
                break
            if check(not entry & ordinal_flag, "imports: %s by ordinal %d" % (dll, entry & 0xFFFF)):
                function = image.ascii((entry & 0x7FFFFFFF) + 2)
                check(function in allowed, "imports: %s!%s is not on the list" % (dll, function))
            thunk += struct.calcsize(entry_form)
        rva += 20
    check(names <= set(ALLOWED_IMPORTS),
          "imports: unexpected DLLs %r" % sorted(names - set(ALLOWED_IMPORTS)))
    check(REQUIRED_IMPORTS <= names, "imports: missing %r" % sorted(REQUIRED_IMPORTS - names))


# Windows XP's loader refuses an image that asks for a newer system: 5.1 is
# XP (32-bit), 5.2 XP x64 and Server 2003.
OLDEST_SYSTEM = {False: (5, 1), True: (5, 2)}


def check_system_version(image):
    optional = image.unpack("<I", 0x3C) + 24
    oldest = OLDEST_SYSTEM[image.unpack("<H", optional) == 0x20B]
    for offset in (40, 48):  # the operating system's version, then the subsystem's
        check(image.unpack("<HH", optional + offset) <= oldest, "header: newer than Windows XP")


def version_resource(image):
    """The bytes of the one resource, after checking its placement."""
    root, _ = image.directories[2]
    if not check(root != 0, "resources: no resource directory"):
        return None
    placement, rva = [], root
    for level in ("type", "name", "language"):
        named, ids = image.at("<HH", rva + 12)
        check(named == 0, "resources: %d named %s entries" % (named, level))
        if not check(named + ids == 1, "resources: %d %s entries" % (named + ids, level)):
            return None
        ident, target = image.at("<II", rva + 16)
        check(bool(target & 0x80000000) == (level != "language"),
              "resources: %s entry leads to the wrong kind" % level)
        placement.append(ident)
        rva = root + (target & 0x7FFFFFFF)
    check(placement == [16, 1, 1033], "resources: type/name/language %r" % placement)
    data_rva, size, code_page, reserved = image.at("<IIII", rva)
    check(code_page == 0, "resources: data entry code page %d" % code_page)
    check(reserved == 0, "resources: data entry reserved word %d" % reserved)
    start = image.offset(data_rva)
    return image.data[start:start + size]


def align4(n):
    return (n + 3) & ~3


def parse_block(block, at, path):
    """One version block as a dict, its children parsed too. Checks the
    alignment of the block and that its stated lengths agree with what it holds."""
    check(at % 4 == 0, "%s: block at offset %d is not 4-byte aligned" % (path, at))
    total, value_length, kind = struct.unpack_from("<HHH", block, at)
    end = at + total
    if not check(6 <= total and end <= len(block),
                 "%s: block at offset %d states length %d" % (path, at, total)):
        raise ValueError("version block tree is broken")
    key_end = at + 6
    while block[key_end:key_end + 2] != b"\0\0":
        if key_end >= end:
            raise ValueError("unterminated key at offset %d" % at)
        key_end += 2
    key = block[at + 6:key_end].decode("utf-16-le")
    where = path + "/" + key
    value_at = align4(key_end + 2)
    value_bytes = value_length * 2 if kind == 1 else value_length
    value = block[value_at:value_at + value_bytes]
    if kind == 1 and value_length:
        check(value[-2:] == b"\0\0", "%s: text value lacks its stored terminator" % where)
    children, child = [], align4(value_at + value_bytes)
    while child < end:
        children.append(parse_block(block, child, where))
        child = align4(child + children[-1]["total"])
    last_end = (children[-1]["at"] + children[-1]["total"] if children
                else value_at + value_bytes if value_length else key_end + 2)
    check(last_end == end, "%s: stated length %d, contents end at %d" % (where, total, last_end - at))
    return {"key": key, "type": kind, "value_length": value_length, "value": value,
            "children": children, "at": at, "total": total}


FIXED_FILE_INFO = (0xFEEF04BD, 0x00010000, 0x00010001, 0, 0x00010001, 0,
                   0x3F, 0, 0x00040004, 2, 0, 0, 0)
STRING_KEYS = ("CompanyName", "FileDescription", "FileVersion", "InternalName",
               "LegalCopyright", "OriginalFilename", "ProductName", "ProductVersion")
FIXED_STRINGS = {"FileVersion": "1.01", "InternalName": "tallowix",
                 "OriginalFilename": "tallowix.dll", "ProductVersion": "1.01"}
# Entries whose full size follows from the fixed texts, as (total, value length).
ENTRY_SIZES = {"FileVersion": (42, 5), "Translation": (36, 4)}
EXPECTED_SHAPE = ("VS_VERSION_INFO", 0, [
    ("StringFileInfo", 1, [("040904b0", 1, [(k, 1, []) for k in STRING_KEYS])]),
    ("VarFileInfo", 1, [("Translation", 0, [])])])


def shape(node):
    return (node["key"], node["type"], [shape(c) for c in node["children"]])


def check_version_resource(image):
    resource = version_resource(image)
    if resource is None:
        return
    try:
        root = parse_block(resource, 0, "")
    except (ValueError, struct.error) as error:
        check(False, "version: %s" % error)
        return
    check(root["total"] == len(resource),
          "version: root length %d, resource size %d" % (root["total"], len(resource)))
    if not check(shape(root) == EXPECTED_SHAPE, "version: block tree %r" % (shape(root),)):
        return
    check(root["value_length"] == 52, "version: fixed part length %d" % root["value_length"])
    fixed = struct.unpack("<13I", root["value"])
    check(fixed == FIXED_FILE_INFO, "version: fixed part %s" % " ".join("%08X" % f for f in fixed))
    string_file_info, var_file_info = root["children"]
    table = string_file_info["children"][0]
    for node in (string_file_info, table, var_file_info):
        check(node["value_length"] == 0, "version: %s states a value" % node["key"])
    for node in table["children"] + var_file_info["children"]:
        key = node["key"]
        if node["type"] == 1:
            text = node["value"].decode("utf-16-le")[:-1]
            check(node["value_length"] == len(text) + 1, "version: %s states length %d for %d "
                  "characters" % (key, node["value_length"], len(text)))
            check(text != "", "version: %s is empty" % key)
            check(FIXED_STRINGS.get(key, text) == text, "version: %s is %r" % (key, text))
        check(key not in ENTRY_SIZES or ENTRY_SIZES[key] == (node["total"], node["value_length"]),
              "version: %s occupies %d bytes and states %d" % (key, node["total"], node["value_length"]))
    translation = var_file_info["children"][0]
    check(translation["value"] == bytes([0x09, 0x04, 0xB0, 0x04]),
          "version: translation %s" % translation["value"].hex())


def main():
    if len(sys.argv) != 2:
        print("usage: pe_check.py PATH/tallowix.dll", file=sys.stderr)
        return 2
    with open(sys.argv[1], "rb") as f:
        image = Image(f.read())
    check_exports(image)
    check_imports(image)
    check_system_version(image)
    check_version_resource(image)
    for failure in failures:
        print("FAIL", failure)
    if not failures:
        print("pe_check: %s passes" % sys.argv[1])
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
