// The logs' folder, the naming of a start's log and the pruning of old ones.
#include "updatelog/LogFolder.h"

#include <objbase.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

const wchar_t* const LogsSubfolder = L"\\KQ7750 Firmware Installer\\Logs";

// FOLDERID_LocalAppData, spelled out so that no GUID library is needed at link time.
const KNOWNFOLDERID LocalAppDataFolder = {
    0xF1B32785, 0x6FBA, 0x4FCF, {0x9D, 0x55, 0x7B, 0x8E, 0x7F, 0x15, 0x70, 0x91}};

bool isDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }

struct OlderLog {
    FILETIME written;
    std::wstring name;
};

}  // namespace

LogFolder::LogFolder() {
    PWSTR base = nullptr;
    const HRESULT found = SHGetKnownFolderPath(LocalAppDataFolder, 0, nullptr, &base);
    const std::wstring logs =
        SUCCEEDED(found) && base != nullptr ? base + std::wstring(LogsSubfolder) : std::wstring();
    // Freed whatever the result, as the call asks.
    CoTaskMemFree(base);
    if (logs.empty()) {
        return;
    }
    // Results ignored: a folder that exists already is what is wanted, and any other
    // failure shows in the attribute check below.
    CreateDirectoryW(logs.substr(0, logs.find_last_of(L'\\')).c_str(), nullptr);
    CreateDirectoryW(logs.c_str(), nullptr);
    const DWORD attributes = GetFileAttributesW(logs.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        folder = logs;
    }
}

UniqueFileHandle LogFolder::createLog(const SYSTEMTIME& start, std::wstring& name) const {
    UniqueFileHandle file;
    name.clear();
    if (!exists()) {
        return file;
    }
    char digits[32];
    std::snprintf(digits, sizeof digits, "%04u-%02u-%02u_%02u-%02u-%02u", start.wYear, start.wMonth, start.wDay,
                  start.wHour, start.wMinute, start.wSecond);
    const std::wstring stamp(digits, digits + std::char_traits<char>::length(digits));
    // Two starts in one second get a second name, never each other's file.
    for (int attempt = 1; attempt <= 9; ++attempt) {
        const std::wstring candidate =
            stamp + (attempt > 1 ? L"_" + std::to_wstring(attempt) : L"") + L".log";
        // Shared for reading, so the engineer can open the log while the program runs.
        file.reset(CreateFileW((folder + L"\\" + candidate).c_str(), GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                               nullptr));
        if (file.valid()) {
            name = candidate;
            break;
        }
        if (GetLastError() != ERROR_FILE_EXISTS) {
            break;
        }
    }
    return file;
}

void LogFolder::prune(const std::wstring& own) const {
    if (!exists()) {
        return;
    }
    std::vector<OlderLog> older;
    std::vector<std::wstring> dumpsLogs;  // the log of each dump found
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                continue;
            }
            const std::wstring asLog =
                name.size() > 4 && name.compare(name.size() - 4, 4, L".dmp") == 0
                    ? name.substr(0, name.size() - 4) + L".log"
                    : std::wstring();
            if (isLogName(asLog)) {
                dumpsLogs.push_back(asLog);
            } else if (isLogName(name) && name != own) {
                older.push_back(OlderLog{found.ftLastWriteTime, name});
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    // Most recently written first; the name decides between equal times.
    std::sort(older.begin(), older.end(), [](const OlderLog& a, const OlderLog& b) {
        const LONG order = CompareFileTime(&a.written, &b.written);
        return order != 0 ? order > 0 : a.name > b.name;
    });
    for (size_t i = KeptLogs - 1; i < older.size(); ++i) {
        // A log open in an editor stays until a later start: ignored.
        DeleteFileW((folder + L"\\" + older[i].name).c_str());
    }
    // A dump stays while its log stays. (This start's own dump is made after the pruning.)
    const size_t keptOlder = std::min(older.size(), KeptLogs - 1);
    for (const std::wstring& log : dumpsLogs) {
        const bool kept = std::any_of(older.begin(), older.begin() + static_cast<std::ptrdiff_t>(keptOlder),
                                      [&log](const OlderLog& older) { return older.name == log; });
        if (!kept) {
            // Ignored as for a log.
            DeleteFileW((folder + L"\\" + dumpName(log)).c_str());
        }
    }
}

std::wstring LogFolder::dumpName(const std::wstring& logName) {
    return logName.substr(0, logName.size() - 4) + L".dmp";
}

bool LogFolder::isLogName(const std::wstring& name) {
    const wchar_t* const shape = L"dddd-dd-dd_dd-dd-dd";
    const size_t stem = 19;
    const size_t suffix = 4;  // ".log"
    if (name.size() < stem + suffix || name.compare(name.size() - suffix, suffix, L".log") != 0) {
        return false;
    }
    for (size_t i = 0; i < stem; ++i) {
        if (shape[i] == L'd' ? !isDigit(name[i]) : name[i] != shape[i]) {
            return false;
        }
    }
    const size_t end = name.size() - suffix;
    if (end == stem) {
        return true;
    }
    // "_N": an underscore and at least one digit, nothing else.
    if (name[stem] != L'_' || end == stem + 1) {
        return false;
    }
    for (size_t i = stem + 1; i < end; ++i) {
        if (!isDigit(name[i])) {
            return false;
        }
    }
    return true;
}
