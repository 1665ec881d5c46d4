// The event thread's clock for its short rests: about 1 ms on Windows 7 to 11 with the
// system timer at its default, where a plain Sleep(1) lasts until the next 15.625 ms tick.
#pragma once

#include <windows.h>

#include <memory>

#include "engine/ProcessThrottling.h"
#include "engine/SystemLibrary.h"
#include "engine/WinHandles.h"

// The calls the timer makes to Windows. The program always uses win32(); a test hands a
// timer its own table to take the path of a Windows that refuses the high-resolution timer,
// and to see the fallback's raise of the system timer's resolution begun and ended, and its
// opt-out of the timer-resolution throttling taken and handed back.
struct RestTimerApi {
    decltype(&::CreateWaitableTimerExW) createWaitableTimerEx;
    // winmm's timeBeginPeriod and timeEndPeriod, as found in winmm.dll, called with `period`.
    UINT (*beginPeriod)(UINT(WINAPI* found)(UINT), UINT period);
    UINT (*endPeriod)(UINT(WINAPI* found)(UINT), UINT period);
    ProcessThrottling::SetProcessInformationCall setProcessInformation;

    static const RestTimerApi& win32();
};

// Made by the event thread when it starts and gone when it ends, so whatever it raises
// in Windows is held only while the port is open.
class RestTimer {
public:
    // The table must outlive the timer.
    explicit RestTimer(const RestTimerApi& api = RestTimerApi::win32());
    ~RestTimer();
    RestTimer(const RestTimer&) = delete;
    RestTimer& operator=(const RestTimer&) = delete;

    // Waits `milliseconds`, or less when `stop` is signalled; false when it was (or when
    // the wait failed, which only a torn-down stop event can cause).
    bool rest(HANDLE stop, DWORD milliseconds);

private:
    const RestTimerApi& api;
    UniqueHandle timer;  // a high-resolution waitable timer, null where Windows has none
    // The fallback: the system timer's resolution raised to 1 ms through winmm.dll, loaded
    // only then; heldPeriodEnd is set only while the raise is held, and ends it.
    std::unique_ptr<SystemLibrary> winmm;
    UINT(WINAPI* heldPeriodEnd)(UINT) = nullptr;
    bool timerResolutionKept = false;  // the fallback's opt-out, handed back with the timer
};
