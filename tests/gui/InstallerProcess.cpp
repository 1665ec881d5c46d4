// Launching the installer for a test; see InstallerProcess.h.
#include "tests/gui/InstallerProcess.h"

#include "tests/support/TestEnvironment.h"

InstallerProcess::~InstallerProcess() {
    if (running()) kill();
}

std::string InstallerProcess::defaultPath() {
    const std::string chosen = testenv::variable("KQ_INSTALLER");
    if (!chosen.empty()) return testenv::windowsPath(chosen);
    // Each build tree's tests run the installer of their own width: the text tap's hook DLL
    // can only enter a process of the driver's own width.
    return testenv::windowsPath(KQ_INSTALLER_FILE);
}

bool InstallerProcess::start(const std::string& exePath) {
    if (running()) {
        error = "an installer started by this object is still running";
        return false;
    }
    // The path is UTF-8: a folder named outside the ANSI code page is started as any other.
    std::wstring path(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, exePath.c_str(), -1, nullptr, 0)), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, exePath.c_str(), -1, &path[0], static_cast<int>(path.size()));
    path.resize(path.empty() ? 0 : path.size() - 1);
    std::wstring commandLine = L"\"" + path + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(path.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &info)) {
        error = "CreateProcessW(" + exePath + ") failed with error " + std::to_string(GetLastError());
        return false;
    }
    CloseHandle(info.hThread);  // the process handle is all the test needs
    process.reset(info.hProcess);
    processId = info.dwProcessId;
    error.clear();
    return true;
}

bool InstallerProcess::adopt(DWORD id) {
    process.reset(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, id));
    processId = process.valid() ? id : 0;
    error = process.valid() ? std::string() : "OpenProcess(" + std::to_string(id) + ") failed with error " +
                                                  std::to_string(GetLastError());
    return process.valid();
}

bool InstallerProcess::running() const {
    return process.valid() && WaitForSingleObject(process.get(), 0) == WAIT_TIMEOUT;
}

bool InstallerProcess::waitExit(DWORD timeoutMs, DWORD& exitCode) const {
    if (!process.valid()) return false;
    if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0) return false;
    return GetExitCodeProcess(process.get(), &exitCode) != FALSE;
}

void InstallerProcess::kill() {
    if (!process.valid()) return;
    if (TerminateProcess(process.get(), 99)) WaitForSingleObject(process.get(), 10000);
}
