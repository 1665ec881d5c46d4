// Launching the installer for a test; see InstallerProcess.h.
#include "tests/gui/InstallerProcess.h"

#include "tests/support/TestEnvironment.h"

#include <algorithm>
#include <cctype>

namespace {

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string nameOf(const std::string& entry) { return upper(entry.substr(0, entry.find('='))); }

// This process's environment with the given entries added or replaced, as the block
// CreateProcessA takes: sorted NAME=value strings, each ended by a null, then one more.
std::string environmentBlock(const std::vector<std::string>& changes) {
    std::vector<std::string> entries;
    LPCH own = GetEnvironmentStringsA();
    if (own) {
        for (const char* p = own; *p; p += std::char_traits<char>::length(p) + 1) {
            const std::string entry(p);
            // Entries such as "=C:=C:\\" carry the drives' current directories.
            const bool replaced = entry[0] != '=' &&
                std::any_of(changes.begin(), changes.end(),
                            [&](const std::string& c) { return nameOf(c) == nameOf(entry); });
            if (!replaced) entries.push_back(entry);
        }
        FreeEnvironmentStringsA(own);  // its result tells nothing the test could act on
    }
    entries.insert(entries.end(), changes.begin(), changes.end());
    std::sort(entries.begin(), entries.end(),
              [](const std::string& a, const std::string& b) { return upper(a) < upper(b); });
    std::string block;
    for (const std::string& entry : entries) block += entry + '\0';
    block += '\0';
    return block;
}

}  // namespace

InstallerProcess::~InstallerProcess() {
    if (running()) kill();
}

std::string InstallerProcess::defaultPath() {
    const std::string chosen = testenv::variable("KQ_INSTALLER");
    if (!chosen.empty()) return testenv::windowsPath(chosen);
    return testenv::windowsPath(testenv::variable("KQ_BUILD_DIR") + "/win/KQ7750Installer.exe");
}

bool InstallerProcess::start(const std::string& exePath, const std::vector<std::string>& environment) {
    if (running()) {
        error = "an installer started by this object is still running";
        return false;
    }
    std::string commandLine = "\"" + exePath + "\"";
    std::string block = environmentBlock(environment);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(exePath.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0,
                        environment.empty() ? nullptr : &block[0], nullptr, &startup, &info)) {
        error = "CreateProcessA(" + exePath + ") failed with error " + std::to_string(GetLastError());
        return false;
    }
    CloseHandle(info.hThread);  // the process handle is all the test needs
    process.reset(info.hProcess);
    processId = info.dwProcessId;
    error.clear();
    return true;
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
