// The per-start log: its header (what the program is and where it runs) and its timed
// lines; the folder and the file's name come from LogFolder.
#include "ui/UpdateLog.h"

#include <wincrypt.h>

#include <algorithm>
#include <cstdio>

#include "ui/LogFolder.h"
#include "ui/ModuleVersion.h"

namespace {

const char* const ProgramName = "KQ7750 Firmware Installer";
// The service guide's section on the adapter's latency timer.
const char* const LatencyTimerSection = "Setting a USB adapter's latency timer";

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

// The program's own path, however long: GetModuleFileNameW fills the buffer whole when
// the path does not fit.
std::wstring programPath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (length == 0) {
            return std::wstring();
        }
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        if (path.size() >= 32768) {
            return std::wstring();
        }
        path.resize(path.size() * 2);
    }
}

// A path of MAX_PATH characters or more opens only in its "\\?\" form.
std::wstring openablePath(const std::wstring& path) {
    if (path.size() < MAX_PATH || path.compare(0, 4, L"\\\\?\\") == 0) {
        return path;
    }
    return path.compare(0, 2, L"\\\\") == 0 ? L"\\\\?\\UNC\\" + path.substr(2) : L"\\\\?\\" + path;
}

// The log is ANSI text, as the window shows it: a character the code page lacks becomes "?".
std::string ansiText(const std::wstring& text) {
    if (text.empty()) {
        return std::string();
    }
    const int size = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string ansi(static_cast<size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) {
        WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &ansi[0], size, nullptr,
                            nullptr);
    }
    return ansi;
}

// The file version of the program's own version record.
std::string fileVersion() {
    VS_FIXEDFILEINFO fixed;
    if (!ReadModuleVersion(GetModuleHandleW(nullptr), fixed)) {
        return "unknown";
    }
    char version[64];
    std::snprintf(version, sizeof version, "%u.%u.%u.%u", static_cast<unsigned>(HIWORD(fixed.dwFileVersionMS)),
                  static_cast<unsigned>(LOWORD(fixed.dwFileVersionMS)),
                  static_cast<unsigned>(HIWORD(fixed.dwFileVersionLS)),
                  static_cast<unsigned>(LOWORD(fixed.dwFileVersionLS)));
    return version;
}

