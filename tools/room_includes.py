#!/usr/bin/env python3
"""Checks that each room of the program includes only what its row of the README's folder table
allows ("may use"): its own files, the rooms or files named there, or "all of the above".

    tools/room_includes.py [--root DIR]

The rooms are the table's rows before `sim/`. Exits 1 naming every include that its row does
not allow, 0 when there is none.
"""
import argparse
import os
import re
import sys

ROW = re.compile(r"^\| `([\w./]+)/` \|.*\|\s*([^|]*?)\s*\|$")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
SOURCES = (".cpp", ".h", ".c", ".rc")


def rooms_of(readme):
    """[(room, [allowed paths])] in the table's order, up to `sim/`."""
    rooms = []
    with open(readme, encoding="utf-8") as f:
        for line in f:
            m = ROW.match(line.rstrip("\n"))
            if not m:
                continue
            if m.group(1) == "sim":
                break
            allowed = re.findall(r"`([\w./]+)`", m.group(2))
            if "all of the above" in m.group(2):
                allowed += [room + "/" for room, _ in rooms]
            rooms.append((m.group(1), allowed))
    return rooms


def allowed(path, room, uses):
    return path.startswith(room + "/") or any(
        path.startswith(use) if use.endswith("/") else path == use for use in uses)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--root", default=os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
    root = parser.parse_args().root
    rooms = rooms_of(os.path.join(root, "README.md"))
    if not rooms:
        sys.exit("room_includes: no folder table in README.md")
    faults = []
    for room, uses in rooms:
        for folder, _, files in os.walk(os.path.join(root, room)):
            for name in sorted(files):
                if not name.endswith(SOURCES):
                    continue
                path = os.path.join(folder, name)
                with open(path, encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        m = INCLUDE.match(line)
                        # A bare name is the file's own folder's (a resource script's header).
                        if m and "/" in m.group(1) and not allowed(m.group(1), room, uses):
                            faults.append(f"{os.path.relpath(path, root)}:{number} includes {m.group(1)}, "
                                          f"which the row of {room}/ does not allow")
    for fault in faults:
        print(f"room_includes: {fault}")
    print(f"room_includes: {len(rooms)} rooms, {len(faults)} includes out of place")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
