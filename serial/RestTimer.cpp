// RestTimer: a high-resolution waitable timer where Windows has one; elsewhere the system
// timer's resolution raised to 1 ms for as long as the timer lives.
#include "serial/RestTimer.h"

namespace {

// CreateWaitableTimerExW page (synchapi.h): CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, "supported
// in Windows 10, version 1803, and later"; earlier Windows refuse the flag with
// ERROR_INVALID_PARAMETER. Such a timer keeps its own time, whatever the system timer's
// resolution and whoever else asked for one.
constexpr DWORD HighResolutionTimer = 0x00000002;

// timeBeginPeriod page (timeapi.h): TIMERR_NOERROR.
constexpr UINT TimerNoError = 0;

UINT callPeriod(UINT(WINAPI* found)(UINT), UINT period) { return found(period); }

}  // namespace

const RestTimerApi& RestTimerApi::win32() {
    static const RestTimerApi table = {&::CreateWaitableTimerExW, &callPeriod, &callPeriod,
                                       ProcessThrottling::systemCall()};
    return table;
}

RestTimer::RestTimer(const RestTimerApi& calls)
    : api(calls),
      timer(api.createWaitableTimerEx(nullptr, nullptr, HighResolutionTimer, SYNCHRONIZE | TIMER_MODIFY_STATE)) {
    if (timer) return;
    // Windows 7 to 10 1709: Sleep page, a wait lasts until the system clock's next tick
    // (15.625 ms by default); timeBeginPeriod(1) makes that about 1 ms. Since Windows 10
    // 2004 the request counts for this process only. winmm.dll is no Known DLL: it is
    // loaded from System32 here, never imported.
    winmm = std::make_unique<SystemLibrary>("winmm.dll");
    UINT(WINAPI * beginPeriod)(UINT) = nullptr;
    UINT(WINAPI * endPeriod)(UINT) = nullptr;
    if (winmm->entry("timeBeginPeriod", beginPeriod) && winmm->entry("timeEndPeriod", endPeriod) &&
        api.beginPeriod(beginPeriod, 1) == TimerNoError)
        heldPeriodEnd = endPeriod;
    // Windows 11 may ignore the raise while the window is minimized or hidden unless the
    // process opts out of that throttling. Refused before Windows 10 1709, where the raise
    // holds anyway.
    timerResolutionKept = ProcessThrottling::take(ProcessThrottling::IgnoreTimerResolution, api.setProcessInformation);
}

RestTimer::~RestTimer() {
    // timeBeginPeriod page: every call is matched by timeEndPeriod with the same value.
    if (heldPeriodEnd != nullptr) api.endPeriod(heldPeriodEnd, 1);
    if (timerResolutionKept)
        ProcessThrottling::giveBack(ProcessThrottling::IgnoreTimerResolution, api.setProcessInformation);
}

bool RestTimer::rest(HANDLE stop, DWORD milliseconds) {
    if (timer) {
        // SetWaitableTimer page: a negative due time is relative, in 100 ns units; setting
        // the timer again also clears a signal left by a rest that the stop event ended.
        LARGE_INTEGER due;
        due.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;
        if (SetWaitableTimer(timer.get(), &due, 0, nullptr, nullptr, FALSE)) {
            const HANDLE handles[2] = {stop, timer.get()};
            return WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_OBJECT_0 + 1;
        }
    }
    return WaitForSingleObject(stop, milliseconds) == WAIT_TIMEOUT;
}
