// Runs kqsim as a child process for a native test and talks to it through the slave
// side of its pseudo-terminal, as the installer does through Wine's COM port.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace kqtest {

using Json = nlohmann::json;

std::string kqsimPath();
std::string imageDir();
std::string expectedImagesJson();
std::string readFile(const std::string& path);
// Lines of an image file without their CR LF.
std::vector<std::string> imageLines(int id);

class SimProcess {
public:
    // Starts `kqsim <args>` with a summary file of its own; ok() tells whether its
    // pseudo-terminal could be opened.
    explicit SimProcess(const std::vector<std::string>& args);
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    bool ok() const { return slave >= 0; }
    const std::string& ptyPath() const { return pty; }
    const std::string& summaryFile() const { return summaryPath; }

    void write(std::string_view bytes);
    // Everything received up to and including `marker`, or "" (and timedOut) after `ms`.
    std::string readUntil(std::string_view marker, int ms = 5000);
    // Everything that arrives within `ms`.
    std::string readFor(int ms);
    // True if the slave reports the other side gone (read fails or returns 0) within ms.
    bool hangsUpWithin(int ms);
    bool timedOut = false;
    std::string pending;  // received bytes not yet taken

    // Command, then its echo: returns the bytes received up to the echo.
    bool command(const std::string& text, int ms = 5000);
    // Sends an image record by record, each after the echo of the one before (as the
    // installer does), after `cmd`; true if every echo came back exactly.
    bool sendImage(const std::string& cmd, const std::vector<std::string>& lines, int ms = 5000);

    // SIGTERM, wait, read the summary.
    Json stop();
    // Waits for the simulator to end by itself; null Json on time-out.
    Json waitExit(int ms);
    int exitStatus = -1;

private:
    Json readSummary();

    pid_t pid = -1;
    int slave = -1;
    std::string pty;
    std::string summaryPath;
};

}  // namespace kqtest
