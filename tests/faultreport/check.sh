#!/usr/bin/env bash
# The planted faults under Wine (test_faultreport, in the current folder), then
# tools/resolve_fault.py on their logs with the test program zipped as the release zips its
# programs with symbols: each fault's address must name the planted function and line, and
# one in the C++ library the symbol that holds it; and, through a stand-in addr2line, a return
# address must be looked up one byte back.
#
#   tests/faultreport/check.sh TEST_FAULTREPORT_EXE SOURCE_DIR
set -euo pipefail
exe=$1 root=$2
"$root/scripts/wine-run.sh" "$exe"
rm -f planted/symbols.zip
zip -q -j planted/symbols.zip "$exe"
source=$root/tests/faultreport/FaultReportTest.cpp
for row in "worker plantNullWrite null-write" "overflow plantRecursion recursion"; do
  read -r kind function mark <<<"$row"
  # Every line so marked: where a stack overflow faults depends on the compiler's order.
  line=$(grep -n "// planted: ${mark//-/ }" "$source" | cut -d: -f1 | paste -sd'|')
  # No log: the case was skipped (a 64-bit program's stack overflow under Wine).
  [[ -e planted/$kind.log ]] || { echo "check.sh: no $kind case here"; continue; }
  python3 "$root/tools/resolve_fault.py" "planted/$kind.log" planted/symbols.zip >"planted/$kind.resolved"
  cat "planted/$kind.resolved"
  # The line after the fault's own names where it happened.
  grep -A1 '^Fault: ' "planted/$kind.resolved" | tail -1 | grep -qE ": ([^ ]*::)?$function(\(.*\))? at .*/FaultReportTest\.cpp:($line)( |\$)" ||
    { echo "check.sh: the $kind fault does not resolve to $function at FaultReportTest.cpp:$line" >&2; exit 1; }
done
# The fault inside the C++ library, linked in without line information: named by its symbol;
# its caller, whose 32-bit symbol carries one more underscore, by its name demangled. GCC 14
# inlines the comparison into the caller: then the header's line names it, inlined by the caller.
# No log: the row was left to the 64-bit build (an emulated CPU that misreports the fault).
if [[ -e planted/hungdump.log ]]; then
  python3 "$root/tools/resolve_fault.py" planted/hungdump.log planted/symbols.zip >planted/hungdump.resolved
  cat planted/hungdump.resolved
  line=$(grep -n "// planted: compare" "$source" | cut -d: -f1)
  grep -A1 '^Fault: ' planted/hungdump.resolved | tail -1 |
    grep -qE ': std::__cxx11::basic_string<.*>::(compare\(char const\*\) const\+0x[0-9a-f]+ \(no line information\)|[a-z_]+\(.*\) const at .*/basic_string\.h:[0-9]+)$' ||
    { echo "check.sh: the library fault is not named by its symbol" >&2; exit 1; }
  grep -qE "(: |\(inlined by\) )plantCompare\(std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> > const\*\) at .*/FaultReportTest\.cpp:$line( |\$)" planted/hungdump.resolved ||
    { echo "check.sh: the library fault's caller is not plantCompare(...) at FaultReportTest.cpp:$line" >&2; exit 1; }
else
  echo "check.sh: no hungdump case here"
fi
# Names without line information as nm (the last: addr2line) gives them: heap operators, a 32-bit C name.
python3 - "$root/tools" <<'EOF' || { echo "check.sh: a symbol is misnamed" >&2; exit 1; }
import sys; sys.path.insert(0, sys.argv[1]); from resolve_fault import code_name, demangle
I, X = "i686-w64-mingw32-", "x86_64-w64-mingw32-"
rows = [(I, "__Znwj", "operator new(unsigned int)"), (I, "__ZdlPv", "operator delete(void*)"), (I, "_WinMain@16", "WinMain"),
        (X, "WinMain", "WinMain"), (X, "_Znwy", "operator new(unsigned long long)"), (I, "__Znwj ", "operator new(unsigned int)")]
wrong = [(s, got) for t, s, want in rows for got in demangle(t, [code_name(t, s) if s[-1] != " " else s[:-1]]) if got != want]
sys.exit(f"{wrong}" if wrong else None)
EOF
# A stand-in addr2line that answers each address with itself, as a line number: the faulting
# address is looked up as it is, a return address one byte back, inside the call it returns from.
mkdir -p planted/echo
printf '#!/bin/sh\nfor a; do case $a in 0x*) echo "$a: f at a.cpp:$(($a))";; esac; done\n' >planted/echo/i686-w64-mingw32-addr2line
chmod +x planted/echo/i686-w64-mingw32-addr2line
cp planted/echo/i686-w64-mingw32-addr2line planted/echo/x86_64-w64-mingw32-addr2line
printf 'Fault: at test_faultreport.exe+0x1000\r\nFault return addresses: test_faultreport.exe+0x1000\r\n' |
  PATH="$PWD/planted/echo:$PATH" python3 "$root/tools/resolve_fault.py" - planted/symbols.zip >planted/echo.resolved
mapfile -t looked < <(sed -n 's/^    test_faultreport\.exe+0x1000: f at a\.cpp://p' planted/echo.resolved)
(( ${#looked[@]} == 2 && looked[1] == looked[0] - 1 )) ||
  { cat planted/echo.resolved; echo "check.sh: a return address is not looked up one byte back" >&2; exit 1; }
echo "check.sh: the planted faults resolve to their function and line, the library's to its symbol"
