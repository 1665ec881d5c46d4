// The update seen from the taskbar (Windows 7 and later): its progress on the program's
// taskbar button, and the button's flash when it ends behind other windows. Window thread only.
#pragma once

#include <windows.h>
#include <shobjidl.h>

#include <cstdint>

#include "updateevents/UpdateFollower.h"

// The calls the taskbar progress makes. The program uses system(); a test hands its own
// table to see each state and value given, and to put another window in front.
struct TaskbarApi {
    // The shell's taskbar object (CLSID_TaskbarList), initialised; null where it cannot be had.
    ITaskbarList3* (*createTaskbar)();
    BOOL(WINAPI* flashWindowEx)(PFLASHWINFO info);
    HWND(WINAPI* getForegroundWindow)();

    static const TaskbarApi& system();
};

class TaskbarProgress : public UpdateFollower {
public:
    TaskbarProgress();
    ~TaskbarProgress() override;
    TaskbarProgress(const TaskbarProgress&) = delete;
    TaskbarProgress& operator=(const TaskbarProgress&) = delete;

    // The window whose button shows the progress.
    void attach(HWND window);
    // The registered message Windows sends that window once its taskbar button exists, and
    // again after Explorer has restarted: the taskbar object is made at the first, and the
    // state last set shown on it at each (an object that refuses it is made once more).
    static UINT buttonCreatedMessage();
    void buttonCreated();

    // The state the button shows from now on. A taskbar object that is missing or refuses
    // a call shows nothing, and nothing else changes.
    void none();
    void indeterminate();
    void error();
    // Normal, at `position` of 0..`top`: the progress bar's own numbers.
    void records(int32_t position, int32_t top);
    // The same while the state is normal; ignored in any other state.
    void step(int32_t position, int32_t top);

    // Flashes the button until the window comes to the front, unless the program (its
    // window or one of its boxes) is in front now.
    void flashUnlessInFront();

    // As an update's follower: nothing from Connect on, each run of records filling a normal
    // bar, a moving one during the erase; at the end none after a completion, the error state
    // after a failure (until the next Connect), and a flash when another program is in front.
    void onConnectPressed(const std::string& portRow) override;
    void onEraseStarted() override;
    void onRecordsStarted(const RecordsStart& start) override;
    void onRecordStep(int32_t position, int32_t top, uint32_t recordsLeft) override;
    void onUpdateEnded(UpdateEnd end) override;

    // Test seam: the table must outlive the object. An object made through the table before
    // is let go; the next buttonCreated makes one through this table.
    void setApi(const TaskbarApi& table);

private:
    // False where there is no object or window, or the object refused a call.
    bool show(bool stateChanged);

    const TaskbarApi* api;
    HWND window;
    ITaskbarList3* taskbar;  // one reference once the button exists, else null
    TBPFLAG state;
    int32_t position;
    int32_t top;
    int shownPercent;        // of the value last given, or -1 for none yet
};
