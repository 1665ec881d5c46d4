// ProcessThrottling: one record of the mechanisms the process has opted out of, and each change
// told to Windows as the whole state, with every mechanism still held.
#include "engine/ProcessThrottling.h"

#include "engine/SystemLibrary.h"
#include "engine/WinHandles.h"

namespace {

// SetProcessInformation and PROCESS_POWER_THROTTLING_STATE pages: a mechanism set in the
// control mask and clear in the state mask is never throttled; one left out of the control
// mask is Windows' to decide. Spelled out: the headers declare them for Windows 8 targets only.
constexpr int ProcessPowerThrottling = 4;
constexpr ULONG StateVersion = 1;
struct ThrottlingState {
    ULONG version;
    ULONG controlMask;
    ULONG stateMask;
};

// Guards `held` and `holders`: the rest timer changes them on the port's event thread, the
// power hold on the window thread. Made on first use, never destroyed.
CriticalSection& guard() {
    static CriticalSection* section = new CriticalSection();
    return *section;
}
ULONG held = 0;     // the mechanisms Windows has taken from us
int holders[32];    // by bit: the users holding that mechanism

int bitOf(ULONG mechanism) {
    int bit = 0;
    while (bit < 31 && (mechanism >> bit) != 1) ++bit;
    return bit;
}

bool tell(ULONG controlMask, ProcessThrottling::SetProcessInformationCall call) {
    ThrottlingState state = {StateVersion, controlMask, 0};
    return call != nullptr &&
           call(GetCurrentProcess(), ProcessPowerThrottling, &state, sizeof state) != FALSE;
}

}  // namespace

ProcessThrottling::SetProcessInformationCall ProcessThrottling::systemCall() {
    // kernel32 is mapped into every process, so looking into it loads nothing.
    static const SetProcessInformationCall found = [] {
        SetProcessInformationCall call = nullptr;
        SystemLibrary::entry(GetModuleHandleA("kernel32.dll"), "SetProcessInformation", call);
        return call;
    }();
    return found;
}

bool ProcessThrottling::take(ULONG mechanism, SetProcessInformationCall call) {
    auto lock = guard().lock();
    int& count = holders[bitOf(mechanism)];
    if (count == 0) {
        if (!tell(held | mechanism, call)) return false;
        held |= mechanism;
    }
    ++count;
    return true;
}

void ProcessThrottling::giveBack(ULONG mechanism, SetProcessInformationCall call) {
    auto lock = guard().lock();
    int& count = holders[bitOf(mechanism)];
    if (count == 0 || --count > 0) return;
    held &= ~mechanism;
    // Ignored result: Windows took this class's state before, and nothing else could hand the
    // mechanism back.
    tell(held, call);
}
