#!/usr/bin/env python3
"""pe-version.py - prints the version resource of a Windows DLL or EXE.

Usage: tools/pe-version.py FILE

Reads the file's own bytes (no Windows tools needed) and prints one
key=value line for each of:
  symbols            the COFF symbol count in the file header (0 once stripped)
  FileVersion.fixed  the binary FILEVERSION, as a.b.c.d
  ProductVersion.fixed
  FileType.fixed     1 for a program, 2 for a DLL
  every string of the StringFileInfo tables (CompanyName=..., and so on)
Exits 1 with a message when the file is not a PE image or has no version
resource.
"""
import struct
import sys

RT_VERSION = 16
FIXED_SIGNATURE = 0xFEEF04BD


class Bad(Exception):
    pass


def u16(data, off):
    return struct.unpack_from("<H", data, off)[0]


def u32(data, off):
    return struct.unpack_from("<I", data, off)[0]


def sections(data, pe):
    count = u16(data, pe + 6)
    opt_size = u16(data, pe + 20)
    table = pe + 24 + opt_size
    for i in range(count):
        s = table + 40 * i
        vsize, vaddr, raw_size, raw_ptr = struct.unpack_from("<IIII", data, s + 8)
        yield vaddr, max(vsize, raw_size), raw_ptr


def rva_to_offset(data, pe, rva):
    for vaddr, size, raw_ptr in sections(data, pe):
        if vaddr <= rva < vaddr + size:
            return raw_ptr + rva - vaddr
    raise Bad("RVA 0x%x lies in no section" % rva)


def first_entry(data, rsrc, table, want_id=None):
    """The entry of a resource directory with the given ID (or the first)."""
    named, ids = u16(data, table + 12), u16(data, table + 14)
    for i in range(named + ids):
        ent = table + 16 + 8 * i
        name, target = u32(data, ent), u32(data, ent + 4)
        if want_id is None or (not name & 0x80000000 and name == want_id):
            return target
    return None


def version_blob(data):
    if data[:2] != b"MZ":
        raise Bad("not an MZ executable")
    pe = u32(data, 0x3C)
    if data[pe:pe + 4] != b"PE\0\0":
        raise Bad("no PE header")
    symbols = u32(data, pe + 12)
    opt = pe + 24
    magic = u16(data, opt)
    dirs = opt + {0x10B: 96, 0x20B: 112}.get(magic, -1)
    if dirs < opt:
        raise Bad("unknown optional header 0x%x" % magic)
    rsrc_rva, rsrc_size = struct.unpack_from("<II", data, dirs + 8 * 2)
    if not rsrc_size:
        raise Bad("no resource section")
    rsrc = rva_to_offset(data, pe, rsrc_rva)
    # Type, then name, then language; each step but the last is a directory.
    target = first_entry(data, rsrc, rsrc, RT_VERSION)
    for _ in range(2):
        if target is None or not target & 0x80000000:
            raise Bad("no version resource")
        target = first_entry(data, rsrc, rsrc + (target & 0x7FFFFFFF))
    if target is None or target & 0x80000000:
        raise Bad("malformed version resource")
    leaf = rsrc + target
    blob_rva, blob_size = u32(data, leaf), u32(data, leaf + 4)
    start = rva_to_offset(data, pe, blob_rva)
    return symbols, data[start:start + blob_size]


def align4(n):
    return (n + 3) & ~3


def walk(blob, off, end, path, out):
    """One VS_VERSIONINFO-style node: length, value length, type, key,
    value, children; strings (type 1) count their value in UTF-16 units."""
    while off + 6 <= end:
        length, value_len, vtype = struct.unpack_from("<HHH", blob, off)
        if length == 0:
            break
        node_end = off + length
        key_end = off + 6
        while blob[key_end:key_end + 2] != b"\0\0":
            key_end += 2
        key = blob[off + 6:key_end].decode("utf-16-le")
        value = align4(key_end + 2)
        value_bytes = min(value_len * 2 if vtype == 1 else value_len, node_end - value)
        if key == "VS_VERSION_INFO" and value_len >= 52:
            out["fixed"] = struct.unpack_from("<13I", blob, value)
        elif vtype == 1 and path and path[0] == "StringFileInfo" and len(path) == 2:
            out["strings"][key] = blob[value:value + value_bytes].decode(
                "utf-16-le").rstrip("\0")
        walk(blob, align4(value + value_bytes), node_end, path + [key]
             if key != "VS_VERSION_INFO" else [], out)
        off = align4(node_end)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    with open(sys.argv[1], "rb") as f:
        data = f.read()
    try:
        symbols, blob = version_blob(data)
    except (Bad, struct.error) as e:
        sys.exit("%s: %s" % (sys.argv[1], e))
    out = {"fixed": None, "strings": {}}
    walk(blob, 0, len(blob), [], out)
    fixed = out["fixed"]
    if not fixed or fixed[0] != FIXED_SIGNATURE:
        sys.exit("%s: no fixed file information in the version resource" % sys.argv[1])

    def quad(ms, ls):
        return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)

    print("symbols=%d" % symbols)
    print("FileVersion.fixed=%s" % quad(fixed[2], fixed[3]))
    print("ProductVersion.fixed=%s" % quad(fixed[4], fixed[5]))
    print("FileType.fixed=%d" % fixed[9])
    for key, value in out["strings"].items():
        print("%s=%s" % (key, value))


if __name__ == "__main__":
    main()