// SHA-256 of a whole file with Windows' own cryptography (the AES provider has SHA-256
// since Windows XP SP3), in lower-case hex; "unavailable" when it cannot be computed.
std::string fileSha256(const std::wstring& path) {
    std::string result = "unavailable";
    HCRYPTPROV provider = 0;
    if (path.empty() ||
        !CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
        return result;
    }
    HCRYPTHASH hash = 0;
    // A running program is open for reading by others: sharing read (and delete, for a
    // copy that is being replaced) lets this open it again.
    UniqueFileHandle input(CreateFileW(openablePath(path).c_str(), GENERIC_READ,
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
      flushNextLine(false),
      transferRecords(0),
      transferBytes(0),
      transferBaud(0),
      tenthsLogged(0),
      recordsWritten(0),
      transferStartMs(0),
      lastRecordMs(0) {}

void UpdateLog::open(const std::string& releaseLabel) {
    const LogFolder logs;
    SYSTEMTIME now;
    GetLocalTime(&now);
    std::wstring own;
    file = logs.createLog(now, own);
    if (!file.valid()) {
        return;
    }
    startTick = GetTickCount64();
    filePath = logs.path() + L"\\" + own;
    logs.prune(own);

    const std::wstring path = programPath();
    char started[64];
    std::snprintf(started, sizeof started, "%04u-%02u-%02u %02u:%02u:%02u", now.wYear,
                  now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond);
    write(ProgramName);
    write(std::string("Release: ") + releaseLabel);
    write("File version: " + fileVersion());
    write("Program: " + ansiText(path));
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
    flushNextLine = true;
}

void UpdateLog::transferStarted(uint32_t records, uint64_t imageBytes, uint32_t baud) {
    transferRecords = records;
    transferBytes = imageBytes;
    transferBaud = baud;
    tenthsLogged = 0;
    recordsWritten = 0;
    transferStartMs = elapsedMs();
    lastRecordMs = transferStartMs;
}

void UpdateLog::recordsLeft(uint32_t left) {
    if (transferRecords == 0 || left > transferRecords) {
        return;
    }
    const uint32_t written = transferRecords - left;
    if (written > recordsWritten) {
        recordsWritten = written;
        lastRecordMs = elapsedMs();
    }
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
    // A PC that sleeps on battery may never wake to write it.
    flush();
}

bool UpdateLog::endUpdate(bool completed) {
    if (!updating) {
        return false;
    }
    endPhase();
    if (transferRecords != 0 && (completed || recordsWritten >= PaceMinimumRecords)) {
        logPace();
    }
    updating = false;
    transferRecords = 0;
    return true;
}

void UpdateLog::logPace() {
    if (recordsWritten == 0 || transferBaud == 0) {
        return;
    }
    const ULONGLONG ms = lastRecordMs - transferStartMs;
    const double measured = static_cast<double>(ms) / recordsWritten;
    // A record's characters at 10 bits each (start, eight data, stop). The loader echoes
    // each character as it arrives, so the echo comes back while the record is sent and
    // only its last character adds to the record's time.
    const double characters = static_cast<double>(transferBytes) / transferRecords + 1;
    const double own = characters * 10 * 1000 / transferBaud;
    char pace[160];
    std::snprintf(pace, sizeof pace,
                  " records in %s, %.1f ms a record; the line's own pace at %u baud: %.1f ms a record",
                  seconds(ms).c_str(), measured, static_cast<unsigned>(transferBaud), own);
    line("Blackfin pace: " + withThousands(recordsWritten) + pace);
    if (measured > 2 * own) {
        line(std::string("The adapter holds received bytes (for example an FTDI adapter's latency "
                         "timer): see \"") +
             LatencyTimerSection + "\" in the service guide to set it to 1 ms.");
    }
}

void UpdateLog::updateComplete() {
    if (endUpdate(true)) {
        line("Update complete. Phase times: " + phaseTimes());
        flush();
    }
}

void UpdateLog::updateFailed() {
    if (!endUpdate(false)) {
        return;
    }
    std::string shownNow;
    for (const char* where : {"update line", "connection line"}) {
        shownNow += std::string(shownNow.empty() ? "" : "; ") + where + " \"" +
                    lastShownOn(where) + "\"";
    }
    line("Update failed: " + shownNow + ". Phase times: " + phaseTimes());
    flush();
}

void UpdateLog::programClosed() {
    if (updating) {
        endPhase();
        line("Program closed during the update. Phase times: " + phaseTimes());
    } else {
        line("Program closed.");
    }
    updating = false;
    flush();
}

void UpdateLog::write(const std::string& text) {
    if (!file.valid()) {
        return;
    }
    // One write per line. It reaches Windows' file cache, which a crash of Windows itself
    // (a USB-serial driver's blue screen) or a power loss can lose: the lines that explain
    // a failure are forced to the disk by flush(), not every line, so that the window
    // thread does not wait for the disk at each text. A failed write (a full disk) is let
    // go; the program goes on as without a log.
    const std::string whole = text + "\r\n";
    DWORD written = 0;
    WriteFile(file.get(), whole.data(), static_cast<DWORD>(whole.size()), &written, nullptr);
    if (flushNextLine) {
        flushNextLine = false;
        flush();
    }
}

void UpdateLog::flush() {
    // Each phase's first line, an update's closing line and the program's last: a crash
    // after any of them leaves it, and every line before it, on the disk. A failure is let
    // go as a failed write is.
    if (file.valid()) {
        FlushFileBuffers(file.get());
    }
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
