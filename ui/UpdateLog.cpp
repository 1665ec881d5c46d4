// The per-start log: where it lives, its header (what the program is and where it runs),
// and its timed lines.
#include "ui/UpdateLog.h"

#include <shlobj.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>

namespace {

const char* const ProgramName = "KQ7750 Firmware Installer";
const char* const LogsSubfolder = "\\KQ7750 Firmware Installer\\Logs";

// "YYYY-MM-DD_hh-mm-ss" followed by nothing or a "_n" of a second start in the same
// second, then ".log". Other files in the folder are never removed.
bool isLogName(const std::string& name) {
    const char* const shape = "dddd-dd-dd_dd-dd-dd";
    const size_t stem = 19;
    if (name.size() < stem + 4 || name.compare(name.size() - 4, 4, ".log") != 0) {
        return false;
    }
    for (size_t i = 0; i < stem; ++i) {
        const bool digit = name[i] >= '0' && name[i] <= '9';
        if (shape[i] == 'd' ? !digit : name[i] != shape[i]) {
            return false;
        }
    }
    return true;
}

std::string withThousands(uint32_t value) {
    std::string digits = std::to_string(value);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) {
        digits.insert(static_cast<size_t>(at), ",");
    }
    return digits;
}

std::string seconds(ULONGLONG ms) {
    char duration[32];
    std::snprintf(duration, sizeof duration, "%llu.%02llu s", ms / 1000, (ms % 1000) / 10);
    return duration;
}

std::string programPath() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    // A full buffer means a truncated path, which would name another file.
    return length == 0 || length >= sizeof path ? std::string() : std::string(path, length);
}

// The file version of the program's own version record, read from its resource so that
// no version DLL is needed.
std::string fileVersion() {
    HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(1), MAKEINTRESOURCEA(16));  // RT_VERSION
    HGLOBAL loaded = found ? LoadResource(nullptr, found) : nullptr;
    const BYTE* data = loaded ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
    const DWORD size = found ? SizeofResource(nullptr, found) : 0;
    // VS_FIXEDFILEINFO begins with its signature on a 32-bit boundary after the key.
    for (DWORD at = 0; data != nullptr && at + sizeof(VS_FIXEDFILEINFO) <= size; at += 4) {
        const VS_FIXEDFILEINFO* fixed = reinterpret_cast<const VS_FIXEDFILEINFO*>(data + at);
        if (fixed->dwSignature == 0xFEEF04BD) {
            char version[64];
            std::snprintf(version, sizeof version, "%u.%u.%u.%u",
                          static_cast<unsigned>(HIWORD(fixed->dwFileVersionMS)),
                          static_cast<unsigned>(LOWORD(fixed->dwFileVersionMS)),
                          static_cast<unsigned>(HIWORD(fixed->dwFileVersionLS)),
                          static_cast<unsigned>(LOWORD(fixed->dwFileVersionLS)));
            return version;
        }
    }
    return "unknown";
}

