// The update logs' folder as a start of the installer leaves it (the newest logs kept, its
// own begun with the header), and Help, Show Update Logs opening it in the file browser.
#include "tests/gui/GuiTest.h"

#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace {

const char* const kShowLogsItem = "&Show Update Logs";

// SHA-256 of a whole file, lower-case hex; empty when it cannot be read.
std::string sha256Of(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    BYTE digest[32];
    DWORD size = sizeof digest;
    std::string hex;
    if (!bytes.empty() && CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        if (CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) {
            if (CryptHashData(hash, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()), 0) &&
                CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0)) {
                for (DWORD i = 0; i < size; ++i) {
                    char two[3];
                    std::snprintf(two, sizeof two, "%02x", digest[i]);
                    hex += two;
                }
            }
            CryptDestroyHash(hash);
        }
        CryptReleaseContext(provider, 0);
    }
    return hex;
}

// The visible file-browser windows of processes other than `notOf`, with their titles. Wine's
// shell opens a folder with explorer.exe, whose window (class ExplorerWClass) is titled with the
// folder's name; Windows' own is a CabinetWClass.
struct BrowserSearch {
    DWORD notOf;
    std::vector<std::pair<HWND, std::string>> found;
};

BOOL CALLBACK noteBrowser(HWND window, LPARAM search) {
    BrowserSearch& s = *reinterpret_cast<BrowserSearch*>(search);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char kind[64] = {};
    char title[MAX_PATH] = {};
    GetClassNameA(window, kind, sizeof kind);
    GetWindowTextA(window, title, sizeof title);
    const std::string k = kind;
    if (owner != s.notOf && IsWindowVisible(window) && (k == "ExplorerWClass" || k == "CabinetWClass"))
        s.found.emplace_back(window, title);
    return TRUE;
}

std::vector<std::pair<HWND, std::string>> browsers(DWORD notOf) {
    BrowserSearch search{notOf, {}};
    EnumWindows(noteBrowser, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Closes, when the test ends, every browser window that was not there when it began: one
// left on another folder could carry the installer's own title.
class BrowserCleanup {
public:
    explicit BrowserCleanup(DWORD notOf) : notOf(notOf), before(browsers(notOf)) {}
    ~BrowserCleanup() {
        for (const auto& b : browsers(notOf)) {
            if (std::find(before.begin(), before.end(), b) != before.end()) continue;
            PostMessageA(b.first, WM_CLOSE, 0, 0);
            const ULONGLONG end = GetTickCount64() + 10000;
            while (IsWindow(b.first) && GetTickCount64() < end) Sleep(50);
            EXPECT_FALSE(IsWindow(b.first)) << "the file browser \"" << b.second << "\" did not close";
        }
    }
    BrowserCleanup(const BrowserCleanup&) = delete;
    BrowserCleanup& operator=(const BrowserCleanup&) = delete;

private:
    DWORD notOf;
    std::vector<std::pair<HWND, std::string>> before;
};

}  // namespace

TEST_F(GuiTest, StartKeepsTheNewestHundredLogsAndBeginsItsOwnWithTheHeader) {
    ASSERT_NO_FATAL_FAILURE(clearLogsFolder());
    // 105 logs of earlier starts, written in no particular order, and a file of the engineer's.
    // The newest 20 are named for this second and the coming ones, as an earlier start in the
    // same second, or one before the clock was set back, leaves them.
    std::vector<std::string> old;
    for (int i = 0; i < 85; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "2001-01-01_00-%02d-%02d.log", i / 60, i % 60);
        old.push_back(name);
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
        old.push_back(name);
    }
    for (size_t i = 0; i < old.size(); ++i) {
        std::ofstream(logsFolder() + "\\" + old[(i * 37) % old.size()], std::ios::binary) << "old\r\n";
    }
    std::ofstream(logsFolder() + "\\notes.txt", std::ios::binary) << "kept\r\n";
    ASSERT_EQ(logNames().size(), 105u);
    ASSERT_NO_FATAL_FAILURE(registerComOne());
    ASSERT_NO_FATAL_FAILURE(launch());

    // The log exists before the window shows; the five oldest have gone, and no other.
    const std::vector<std::string> names = logNames();
    std::vector<std::string> own;
    std::set_difference(names.begin(), names.end(), old.begin() + 5, old.end(), std::back_inserter(own));
    EXPECT_EQ(names.size(), 101u) << ::testing::PrintToString(names);
    ASSERT_EQ(own.size(), 1u) << ::testing::PrintToString(own);
    for (auto taken = old.end() - 20; taken != old.end(); ++taken) {
        std::ifstream in(logsFolder() + "\\" + *taken, std::ios::binary);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()), "old\r\n")
            << *taken << " was overwritten";
    }
    EXPECT_EQ(GetFileAttributesA((logsFolder() + "\\notes.txt").c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u)
        << "a file that is not a log was removed";
    char today[16];
    std::snprintf(today, sizeof today, "%04u-%02u-%02u_", now.wYear, now.wMonth, now.wDay);

    EXPECT_EQ(closeWithoutQuestion(), 0u);
    const std::vector<std::string> lines = ownLog();
    ASSERT_GE(lines.size(), 8u);
    EXPECT_EQ(lines[0], "KQ7750 Firmware Installer");
    EXPECT_EQ(lines[1], "Release: v1.01");
    EXPECT_EQ(lines[2], "File version: 1.1.0.0");
    EXPECT_EQ(lines[3], "Program: " + InstallerProcess::defaultPath());
    EXPECT_EQ(lines[4], "SHA-256: " + sha256Of(InstallerProcess::defaultPath()));
    // The version Windows (here Wine) reports, not the one a manifest would cap it at.
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    ASSERT_TRUE(GetVersionExA(&version));
    EXPECT_EQ(lines[5].rfind("Windows: " + std::to_string(version.dwMajorVersion) + "." +
                                 std::to_string(version.dwMinorVersion) + " build " +
                                 std::to_string(version.dwBuildNumber),
                             0),
              0u)
        << lines[5];
    EXPECT_EQ(lines[6].rfind("Started: " + std::string(today, 10) + " ", 0), 0u) << lines[6];
    // Named by the start's local date and time, whose name was taken: the next free one.
    std::string started = lines[6].substr(lines[6].find(' ') + 1);
    std::replace(started.begin(), started.end(), ' ', '_');
    std::replace(started.begin(), started.end(), ':', '-');
    EXPECT_EQ(own.front(), started + "_2.log");
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
    BrowserCleanup cleanup(installer.id());
    const int showLogs = menuCommand(installer::kHelpMenu, kShowLogsItem);
    ASSERT_NE(showLogs, 0);
    const WindowState before = window.stableState();

    window.postMenuCommand(showLogs);
    // The shell's browser on the folder "Logs", and no other.
    std::vector<std::pair<HWND, std::string>> opened;
    const ULONGLONG end = GetTickCount64() + 20000;
    while ((opened = browsers(installer.id())).empty() && GetTickCount64() < end) Sleep(50);
    ASSERT_EQ(opened.size(), 1u) << "no file browser opened";
    EXPECT_EQ(opened.front().second, "Logs");
    // The installer is unchanged.
    EXPECT_EQ(window.stableState(), before);
    EXPECT_TRUE(tap.texts().empty()) << describeTexts(tapped());
    EXPECT_EQ(closeWithoutQuestion(), 0u);
}
