#!/usr/bin/env python3
"""Names the function and source line of each address in the fault lines of an installer log.

    tools/resolve_fault.py LOG SYMBOLS...

LOG is an update log that the program's fault report wrote to (or only its lines that begin
"Fault"; "-" reads them from standard input). SYMBOLS are the release's
KQ7750Installer-<version>-symbols-INTERNAL-do-not-distribute.zip, or programs built with
debugging information themselves. For every "module+0xOFFSET" on a fault line, the program of
that name is looked up among SYMBOLS, the offset added to its image base, and binutils'
addr2line for its MinGW target (i686-w64-mingw32-addr2line or x86_64-w64-mingw32-addr2line)
names the function and file:line. A return address is looked up one byte back, inside the
call that it returns from. Windows' own DLLs are named but not resolved.
"""
import os
import re
import struct
import subprocess
import sys
import tempfile
import zipfile

LOCATION = re.compile(r"([A-Za-z0-9_.\-]+\.(?:exe|dll))\+0x([0-9A-Fa-f]+)", re.IGNORECASE)
ADDR2LINE = {0x14C: "i686-w64-mingw32-addr2line", 0x8664: "x86_64-w64-mingw32-addr2line"}


def pe_target(path):
    """The machine and the image base from the program's PE headers."""
    with open(path, "rb") as f:
        data = f.read(4096)
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise SystemExit(f"resolve_fault: {path} is not a Windows program")
    machine = struct.unpack_from("<H", data, pe + 4)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    base = struct.unpack_from("<Q", data, optional + 24)[0] if magic == 0x20B else \
        struct.unpack_from("<I", data, optional + 28)[0]
    return machine, base


def programs(arguments, folder):
    """Program file name (lower case) -> path, from the zips and programs given."""
    found = {}
    for argument in arguments:
        if zipfile.is_zipfile(argument):
            with zipfile.ZipFile(argument) as archive:
                for member in archive.namelist():
                    name = os.path.basename(member)
                    if name.lower().endswith((".exe", ".dll")):
                        found[name.lower()] = archive.extract(member, folder)
        else:
            found[os.path.basename(argument).lower()] = argument
    return found


def resolve(path, offsets):
    """addr2line's "function at file:line" for each offset (inlined callers follow, indented)."""
    machine, base = pe_target(path)
    tool = ADDR2LINE.get(machine)
    if tool is None:
        raise SystemExit(f"resolve_fault: {path}: unknown machine 0x{machine:x}")
    answer = subprocess.run([tool, "-f", "-C", "-i", "-p", "-a", "-e", path] +
                            [hex(base + offset) for offset in offsets],
                            check=True, capture_output=True, text=True).stdout
    # With -a each address's answer begins with the address itself.
    results, current = [], None
    for line in answer.splitlines():
        if line.startswith("0x") and ": " in line:
            current = [line.split(": ", 1)[1]]
            results.append(current)
        elif current is not None:
            current.append(line.strip())
    return ["\n        ".join(result) for result in results]


def main():
    if len(sys.argv) < 3:
        raise SystemExit(__doc__)
    log = sys.stdin if sys.argv[1] == "-" else open(sys.argv[1], encoding="latin-1")
    lines = [line.rstrip("\r\n") for line in log]
    faults = [line[line.index("Fault"):] for line in lines if re.search(r"\bFault\b", line)]
    if not faults:
        raise SystemExit("resolve_fault: no fault lines in " + sys.argv[1])
    with tempfile.TemporaryDirectory() as folder:
        known = programs(sys.argv[2:], folder)
        for fault in faults:
            print(fault)
            # The faulting address is exact; the others are return addresses.
            returns = fault.startswith("Fault return addresses")
            locations = LOCATION.findall(fault)
            by_module = {}
            for module, offset in locations:
                by_module.setdefault(module.lower(), []).append(int(offset, 16) - (1 if returns else 0))
            answers = {module: iter(resolve(known[module], offsets))
                       for module, offsets in by_module.items() if module in known}
            for module, offset in locations:
                where = next(answers[module.lower()]) if module.lower() in answers else \
                    "(not among the programs with symbols: a Windows DLL or another release)"
                print(f"    {module}+0x{offset}: {where}")


if __name__ == "__main__":
    main()
