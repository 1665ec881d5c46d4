#!/usr/bin/env python3
"""Writes the four firmware images the installer carries (resources/firmware/30N.hex).

Deterministic: the same bytes on every run. Image 300 is a Blackfin boot stream for the
main processor, 301..303 the programs of PIC 2, 3 and 4. Run from anywhere:
    tools/make_firmware_images.py [output-dir]
"""
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Blackfin boot-stream block flags.
BFLAG_ZEROFILL = 0x0001
BFLAG_IGNORE = 0x0010
BFLAG_FINAL = 0x8000


class XorShift:
    """A fixed 32-bit xorshift generator: Python's own random may change between versions."""

    def __init__(self, seed):
        self.state = seed & 0xFFFFFFFF or 1

    def next(self):
        x = self.state
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        self.state = x
        return x

    def below(self, n):
        return self.next() % n

    def bytes(self, n):
        return bytes(self.next() & 0xFF for _ in range(n))


def record(rtype, address, data):
    body = bytes([len(data), (address >> 8) & 0xFF, address & 0xFF, rtype]) + data
    checksum = (-sum(body)) & 0xFF
    return ":" + (body + bytes([checksum])).hex().upper() + "\r\n"


def address_record(upper):
    return record(0x04, 0, bytes([upper >> 8, upper & 0xFF]))


EOF_RECORD = ":00000001FF\r\n"


def chunks_to_hex(chunks):
    """chunks: (absolute address, bytes) in ascending order, none crossing a 64 KiB page."""
    lines = [address_record(0)]
    page = 0
    for address, data in chunks:
        if address >> 16 != page:
            page = address >> 16
            lines.append(address_record(page))
        assert (address & 0xFFFF) + len(data) <= 0x10000
        lines.append(record(0x00, address & 0xFFFF, data))
    lines.append(EOF_RECORD)
    return "".join(lines)


# ---------------------------------------------------------------------------------------
# Image 300: the Blackfin application as a boot stream of 1,157 blocks.
#
# Records hold at most 32 bytes and never run past the end of a block, so each block ends
# in one short record. The stream is laid out in three stretches between the 64 KiB page
# boundaries; the first two boundaries fall on block starts, the third inside a 32-byte
# record, which is split there. The sums below make the record counts come out exactly.
SEGMENTS = [
    # (length, blocks, sum of block lengths mod 32, zero-fill blocks)
    (0x10000, 300, 3840, 9),
    (0x10000, 300, 3840, 11),
    (252348 - 0x20000, 557, 7164, 17),
]


def plan_segment(rng, length, blocks, mod_sum, zero_fills, first, last):
    """Returns a list of (kind, full records, tail bytes) whose lengths fill `length`."""
    kinds = ["data"] * blocks
    if first:
        kinds[0] = "ignore"
    if last:
        kinds[-1] = "final"
    free = [i for i, k in enumerate(kinds) if k == "data"]
    for _ in range(zero_fills):
        i = free.pop(1 + rng.below(len(free) - 2))
        kinds[i] = "zero"
    tails = []
    for k in kinds:
        tails.append({"ignore": 14, "zero": 10}.get(k, 1 + rng.below(31)))
    adjustable = [i for i, k in enumerate(kinds) if k in ("data", "final")]
    total = sum(tails)
    step = 0
    while total != mod_sum:
        i = adjustable[step % len(adjustable)]
        step += 1
        if total < mod_sum and tails[i] < 31:
            tails[i] += 1
            total += 1
        elif total > mod_sum and tails[i] > 1:
            tails[i] -= 1
            total -= 1
    full_total = (length - mod_sum) // 32
    assert full_total * 32 + mod_sum == length
    fulls = [0] * blocks
    for i in adjustable:
        fulls[i] = 1
    for _ in range(full_total - len(adjustable)):
        fulls[adjustable[rng.below(len(adjustable))]] += 1
    return list(zip(kinds, fulls, tails))


