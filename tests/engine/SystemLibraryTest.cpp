// SystemLibrary on its own, in a process that has not narrowed its DLL search (this program
// never calls searchSystem32Only): System32's DLL is loaded, the one planted beside the
// program never, also on a Windows 7 that refuses the search flag.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "engine/SystemLibrary.h"

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

namespace {

// The loads SystemLibrary asks for, as (file, flags); with `refuseSearchFlag` the flagged
// one fails as it does on Windows 7 without its 2011 loader update.
std::vector<std::pair<std::string, DWORD>> loads;
bool refuseSearchFlag = false;

HMODULE WINAPI noteLoad(LPCSTR file, HANDLE reserved, DWORD flags) {
    loads.emplace_back(file, flags);
    if (refuseSearchFlag && (flags & LOAD_LIBRARY_SEARCH_SYSTEM32) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return LoadLibraryExA(file, reserved, flags);
}

std::string lowered(std::string text) {
    CharLowerBuffA(&text[0], static_cast<DWORD>(text.size()));
    return text;
}

}  // namespace

TEST(SystemLibrary, LoadsSystem32sDllAndNeverTheOnePlantedBesideTheProgram) {
    char buffer[MAX_PATH];
    ASSERT_GT(GetSystemDirectoryA(buffer, MAX_PATH), 0u);
    const std::string system32 = buffer;
    ASSERT_GT(GetModuleFileNameA(nullptr, buffer, MAX_PATH), 0u);
    const std::string self = buffer;
    // kqplanted.dll (tests/gui/PlantedDll.c) leaves <its path>.loaded when loaded.
    const std::string planted = self.substr(0, self.find_last_of('\\') + 1) + "kqplanted.dll";
    ASSERT_NE(GetFileAttributesA(planted.c_str()), INVALID_FILE_ATTRIBUTES) << planted;

    SystemLibrary::setLoadCall(&noteLoad);
    for (const bool refused : {false, true}) {
        SCOPED_TRACE(refused ? "search flag refused" : "search flag honoured");
        refuseSearchFlag = refused;
        for (const char* name : {"winmm.dll", "kqplanted.dll"}) {
            SCOPED_TRACE(name);
            const bool inSystem32 = std::string(name) == "winmm.dll";
            DeleteFileA((planted + ".loaded").c_str());
            loads.clear();
            {
                SystemLibrary library(name);
                EXPECT_EQ(library.loaded(), inSystem32);
                if (library.loaded()) {
                    ASSERT_GT(GetModuleFileNameA(library.get(), buffer, MAX_PATH), 0u);
                    EXPECT_EQ(lowered(buffer), lowered(system32 + "\\" + name));
                }
            }
            std::vector<std::pair<std::string, DWORD>> expected = {{name, LOAD_LIBRARY_SEARCH_SYSTEM32}};
            if (refused) expected.emplace_back(system32 + "\\" + name, LOAD_WITH_ALTERED_SEARCH_PATH);
            EXPECT_EQ(loads, expected);
            EXPECT_EQ(GetFileAttributesA((planted + ".loaded").c_str()), INVALID_FILE_ATTRIBUTES)
                << "the DLL beside the program was loaded";
        }
    }
    SystemLibrary::setLoadCall(nullptr);
}
