// The window side of the update procedure: owns the main dialog's control
// wrappers, the port list's numbers, the update engine, the firmware image handed
// to the engine and its timers. Every member runs on the window thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "firmware/FirmwareResource.h"
#include "ui/AppControllerBase.h"
#include "ui/ProgressBarWidget.h"
#include "ui/Widgets.h"
#include "updateevents/UpdateFollowers.h"
#include "updatelog/UpdateLog.h"
#include "windows/PowerHold.h"
#include "windows/TaskbarProgress.h"

class ScreenReaderSupport;
class UpdateEngine;

class InstallerController : public InstallerControllerBase {
public:
    static constexpr UINT_PTR ConnectTimerId = 1;
    static constexpr UINT ConnectTimerPeriodMs = 500;
    static constexpr UINT ResponseTimerPeriodMs = 2000;
    // Beside the connect timer (1) and the engine's response timer (2).
    static constexpr UINT_PTR PortListTimerId = 3;
    // Windows sends several device-change messages for one plug: the list is filled
    // again once they have been quiet this long.
    static constexpr UINT PortListSettleMs = 300;
    static constexpr uint32_t TicksPerAttempt = 8;
    static constexpr uint32_t MaxRetries = 3;
    static constexpr int32_t ConnectProgressTop = 23;
    static constexpr int32_t EraseProgressTop = 12;

    explicit InstallerController(HINSTANCE instance);
    ~InstallerController() override;
    InstallerController(const InstallerController&) = delete;
    InstallerController& operator=(const InstallerController&) = delete;

    // Slots 1 to 13.
    int Run() override;
    BOOL OnInitDialog(HWND dialog) override;
    void OnStatus(const std::string& text, int32_t kind) override;
    void OnPortNotFound() override;
    void OnConnected(bool connected) override;
    void OnPicProgram() override;
    void OnBlackfinErasePreamble() override;
    void OnBlackfinErasePostamble() override;
    void OnProgressed(uint32_t recordsLeft) override;
    void OnComplete() override;
    void OnFailed() override;
    void OnNextPic() override;
    void OnBlackfinProgramPreamble() override;

    // Handlers of the dialog procedure and the timer procedure.
    BOOL OnConnectClicked(WORD notification);
    BOOL OnUpdateClicked(WORD notification);
    void OnConnectTimer();
    void OnResponseTimeout();
    BOOL OnEngineTimer(WPARAM id, bool start);
    // WM_DEVICECHANGE with its event (wParam).
    void OnDeviceChange(WPARAM event);
    void OnPortListTimer();
    // Help, Show Update Logs: the logs' folder in Windows' file browser.
    void OnShowLogs();
    // WM_POWERBROADCAST with PBT_APMSUSPEND: Windows is about to sleep or hibernate.
    void OnSuspend();
    // The registered "TaskbarButtonCreated" message: the window's taskbar button exists.
    void OnTaskbarButtonCreated();
    bool ConfirmExit();

    // True while one of the controller's own message boxes is open: the main
    // window stays live meanwhile, so a close must not destroy the controller
    // under the handler that waits for the box.
    bool InsideMessageBox() const { return messageBoxDepth > 0; }

    // "v" + major + "." + two-digit minor of the program's product version, or
    // "Version undefined".
    static std::string FormatVersionText();
    // The same for any loaded module (null: "Version undefined"); the program's own is
    // what FormatVersionText uses.
    static std::string FormatVersionTextOf(HMODULE module);

    // WinMain's box for an exception that ends the program, with its text in the log and the
    // one controller's power hold let go before it: the box may stand for hours.
    static void ShowEscapedException(const char* text);

    // Timer procedure of both timers; routes by identifier to the one controller.
    static void CALLBACK TimerProc(HWND window, UINT message, UINT_PTR id, DWORD time);

    // Fields in the design's order; the resource trio lives in `resource`.
    HINSTANCE instance;
    HWND dialog;                          // null before OnInitDialog
    FirmwareResource resource;            // the image handed to the engine, if any
    std::vector<int32_t> portNumbers;     // COM number behind each port-list row
    std::unique_ptr<LabelWidget> releaseLabel;
    std::unique_ptr<ButtonWidget> connectButton;
    std::unique_ptr<ButtonWidget> updateButton;
    std::unique_ptr<EditWidget> connectionBox;
    std::unique_ptr<EditWidget> updateBox;
    std::unique_ptr<EditWidget> statusBox;
    EditWidget* detailBox;                // where kind-0 status texts go; not owned
    std::unique_ptr<ComboWidget> portCombo;
    std::unique_ptr<ProgressBarWidget> progressBar;
    uint32_t connectTicks;                // ticks in the current connection attempt
    uint32_t connectRetries;              // retries since Connect was pressed
    int32_t picStep;                      // 0, 1, 2 for PIC 2, 3, 4
    UINT_PTR connectTimer;                // 1 while the connect timer runs, else 0
    UINT_PTR responseTimer;               // the engine's id (2) while running, else 0
    UINT_PTR portListTimer;               // 3 while a device change waits to be shown, else 0
    // The update's followers, told each event in this order, which is policy: the power
    // hold first (the PC held before anything else at a start, let go first at an end, before
    // any box), then the taskbar button, then the log, whose closing line comes last.
    // Keeps the PC awake and the process unthrottled from an update's start to its end;
    // nothing is held while idle or connected.
    PowerHold powerHold;
    // The update on the window's taskbar button; nothing while idle or connected.
    TaskbarProgress taskbar;
    UpdateLog updateLog;                  // this start's log; opened by Run
    UpdateFollowers followers;            // the three above

private:
    // Adds the rows of the present ports (or the fixed list when the Setup API cannot
    // be used) to an empty list; returns the row to select first.
    int fillPortList();
    void refreshPortList();
    void stopTimers();
    void closePort();
    uint32_t engineMode();
    // The engine Idle with its port closed: the window has ended the last attempt
    // (failure or completion), and nothing of that attempt is still under way.
    bool attemptEnded();
    void setIdleAndClosePort();
    void enablePortControls();  // Connect and port list on, Update off, arrow cursor
    // Update Instrument's start and the one end of each update, whatever ended it; a second
    // end (a failure reported after a refused image) is not told again.
    void startUpdate();
    void endUpdate(UpdateEnd end);
    bool loadImage(WORD id, const char* type);
    int showMessageBox(const char* text, const char* caption, UINT flags);
    // Names each control as a screen reader should read it, and makes the status line
    // a live region; `release` is the release label's text.
    void prepareForScreenReaders(const std::string& release);

    std::unique_ptr<UpdateEngine> engine;  // created by OnInitDialog; g_engine aliases it
    int messageBoxDepth;                   // nesting of open message boxes
    bool updateRunning;                    // from Update Instrument to the update's end
    bool updateEndTold;                    // since the last Connect or Update Instrument
    std::unique_ptr<ScreenReaderSupport> screenReader;  // created by OnInitDialog
};

// The one installer controller, or null when g_controller holds none (or another kind).
InstallerController* TheInstallerController();
