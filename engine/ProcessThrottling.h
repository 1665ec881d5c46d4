// The process's power throttling state, which Windows keeps as one value per process: the
// rest timer and the power hold each opt out of one mechanism, and only this owner tells Windows.
#pragma once

#include <windows.h>

class ProcessThrottling {
public:
    // PROCESS_POWER_THROTTLING_STATE's mechanisms (processthreadsapi.h, Windows 10 1709 on).
    static constexpr ULONG ExecutionSpeed = 0x1;
    static constexpr ULONG IgnoreTimerResolution = 0x4;

    // SetProcessInformation, as the caller found it (null where kernel32 lacks it: before
    // Windows 8). Its information class travels as its number, ProcessPowerThrottling (4).
    using SetProcessInformationCall = BOOL(WINAPI*)(HANDLE process, int informationClass, LPVOID information,
                                                    DWORD size);
    static SetProcessInformationCall systemCall();

    // Opts the process out of `mechanism`'s throttling on top of what other users hold, through
    // `call`; true when Windows took it. Windows before 10 1709 and Wine refuse the class.
    static bool take(ULONG mechanism, SetProcessInformationCall call);
    // Hands back `mechanism` if take() got it, through the same call; the others' stay. Any thread.
    static void giveBack(ULONG mechanism, SetProcessInformationCall call);
};
