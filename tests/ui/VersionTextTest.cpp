// The release text: the product version of a module's own version record as "vM.mm".
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <type_traits>

#include "tests/ui/UiTestSupport.h"
#include "ui/InstallerController.h"
#include "updatelog/LogHeader.h"

namespace {

using Module = std::unique_ptr<std::remove_pointer_t<HMODULE>, decltype(&FreeLibrary)>;

// A DLL beside this program, loaded only for its resources (null when missing).
Module resourceModule(const char* name) {
    char path[MAX_PATH];
    const std::string program(path, GetModuleFileNameA(nullptr, path, sizeof path));
    const std::string dll = program.substr(0, program.find_last_of("\\/") + 1) + name;
    return Module(LoadLibraryExA(dll.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE), &FreeLibrary);
}

TEST(VersionTextTest, ProgramsOwnRecordGivesTheRelease) {
    // This program carries the installer's version record: product version 1.1.0.0.
    EXPECT_EQ(InstallerController::FormatVersionText(), "v1.01");
}

TEST(VersionTextTest, MinorHasTwoDigitsAndOnlyTheProductVersionCounts) {
    // File version 9.9.9.9, product version 2.10.7.7.
    const Module twoTen = resourceModule("ui_version_2_10.dll");
    ASSERT_NE(twoTen, nullptr);
    EXPECT_EQ(InstallerController::FormatVersionTextOf(twoTen.get()), "v2.10");
    // File version 1.1.0.0, product version 10.3.0.0.
    const Module tenThree = resourceModule("ui_version_10_3.dll");
    ASSERT_NE(tenThree, nullptr);
    EXPECT_EQ(InstallerController::FormatVersionTextOf(tenThree.get()), "v10.03");
}

TEST(VersionTextTest, NoRecordOrNoModuleGivesVersionUndefined) {
    const Module none = resourceModule("ui_version_none.dll");
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(InstallerController::FormatVersionTextOf(none.get()), "Version undefined");
    EXPECT_EQ(InstallerController::FormatVersionTextOf(nullptr), "Version undefined");
}

// This program's own record damaged in turn: read as none, never as another release.
TEST(VersionTextTest, AMalformedRecordGivesVersionUndefined) {
    const HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(VS_VERSION_INFO), MAKEINTRESOURCEW(16));
    ASSERT_NE(found, nullptr);
    const BYTE* record = static_cast<const BYTE*>(LockResource(LoadResource(nullptr, found)));
    const DWORD fixedAt = 40;  // three WORDs, L"VS_VERSION_INFO" and its terminator, padded to 32 bits
    const WORD shortValue = sizeof(VS_FIXEDFILEINFO) - 1;
    const DWORD shortSize = fixedAt + sizeof(VS_FIXEDFILEINFO) - 1, noSignature = 0;
    const struct {
        const char* damage;
        const void* at;
        const void* bytes;
        size_t size;
    } rows[] = {
        {"value length short of the fixed part", record + 2, &shortValue, sizeof shortValue},
        {"another key", record + 6, L"W", sizeof(wchar_t)},
        {"no signature", record + fixedAt, &noSignature, sizeof noSignature},
        {"resource cut short", &reinterpret_cast<const IMAGE_RESOURCE_DATA_ENTRY*>(found)->Size, &shortSize,
         sizeof shortSize},
    };
    for (const auto& row : rows) {
        uitest::MappedPatch patch(row.at, row.bytes, row.size);
        ASSERT_TRUE(patch.applied()) << row.damage;
        EXPECT_EQ(InstallerController::FormatVersionText(), "Version undefined") << row.damage;
    }
    EXPECT_EQ(InstallerController::FormatVersionText(), "v1.01");
}

// This program's record with a file version (9.2.3.4) unlike its product version (1.1.0.0):
// the log's header gives the file version, the release text the product version.
TEST(VersionTextTest, TheLogHeaderGivesTheFileVersion) {
    const BYTE* record = static_cast<const BYTE*>(LockResource(
        LoadResource(nullptr, FindResourceW(nullptr, MAKEINTRESOURCEW(VS_VERSION_INFO), MAKEINTRESOURCEW(16)))));
    ASSERT_NE(record, nullptr);
    const DWORD fileVersion[] = {0x00090002, 0x00030004};  // dwFileVersionMS and LS, 40 + 8 bytes in
    uitest::MappedPatch patch(record + 48, fileVersion, sizeof fileVersion);
    ASSERT_TRUE(patch.applied());
    EXPECT_EQ(LogHeaderLines("v1.01", SYSTEMTIME{})[2], "File version: 9.2.3.4");
    EXPECT_EQ(InstallerController::FormatVersionText(), "v1.01");
}

}  // namespace
