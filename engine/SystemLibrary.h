// DLLs the program loads itself, always from System32: a signed program started from a
// Downloads folder must never pick up a DLL that lies beside it or in the current directory.
#pragma once

#include <windows.h>

class SystemLibrary {
public:
    // Loads `name` (a bare file name such as "SETUPAPI.DLL") from System32 only; null on failure,
    // with GetLastError set by the failing call.
    static HMODULE load(const char* name);

    // Called first thing at start: every later search for a DLL, the program's own and those
    // system DLLs make on its behalf, looks in System32 alone. False where this Windows cannot
    // (Windows 7 without its 2011 loader update); the current directory then leaves the search
    // at least, and load() names System32 in full.
    static bool searchSystem32Only();

    // Test seam: the call load() makes, so that a test can take the path of a Windows 7 that
    // refuses the search flag and see the full path then loaded; null restores LoadLibraryExA.
    // Set only while no other thread loads a library.
    using LoadCall = decltype(&::LoadLibraryExA);
    static void setLoadCall(LoadCall call) { loadCall = call; }

    // GetProcAddress hands back a generic FARPROC; going through void(*)() keeps GCC's
    // -Wcast-function-type quiet about the cast to the real signature.
    template <typename Function>
    static bool entry(HMODULE library, const char* name, Function& out) {
        const FARPROC address = library != nullptr ? GetProcAddress(library, name) : nullptr;
        out = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
        return address != nullptr;
    }

    // An owned library: freed when the holder goes.
    explicit SystemLibrary(const char* name) : module(load(name)) {}
    ~SystemLibrary() {
        if (module != nullptr) FreeLibrary(module);
    }
    SystemLibrary(const SystemLibrary&) = delete;
    SystemLibrary& operator=(const SystemLibrary&) = delete;

    HMODULE get() const { return module; }
    bool loaded() const { return module != nullptr; }
    template <typename Function>
    bool entry(const char* name, Function& out) const {
        return entry(module, name, out);
    }

private:
    static LoadCall loadCall;  // null: LoadLibraryExA; written by setLoadCall, read by load() on any thread
    HMODULE module;
};
