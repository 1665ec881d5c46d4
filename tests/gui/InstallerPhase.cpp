// Phase recognition and the sampling watcher; see InstallerPhase.h.
#include "tests/gui/InstallerPhase.h"

#include <cstdio>
#include <sstream>

namespace {

// The PIC being programmed, from the update box's "Programming PIC2...",
// "Verify transfered version for PIC3." or "PIC4 version is now ..." texts.
Phase picPhase(const std::string& update) {
    const size_t at = update.find("PIC");
    if (at != std::string::npos && at + 3 < update.size()) {
        switch (update[at + 3]) {
            case '3': return Phase::Pic3;
            case '4': return Phase::Pic4;
            default: break;
        }
    }
    // Before the first PIC text arrives the update has just begun, with PIC 2.
    return Phase::Pic2;
}

// 8585 as "8,585".
std::string grouped(int n) {
    std::string digits = std::to_string(n);
    for (int at = static_cast<int>(digits.size()) - 3; at > 0 && digits[at - 1] != '-'; at -= 3) digits.insert(at, ",");
    return digits;
}

}  // namespace

TransferProgress TransferProgress::fromBar(const WindowState& state, ULONGLONG elapsedMs) {
    TransferProgress progress;
    progress.records = state.progressPosition - state.progressLow;
    progress.total = state.progressHigh - state.progressLow + 1;
    progress.elapsedMs = elapsedMs;
    return progress;
}

std::string TransferProgress::describe() const {
    const int percent = total > 0 ? static_cast<int>(100LL * records / total) : 0;
    char rate[16] = "--";
    char left[16] = "-:--";
    if (elapsedMs >= 1000 && records > 0) {
        const double perSecond = records * 1000.0 / static_cast<double>(elapsedMs);
        const long long seconds = static_cast<long long>((total - records) / perSecond + 0.5);
        std::snprintf(rate, sizeof rate, "%.0f", perSecond);
        std::snprintf(left, sizeof left, "%lld:%02lld", seconds / 60, seconds % 60);
    }
    const std::string all = grouped(total);
    char line[128];
    std::snprintf(line, sizeof line, "%*s of %s records  %3d %%  %s records/s  %s left", static_cast<int>(all.size()),
                  grouped(records).c_str(), all.c_str(), percent, rate, left);
    return line;
}

const char* phaseName(Phase phase) {
    switch (phase) {
        case Phase::NotConnected: return "Not connected";
        case Phase::Connecting: return "Connecting";
        case Phase::PortNotFound: return "Port not found";
        case Phase::Connected: return "Connected";
        case Phase::GivenUp: return "Given up";
        case Phase::Pic2: return "PIC 2";
        case Phase::Pic3: return "PIC 3";
        case Phase::Pic4: return "PIC 4";
        case Phase::Erasing: return "Erasing";
        case Phase::Programming: return "Programming";
        case Phase::Complete: return "Complete";
        case Phase::FailedWhileConnecting: return "Failed while connecting";
        case Phase::FailedOtherwise: return "Failed otherwise";
        case Phase::ResponseLost: return "Response lost";
        case Phase::Unknown: break;
    }
    return "Unknown";
}

Phase classifyPhase(const WindowState& s) {
    using namespace installer;
    // The give-up changes only the connection box and the bar's state; the status box
    // keeps whatever the last retry's failure left there. A new Connect leaves the
    // connection box alone too, so with the connecting status the give-up text is stale.
    if (s.connection == kGivenUpConnection && s.status != kConnectingStatus) return Phase::GivenUp;
    if (s.status == kNotConnectedStatus) return Phase::NotConnected;
    if (s.status == kConnectingStatus) return Phase::Connecting;
    if (s.status == kPortNotFoundStatus) return Phase::PortNotFound;
    if (s.status == kConnectedStatus) return Phase::Connected;
    if (s.status == kPicStatus) return picPhase(s.update);
    if (s.status == kErasingStatus) return Phase::Erasing;
    if (s.status == kProgrammingStatus) return Phase::Programming;
    if (s.status == kCompleteStatus) return Phase::Complete;
    if (s.status == kResponseLostStatus) return Phase::ResponseLost;
    if (s.status == kFailedStatus) {
        if (s.connection == kFailedConnectingConnection) return Phase::FailedWhileConnecting;
        if (s.connection == kFailedUpdateConnection) return Phase::FailedOtherwise;
    }
    return Phase::Unknown;
}

PhaseWatcher::PhaseWatcher(const InstallerWindow& w, DWORD quietLimitMs, DWORD intervalMs)
    : window(w), quietLimit(quietLimitMs), interval(intervalMs), origin(GetTickCount64()) {}

bool PhaseWatcher::watch(const Stop& stop, DWORD timeoutMs, const Report& onPhase) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    ULONGLONG lastChange = GetTickCount64();
    wentQuiet = false;
    for (;;) {
        if (!window.exists()) return false;
        Observation sample;
        try {
            sample.state = window.stableState();
        } catch (const DriverError&) {
            // The window went away between the check and the reads.
            if (!window.exists()) return false;
            throw;
        }
        sample.atMs = GetTickCount64() - origin;
        sample.phase = classifyPhase(sample.state);
        const bool changed = seen.empty() || seen.back().state != sample.state;
        const bool newPhase = seen.empty() || seen.back().phase != sample.phase;
        if (changed) {
            seen.push_back(sample);
            lastChange = GetTickCount64();
        }
        if (newPhase && onPhase) onPhase(sample);
        if (stop(sample)) return true;
        if (GetTickCount64() >= end) return false;
        if (GetTickCount64() - lastChange >= quietLimit) {
            wentQuiet = true;
            return false;
        }
        Sleep(interval);
    }
}

std::vector<Phase> PhaseWatcher::phases() const {
    std::vector<Phase> result;
    for (const Observation& o : seen)
        if (result.empty() || result.back() != o.phase) result.push_back(o.phase);
    return result;
}

std::string PhaseWatcher::timeline() const {
    std::ostringstream out;
    out.setf(std::ios::fixed);
    out.precision(1);
    for (size_t i = 0; i < seen.size(); ++i) {
        if (i > 0 && seen[i].phase == seen[i - 1].phase) continue;
        out << (i ? ", " : "") << phaseName(seen[i].phase) << " at " << seen[i].atMs / 1000.0 << " s";
    }
    return out.str();
}

std::string PhaseWatcher::describe() const {
    std::ostringstream out;
    if (wentQuiet)
        out << "THE WINDOW SHOWED NO CHANGE FOR " << quietLimit / 1000
            << " s: stuck (a lost window action leaves the update waiting for ever)\n";
    const WindowState* shown = nullptr;
    for (const Observation& o : seen) {
        // A transfer moves the bar thousands of times: show only the other changes.
        if (shown && shown->sameApartFromPosition(o.state)) continue;
        out << "at " << o.atMs << " ms, phase " << phaseName(o.phase) << ":\n" << o.state.describe();
        shown = &o.state;
    }
    return out.str();
}