// SHA-256 of a whole file with Windows' own cryptography (the AES provider has SHA-256
// since Windows XP SP3), in lower-case hex; "unavailable" when it cannot be computed.
std::string fileSha256(const std::string& path) {
    std::string result = "unavailable";
    HCRYPTPROV provider = 0;
    if (path.empty() ||
        !CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        return result;
    }
    HCRYPTHASH hash = 0;
    // A running program is open for reading by others: sharing read (and delete, for a
    // copy that is being replaced) lets this open it again.
    UniqueFileHandle input(CreateFileA(path.c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (input.valid() && CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) {
        std::vector<BYTE> buffer(64 * 1024);
        bool whole = false;
        for (;;) {
            DWORD got = 0;
            if (!ReadFile(input.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got,
                          nullptr)) {
                break;
            }
            if (got == 0) {
                whole = true;
                break;
            }
            if (!CryptHashData(hash, buffer.data(), got, 0)) {
                break;
            }
        }
        BYTE digest[32];
        DWORD digestSize = sizeof digest;
        if (whole && CryptGetHashParam(hash, HP_HASHVAL, digest, &digestSize, 0) &&
            digestSize == sizeof digest) {
            result.clear();
            for (BYTE b : digest) {
                char hex[3];
                std::snprintf(hex, sizeof hex, "%02x", b);
                result += hex;
            }
        }
        CryptDestroyHash(hash);
    }
    CryptReleaseContext(provider, 0);
    return result;
}

// The version Windows really is: GetVersionEx answers what the manifest declares support
// for, RtlGetVersion does not. ntdll is in every process, so no library is loaded.
std::string windowsVersion() {
    struct VersionInfo {  // RTL_OSVERSIONINFOW
        ULONG size;
        ULONG major;
        ULONG minor;
        ULONG build;
        ULONG platform;
        WCHAR servicePack[128];
    };
    using RtlGetVersionFunction = LONG(WINAPI*)(VersionInfo*);
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    const FARPROC address = ntdll ? GetProcAddress(ntdll, "RtlGetVersion") : nullptr;
    VersionInfo info = {};
    info.size = sizeof info;
    if (address == nullptr ||
        reinterpret_cast<RtlGetVersionFunction>(reinterpret_cast<void (*)()>(address))(&info) != 0) {
        return "unknown";
    }
    char version[300];
    char servicePack[200] = {};
    // A lossy conversion only blurs the service pack's name.
    WideCharToMultiByte(CP_ACP, 0, info.servicePack, -1, servicePack, sizeof servicePack - 1,
                        nullptr, nullptr);
    std::snprintf(version, sizeof version, "%lu.%lu build %lu%s%s", info.major, info.minor,
                  info.build, servicePack[0] ? ", " : "", servicePack);
    return version;
}

}  // namespace

UpdateLog::UpdateLog()
    : startTick(GetTickCount64()),
      phaseRunning(false),
      updating(false),
      transferRecords(0),
      tenthsLogged(0) {}

std::string UpdateLog::createFolder() {
    char base[MAX_PATH];
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, base))) {
        return std::string();
    }
    std::string folder = base;
    const std::string logs = folder + LogsSubfolder;
    // Results ignored: a folder that exists already is what is wanted, and any other
    // failure shows in the attribute check below.
    CreateDirectoryA(logs.substr(0, logs.find_last_of('\\')).c_str(), nullptr);
    CreateDirectoryA(logs.c_str(), nullptr);
    const DWORD attributes = GetFileAttributesA(logs.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return std::string();
    }
    return logs;
}

void UpdateLog::open(const std::string& releaseLabel) {
    const std::string folder = createFolder();
    if (folder.empty()) {
        return;
    }
    SYSTEMTIME now;
    GetLocalTime(&now);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u_%02u-%02u-%02u", now.wYear, now.wMonth,
                  now.wDay, now.wHour, now.wMinute, now.wSecond);
    std::string own;
    // Two starts in one second get a second name, never each other's file.
    for (int attempt = 1; attempt <= 9 && !file.valid(); ++attempt) {
        own = std::string(stamp) + (attempt > 1 ? "_" + std::to_string(attempt) : "") + ".log";
        // Shared for reading, so the engineer can open the log while the program runs.
        file.reset(CreateFileA((folder + "\\" + own).c_str(), GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file.valid() && GetLastError() != ERROR_FILE_EXISTS) {
            return;
        }
    }
    if (!file.valid()) {
        return;
    }
    startTick = GetTickCount64();

    // The names are the start times, so name order is age order.
    std::vector<std::string> older;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*.log").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::string name = found.cFileName;
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && isLogName(name) &&
                name != own) {
                older.push_back(name);
            }
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    std::sort(older.begin(), older.end());
    for (size_t i = 0; i + KeptLogs < older.size(); ++i) {
        // A log open in an editor stays until a later start: ignored.
        DeleteFileA((folder + "\\" + older[i]).c_str());
    }

    const std::string path = programPath();
    char started[64];
    std::snprintf(started, sizeof started, "%04u-%02u-%02u %02u:%02u:%02u", now.wYear,
                  now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
    write(ProgramName);
    write(std::string("Release: ") + releaseLabel);
    write("File version: " + fileVersion());
    write("Program: " + path);
    write("SHA-256: " + fileSha256(path));
    write("Windows: " + windowsVersion());
    write(std::string("Started: ") + started);
}

