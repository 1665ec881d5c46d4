// Starts the installer as its own process (CreateProcessW) and collects its exit code.
#pragma once

#include "engine/WinHandles.h"

#include <windows.h>

#include <string>

class InstallerProcess {
public:
    InstallerProcess() = default;
    // A process still running at the end of a test is ended, so no test leaves one behind.
    ~InstallerProcess();
    InstallerProcess(const InstallerProcess&) = delete;
    InstallerProcess& operator=(const InstallerProcess&) = delete;

    // The installer exe: $KQ_INSTALLER when set, else the one built in the tests' own tree.
    static std::string defaultPath();

    // `exePath` in UTF-8. False with lastError() when the start failed.
    bool start(const std::string& exePath);
    // Takes on an installer that another program started, by its process id.
    bool adopt(DWORD id);
    DWORD id() const { return processId; }
    bool running() const;
    // True with the exit code once the process has ended within timeoutMs.
    bool waitExit(DWORD timeoutMs, DWORD& exitCode) const;
    // TerminateProcess and wait: only for cleaning up after a failed test.
    void kill();
    const std::string& lastError() const { return error; }

private:
    UniqueHandle process;
    DWORD processId = 0;
    std::string error;
};
