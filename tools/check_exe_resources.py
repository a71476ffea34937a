#!/usr/bin/env python3
"""check_exe_resources.py ZIP VERSION: checks that pfndb.exe, pfnstat.exe and
their x64 siblings pfndb64.exe and pfnstat64.exe in the release archive carry what Windows reads before running them: an
application manifest (resource type 24, id 1) that asks to run asInvoker
without UI access and names Windows Vista to 11 as supported, and a version
resource whose fixed and string versions are VERSION, with a description, the
product name and the licence in the copyright. Reads the PE resource tree
itself (standard library only). Prints one line per program; exits 1 with
the reasons when anything is missing."""
import struct
import sys
import xml.etree.ElementTree as ElementTree
import zipfile

PROGRAMS = ("pfndb.exe", "pfnstat.exe", "pfndb64.exe", "pfnstat64.exe")
RT_VERSION = 16
RT_MANIFEST = 24
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}": "Vista",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "10/11",
}
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"


class Malformed(Exception):
    pass


def u16(data, at):
    return struct.unpack_from("<H", data, at)[0]


def u32(data, at):
    return struct.unpack_from("<I", data, at)[0]


def resources(image):
    """Returns {(type, id): [data, ...]} for the numbered resources of a PE
    image, one data per language."""
    if image[:2] != b"MZ":
        raise Malformed("no MZ header")
    pe = u32(image, 0x3C)
    if image[pe:pe + 4] != b"PE\0\0":
        raise Malformed("no PE signature")
    sections = u16(image, pe + 6)
    optional_size = u16(image, pe + 20)
    optional = pe + 24
    magic = u16(image, optional)
    directories = optional + (96 if magic == 0x10B else 112)
    if u32(image, directories - 4) <= 2:
        return {}
    root_rva, root_size = struct.unpack_from("<II", image, directories + 2 * 8)
    if root_rva == 0 or root_size == 0:
        return {}
    table = optional + optional_size

    def offset(rva):
        for k in range(sections):
            header = table + 40 * k
            size, address, raw_size, raw = struct.unpack_from("<IIII", image, header + 8)
            if address <= rva < address + max(size, raw_size):
                return raw + rva - address
        raise Malformed("RVA %#x in no section" % rva)

    root = offset(root_rva)

    def entries(directory):
        named, numbered = struct.unpack_from("<HH", image, root + directory + 12)
        for k in range(named + numbered):
            name, target = struct.unpack_from("<II", image, root + directory + 16 + 8 * k)
            yield (None if name & 0x80000000 else name), target

    found = {}
    for kind, types in entries(0):
        if kind is None or not types & 0x80000000:
            continue
        for ident, languages in entries(types & 0x7FFFFFFF):
            if ident is None or not languages & 0x80000000:
                continue
            for _, leaf in entries(languages & 0x7FFFFFFF):
                if leaf & 0x80000000:
                    raise Malformed("a fourth directory level")
                rva, size = struct.unpack_from("<II", image, root + leaf)
                at = offset(rva)
                found.setdefault((kind, ident), []).append(image[at:at + size])
    return found


def manifest_faults(data):
    try:
        assembly = ElementTree.fromstring(data)
    except ElementTree.ParseError as error:
        return ["manifest is not XML: %s" % error]
    faults = []
    levels = assembly.findall(".//%srequestedExecutionLevel" % ASM_V3)
    if len(levels) != 1:
        faults.append("manifest holds %d requestedExecutionLevel" % len(levels))
    else:
        level = levels[0]
        if level.get("level") != "asInvoker" or level.get("uiAccess") != "false":
            faults.append("manifest asks for level=%s uiAccess=%s" %
                          (level.get("level"), level.get("uiAccess")))
    named = {os.get("Id") for os in assembly.iter("%ssupportedOS" % COMPATIBILITY)}
    missing = [SUPPORTED_OS[guid] for guid in SUPPORTED_OS if guid not in named]
    if missing:
        faults.append("manifest does not name Windows %s" % ", ".join(missing))
    return faults


def version_blocks(data, at, end):
    """Yields (key, value bytes, value is text, children start, block end)
    for the blocks of a version resource between at and end."""
    while at + 6 <= end:
        length, value_length, kind = struct.unpack_from("<HHH", data, at)
        if length == 0:
            break
        block_end = at + length
        key_end = at + 6
        while data[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = data[at + 6:key_end].decode("utf-16-le")
        value = (key_end + 2 + 3) & ~3
        # A text value's length counts UTF-16 units, its terminator included.
        value_bytes = value_length * 2 if kind == 1 else value_length
        children = (value + value_bytes + 3) & ~3
        yield key, data[value:value + value_bytes], kind == 1, children, block_end
        at = (block_end + 3) & ~3


def version_faults(data, version):
    faults = []
    blocks = list(version_blocks(data, 0, len(data)))
    if not blocks or blocks[0][0] != "VS_VERSION_INFO":
        return ["no VS_VERSION_INFO block"]
    _, fixed, _, children, end = blocks[0]
    if len(fixed) < 52 or u32(fixed, 0) != 0xFEEF04BD:
        return ["no VS_FIXEDFILEINFO"]
    parts = [int(p) for p in version.split(".")] + [0, 0, 0]
    want = (parts[0] << 16 | parts[1], parts[2] << 16 | parts[3])
    for name, at in (("file", 8), ("product", 16)):
        got = struct.unpack_from("<II", fixed, at)
        if got != want:
            faults.append("fixed %s version is %d.%d.%d.%d" %
                          (name, got[0] >> 16, got[0] & 0xFFFF, got[1] >> 16, got[1] & 0xFFFF))
    strings = {}
    for key, _, _, tables, table_end in version_blocks(data, children, end):
        if key != "StringFileInfo":
            continue
        for _, _, _, first, last in version_blocks(data, tables, table_end):
            for name, value, text, _, _ in version_blocks(data, first, last):
                if text:
                    strings[name] = value.decode("utf-16-le").rstrip("\0")
    for name in ("FileVersion", "ProductVersion"):
        if strings.get(name) != version:
            faults.append("%s is %r" % (name, strings.get(name)))
    for name in ("FileDescription", "ProductName"):
        if not strings.get(name):
            faults.append("no %s" % name)
    if "GPL-3.0-or-later" not in strings.get("LegalCopyright", ""):
        faults.append("LegalCopyright %r names no GPL-3.0-or-later" %
                      strings.get("LegalCopyright"))
    return faults


def main():
    if len(sys.argv) != 3:
        sys.stderr.write("usage: check_exe_resources.py ZIP VERSION\n")
        return 2
    archive, version = sys.argv[1:]
    failed = False
    with zipfile.ZipFile(archive) as zipped:
        for program in PROGRAMS:
            try:
                found = resources(zipped.read(program))
            except (KeyError, Malformed, struct.error) as error:
                print("%s: %s" % (program, error), file=sys.stderr)
                failed = True
                continue
            manifests = found.get((RT_MANIFEST, 1), [])
            versions = found.get((RT_VERSION, 1), [])
            faults = []
            if len(manifests) != 1:
                faults.append("%d manifests under id 1" % len(manifests))
            else:
                faults += manifest_faults(manifests[0])
            if len(versions) != 1:
                faults.append("%d version resources under id 1" % len(versions))
            else:
                faults += version_faults(versions[0], version)
            for fault in faults:
                print("%s: %s" % (program, fault), file=sys.stderr)
            failed |= bool(faults)
            if not faults:
                print("%s: manifest asInvoker, Windows Vista to 11; version %s" %
                      (program, version))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
