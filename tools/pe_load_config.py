#!/usr/bin/env python3
"""Points a linked Windows program's load configuration entry (PE data directory 10) at the
program's own `_load_config_used` structure, and mends the header checksum.

usage: tools/pe_load_config.py PROGRAM.exe
GNU ld 2.40 (Debian 12's MinGW-w64) leaves that entry empty although the program defines the
structure; Windows reads the structure only through the entry. Newer linkers fill it in
themselves: an entry that already points at the structure is left as it is. Exits non-zero
when the program has no symbol table or no such structure.
"""
import array
import struct
import sys

LOAD_CONFIG = 10


def pe_checksum(data, checksum_at):
    """The header checksum ("PE Format", CheckSum): a 16-bit one's-complement sum of the file
    without its checksum field, plus the file's length."""
    padded = bytes(data[:checksum_at]) + b"\0\0\0\0" + bytes(data[checksum_at + 4:])
    if len(padded) % 2:
        padded += b"\0"
    words = array.array("H", padded)
    if sys.byteorder == "big":
        words.byteswap()
    total = sum(words)
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def main(path):
    data = bytearray(open(path, "rb").read())
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        sys.exit(f"{path}: not a PE file")
    machine, sections, _, symbols_at, symbol_count, optional_size = struct.unpack_from("<HHIIIH", data, pe + 4)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directory = optional + (96 if magic == 0x10B else 112) + 8 * LOAD_CONFIG
    checksum_at = optional + 64
    table = optional + optional_size
    section_rvas = [struct.unpack_from("<12xI", data, table + 40 * i)[0] for i in range(sections)]

    # The symbol's name has the 32-bit C prefix "_" in a 32-bit program.
    wanted = b"__load_config_used" if machine == 0x14C else b"_load_config_used"
    if symbols_at == 0 or symbol_count == 0:
        sys.exit(f"{path}: no symbol table to find {wanted.decode()} in (link it before stripping)")
    strings = symbols_at + 18 * symbol_count
    rva = None
    index = 0
    while index < symbol_count:
        at = symbols_at + 18 * index
        raw, value, section, _, _, aux = struct.unpack_from("<8sIhHBB", data, at)
        if raw[:4] == b"\0\0\0\0":
            start = strings + struct.unpack_from("<I", raw, 4)[0]
            name = bytes(data[start:data.index(b"\0", start)])
        else:
            name = raw.rstrip(b"\0")
        if name == wanted and 1 <= section <= sections:
            rva = section_rvas[section - 1] + value
            break
        index += 1 + aux
    if rva is None:
        sys.exit(f"{path}: defines no {wanted.decode()}")

    def offset(address):
        for i in range(sections):
            size, virtual, _, raw_at = struct.unpack_from("<8xIIII", data, table + 40 * i)
            if virtual <= address < virtual + size:
                return address - virtual + raw_at
        sys.exit(f"{path}: {wanted.decode()} lies in no section")

    # The structure's first field is its size, and the entry's size is the same.
    size = struct.unpack_from("<I", data, offset(rva))[0]
    entry = struct.unpack_from("<II", data, directory)
    if entry == (rva, size):
        return
    if entry != (0, 0):
        sys.exit(f"{path}: the load configuration entry points elsewhere ({entry[0]:#x}, {entry[1]})")
    struct.pack_into("<II", data, directory, rva, size)
    struct.pack_into("<I", data, checksum_at, pe_checksum(data, checksum_at))
    with open(path, "wb") as out:
        out.write(data)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    main(sys.argv[1])
