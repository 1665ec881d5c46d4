// The phases of the update as the main window shows them, recognised from what the
// window displays, and a watcher that samples the window and records each change.
#pragma once

#include "tests/gui/InstallerWindow.h"

#include <functional>
#include <string>
#include <vector>

// The installer's own texts that mark a phase.
namespace installer {
constexpr const char* kNotConnectedStatus = "Select the computer's COM port, and press 'Connect' to continue...";
constexpr const char* kNotConnectedConnection = "Not connected.";
constexpr const char* kNotConnectedUpdate = "Awaiting connection.";
constexpr const char* kConnectingStatus = "Attempting to connect to instrument...";
constexpr const char* kRetryingConnection = "Retrying KQ7750 connection...";
constexpr const char* kGivenUpConnection = "The KQ7750 is not responding to commands...";
constexpr const char* kPortNotFoundStatus = "Press 'connect' when ready to retry connection...";
constexpr const char* kConnectedStatus = "Connected - Press the 'Update Instrument' button when ready to continue...";
constexpr const char* kConnectedUpdate = "Ready to update the instrument's software.";
constexpr const char* kPicStatus =
    "Reprogramming instrument sub-components - do not switch off unit or cancel operation...";
constexpr const char* kErasingStatus = "Erasing application memory - do not switch off unit or cancel operation...";
constexpr const char* kErasingUpdate = "Erasing application memory...";
constexpr const char* kProgrammingStatus = "Reprogramming instrument - do not switch off unit or cancel operation...";
constexpr const char* kProgrammingUpdate = "Programming application...";
constexpr const char* kTransferCompleteUpdate = "Application firmware data transfer complete.";
constexpr const char* kCompleteStatus =
    "The KQ7750 has been updated successfully - Reset the KQ7750 'UPDATE' switch and power cycle the unit.";
constexpr const char* kCompleteCaption = "Update Complete";
constexpr const char* kFailedStatus = "Communications error - Press 'Connect' to retry connection...";
constexpr const char* kFailedConnectingConnection = "Failed to establish connection with KQ7750.";
constexpr const char* kFailedUpdateConnection = "Communications error - Update aborted!";
constexpr const char* kResponseLostConnection = "Connection to KQ7750 lost.";
constexpr const char* kResponseLostStatus = "No response received!";
constexpr const char* kExitCaption = "The update procedure is not yet complete!";
constexpr const char* kExitText =
    "Warning: Exiting before completion of the update process will leave the instrument inoperable."
    "\r\n\r\nPress 'OK' if you are sure you want to exit the application.";
}  // namespace installer

enum class Phase {
    Unknown,
    NotConnected,
    Connecting,
    PortNotFound,
    Connected,
    GivenUp,
    Pic2,
    Pic3,
    Pic4,
    Erasing,
    Programming,
    Complete,
    FailedWhileConnecting,
    FailedOtherwise,
    ResponseLost,
};

const char* phaseName(Phase phase);
// The phase whose texts the window shows; Unknown when they match none.
Phase classifyPhase(const WindowState& state);

// How far the Blackfin transfer has come. Each record written steps the bar once, clamped
// at its maximum (the record count minus one), so the bar counts the records done.
struct TransferProgress {
    int records = 0;
    int total = 0;
    ULONGLONG elapsedMs = 0;  // since the transfer began

    // From a sample of the transfer: the bar's position and range.
    static TransferProgress fromBar(const WindowState& state, ULONGLONG elapsedMs);
    // One short line, e.g. "4,213 of 8,585 records   49 %  96 records/s  0:46 left", the
    // rate and the time left from the average so far; they read "--" and "-:--" until a
    // second has passed.
    std::string describe() const;
};

struct Observation {
    ULONGLONG atMs = 0;  // since the watcher was made
    Phase phase = Phase::Unknown;
    WindowState state;
};

// Samples the main window every 50 ms or so and keeps every state that
// differs from the one before (the bar's position included).
class PhaseWatcher {
public:
    using Stop = std::function<bool(const Observation&)>;
    using Report = std::function<void(const Observation&)>;

    // A window that shows no change at all for quietLimitMs while watched is stuck:
    // every phase of the installer moves its bar or its texts more often than that.
    explicit PhaseWatcher(const InstallerWindow& window, DWORD quietLimitMs = 30000, DWORD intervalMs = 50);

    // Samples until `stop` holds for a sample (true), or the time is up, the window has
    // gone or it has stayed unchanged for the quiet limit (false; see quiet()).
    // `onPhase`, when given, hears of each change of phase.
    bool watch(const Stop& stop, DWORD timeoutMs, const Report& onPhase = Report());
    // The last watch ended because nothing changed for the quiet limit.
    bool quiet() const { return wentQuiet; }

    const std::vector<Observation>& history() const { return seen; }
    const Observation& last() const { return seen.back(); }
    // The phases seen, each run of equal phases counted once.
    std::vector<Phase> phases() const;
    // When each of those phases was first seen, e.g. "PIC 2 at 0.1 s, PIC 3 at 1.6 s".
    std::string timeline() const;
    // The samples that changed more than the bar's position, for a failure message.
    std::string describe() const;

private:
    const InstallerWindow& window;
    DWORD quietLimit;
    DWORD interval;
    bool wentQuiet = false;
    ULONGLONG origin;
    std::vector<Observation> seen;
};
