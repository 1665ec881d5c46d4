#!/usr/bin/env bash
# The release as the engineer receives it: scripts/release.sh with a throwaway code-signing
# certificate and --check-reproducible. Both signed programs verify against that
# certificate, carry no symbols, start under Wine and show their window with the release from
# their version record; SHA256SUMS holds; the zip holds the folder; one changed byte fails the
# signature. The third-party notices and the bill of materials name the runtime's parts at
# their packages' versions, the bill passes its schema with the shipped files' SHA-512, and an
# archive planted in a link map stops them. Beside it, the zip of the builds with symbols: its
# checksum holds, its programs carry their symbol tables and debugging information
# (tools/resolve_fault.py names a function and source line from it), and it is reproducible too.
#
#   tests/release_check.sh build SOURCE_DIR WORK_DIR
#   tests/release_check.sh check SOURCE_DIR WORK_DIR KQDRIVE_EXE   (Wine rig in the environment)
#
# "build" makes the certificate and the release (the long part, no window); "check" then
# checks what it made and starts the programs, so only it needs the window tests' lock.
set -euo pipefail
step=$1 root=$2 work=$3 kqdrive=${4:-}
fail() { echo "release_check: FAILED: $*" >&2; exit 1; }
secret=$work/secret

# The certificate and the release: the long part, no window.
make_release() {
  rm -rf "$work"
  mkdir -p "$secret"

  openssl req -x509 -newkey rsa:2048 -sha256 -days 2 -nodes -subj "/CN=KQ7750 release test" \
    -addext extendedKeyUsage=codeSigning -keyout "$secret/key.pem" -out "$secret/cert.pem" 2>"$secret/openssl.log"
  openssl rand -hex 16 >"$secret/password"
  openssl pkcs12 -export -inkey "$secret/key.pem" -in "$secret/cert.pem" -out "$secret/cert.p12" \
    -passout "file:$secret/password"

  BUILD_DIR=$work/build "$root/scripts/release.sh" --pkcs12 "$secret/cert.p12" --password-file "$secret/password" \
    --check-reproducible --dist "$work/dist" >"$work/release.log" 2>&1 || { cat "$work/release.log"; fail "release.sh"; }
  cat "$work/release.log"
}

