// SystemLibrary: LoadLibraryExA restricted to System32, with the full-path fallback for a
// Windows 7 that lacks the search flags.
#include "engine/SystemLibrary.h"

#include <string>

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

// Null stands for LoadLibraryExA: a constant, so it holds even for a load made while other
// statics are still being set up.
SystemLibrary::LoadCall SystemLibrary::loadCall = nullptr;

bool SystemLibrary::searchSystem32Only() {
    // "Dynamic-Link Library Security": SetDefaultDllDirectories takes the program's folder and
    // the current directory out of the search. Looked up rather than imported: a Windows 7
    // without KB2533623 lacks it, and an import would keep the program from starting there.
    BOOL(WINAPI * setDefaultDllDirectories)(DWORD) = nullptr;
    if (entry(GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories", setDefaultDllDirectories) &&
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        return true;
    }
    // A program started from Downloads often has Downloads as its current directory too.
    SetDllDirectoryA("");
    return false;
}

HMODULE SystemLibrary::load(const char* name) {
    // "LoadLibraryEx function": LOAD_LIBRARY_SEARCH_SYSTEM32 searches System32 alone, also
    // for the DLL's own dependencies. Windows 7 knows the flag only with its 2011 loader
    // update (KB2533623) and otherwise refuses it with ERROR_INVALID_PARAMETER.
    const LoadCall loadLibraryEx = loadCall != nullptr ? loadCall : &::LoadLibraryExA;
    HMODULE module = loadLibraryEx(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module != nullptr || GetLastError() != ERROR_INVALID_PARAMETER) return module;

    // There, a full path names the file itself, and LOAD_WITH_ALTERED_SEARCH_PATH makes
    // the search for its dependencies start in System32 rather than the program's folder.
    char directory[MAX_PATH];
    const UINT length = GetSystemDirectoryA(directory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return nullptr;
    std::string path(directory, length);
    path += '\\';
    path += name;
    return loadLibraryEx(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}
