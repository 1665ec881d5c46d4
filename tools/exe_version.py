#!/usr/bin/env python3
"""Prints the product version of a Windows program's version record, as four numbers
("1.1.0.0"): the release scripts take the version from the built program itself.

usage: tools/exe_version.py PROGRAM.exe
Reads the PE file's resource directory (PE32 and PE32+ alike), finds the version resource
(type 16) and its fixed file information; exits non-zero when there is none.
"""
import struct
import sys

RT_VERSION = 16
FIXED_SIGNATURE = 0xFEEF04BD


def version_resource(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    resource_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
    table = optional + optional_size
    spans = [struct.unpack_from("<8xII4xI", data, table + 40 * i) for i in range(sections)]

    def offset(rva):
        for size, address, raw in spans:
            if address <= rva < address + size:
                return rva - address + raw
        raise ValueError("address 0x%x is in no section" % rva)

    base = offset(resource_rva)

    def entries(directory):
        named, ids = struct.unpack_from("<12xHH", data, base + directory)
        for i in range(named + ids):
            yield struct.unpack_from("<II", data, base + directory + 16 + 8 * i)

    for name, target in entries(0):
        if name != RT_VERSION:
            continue
        _, by_id = next(entries(target & 0x7FFFFFFF))
        _, by_language = next(entries(by_id & 0x7FFFFFFF))
        rva, size = struct.unpack_from("<II", data, base + by_language)
        return data[offset(rva):offset(rva) + size]
    raise ValueError("no version record")


def product_version(path):
    with open(path, "rb") as f:
        data = f.read()
    record = version_resource(data)
    # VS_VERSIONINFO: three 16-bit words, the key "VS_VERSION_INFO" in UTF-16 with its
    # terminator, padding to 32 bits, then VS_FIXEDFILEINFO.
    key_end = 6 + len("VS_VERSION_INFO\0") * 2
    fixed = (key_end + 3) & ~3
    signature, _, _, _, product_ms, product_ls = struct.unpack_from("<6I", record, fixed)
    if signature != FIXED_SIGNATURE:
        raise ValueError("the version record has no fixed file information")
    return "%d.%d.%d.%d" % (product_ms >> 16, product_ms & 0xFFFF, product_ls >> 16, product_ls & 0xFFFF)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    try:
        print(product_version(sys.argv[1]))
    except (OSError, ValueError, struct.error, StopIteration) as error:
        sys.exit("exe_version: %s: %s" % (sys.argv[1], error))
