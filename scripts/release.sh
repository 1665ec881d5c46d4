#!/usr/bin/env bash
# Makes the release a service engineer receives: both installers built from the committed
# tree (HEAD, exported with `git archive`, so nothing uncommitted or left over in a build
# tree gets in), Authenticode-signed when a certificate is given, with the service guide (as
# Markdown with its pictures, and as one HTML page), the notices of the other people's code in
# the programs (THIRD-PARTY-NOTICES.txt), the bill of materials (KQ7750Installer-<version>.cdx.json)
# and SHA256SUMS, in dist/KQ7750Installer-<version>/ and a .zip of that folder. <version> is the product version
# of the built program's own version record. Beside them, for the service department only,
# the same builds with their symbols and debugging information (for reading the addresses of a
# fault report with tools/resolve_fault.py) in
# dist/KQ7750Installer-<version>-symbols-INTERNAL-do-not-distribute.zip, with its SHA-256 in
# a .sha256 file of the same name.
#
#   scripts/release.sh [--pkcs12 FILE --password-file FILE [--timestamp URL]]
#                      [--check-reproducible] [--dist DIR]
#
# --pkcs12 FILE          code-signing certificate and private key (PKCS#12, .pfx/.p12)
# --password-file FILE   the first line is the PKCS#12 password; never on the command line,
#                        and refused when it lies in the working tree without being ignored
# --timestamp URL        RFC 3161 time-stamp server, so the signature outlives the certificate
# --check-reproducible   builds both installers a second time in another folder and fails
#                        unless every byte is the same, the builds with symbols, the notices
#                        and the bill included
# --dist DIR             where the folder and the zip go (default: dist/ in the tree)
# Without --pkcs12 the release is built unsigned and says so.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
mkdir -p "$build"
build=$(cd "$build" && pwd)/release
dist=$root/dist
pkcs12= password_file= timestamp= check_reproducible=0
usage() {
  echo "usage: $0 [--pkcs12 FILE --password-file FILE [--timestamp URL]] [--check-reproducible] [--dist DIR]" >&2
  exit 2
}
while (($#)); do
  case $1 in
    --pkcs12) (($# > 1)) || usage; pkcs12=$2; shift 2 ;;
    --password-file) (($# > 1)) || usage; password_file=$2; shift 2 ;;
    --timestamp) (($# > 1)) || usage; timestamp=$2; shift 2 ;;
    --check-reproducible) check_reproducible=1; shift ;;
    --dist) (($# > 1)) || usage; dist=$2; shift 2 ;;
    *) usage ;;
  esac
done
say() { printf 'release: %s\n' "$*"; }
fail() { printf 'release: FAILED: %s\n' "$*" >&2; exit 1; }

if [[ -n $pkcs12 || -n $password_file ]]; then
  [[ -n $pkcs12 && -n $password_file ]] || fail "--pkcs12 and --password-file go together"
  [[ -r $pkcs12 ]] || fail "cannot read the certificate $pkcs12"
  [[ -r $password_file ]] || fail "cannot read the password file $password_file"
  # A password file in the tree is one `git add .` away from being published.
  for secret in "$pkcs12" "$password_file"; do
    if git -C "$root" ls-files --error-unmatch "$secret" >/dev/null 2>&1 ||
       { [[ $(realpath "$secret") == "$root"/* ]] && ! git -C "$root" check-ignore -q "$secret"; }; then
      fail "$secret lies in the working tree and is not ignored: keep certificates and passwords outside it"
    fi
  done
elif [[ -n $timestamp ]]; then
  fail "--timestamp needs --pkcs12"
fi

"$root/scripts/setup.sh"

commit=$(git -C "$root" rev-parse HEAD)
git -C "$root" diff --quiet HEAD -- . || say "uncommitted changes are left out: building commit ${commit:0:12}"
# The commit's own time for every date the release carries (the zip's entries).
epoch=$(git -C "$root" log -1 --format=%ct "$commit")
jobs=${KQ_JOBS:-$(nproc)}

# build_installers DIR: the two programs of the commit, from an export of it in DIR/src;
# only the installer targets, none of the test programs, built with debugging information
# (-g, KQ_DEBUG_INFO) and a link map beside each (DIR/<arch>/KQ7750Installer-<arch>.exe.map:
# ld's "%" is the output's path) that names every input the linker took. The programs
# shipped are stripped copies in DIR/<arch>/shipped/: the symbol table and the DWARF sections
# (most of the file, with source file names and lines) stay in the build's own
# DIR/<arch>/KQ7750Installer-<arch>.exe, kept for reading the addresses of a fault report. strip writes the current time into the PE header unless
# SOURCE_DATE_EPOCH says otherwise: 0, as the link leaves it.
build_installers() {
  local dir=$1 arch triplet
  rm -rf "$dir"
  mkdir -p "$dir/src"
  git -C "$root" archive "$commit" | tar -x -C "$dir/src"
  for arch in x86 x64; do
    [[ $arch == x86 ]] && triplet=i686 || triplet=x86_64
    cmake -S "$dir/src" -B "$dir/$arch" -G Ninja -DCMAKE_BUILD_TYPE=Release -DKQ_WERROR=ON -DKQ_DEBUG_INFO=ON \
          -DCMAKE_EXE_LINKER_FLAGS=-Wl,-Map=%.map \
          -DCMAKE_TOOLCHAIN_FILE="$dir/src/cmake/toolchain-mingw-w64-$triplet.cmake" >/dev/null
    cmake --build "$dir/$arch" -j "$jobs" --target KQ7750Installer >/dev/null ||
      fail "the $arch installer did not build (cmake --build $dir/$arch)"
    mkdir -p "$dir/$arch/shipped"
    SOURCE_DATE_EPOCH=0 "$triplet-w64-mingw32-strip" --strip-all -o "$dir/$arch/shipped/KQ7750Installer-$arch.exe" \
      "$dir/$arch/KQ7750Installer-$arch.exe" || fail "stripping the $arch installer failed"
  done
}

say "building commit ${commit:0:12} in $build/a"
build_installers "$build/a"
if ((check_reproducible)); then
  # Another folder of another depth: a build path that got into the program shows here.
  say "building it again in $build/second-build/b to compare"
  build_installers "$build/second-build/b"
  for arch in x86 x64; do
    for kind in symbols shipped; do
      if [[ $kind == shipped ]]; then
        first=$build/a/$arch/shipped/KQ7750Installer-$arch.exe
        second=$build/second-build/b/$arch/shipped/KQ7750Installer-$arch.exe
      else
        first=$build/a/$arch/KQ7750Installer-$arch.exe
        second=$build/second-build/b/$arch/KQ7750Installer-$arch.exe
      fi
      if ! cmp -s "$first" "$second"; then
        cmp -l "$first" "$second" | head -5 >&2 || true
        fail "the two builds of KQ7750Installer-$arch.exe ($kind) differ ($(cmp -l "$first" "$second" | wc -l) bytes)"
      fi
    done
    say "reproducible: KQ7750Installer-$arch.exe is byte-identical in both builds, with and without symbols ($(sha256sum <"$first" | cut -c1-16)...)"
  done
fi

version=$(python3 "$root/tools/exe_version.py" "$build/a/x86/KQ7750Installer-x86.exe")
version64=$(python3 "$root/tools/exe_version.py" "$build/a/x64/KQ7750Installer-x64.exe")
[[ $version == "$version64" ]] || fail "the two programs carry different versions ($version, $version64)"
name=KQ7750Installer-$version
# A name no engineer takes for the program: these builds are unsigned and stay in the house.
symbols=$name-symbols-INTERNAL-do-not-distribute
mkdir -p "$dist"
dist=$(cd "$dist" && pwd)
folder=$dist/$name
rm -rf "$folder" "$folder.zip" "$dist/$symbols.zip" "$dist/$symbols.zip.sha256"
mkdir -p "$folder"

# zip_folder DIR NAME: DIR/NAME.zip of the folder DIR/NAME, the same bytes from the same
# files: fixed order, the commit's time and fixed modes on every entry, no owner or extra
# fields.
zip_folder() {
  ( cd "$1/$2"
    find . -type f -exec chmod 0644 {} + && find . -type d -exec chmod 0755 {} +
    find . -exec touch -h -d "@$epoch" {} +
    cd "$1"
    find "$2" -print | LC_ALL=C sort | TZ=UTC zip -q -X -D -@ "$2.zip" )
}
# symbols_zip DIR: the builds with symbols of DIR (a build_installers folder) in
# DIR/symbols/$symbols.zip.
symbols_zip() {
  local dir=$1 arch
  rm -rf "$dir/symbols"
  mkdir -p "$dir/symbols/$symbols"
  for arch in x86 x64; do
    cp "$dir/$arch/KQ7750Installer-$arch.exe" "$dir/symbols/$symbols/"
  done
  zip_folder "$dir/symbols" "$symbols"
}

for arch in x86 x64; do
  exe=KQ7750Installer-$arch.exe
  if [[ -n $pkcs12 ]]; then
    sign=(osslsigncode sign -pkcs12 "$pkcs12" -readpass "$password_file" -h sha256
          -n "KQ7750 Firmware Installer $version")
    [[ -z $timestamp ]] || sign+=(-ts "$timestamp")
    "${sign[@]}" -in "$build/a/$arch/shipped/$exe" -out "$folder/$exe" >"$build/sign-$arch.log" 2>&1 ||
      { cat "$build/sign-$arch.log" >&2; fail "signing $exe failed"; }
  else
    cp "$build/a/$arch/shipped/$exe" "$folder/$exe"
  fi
done
if [[ -n $pkcs12 ]]; then
  say "signed both programs (Authenticode, SHA-256${timestamp:+, time-stamped by $timestamp})"
else
  say "UNSIGNED: no --pkcs12 given; Windows will name no publisher for these programs"
fi

# The guide with the pictures it links to, as it stands in the commit.
git -C "$root" archive "$commit" docs/service-guide.md docs/guide | tar -x -C "$folder" --strip-components=1 ||
  fail "the commit has no docs/service-guide.md and docs/guide/"
# And as one page that opens on any PC, pictures inside, converted by the commit's own tool
# with Debian's python3-markdown (which only Debian's python3 sees, whatever else is on PATH).
/usr/bin/python3 "$build/a/src/tools/guide_html.py" "$folder/service-guide.md" "$folder/service-guide.html" ||
  fail "the service guide could not be converted to HTML"
if ((check_reproducible)); then
  /usr/bin/python3 "$build/second-build/b/src/tools/guide_html.py" "$build/second-build/b/src/docs/service-guide.md" \
    "$build/second-build/service-guide.html" || fail "the second conversion of the service guide failed"
  cmp -s "$folder/service-guide.html" "$build/second-build/service-guide.html" ||
    fail "two conversions of the service guide differ"
  say "reproducible: service-guide.html is byte-identical in both conversions"
fi

# What other people's code the programs carry, as their link maps say (tools/third_party.py):
# the notices their licenses ask for, and the bill of materials in CycloneDX 1.6, checked
# against the schema scripts/setup.sh fetched. A linked archive that no package installed, or
# whose package gives no notice text, stops the release here.
schemas=${XDG_CACHE_HOME:-$HOME/.cache}/kq7750/cyclonedx-schema
bill=$name.cdx.json
# third_party DIR NOTICES BILL: the two files from the link maps of the build in DIR (a
# build_installers folder), for the programs in the release folder.
third_party() {
  local tools=(cmake ninja) triplet
  for triplet in i686 x86_64; do
    tools+=("$triplet-w64-mingw32-g++-posix" "$triplet-w64-mingw32-gcc-posix" "$triplet-w64-mingw32-ld"
            "$triplet-w64-mingw32-windres" "$triplet-w64-mingw32-strip")
  done
  [[ -z $pkcs12 ]] || tools+=(osslsigncode)
  python3 "$1/src/tools/third_party.py" make --version "$version" --epoch "$epoch" --commit "$commit" \
    --own "$1" --schemas "$schemas" --notices "$2" --bill "$3" "${tools[@]/#/--tool=}" \
    "$folder/KQ7750Installer-x86.exe=$1/x86/KQ7750Installer-x86.exe.map" \
    "$folder/KQ7750Installer-x64.exe=$1/x64/KQ7750Installer-x64.exe.map" ||
    fail "the notices and the bill of materials could not be made from $1's link maps"
}
third_party "$build/a" "$folder/THIRD-PARTY-NOTICES.txt" "$folder/$bill"
# Debian's python3-jsonschema, which only Debian's python3 sees.
/usr/bin/python3 "$build/a/src/tools/third_party.py" check "$folder/$bill" "$schemas" ||
  fail "$bill does not pass the CycloneDX 1.6 schema"
say "THIRD-PARTY-NOTICES.txt and $bill (CycloneDX 1.6, passes its schema) from the link maps"
if ((check_reproducible)); then
  third_party "$build/second-build/b" "$build/second-build/THIRD-PARTY-NOTICES.txt" "$build/second-build/$bill"
  for f in THIRD-PARTY-NOTICES.txt "$bill"; do
    cmp -s "$folder/$f" "$build/second-build/$f" || fail "the two builds' $f differ"
  done
  say "reproducible: THIRD-PARTY-NOTICES.txt and $bill are byte-identical for both builds"
fi

( cd "$folder"
  find . -type f ! -name SHA256SUMS -printf '%P\n' | LC_ALL=C sort | xargs -d '\n' sha256sum >SHA256SUMS )
zip_folder "$dist" "$name"

symbols_zip "$build/a"
if ((check_reproducible)); then
  symbols_zip "$build/second-build/b"
  cmp -s "$build/a/symbols/$symbols.zip" "$build/second-build/b/symbols/$symbols.zip" ||
    fail "the two builds' zips of the programs with symbols differ"
  say "reproducible: $symbols.zip is byte-identical for both builds"
fi
cp "$build/a/symbols/$symbols.zip" "$dist/"
( cd "$dist" && sha256sum "$symbols.zip" >"$symbols.zip.sha256" )

say "version $version (from the programs' version record)"
say "$folder/"
sed 's/^/release:   /' "$folder/SHA256SUMS"
say "$folder.zip ($(stat -c %s "$folder.zip") bytes)"
say "NOT FOR ENGINEERS, keep for reading fault reports (tools/resolve_fault.py LOG ZIP): $dist/$symbols.zip ($(stat -c %s "$dist/$symbols.zip") bytes)"
sed 's/^/release:   /' "$dist/$symbols.zip.sha256"
