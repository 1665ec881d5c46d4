// The log's header: the program's identity read from its own file and version record, and
// the Windows version it runs on.
#include "updatelog/LogHeader.h"

#include <wincrypt.h>

#include <cstdio>

#include "engine/WinHandles.h"
#include "windows/ModuleVersion.h"

namespace {

const char* const ProgramName = "KQ7750 Firmware Installer";

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

std::vector<std::string> LogHeaderLines(const std::string& releaseLabel, const SYSTEMTIME& started) {
    const std::wstring path = programPath();
    char startedText[64];
    std::snprintf(startedText, sizeof startedText, "%04u-%02u-%02u %02u:%02u:%02u", started.wYear,
                  started.wMonth, started.wDay, started.wHour, started.wMinute, started.wSecond);
    return {
        ProgramName,
        "Release: " + releaseLabel,
        "File version: " + fileVersion(),
        "Program: " + ansiText(path),
        "SHA-256: " + fileSha256(path),
        "Windows: " + windowsVersion(),
        std::string("Started: ") + startedText,
    };
}
