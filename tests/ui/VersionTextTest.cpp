// The release text: the product version of a module's own version record as "vM.mm".
#include <windows.h>

#include <gtest/gtest.h>

#include "ui/InstallerController.h"

namespace {

// A DLL beside this program, loaded only for its resources (null when missing).
class ResourceModule {
public:
    explicit ResourceModule(const char* name) {
        char path[MAX_PATH];
        const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
        std::string directory(path, length);
        directory = directory.substr(0, directory.find_last_of("\\/") + 1) + name;
        module = LoadLibraryExA(directory.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    }
    ~ResourceModule() {
        if (module) FreeLibrary(module);
    }
    ResourceModule(const ResourceModule&) = delete;
    ResourceModule& operator=(const ResourceModule&) = delete;
    HMODULE get() const { return module; }

private:
    HMODULE module = nullptr;
};

TEST(VersionTextTest, ProgramsOwnRecordGivesTheRelease) {
    // This program carries the installer's version record: product version 1.1.0.0.
    EXPECT_EQ(InstallerController::FormatVersionText(), "v1.01");
}

TEST(VersionTextTest, MinorHasTwoDigitsAndOnlyTheProductVersionCounts) {
    // File version 9.9.9.9, product version 2.10.7.7.
    ResourceModule twoTen("ui_version_2_10.dll");
    ASSERT_NE(twoTen.get(), nullptr);
    EXPECT_EQ(InstallerController::FormatVersionTextOf(twoTen.get()), "v2.10");
    // File version 1.1.0.0, product version 10.3.0.0.
    ResourceModule tenThree("ui_version_10_3.dll");
    ASSERT_NE(tenThree.get(), nullptr);
    EXPECT_EQ(InstallerController::FormatVersionTextOf(tenThree.get()), "v10.03");
}

TEST(VersionTextTest, NoRecordOrNoModuleGivesVersionUndefined) {
    ResourceModule none("ui_version_none.dll");
    ASSERT_NE(none.get(), nullptr);
    EXPECT_EQ(InstallerController::FormatVersionTextOf(none.get()), "Version undefined");
    EXPECT_EQ(InstallerController::FormatVersionTextOf(nullptr), "Version undefined");
}

}  // namespace
