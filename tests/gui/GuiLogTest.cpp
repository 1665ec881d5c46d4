// The update logs' folder as a start of the installer leaves it (the most recently written
// logs kept, its own begun with the header), and Help, Show Update Logs opening it in the
// file browser.
#include "tests/gui/GuiTest.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace {

// Writes `text` to a new file at the UTF-8 `path` and dates its last write `written`.
void writeFileWritten(const std::string& path, const char* text, const FILETIME& written) {
    UniqueFileHandle file(CreateFileW(widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
    ASSERT_TRUE(file.valid()) << path << ": error " << GetLastError();
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(file.get(), text, static_cast<DWORD>(std::char_traits<char>::length(text)), &done, nullptr));
    ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &written)) << path << ": error " << GetLastError();
}

}  // namespace

TEST_F(GuiTest, StartKeepsTheHundredMostRecentlyWrittenLogsAndBeginsItsOwnWithTheHeader) {
    ASSERT_NO_FATAL_FAILURE(clearLogsFolder());
    // 105 logs of earlier starts on a PC whose clock has been wrong: 85 named in the future,
    // some with the "_N" of a second start in one second, and 20 named for this second and the
    // coming ones, as an earlier start in the same second, or one before the clock was set
    // back, leaves them. No name says how old a log is; their last writes do, and they are in
    // another order than the names.
    std::vector<std::string> names;
    for (int n = 0; n < 85; ++n) {
        char name[40];
        std::snprintf(name, sizeof name, "2099-01-01_00-%02d-%02d%s.log", n / 60, n % 60, n % 7 == 0 ? "_2" : "");
        names.push_back(name);
    }
    SYSTEMTIME now;
    GetLocalTime(&now);
    FILETIME clock;
    ASSERT_TRUE(SystemTimeToFileTime(&now, &clock));
    for (int i = 0; i < 20; ++i) {
        ULARGE_INTEGER later{{clock.dwLowDateTime, clock.dwHighDateTime}};
        later.QuadPart += i * 10000000ULL;  // 100 ns units
        const FILETIME laterClock = {later.LowPart, later.HighPart};
        SYSTEMTIME at;
        ASSERT_TRUE(FileTimeToSystemTime(&laterClock, &at));
        char name[32];
        std::snprintf(name, sizeof name, "%04u-%02u-%02u_%02u-%02u-%02u.log", at.wYear, at.wMonth, at.wDay, at.wHour,
                      at.wMinute, at.wSecond);
        names.push_back(name);
    }
    SYSTEMTIME longAgo = {2001, 1, 0, 1, 0, 0, 0, 0};
    FILETIME first;
    ASSERT_TRUE(SystemTimeToFileTime(&longAgo, &first));
    std::vector<std::string> byAge;  // oldest written first
    for (int i = 0; i < 105; ++i) {
        ULARGE_INTEGER at{{first.dwLowDateTime, first.dwHighDateTime}};
        at.QuadPart += static_cast<ULONGLONG>(i) * 60 * 10000000;  // a minute apart
        const FILETIME written = {at.LowPart, at.HighPart};
        byAge.push_back(names[(i * 37) % names.size()]);
        ASSERT_NO_FATAL_FAILURE(writeFileWritten(logsFolder() + "\\" + byAge.back(), "old\r\n", written));
    }
    // The engineer's own files, one a copy of a log and one a log renamed: never removed, however old.
    ASSERT_NO_FATAL_FAILURE(writeFileWritten(logsFolder() + "\\2099-01-01_00-00-00 - Copy.log", "copy\r\n", first));
    ASSERT_NO_FATAL_FAILURE(writeFileWritten(logsFolder() + "\\2099-01-01_00-00-00_.log", "renamed\r\n", first));
    ASSERT_NO_FATAL_FAILURE(writeFileWritten(logsFolder() + "\\notes.txt", "kept\r\n", first));
    // Fault dumps beside a log that goes (the oldest, and the youngest of those that go) and one
    // that stays, and one whose log has gone.
    const auto dumpOf = [](const std::string& log) { return log.substr(0, log.size() - 4) + ".dmp"; };
    for (const std::string& dump :
         {dumpOf(byAge.front()), dumpOf(byAge[5]), dumpOf(byAge.back()), std::string("2099-12-31_00-00-00.dmp")})
        ASSERT_NO_FATAL_FAILURE(writeFileWritten(logsFolder() + "\\" + dump, "MDMP", first));
    ASSERT_EQ(logNames().size(), 107u);
    ASSERT_NO_FATAL_FAILURE(registerComOne());
    ASSERT_NO_FATAL_FAILURE(launch());

    // The log exists before the window shows. With it, exactly 100 logs: the six written
    // longest ago have gone, whatever their names, and no other file.
    const std::string own = ownLogName();
    ASSERT_FALSE(own.empty());
    std::vector<std::string> expected(byAge.begin() + 6, byAge.end());
    expected.push_back("2099-01-01_00-00-00 - Copy.log");
    expected.push_back("2099-01-01_00-00-00_.log");
    expected.push_back(own);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(logNames(), expected);
    const DWORD notes = GetFileAttributesW(widen(logsFolder() + "\\notes.txt").c_str());
    EXPECT_TRUE(notes != INVALID_FILE_ATTRIBUTES && (notes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        << "a file that is not a log was removed";
    // The names taken were not written over.
    for (auto taken = names.end() - 20; taken != names.end(); ++taken) {
        std::ifstream in(logsFolder() + "\\" + *taken, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), "old\r\n")
            << *taken << " was overwritten";
    }

    EXPECT_EQ(closeWithoutQuestion(), 0u);
    // The dump stays with its log; this start's own, made for a fault, went with the program.
    EXPECT_EQ(logNames("*.dmp"), std::vector<std::string>{dumpOf(byAge.back())});
    const std::vector<std::string> lines = ownLog();
    ASSERT_NO_FATAL_FAILURE(expectLogHeader(lines, InstallerProcess::defaultPath()));
    // Named by the start's local date and time, whose name was taken: the next free one.
    std::string started = lines[6].substr(lines[6].find(' ') + 1);
    std::replace(started.begin(), started.end(), ' ', '_');
    std::replace(started.begin(), started.end(), ':', '-');
    EXPECT_EQ(own, started + "_2.log");
    // The window's first texts, then the end.
    const std::vector<std::string> texts = loggedTexts(lines);
    EXPECT_EQ(texts, (std::vector<std::string>{
                         logLine({installer::kConnectionBox, installer::kNotConnectedConnection}),
                         logLine({installer::kUpdateBox, installer::kNotConnectedUpdate}),
                         logLine({installer::kStatusBox, installer::kNotConnectedStatus}),
                         "Program closed.",
                     }));
}

TEST_F(GuiTest, ShowUpdateLogsOpensTheLogsFolderInTheFileBrowser) {
    ASSERT_NO_FATAL_FAILURE(registerComOne());
    ASSERT_NO_FATAL_FAILURE(launch());
    ASSERT_NO_FATAL_FAILURE(expectShowLogsOpensTheLogsFolder());
    EXPECT_EQ(closeWithoutQuestion(), 0u);
}