# What the engineer would receive, checked; the signed programs started.
check_release() {
  [[ -s $work/release.log ]] || fail "no release was made (release_check.sh build)"
  for arch in x86 x64; do
    grep -q "reproducible: KQ7750Installer-$arch.exe is byte-identical in both builds, with and without symbols" \
      "$work/release.log" || fail "no reproducibility verdict for the $arch program"
  done
  grep -q 'UNSIGNED' "$work/release.log" && fail "release.sh calls a signed release unsigned"

  built=$work/build/release/a
  version=$(python3 "$root/tools/exe_version.py" "$built/x86/KQ7750Installer-x86.exe")
  folder=$work/dist/KQ7750Installer-$version
  [[ -d $folder && -f $folder.zip ]] || fail "no $folder and $folder.zip"
  ( cd "$folder" && sha256sum --quiet -c SHA256SUMS ) || fail "SHA256SUMS does not hold"
  for f in KQ7750Installer-x86.exe KQ7750Installer-x64.exe service-guide.md service-guide.html guide/phase-blackfin.png \
           THIRD-PARTY-NOTICES.txt "KQ7750Installer-$version.cdx.json"; do
    grep -q "  $f\$" "$folder/SHA256SUMS" || fail "SHA256SUMS does not name $f"
  done
  # The page stands alone: every picture the guide shows is inside it, none is a link.
  pictures=$(grep -c '^!\[' "$folder/service-guide.md")
  embedded=$(grep -o '<img [^>]*src="data:image/png;base64,[A-Za-z0-9+/=]*"' "$folder/service-guide.html" | wc -l)
  ((pictures > 0 && embedded == pictures)) || fail "service-guide.html embeds $embedded of the guide's $pictures pictures"
  grep -q '<img [^>]*src="[^d]' "$folder/service-guide.html" && fail "service-guide.html links a picture instead of holding it"
  grep -q '<td><code>Show Update Logs</code></td>' "$folder/service-guide.html" || fail "service-guide.html lacks the guide's tables"
  diff <(cd "$folder" && find . -type f -printf '%P\n' | sort) \
       <(unzip -Z1 "$folder.zip" | sed "s|^KQ7750Installer-$version/||" | sort) || fail "the zip is not the folder"

  # What others' code is inside: each part with the exact version of the Debian package it came
  # from, the notices taken whole from that package's copyright file, the bill with the very files'
  # SHA-512, passing CycloneDX's schema; both reproducible.
  notices=$folder/THIRD-PARTY-NOTICES.txt bill=$folder/KQ7750Installer-$version.cdx.json
  grep -q "reproducible: THIRD-PARTY-NOTICES.txt and KQ7750Installer-$version.cdx.json are byte-identical" \
    "$work/release.log" || fail "no reproducibility verdict for the notices and the bill"
  # installed ARCH ARCHIVE: "package version" of the archive the ARCH program's link took.
  installed() {
    local package
    package=$(dpkg -S "$(realpath "$(grep -om1 "^/[^(]*/$2" "$built/$1/KQ7750Installer-$1.exe.map")")" | cut -d: -f1)
    echo "$package $(dpkg-query -W -f='${Version}' "$package")"
  }
  for row in "winpthreads|libpthread.a" "MinGW-w64 runtime|libmingwex.a" \
             "libgcc (GCC runtime library)|libgcc.a" "libstdc++ (GCC runtime library)|libstdc++.a"; do
    for arch in x86 x64; do
      read -r package package_version < <(installed $arch "${row#*|}")
      sed -n "/^${row%|*}\$/,/^\$/p" "$notices" | grep -qxF \
        "  in KQ7750Installer-$arch.exe: version $package_version, Debian package $package" ||
        fail "THIRD-PARTY-NOTICES.txt does not name ${row%|*} in the $arch program with $package's version"
    done
  done
  # The winpthreads paragraph and the license text it names, as the package's copyright file has them.
  copyright=/usr/share/doc/mingw-w64-i686-dev/copyright
  for paragraph in '^Files: mingw-w64-libraries/winpthreads/[*]$' '^License: expat$' \
                   '^Files: mingw-w64-libraries/winpthreads/include/pthread[.]h$'; do
    awk -v RS= -v p="$paragraph" '{ split($0, l, "\n") } l[1] ~ p' "$copyright" >"$work/paragraph"
    [[ -s $work/paragraph ]] && python3 -c 'import sys; sys.exit(open(sys.argv[1]).read() not in open(sys.argv[2]).read())' \
      "$work/paragraph" "$notices" || fail "THIRD-PARTY-NOTICES.txt lacks $copyright's paragraph $paragraph"
  done
  grep -q 'GCC RUNTIME LIBRARY EXCEPTION' "$notices" || fail "THIRD-PARTY-NOTICES.txt lacks GCC's runtime library exception"
  /usr/bin/python3 "$root/tools/third_party.py" check "$bill" "${XDG_CACHE_HOME:-$HOME/.cache}/kq7750/cyclonedx-schema" ||
    fail "the bill of materials does not pass the CycloneDX 1.6 schema"
  python3 -c 'import json, sys
for c in json.load(open(sys.argv[1]))["components"]:
    print(c["hashes"][0]["content"], dict((p["name"], p["value"]) for p in c["properties"])["bsi:component:filename"],
          " ".join(sorted(i["name"].split()[0] + "@" + i["version"] for i in c["components"])))' "$bill" >"$work/bill.txt"
  ( cd "$folder" && cut -d' ' -f1,2 "$work/bill.txt" | sed 's/ /  /' | sha512sum --quiet -c ) ||
    fail "the bill's SHA-512 do not match the programs shipped"
  diff <(cut -d' ' -f2- "$work/bill.txt") <(for arch in x64 x86; do
    echo "KQ7750Installer-$arch.exe MinGW-w64@$(installed $arch libmingwex.a | cut -d' ' -f2)" \
      "libgcc@$(installed $arch libgcc.a | cut -d' ' -f2) libstdc++@$(installed $arch libstdc++.a | cut -d' ' -f2)" \
      "winpthreads@$(installed $arch libpthread.a | cut -d' ' -f2)"
  done) || fail "the bill does not list both programs with their parts at the packages' versions"
  # Nothing unaccounted for gets out: an archive planted in the link map stops the release, named,
  # whether no package installed it or its package's notices do not cover it (GCC's coverage library).
  gcc_lib=$(grep -om1 '^/[^(]*/libgcc\.a' "$built/x86/KQ7750Installer-x86.exe.map")
  mkdir -p "$work/planted" && cp "$gcc_lib" "$work/planted/libvendor.a"
  for planted in "$work/planted/libvendor.a" "$(dirname "$gcc_lib")/libgcov.a"; do
    sed "/^Archive member included/a $planted(planted.o)\n                              libkqui.a(Widgets.cpp.obj) (planted)" \
      "$built/x86/KQ7750Installer-x86.exe.map" >"$built/x86/planted.map"
    if python3 "$root/tools/third_party.py" make --version "$version" --epoch 0 --commit 0 --own "$built" \
         --schemas "${XDG_CACHE_HOME:-$HOME/.cache}/kq7750/cyclonedx-schema" --notices "$work/planted/notices" \
         --bill "$work/planted/bill" "$folder/KQ7750Installer-x86.exe=$built/x86/planted.map" 2>"$work/planted.log"; then
      fail "a planted $planted got through without a notice"
    fi
    grep -qF "$planted: " "$work/planted.log" && grep -q 'no notice text' "$work/planted.log" ||
      { cat "$work/planted.log"; fail "the stop for $planted does not name it"; }
  done

  # The builds with symbols: beside the release, never in it, with their own checksum line.
  symbols=KQ7750Installer-$version-symbols-INTERNAL-do-not-distribute
  [[ -f $work/dist/$symbols.zip && -f $work/dist/$symbols.zip.sha256 ]] || fail "no $symbols.zip with its .sha256"
  grep -q "reproducible: $symbols.zip is byte-identical" "$work/release.log" ||
    fail "no reproducibility verdict for the zip of the programs with symbols"
  [[ $(wc -l <"$work/dist/$symbols.zip.sha256") == 1 ]] || fail "$symbols.zip.sha256 is not one line"
  # Checked where the two are taken together, so that the line cannot lean on where they were made.
  rm -rf "$work/moved" && mkdir "$work/moved" && mv "$work/dist/$symbols.zip"{,.sha256} "$work/moved/"
  ( cd "$work/moved" && sha256sum --quiet -c "$symbols.zip.sha256" ) || fail "$symbols.zip.sha256 does not hold once moved"
  mv "$work/moved/$symbols.zip"{,.sha256} "$work/dist/"
  grep -q symbols "$folder/SHA256SUMS" && fail "the release handed out names the programs with symbols"
  rm -rf "$work/symbols" && mkdir -p "$work/symbols"
  unzip -q "$work/dist/$symbols.zip" -d "$work/symbols"
  [[ $(unzip -Z1 "$work/dist/$symbols.zip" | grep -c '\.exe$') == 2 ]] || fail "$symbols.zip does not hold two programs"
  for arch in x86 x64; do
    exe=$work/symbols/$symbols/KQ7750Installer-$arch.exe
    cmp -s "$exe" "$built/$arch/KQ7750Installer-$arch.exe" || fail "$symbols.zip does not hold the $arch build"
    # Through a file: grep -q ends the pipe early, which pipefail would call objdump's failure.
    x86_64-w64-mingw32-objdump -f -h -t "$exe" >"$work/symbols-$arch.log" || fail "objdump cannot read the $arch build"
    grep -q HAS_SYMS "$work/symbols-$arch.log" || fail "the $arch program in $symbols.zip has no symbol table"
    grep -q 'UpdateLog' "$work/symbols-$arch.log" || fail "the $arch program's symbols name no function of ours"
    grep -q ' \.debug_info ' "$work/symbols-$arch.log" || fail "the $arch program in $symbols.zip has no .debug_info"
    # A fault report's address resolves to a function and a line of the source, named without
    # the build's folder: a fault line made up at WinMain's first instruction.
    base=$(x86_64-w64-mingw32-objdump -p "$exe" | awk '$1 == "ImageBase" {print $2}')
    entry=$(x86_64-w64-mingw32-nm --defined-only "$exe" | awk '$3 ~ /^_?WinMain(@16)?$/ {print $1}')
    printf '  12 ms  Fault: 0xC0000005 access violation on the window thread at KQ7750Installer-%s.exe+0x%x\r\n' \
      "$arch" $((0x$entry - 0x$base)) >"$work/fault-$arch.log"
    python3 "$root/tools/resolve_fault.py" "$work/fault-$arch.log" "$work/dist/$symbols.zip" >"$work/resolved-$arch.log" ||
      fail "tools/resolve_fault.py failed on the $arch program"
    grep -qE ": WinMain(@16)? at (\./)?src/ui/WinMain\.cpp:[0-9]+" "$work/resolved-$arch.log" ||
      { cat "$work/resolved-$arch.log"; fail "the $arch program's WinMain does not resolve to src/ui/WinMain.cpp"; }
  done

  for arch in x86 x64; do
    exe=$folder/KQ7750Installer-$arch.exe
    osslsigncode verify -CAfile "$secret/cert.pem" -in "$exe" >"$work/verify-$arch.log" 2>&1 ||
      { cat "$work/verify-$arch.log"; fail "the $arch program's signature does not verify"; }
    # Shipped without symbols: no symbol table, no DWARF sections (they name source files).
    x86_64-w64-mingw32-objdump -f -h "$exe" >"$work/sections-$arch.log" || fail "objdump cannot read the $arch program"
    grep -E 'HAS_SYMS|HAS_DEBUG| \.debug_' "$work/sections-$arch.log" && fail "the $arch program carries symbols"
    grep -q ' \.text ' "$work/sections-$arch.log" || fail "no section table read from the $arch program"

    # The signed program starts and shows its window with the release from its version record.
    wine "$exe" >"$work/installer-$arch.log" 2>&1 </dev/null &
    installer=$!
    if ! wine "$kqdrive" wait 30000 >"$work/wait-$arch.log" 2>&1 </dev/null ||
       ! wine "$kqdrive" state >"$work/state-$arch.log" 2>&1 </dev/null ||
       ! grep -q 'v1\.01' "$work/state-$arch.log"; then
      kill "$installer" 2>/dev/null || true
      cat "$work/state-$arch.log"
      fail "the signed $arch program showed no window with its release"
    fi
    wine "$kqdrive" close >"$work/close-$arch.log" 2>&1 </dev/null || { cat "$work/close-$arch.log"; fail "close"; }
    wait "$installer" || fail "the signed $arch program exited with $?"
  done

  # One byte of the code changed after signing: the signature sees it.
  mkdir -p "$work/changed"
  cp -r "$folder"/. "$work/changed/"
  printf '\x90' | dd of="$work/changed/KQ7750Installer-x86.exe" bs=1 seek=4096 conv=notrunc status=none
  if osslsigncode verify -CAfile "$secret/cert.pem" -in "$work/changed/KQ7750Installer-x86.exe" >"$work/verify-changed.log" 2>&1; then
    fail "a changed program still verifies"
  fi
  grep -q MISMATCH "$work/verify-changed.log" || { cat "$work/verify-changed.log"; fail "the changed program failed for another reason"; }
  rm -rf "$secret"
  echo "release_check: signed, verified, reproducible, both programs start; a changed byte fails; the notices, the bill and the symbols zip hold"
}

case $step in
  build) make_release ;;
  check) [[ -n $kqdrive ]] || fail "check needs KQDRIVE_EXE"; check_release ;;
  *) fail "usage: release_check.sh build|check SOURCE_DIR WORK_DIR [KQDRIVE_EXE]" ;;
esac
