// The release text: the product version of a file's version record as "vM.mm".
#include <windows.h>

#include <gtest/gtest.h>

#include "ui/InstallerController.h"

namespace {

std::string besideThisProgram(const char* name) {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string directory(path, length);
    return directory.substr(0, directory.find_last_of("\\/") + 1) + name;
}

TEST(VersionTextTest, ProgramsOwnRecordGivesTheRelease) {
    // This program carries the installer's version record: product version 1.1.0.0.
    EXPECT_EQ(InstallerController::FormatVersionText(), "v1.01");
}

TEST(VersionTextTest, MinorHasTwoDigitsAndOnlyTheProductVersionCounts) {
    // File version 9.9.9.9, product version 2.10.7.7.
    EXPECT_EQ(InstallerController::FormatVersionTextOf(besideThisProgram("ui_version_2_10.dll").c_str()),
              "v2.10");
    // File version 1.1.0.0, product version 10.3.0.0.
    EXPECT_EQ(InstallerController::FormatVersionTextOf(besideThisProgram("ui_version_10_3.dll").c_str()),
              "v10.03");
}

TEST(VersionTextTest, NoRecordOrNoFileGivesVersionUndefined) {
    EXPECT_EQ(InstallerController::FormatVersionTextOf(besideThisProgram("ui_version_none.dll").c_str()),
              "Version undefined");
    EXPECT_EQ(InstallerController::FormatVersionTextOf(besideThisProgram("no_such_file.dll").c_str()),
              "Version undefined");
}

}  // namespace
