// What the program asks of Windows' power management while an update runs: the PC and
// its display stay awake and the process is not throttled, from the update's start to
// its end, and nothing is asked for at any other time. Window thread only.
#pragma once

#include <windows.h>

#include <atomic>

#include "engine/ProcessThrottling.h"
#include "updateevents/UpdateFollower.h"

// The power calls, resolved from kernel32 at run time: Windows 7 has the power requests
// but not SetProcessInformation, and a missing entry is null. A test hands a PowerHold a
// table of its own, as the serial port takes a device table.
struct PowerApi {
    HANDLE(WINAPI* powerCreateRequest)(PREASON_CONTEXT context);
    BOOL(WINAPI* powerSetRequest)(HANDLE request, POWER_REQUEST_TYPE type);
    BOOL(WINAPI* powerClearRequest)(HANDLE request, POWER_REQUEST_TYPE type);
    BOOL(WINAPI* closeRequest)(HANDLE request);
    EXECUTION_STATE(WINAPI* setThreadExecutionState)(EXECUTION_STATE flags);
    // The process's throttling state is set through engine/ProcessThrottling with this call.
    ProcessThrottling::SetProcessInformationCall setProcessInformation;

    static const PowerApi& system();
};

class PowerHold : public UpdateFollower {
public:
    // The reason `powercfg /requests` shows for the program while it holds its request.
    static constexpr wchar_t Reason[] = L"KQ7750 Firmware Installer: instrument firmware update in progress";
    // The fallback's request: SetThreadExecutionState's state lasts while this thread lives.
    static constexpr EXECUTION_STATE AwakeState = ES_CONTINUOUS | ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED;

    PowerHold();
    ~PowerHold() override;  // clears whatever is still held
    PowerHold(const PowerHold&) = delete;
    PowerHold& operator=(const PowerHold&) = delete;

    // Both do nothing a second time.
    void hold();
    void release();
    bool held() const { return holding; }

    // As an update's follower: held from its start, let go at its end and at any way out of
    // the program, before any box (the policy's first follower).
    void onUpdateStarted(const char* firstPhase) override;
    void onUpdateEnded(UpdateEnd end) override;
    void onClosing() override;
    void onExceptionEscaped() override;

    // The fault report's release, from the report's thread (or the faulting one): what is
    // held is let go, once, by this or by the holder's own release(), which waits for this to
    // end before it returns. The fallback's execution state belongs to the window thread and
    // is handed back only on it; elsewhere it ends with the process, which the fault report
    // ends next. Takes no lock.
    static void releaseAfterFault();

    // Test seam: the table must outlive the hold; change it only while nothing is held.
    void setApi(const PowerApi& table) { api = &table; }

private:
    void dropRequest();  // clears what was set on `request` and closes it
    // release()'s work, done by whoever sets letGoTaken first; after a fault, without the
    // throttling opt-out.
    void letGo(bool throttlingToo);

    // The latest hold that is held, for the fault report: set by hold(), cleared by its
    // release() (any thread reads it).
    static std::atomic<PowerHold*> active;
    // Set while the fault report reads and lets go the hold in `active`.
    static std::atomic<bool> reportLettingGo;

    const PowerApi* api;
    HANDLE request;             // the power request, null when none was made
    bool requestSet[4];         // by POWER_REQUEST_TYPE: set on `request` and not yet cleared
    bool awakeStateSet;         // the fallback's execution state is on holderThread
    DWORD holderThread;         // the thread that called hold()
    bool throttlingOptedOut;    // Windows took the opt-out, so it is handed back
    bool holding;
    std::atomic<bool> letGoTaken;  // release() or the fault report is letting the hold go
};