def build_blackfin():
    rng = XorShift(0x7750300)
    plans = []
    for n, (length, blocks, mod_sum, zero_fills) in enumerate(SEGMENTS):
        for attempt in range(100):
            plan = plan_segment(rng, length, blocks, mod_sum, zero_fills, n == 0, n == len(SEGMENTS) - 1)
            if n < 2 or third_boundary_inside_full_record(plan):
                break
        else:
            raise SystemExit("no layout found for the last segment")
        plans.extend(plan)

    stream_length = sum(32 * f + t for _, f, t in plans)
    blocks = []
    target = 0x00001000
    for kind, fulls, tail in plans:
        size = 32 * fulls + tail
        if kind == "ignore":
            blocks.append((0xFF800000, 4, BFLAG_IGNORE, (stream_length - 14).to_bytes(4, "little")))
        elif kind == "zero":
            count = 0x100 * (1 + rng.below(64))
            blocks.append((target, count, BFLAG_ZEROFILL, b""))
            target += count
        else:
            payload = rng.bytes(size - 10)
            if kind == "final":
                blocks.append((0xFFA00000, len(payload), BFLAG_FINAL, payload))
            else:
                blocks.append((target, len(payload), 0, payload))
                target += (len(payload) + 3) & ~3
    chunks = []
    offset = 0
    for address, count, flags, payload in blocks:
        data = address.to_bytes(4, "little") + count.to_bytes(4, "little") + flags.to_bytes(2, "little") + payload
        for start in range(0, len(data), 32):
            piece = data[start:start + 32]
            at = offset + start
            page_end = (at | 0xFFFF) + 1
            if at + len(piece) > page_end:
                cut = page_end - at
                chunks.append((at, piece[:cut]))
                chunks.append((page_end, piece[cut:]))
            else:
                chunks.append((at, piece))
        offset += len(data)
    return chunks_to_hex(chunks)


def third_boundary_inside_full_record(plan):
    """True if stream offset 0x10000 of this stretch lies strictly inside a 32-byte record."""
    offset = 0
    for _, fulls, tail in plan:
        size = 32 * fulls + tail
        if offset <= 0x10000 < offset + size:
            inside = 0x10000 - offset
            return inside < 32 * fulls and inside % 32 != 0
        offset += size
    return False


# ---------------------------------------------------------------------------------------
# Images 301..303: PIC programs. 14-bit words stored little-endian at byte address 2 x word
# address, in records of up to 16 bytes aligned to 16-byte addresses. The version sits in
# a table of three RETLW words (0x34, character) at 0x0FC0, where the loader reads it.
PIC_IMAGES = {
    # id: (seed, first run length, second run length, data records wanted, version)
    301: (0x7750301, 1488, 636, 140, "107"),
    302: (0x7750302, 1900, 740, 173, "112"),
    303: (0x7750303, 1300, 464, 118, "103"),
}
SECOND_RUN_END = 0x0F80


def pic_words(rng, count):
    out = bytearray()
    for _ in range(count):
        word = rng.below(0x4000)
        out += bytes([word & 0xFF, word >> 8])
    return bytes(out)


def aligned_chunks(address, data, size=16):
    chunks = []
    at = address
    end = address + len(data)
    while at < end:
        stop = min(end, (at // size + 1) * size)
        chunks.append((at, data[at - address:stop - address]))
        at = stop
    return chunks


def build_pic(seed, first, second, wanted, version):
    rng = XorShift(seed)
    program = aligned_chunks(0x0020, pic_words(rng, first // 2))
    program += aligned_chunks(SECOND_RUN_END - second, pic_words(rng, second // 2))
    small = [
        (0x0FC0, b"".join(bytes([ord(c), 0x34]) for c in version)),
        (0x0FFC, pic_words(rng, 2)),
        (0x2FE0, pic_words(rng, 1)),
        (0x2FFC, pic_words(rng, 2)),
        (0x400E, bytes([0x72, 0x3F, 0xFF, 0x3F])),  # configuration words 0x2007, 0x2008
    ]
    # Split the first full records in two until the record count is the one wanted.
    extra = wanted - len(program) - len(small)
    assert extra >= 0, "too many records already"
    i = 0
    while extra:
        address, data = program[i]
        if len(data) == 16:
            program[i:i + 1] = [(address, data[:8]), (address + 8, data[8:])]
            extra -= 1
            i += 1
        i += 1
    return chunks_to_hex(program + small)


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "resources", "firmware")
    os.makedirs(out_dir, exist_ok=True)
    images = {300: build_blackfin()}
    for image_id, (seed, first, second, wanted, version) in PIC_IMAGES.items():
        images[image_id] = build_pic(seed, first, second, wanted, version)
    for image_id, text in images.items():
        with open(os.path.join(out_dir, "%d.hex" % image_id), "wb") as f:
            f.write(text.encode("ascii"))


if __name__ == "__main__":
    main()
