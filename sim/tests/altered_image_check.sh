#!/usr/bin/env bash
# Copies the images, changes one data digit of 302.hex (checksum fixed up, so only the
# figures can tell) and expects the image check to fail on it.
set -euo pipefail
root=$1
work=$2
rm -rf "$work"
mkdir -p "$work"
cp "$root"/resources/firmware/30?.hex "$work"/
python3 - "$work/302.hex" <<'PY'
import sys
path = sys.argv[1]
lines = open(path, "rb").read().split(b"\r\n")
text = lines[5].decode()
body = bytearray(bytes.fromhex(text[1:-2]))
body[4] ^= 0x01
body.append((-sum(body)) & 0xFF)
lines[5] = (":" + body.hex().upper()).encode()
open(path, "wb").write(b"\r\n".join(lines))
PY
if python3 "$root/tools/check_firmware_images.py" "$work" >"$work/check.log" 2>&1; then
  echo "the check passed an altered image" >&2
  exit 1
fi
grep -q "302.hex" "$work/check.log" || { cat "$work/check.log"; exit 1; }
echo "altered image rejected"
