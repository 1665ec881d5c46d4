#!/usr/bin/env python3
"""Checks the committed firmware images against the figures the installer relies on.

Reads resources/firmware/30N.hex with its own small Intel HEX reader (not the generator's
code) and cross-checks ranges and data bytes with srecord's srec_info and srec_cat.
    tools/check_firmware_images.py [image-dir]
Exits non-zero and names every figure that differs.
"""
import hashlib
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

EXPECTED = {
    300: dict(size=616317, lines=8585, data_records=8580, address_records=[0, 1, 2, 3],
              data_bytes=252348, runs=[(0x00000, 0x3D9BB)]),
    301: dict(size=6138, lines=142, data_records=140, address_records=[0], data_bytes=2144),
    302: dict(size=7599, lines=175, data_records=173, address_records=[0], data_bytes=2660),
    303: dict(size=5132, lines=120, data_records=118, address_records=[0], data_bytes=1784),
}
# SHA-256 of each committed file: a changed data byte keeps every figure above but not this.
FILE_SHA256 = {
    300: "646f5664059f1dcc6a9a225af6ba45afe640dec2fecd6ae1bfe7cc24becf2784",
    301: "67b7e7ebd0753397a46ada3717b5e7492b370e782695e54382b8159f489dcaac",
    302: "91032bf6ba63f31bda034afc088669da6c2838d72ab01285f4d5bf7492ff5804",
    303: "f33bba670103cfeec52b6e0eac60f14da038f7a7ae8d5d5c0b2fc25d64bb4be5",
}
# The small runs every PIC image has after its two program runs.
PIC_SMALL_RUNS = [(0x0FC0, 0x0FC5), (0x0FFC, 0x0FFF), (0x2FE0, 0x2FE1), (0x2FFC, 0x2FFF), (0x400E, 0x4011)]

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
    return condition


def read_image(path):
    raw = open(path, "rb").read()
    lines = raw.split(b"\n")
    check(lines[-1] == b"", "%s: text after the last LF" % path)
    lines = lines[:-1]
    records = []
    for n, line in enumerate(lines, 1):
        if not check(line.endswith(b"\r"), "%s:%d: line does not end with CR LF" % (path, n)):
            continue
        text = line[:-1].decode("ascii")
        if not check(re.fullmatch(r":([0-9A-F]{2})+", text) is not None, "%s:%d: not a HEX record" % (path, n)):
            continue
        body = bytes.fromhex(text[1:])
        check(len(body) == body[0] + 5, "%s:%d: length byte disagrees" % (path, n))
        check(sum(body) & 0xFF == 0, "%s:%d: bad checksum" % (path, n))
        records.append((text, body[3], (body[1] << 8) | body[2], body[4:-1]))
    return raw, lines, records


def decode(records):
    """Absolute address -> byte, and the upper words of the address records, in order."""
    memory = {}
    upper = 0
    uppers = []
    for _, rtype, address, data in records:
        if rtype == 0x04:
            upper = (data[0] << 8) | data[1]
            uppers.append(upper)
        elif rtype == 0x00:
            base = (upper << 16) + address
            for i, b in enumerate(data):
                check(base + i not in memory, "address 0x%X written twice" % (base + i))
                memory[base + i] = b
    return memory, uppers


def runs_of(memory):
    runs = []
    for a in sorted(memory):
        if runs and runs[-1][1] == a - 1:
            runs[-1][1] = a
        else:
            runs.append([a, a])
    return [tuple(r) for r in runs]


def walk_boot_stream(data):
    blocks = []
    pos = 0
    while pos + 10 <= len(data):
        address = int.from_bytes(data[pos:pos + 4], "little")
        count = int.from_bytes(data[pos + 4:pos + 8], "little")
        flags = int.from_bytes(data[pos + 8:pos + 10], "little")
        pos += 10
        payload = b"" if flags & 0x0001 else data[pos:pos + count]
        if not flags & 0x0001:
            pos += count
        blocks.append((address, count, flags, payload))
        if flags & 0x8000:
            break
    return blocks, len(data) - pos


def srec_ranges(path):
    out = subprocess.run(["srec_info", path, "-intel"], capture_output=True, text=True)
    check(out.returncode == 0, "%s: srec_info failed: %s" % (path, out.stderr.strip()))
    return [(int(a, 16), int(b, 16)) for a, b in re.findall(r"([0-9A-F]+) - ([0-9A-F]+)", out.stdout)]