void UpdateLog::line(const std::string& text) {
    if (!file.valid()) {
        return;
    }
    char time[32];
    std::snprintf(time, sizeof time, "%9llu ms  ", elapsedMs());
    write(time + text);
}

void UpdateLog::shown(const char* where, const std::string& text) {
    if (!file.valid()) {
        return;
    }
    // A text with line breaks (the exit question) stays on one line of the log.
    std::string flat = text;
    std::replace(flat.begin(), flat.end(), '\r', ' ');
    std::replace(flat.begin(), flat.end(), '\n', ' ');
    line(std::string(where) + ": " + flat);
    for (auto& last : lastShown) {
        if (last.first == where) {
            last.second = flat;
            return;
        }
    }
    lastShown.emplace_back(where, flat);
}

void UpdateLog::connectPressed(const std::string& portRow) {
    line("Connect: " + portRow);
    // A new connection ends whatever the last one left running; its phases start afresh.
    transferRecords = 0;
    updating = false;
    phases.clear();
    phaseRunning = false;
    phaseStarted("connect");
}

void UpdateLog::connected() {
    endPhase();
}

void UpdateLog::updateStarted(const char* phase) {
    line("Update started");
    updating = true;
    phaseStarted(phase);
}

void UpdateLog::phaseStarted(const char* phase) {
    endPhase();
    const ULONGLONG now = elapsedMs();
    phases.push_back(PhaseTime{phase, now, now});
    phaseRunning = true;
}

void UpdateLog::transferStarted(uint32_t records) {
    transferRecords = records;
    tenthsLogged = 0;
}

void UpdateLog::recordsLeft(uint32_t left) {
    if (transferRecords == 0 || left > transferRecords) {
        return;
    }
    const uint32_t written = transferRecords - left;
    // Only when a tenth is reached is the disk touched on the record path: one small write.
    const uint32_t tenths =
        static_cast<uint32_t>(static_cast<uint64_t>(written) * 10 / transferRecords);
    if (tenths > tenthsLogged) {
        tenthsLogged = tenths;
        line("Blackfin: " + withThousands(written) + " of " + withThousands(transferRecords) +
             " records");
    }
}

void UpdateLog::suspending() {
    line("Windows is suspending the PC: the update will stop");
}

bool UpdateLog::endUpdate() {
    if (!updating) {
        return false;
    }
    endPhase();
    updating = false;
    transferRecords = 0;
    return true;
}

void UpdateLog::updateComplete() {
    if (endUpdate()) {
        line("Update complete. Phase times: " + phaseTimes());
    }
}

void UpdateLog::updateFailed() {
    if (!endUpdate()) {
        return;
    }
    std::string shownNow;
    for (const char* where : {"update line", "connection line"}) {
        shownNow += std::string(shownNow.empty() ? "" : "; ") + where + " \"" +
                    lastShownOn(where) + "\"";
    }
    line("Update failed: " + shownNow + ". Phase times: " + phaseTimes());
}

void UpdateLog::programClosed() {
    if (updating) {
        endPhase();
        line("Program closed during the update. Phase times: " + phaseTimes());
    } else {
        line("Program closed.");
    }
    updating = false;
}

void UpdateLog::write(const std::string& text) {
    if (!file.valid()) {
        return;
    }
    // One write per line: a PC that loses power leaves every earlier line whole. A failed
    // write (a full disk) is let go; the program goes on as without a log.
    const std::string whole = text + "\r\n";
    DWORD written = 0;
    WriteFile(file.get(), whole.data(), static_cast<DWORD>(whole.size()), &written, nullptr);
}

ULONGLONG UpdateLog::elapsedMs() const {
    return GetTickCount64() - startTick;
}

void UpdateLog::endPhase() {
    if (phaseRunning && !phases.empty()) {
        phases.back().endMs = elapsedMs();
    }
    phaseRunning = false;
}

std::string UpdateLog::phaseTimes() {
    std::string times;
    for (const PhaseTime& phase : phases) {
        times += (times.empty() ? "" : ", ") + phase.name + " " + seconds(phase.endMs - phase.startMs);
    }
    return times.empty() ? "none" : times;
}

std::string UpdateLog::lastShownOn(const char* where) const {
    for (const auto& last : lastShown) {
        if (last.first == where) {
            return last.second;
        }
    }
    return std::string();
}
