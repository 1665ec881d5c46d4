#!/usr/bin/env python3
"""tools/resolve_fault.py's names of code without line information: a heap fault's operators and a
C function as each target's nm gives them, and one that addr2line gives with the 32-bit underscore."""
import os, sys  # noqa: E401
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from resolve_fault import code_name, demangle  # noqa: E402

I, X = "i686-w64-mingw32-", "x86_64-w64-mingw32-"
ROWS = [(I, "__Znwj", True, "operator new(unsigned int)"), (I, "__ZdlPv", True, "operator delete(void*)"),  # (target, symbol, from nm, name)
        (I, "__ZlsRSoPKc", True, "operator<<(std::basic_ostream<char, std::char_traits<char> >&, char const*)"),
        (I, "_WinMain@16", True, "WinMain"), (X, "WinMain", True, "WinMain"),
        (X, "_Znwy", True, "operator new(unsigned long long)"), (I, "__Znwj", False, "operator new(unsigned int)")]
wrong = [f"{symbol} ({target}, {'nm' if nm else 'addr2line'}): {got!r}, not {want!r}" for target, symbol, nm, want in ROWS
         for got in demangle(target, [code_name(target, symbol) if nm else symbol]) if got != want]
sys.exit("\n".join(wrong) or print(f"resolve_fault_names: {len(ROWS)} names right"))