def srec_bytes(path, lo, hi):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "run.bin")
        subprocess.run(["srec_cat", path, "-intel", "-crop", hex(lo), hex(hi + 1), "-offset", hex(-lo),
                        "-o", out, "-binary"], check=True, capture_output=True)
        return open(out, "rb").read()


def check_image(image_id, path):
    want = EXPECTED[image_id]
    raw, lines, records = read_image(path)
    name = "%d.hex" % image_id
    check(hashlib.sha256(raw).hexdigest() == FILE_SHA256[image_id], "%s: file digest differs from the released image" % name)
    check(len(raw) == want["size"], "%s: size %d, want %d" % (name, len(raw), want["size"]))
    check(len(lines) == want["lines"], "%s: %d lines, want %d" % (name, len(lines), want["lines"]))
    data_records = [r for r in records if r[1] == 0x00]
    check(len(data_records) == want["data_records"],
          "%s: %d data records, want %d" % (name, len(data_records), want["data_records"]))
    check(records[0][0] == ":020000040000FA", "%s: first record %s" % (name, records[0][0]))
    check(records[-1][0] == ":00000001FF", "%s: last record %s" % (name, records[-1][0]))
    check([r[1] for r in records].count(0x01) == 1, "%s: not exactly one end-of-file record" % name)
    check(all(r[1] in (0x00, 0x01, 0x04) for r in records), "%s: unexpected record type" % name)
    memory, uppers = decode(records)
    check(uppers == want["address_records"], "%s: address records %s" % (name, uppers))
    check(len(memory) == want["data_bytes"], "%s: %d data bytes, want %d" % (name, len(memory), want["data_bytes"]))
    runs = runs_of(memory)
    if image_id == 300:
        check(runs == want["runs"], "%s: runs %s" % (name, runs))
        sizes = [len(r[3]) for r in data_records]
        check(sizes.count(32) == 7421, "%s: %d records of 32 bytes, want 7421" % (name, sizes.count(32)))
        check(max(sizes) == 32, "%s: a record longer than 32 bytes" % name)
        longest = max(len(l) - 1 for l in lines)
        check(longest == 75, "%s: longest line %d characters, want 75" % (name, longest))
        stream = bytes(memory[a] for a in sorted(memory))
        blocks, trailing = walk_boot_stream(stream)
        check(len(blocks) == 1157, "%s: %d boot blocks, want 1157" % (name, len(blocks)))
        check(trailing == 0, "%s: %d bytes after the final block" % (name, trailing))
        first = blocks[0]
        check(first[2] == 0x0010 and first[1] == 4, "%s: first block flags 0x%04X count %d" % (name, first[2], first[1]))
        check(int.from_bytes(first[3], "little") == 0x3D9AE, "%s: first block does not hold 0x3D9AE" % name)
        check(int.from_bytes(first[3], "little") == len(stream) - 14, "%s: first block count is not the rest" % name)
        check(blocks[-1][2] == 0x8000, "%s: last block flags 0x%04X" % (name, blocks[-1][2]))
        check(all(not (b[2] & 0x8000) for b in blocks[:-1]), "%s: a final flag before the last block" % name)
        zero_fills = [b for b in blocks if b[2] & 0x0001]
        check(len(zero_fills) > 0, "%s: no zero-fill block" % name)
    else:
        check(len(runs) == 7, "%s: %d runs, want 7" % (name, len(runs)))
        check(runs[0][0] == 0x0020 and runs[-1][1] == 0x4011, "%s: span %s" % (name, runs))
        check(all(0x0020 <= lo and hi <= 0x0FBF for lo, hi in runs[:2]), "%s: program runs %s" % (name, runs[:2]))
        check(runs[2:] == PIC_SMALL_RUNS, "%s: small runs %s" % (name, runs[2:]))
        check(all(a % 2 == 0 for a, _ in runs) and all(b % 2 == 1 for _, b in runs),
              "%s: a run that is not whole 16-bit words" % name)
    # The same figures through srecord.
    check(srec_ranges(path) == runs, "%s: srec_info ranges differ from our reader's" % name)
    srec_data = b"".join(srec_bytes(path, lo, hi) for lo, hi in runs)
    ours = bytes(memory[a] for a in sorted(memory))
    check(srec_data == ours, "%s: srec_cat data differ from our reader's" % name)
    return hashlib.sha256(ours).hexdigest()


def main():
    image_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "resources", "firmware")
    for image_id in sorted(EXPECTED):
        digest = check_image(image_id, os.path.join(image_dir, "%d.hex" % image_id))
        print("%d.hex: sha256 %s" % (image_id, digest))
    for f in failures:
        print("FAIL: " + f)
    print("%d failures" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
