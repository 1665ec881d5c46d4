#!/usr/bin/env python3
"""Names the function and source line of each address in the fault lines of an installer log.

    tools/resolve_fault.py LOG SYMBOLS...

LOG is an update log that the program's fault report wrote to (or only its lines that begin
"Fault"; "-" reads them from standard input). SYMBOLS are the release's
KQ7750Installer-<version>-symbols-INTERNAL-do-not-distribute.zip, or programs built with
debugging information themselves. For every "module+0xOFFSET" on a fault line, the program of
that name is looked up among SYMBOLS, the offset added to its image base, and binutils'
addr2line for its MinGW target (i686-w64-mingw32-addr2line or x86_64-w64-mingw32-addr2line)
names the function and file:line. Code without line information (the C++ library, linked in
without it) is named by the program's symbol that holds it, from nm, and said to have none:
addr2line would name a file of another unit there; a 32-bit symbol loses the one leading
underscore that every name, C or C++, carries in a 32-bit program. A name left mangled is
demangled with the target's c++filt: for the 32-bit target it strips the symbols' leading
underscore also from a DWARF name, which has none, and can then not demangle it. A return address is looked up
one byte back, inside the call that it returns from. Windows' own DLLs are named but not
resolved.
"""
import bisect
import os
import re
import struct
import subprocess
import sys
import tempfile
import zipfile

LOCATION = re.compile(r"([A-Za-z0-9_.\-]+\.(?:exe|dll))\+0x([0-9A-Fa-f]+)", re.IGNORECASE)
TARGET = {0x14C: "i686-w64-mingw32-", 0x8664: "x86_64-w64-mingw32-"}
# addr2line -p: "NAME at FILE:LINE", an inlined caller's with "(inlined by) " before it.
ANSWER = re.compile(r"(\(inlined by\) )?(.*) at (\S.*?):(\d+|\?)(?: \(discriminator \d+\))?$")
# A name still mangled: "_Z...", or with one underscore too many or too few. An operator's
# name begins in lower case ("_Znwj": operator new(unsigned int)).
MANGLED = re.compile(r"_{0,2}Z[A-Za-z0-9]\S*$")


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


def demangle(target, names):
    """The names as C++ writes them; a name that is not mangled is left as it is."""
    plain = ["_" + name.lstrip("_") if MANGLED.match(name) else name for name in names]
    answer = subprocess.run([target + "c++filt", "-n"], input="\n".join(plain) + "\n",
                            check=True, capture_output=True, text=True).stdout.splitlines()
    return [new if new != old else name for name, old, new in zip(names, plain, answer)]


def code_name(target, symbol):
    """A symbol's name as the code spells it: in a 32-bit program every name has one underscore
    more in front (cdecl's, which C++ names carry too), and a __stdcall one its arguments' size
    after "@", which is no part of its name."""
    name = re.sub(r"@\d+$", "", symbol)
    return name[1:] if target.startswith("i686") and name.startswith("_") else name


def function_symbols(target, path):
    """The program's code symbols from its symbol table: sorted addresses and their names."""
    answer = subprocess.run([target + "nm", "--defined-only", path],
                            check=True, capture_output=True, text=True).stdout
    found = sorted((int(address, 16), code_name(target, name)) for address, kind, name in
                   (line.split(None, 2) for line in answer.splitlines() if line.count(" ") >= 2)
                   if kind in "Tt")
    return [address for address, _ in found], [name for _, name in found]


def resolve(path, offsets):
    """"function at file:line" for each offset (inlined callers follow, indented), or, where the
    code has no line information, "symbol+0xN (no line information)"."""
    machine, base = pe_target(path)
    target = TARGET.get(machine)
    if target is None:
        raise SystemExit(f"resolve_fault: {path}: unknown machine 0x{machine:x}")
    addresses = [base + offset for offset in offsets]
    answer = subprocess.run([target + "addr2line", "-f", "-C", "-i", "-p", "-a", "-e", path] +
                            [hex(address) for address in addresses],
                            check=True, capture_output=True, text=True).stdout
    # With -a each address's answer begins with the address itself.
    results, current = [], None
    for line in answer.splitlines():
        if line.startswith("0x") and ": " in line:
            current = [line.split(": ", 1)[1]]
            results.append(current)
        elif current is not None:
            current.append(line.strip())
    symbols = None
    for index, (address, result) in enumerate(zip(addresses, results)):
        found = [ANSWER.match(part) for part in result]
        if all(match and match.group(4) not in ("?", "0") for match in found):
            names = demangle(target, [match.group(2) for match in found])
            results[index] = [f"{match.group(1) or ''}{name} at {match.group(3)}:{match.group(4)}"
                              for match, name in zip(found, names)]
            continue
        if symbols is None:
            symbols = function_symbols(target, path)
        at = bisect.bisect_right(symbols[0], address) - 1
        if at < 0:
            results[index] = ["?? (no symbol, no line information)"]
        else:
            name = demangle(target, [symbols[1][at]])[0]
            results[index] = [f"{name}+0x{address - symbols[0][at]:x} (no line information)"]
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
