#!/usr/bin/env bash
# Writes the expected SHA-256 of each firmware image's data, computed with srecord alone
# (not with our own HEX decoder): the data bytes in ascending address order, gaps left out.
#   tools/image_digests.sh <dir with 300.hex..303.hex> <output.json>
set -euo pipefail
dir=$1
out=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# "Data:   0020 - 05EF" and the continuation lines "        0D04 - 0F7F" of srec_info.
ranges() {
  srec_info "$1" -intel | sed -n -E 's/^(Data:)?[[:space:]]+([0-9A-Fa-f]+) - ([0-9A-Fa-f]+)$/\2 \3/p'
}

{
  echo "{"
  first=1
  for id in 300 301 302 303; do
    hex=$dir/$id.hex
    : >"$tmp/$id.bin"
    list=""
    while read -r lo hi; do
      end=$(printf '0x%X' $((0x$hi + 1)))
      srec_cat "$hex" -intel -crop "0x$lo" "$end" -offset "-0x$lo" -o "$tmp/run.bin" -binary
      cat "$tmp/run.bin" >>"$tmp/$id.bin"
      list+="${list:+,}[\"0x$lo\",\"0x$hi\"]"
    done < <(ranges "$hex")
    sum=$(sha256sum "$tmp/$id.bin" | cut -d' ' -f1)
    size=$(stat -c %s "$tmp/$id.bin")
    ((first)) || echo ","
    first=0
    printf '  "%s": {"sha256": "%s", "data_bytes": %s, "ranges": [%s]}' "$id" "$sum" "$size" "$list"
  done
  echo
  echo "}"
} >"$out.tmp"
mv "$out.tmp" "$out"
