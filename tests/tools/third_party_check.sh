#!/usr/bin/env bash
# tools/third_party.py on Debian's MinGW-w64 archives: notices' and our license's texts written; check names a part's gaps.
set -euo pipefail
root=$1 work=$2 schemas=${XDG_CACHE_HOME:-$HOME/.cache}/kq7750/cyclonedx-schema
[[ -f $schemas/bom-1.6.SNAPSHOT.schema.json ]] || { echo "third_party_check: no CycloneDX schemas (scripts/setup.sh)"; exit 77; }
fail() { echo "third_party_check: $*" >&2; exit 1; }
rm -rf "$work" && mkdir -p "$work/own" && cd "$work" && echo MZ >KQ7750Installer-x64.exe
libgcc=$(x86_64-w64-mingw32-gcc-posix -print-libgcc-file-name)
printf 'Archive member included to satisfy reference by file (symbol)\n\n%s\n        own/main.o (f)\n%s\n\nDiscarded input sections\nLOAD %s\nLOAD %s\n' \
  "/usr/x86_64-w64-mingw32/lib/libpthread.a(thread.o)" "$libgcc(_chkstk_ms.o)" "$work/own/main.o" "${libgcc%/*}/crtbegin.o" >own/x64.map
python3 "$root/tools/third_party.py" make --version 1 --epoch 0 --commit 0 --own own --schemas "$schemas" \
  --notices notices.txt --bill bill.json KQ7750Installer-x64.exe=own/x64.map
# Both copyright files named, each followed by its text (its first paragraph at least).
python3 -c 'import re, sys; n = open("notices.txt").read(); named = re.findall(r"^    (/\S+/copyright)$", n, re.M)
sys.exit(len(named) != 2 or any(open(f).read().split("\n\n")[0] not in n for f in named))' || fail "THIRD-PARTY-NOTICES.txt lacks a notice's text"
/usr/bin/python3 "$root/tools/third_party.py" check bill.json "$schemas" || fail "the bill does not pass check"
part=$(python3 -c 'import json, re, sys; bill = json.load(open("bill.json")); part = bill["components"][0]["components"][0]
own = re.search(r"LegalCopyright\", \"([^\"]+)", open(sys.argv[1]).read())[1]; assert bill["components"][0]["licenses"][0]["license"]["text"]["content"] == own, "not our license text"
part["properties"] = [p for p in part["properties"] if p["name"] != "bsi:component:structured"]; del part["licenses"]
json.dump(bill, open("unstructured.json", "w")); print(part["bom-ref"])' "$root/resources/installer.rc")
! /usr/bin/python3 "$root/tools/third_party.py" check unstructured.json "$schemas" 2>check.log || fail "$part passed unstructured"
grep -F ": $part: bsi:component:structured missing" check.log && grep -F ": $part: no license" check.log || { cat check.log; fail "check does not name $part's gaps"; }
