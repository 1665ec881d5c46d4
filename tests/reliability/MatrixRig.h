// One installer process driven across many runs: the loader simulator on COM1 through the
// rig daemon, the installer's window and text tap, and the steps every run is made of
// (Connect, Update Instrument, the completion box), each timed from its click.
#pragma once

// The rig client's winsock2.h has to come before any windows.h.
#include "tests/support/RigClient.h"

#include "tests/gui/InstallerPhase.h"
#include "tests/gui/InstallerProcess.h"
#include "tests/gui/InstallerWindow.h"
#include "tests/gui/TextTap.h"
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

// What a watched step ended in.
struct StepResult {
    bool ended = false;           // a final phase was reached before the deadline
    bool quiet = false;           // the window showed no change for the watcher's quiet limit
    Phase phase = Phase::Unknown; // the phase it ended in
    ULONGLONG ms = 0;             // from the click to the first sample in that phase
    bool completionBox = false;   // "Update Complete" was shown (and answered)
    std::string completionText;
    std::string history;          // the watcher's samples, for failure messages
    std::vector<Phase> phases;
};

class MatrixRig {
public:
    static constexpr const char* kPortDescription = "KQ Rig Serial Port";

    // False with `error` when the rig or the installer could not be brought up.
    bool prepare(std::string& error);
    // Registers COM1 (once) and starts the installer unless it still runs.
    bool ensureInstaller(std::string& error);
    bool installerRunning() const { return installer.running(); }
    // Ends the installer: WM_CLOSE, then a kill if it is still there.
    void closeInstaller();

    // `kqsim loader` on COM1, unpaced, with the images' digests and then `options`.
    bool startLoader(const std::string& options, std::string& error);
    // Ends the running simulator (if any) and parses its summary.
    bool stopLoader(nlohmann::json& summary, std::string& error);
    // COM1 leads nowhere: a missing device.
    bool unlinkCom(std::string& error);

    // Presses Connect and waits until Connected, PortNotFound or GivenUp.
    StepResult connect(DWORD deadlineMs);
    // Presses Update Instrument and waits until Complete (answering its box), a failure, or
    // 10 s without any change in the window (every phase moves its bar more often).
    StepResult update(DWORD deadlineMs);
    // True when the window answers a message within timeoutMs.
    bool responsive(DWORD timeoutMs = 5000) const;

    // Every target holds exactly its image, by the simulator's digests.
    static bool allTargetsExact(const nlohmann::json& summary, std::string* why = nullptr);
    // The simulator's command log from the last sign-on on is exactly one update's commands,
    // each once, in the order of an update.
    static bool commandsOnceInOrder(const nlohmann::json& summary, std::string* why = nullptr);

    // The text tap's hook runs inside the installer; a soak can leave it out, so that what
    // it measures is the installer's alone.
    bool attachTap = true;
    // How often the watchers read the window; every read is a burst of cross-process messages.
    DWORD sampleIntervalMs = 50;

    InstallerProcess installer;
    InstallerWindow window;
    TextTap tap;

private:
    RigClient rig;
    bool comRegistered = false;
    int loaderId = -1;
};

// Readable tapped texts, from record `from` on.
std::string describeTapped(const TextTap& tap, size_t from);
