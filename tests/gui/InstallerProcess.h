// Starts the installer as its own process (CreateProcessA), with extra environment
// variables when a test needs them, and collects its exit code.
#pragma once

#include "engine/WinHandles.h"

#include <windows.h>

#include <string>
#include <vector>

class InstallerProcess {
public:
    InstallerProcess() = default;
    // A process still running at the end of a test is ended, so no test leaves one behind.
    ~InstallerProcess();
    InstallerProcess(const InstallerProcess&) = delete;
    InstallerProcess& operator=(const InstallerProcess&) = delete;

    // The installer exe: $KQ_INSTALLER when set, else the one built beside the tests.
    static std::string defaultPath();

    // `environment` holds NAME=value entries added to (or replacing those of) this
    // process's own environment. False with lastError() when the start failed.
    bool start(const std::string& exePath, const std::vector<std::string>& environment = {});
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
