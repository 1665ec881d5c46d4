// The installer's controller: what each button, timer and engine result does to
// the main window, and which engine step it starts next.
#include "ui/InstallerController.h"

#include <commctrl.h>
#include <dbt.h>
#include <objbase.h>
#include <shellapi.h>

#include <cstdio>
#include <exception>
#include <utility>
#include <vector>

#include "engine/Actions.h"
#include "engine/UpdateEngine.h"
#include "faultreport/FaultReport.h"
#include "firmware/ImageCheck.h"
#include "resources/resource.h"
#include "serial/FailureReports.h"
#include "serial/SerialPort.h"
#include "ui/PortEnumerator.h"
#include "updatelog/LogFolder.h"
#include "windows/ModuleVersion.h"
#include "windows/ScreenReaderSupport.h"

namespace {

const char* const NotConnectedText = "Not connected.";
const char* const AwaitingConnectionText = "Awaiting connection.";
const char* const SelectPortText =
    "Select the computer's COM port, and press 'Connect' to continue...";
const char* const AttemptingText = "Attempting to connect to instrument...";
const char* const RetryingText = "Retrying KQ7750 connection...";
const char* const NotRespondingText = "The KQ7750 is not responding to commands...";
const char* const RetryWhenReadyText = "Press 'connect' when ready to retry connection...";
const char* const ConnectedText =
    "Connected - Press the 'Update Instrument' button when ready to continue...";
const char* const ReadyToUpdateText = "Ready to update the instrument's software.";
const char* const InternalErrorText = "Internal error - unable to update instrument...";
const char* const ReprogrammingPicsText =
    "Reprogramming instrument sub-components - do not switch off unit or cancel operation...";
const char* const ErasingStatusText =
    "Erasing application memory - do not switch off unit or cancel operation...";
const char* const ErasingText = "Erasing application memory...";
const char* const ReprogrammingText =
    "Reprogramming instrument - do not switch off unit or cancel operation...";
const char* const ProgrammingText = "Programming application...";
const char* const SuccessText =
    "The KQ7750 has been updated successfully - Reset the KQ7750 'UPDATE' switch and power "
    "cycle the unit.";
const char* const SuccessCaption = "Update Complete";
const char* const CommsErrorRetryText =
    "Communications error - Press 'Connect' to retry connection...";
const char* const ConnectFailedText = "Failed to establish connection with KQ7750.";
const char* const UpdateAbortedText = "Communications error - Update aborted!";
const char* const ConnectionLostText = "Connection to KQ7750 lost.";
const char* const NoResponseText = "No response received!";
const char* const ExitWarningText =
    "Warning: Exiting before completion of the update process will leave the instrument "
    "inoperable.\r\n\r\nPress 'OK' if you are sure you want to exit the application.";
const char* const ExitWarningCaption = "The update procedure is not yet complete!";
const char* const VersionUndefinedText = "Version undefined";
const char* const ExceptionCaption = "KQ7750 Installer Exception";
const char* const WindowTitle = "KQ7750 Firmware Installer";

const char* const PicImageType = "TALVOR_HEX";
const char* const BlackfinImageType = "TALVOR_LDR";
constexpr WORD BlackfinImageId = 300;
constexpr WORD FirstPicImageId = 301;
constexpr int32_t FallbackPortCount = 11;
constexpr int FallbackSelectedRow = 1;

// The window's lines as the log names them.
const char* const ConnectionLineName = "connection line";
const char* const UpdateLineName = "update line";
const char* const StatusLineName = "status line";
const char* const PicPhaseNames[] = {"PIC 2", "PIC 3", "PIC 4"};

// The controls as a screen reader names them; the buttons keep their own texts.
const char* const PortListName = "Serial port";
const char* const ConnectionLineAccessibleName = "Connection";
const char* const UpdateLineAccessibleName = "Update";
const char* const StatusLineAccessibleName = "Status";
const char* const ProgressBarName = "Update progress";
// The static text beside the release label, which the label's name completes.
const char* const ReleaseLineText = "The firmware will be updated to release:";

// An exception thrown inside a timer callback, kept until the message loop rethrows it
// on its way to WinMain: Windows lets DispatchMessage swallow such exceptions (unless
// the process turns that off, which WinMain does) and Wine 8 always swallows them.
// Window thread only.
std::exception_ptr timerFailure;

void setCursor(LPCSTR shape) {
    // System cursors are shared and never fail to load on a running desktop.
    SetCursor(LoadCursorA(nullptr, shape));
}

}  // namespace

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

InstallerController* TheInstallerController() {
    return dynamic_cast<InstallerController*>(g_controller);
}

InstallerController::InstallerController(HINSTANCE moduleInstance)
    : instance(moduleInstance),
      dialog(nullptr),
      detailBox(nullptr),
      connectTicks(0),
      connectRetries(0),
      picStep(0),
      connectTimer(0),
      responseTimer(0),
      portListTimer(0),
      messageBoxDepth(0),
      updateRunning(false),
      updateEndTold(false) {
    followers.add(powerHold);
    followers.add(taskbar);
    followers.add(updateLog);
}

InstallerController::~InstallerController() {
    // The engineer's exit ends an update too.
    if (updateRunning) {
        endUpdate(UpdateEnd::Abandoned);
    }
    followers.onClosing();
    // Released while the worker may still point into it: a module's resources stay
    // mapped for the module's life, so the pointer stays readable until the worker ends.
    resource.release();
    if (engine) {
        engine.reset();  // stops the worker thread, which closes the port
        g_engine = nullptr;
    }
    detailBox = nullptr;
    portCombo.reset();
    progressBar.reset();
    updateBox.reset();
    connectionBox.reset();
    statusBox.reset();
    updateButton.reset();
    connectButton.reset();
    releaseLabel.reset();
    portNumbers.clear();
}

int InstallerController::Run() {
    HWND existing = FindWindowA(nullptr, WindowTitle);
    if (existing != nullptr) {
        // The engineer has just started this process, so Windows lets it set the foreground
        // window itself (SetForegroundWindow page); where Windows refuses, the first window's
        // taskbar button flashes instead. A minimized window stays minimized when brought to
        // the front, so it is restored first; asynchronously, as a hung first process must
        // not hold this one.
        if (IsIconic(existing)) ShowWindowAsync(existing, SW_RESTORE);
        SetForegroundWindow(existing);
        return -1;
    }

    // Before the window, so that the log holds its first texts.
    updateLog.open(FormatVersionText());
    FaultReport::useLog(updateLog.handle(), updateLog.path(), updateLog.startedAt());

    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS;
    // Ignored result: the progress class is also registered by comctl32's load.
    InitCommonControlsEx(&controls);

    // WM_INITDIALOG reaches OnInitDialog inside this call.
    HWND mainDialog = CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_INSTALLER), nullptr,
                                         DialogProc, 0);
    if (mainDialog == nullptr) {
        char text[256] = {};
        std::snprintf(text, sizeof text, "CreateDialog Error 0x%08X",
                      static_cast<unsigned>(GetLastError()));
        followers.onShown("message box \"Loader failed to start\"", text);
        MessageBoxA(nullptr, text, "Loader failed to start", MB_ICONWARNING);
        return 0;
    }

    // The close path destroys this controller while the loop below still runs:
    // from here on only locals may be touched.
    MSG message;
    for (;;) {
        BOOL got = GetMessageA(&message, nullptr, 0, 0);
        if (got == 0) {
            return static_cast<int>(message.wParam);
        }
        if (got == -1) {
            return -1;
        }
        if (!IsDialogMessageA(mainDialog, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        if (timerFailure) {
            std::rethrow_exception(std::exchange(timerFailure, nullptr));
        }
    }
}

BOOL InstallerController::OnInitDialog(HWND mainDialog) {
    dialog = mainDialog;
    // A missing icon leaves the window with the default one: nothing to act on.
    HICON icon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_INSTALLER));
    SendMessageA(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    SendMessageA(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));

    engine.reset(new UpdateEngine(dialog));
    g_engine = engine.get();
    taskbar.attach(dialog);

    portCombo.reset(new ComboWidget(dialog, IDC_PORT_LIST));
    progressBar.reset(new ProgressBarWidget(dialog, IDC_PROGRESS));
    connectButton.reset(new ButtonWidget(dialog, IDC_CONNECT));
    updateButton.reset(new ButtonWidget(dialog, IDC_UPDATE));
    connectionBox.reset(new EditWidget(dialog, IDC_CONNECTION_BOX));
    updateBox.reset(new EditWidget(dialog, IDC_UPDATE_BOX));
    statusBox.reset(new EditWidget(dialog, IDC_STATUS_BOX));
    releaseLabel.reset(new LabelWidget(dialog, IDC_RELEASE_LABEL));
    connectionBox->tellShownTo(&followers, ConnectionLineName);
    updateBox->tellShownTo(&followers, UpdateLineName);
    statusBox->tellShownTo(&followers, StatusLineName);

    const int selectRow = fillPortList();
    // With an empty list CB_SETCURSEL fails and nothing is selected, as intended.
    portCombo->selectRow(selectRow);

    progressBar->MarqueeOff();
    progressBar->SetState(PBST_NORMAL);
    progressBar->Reset();

    portCombo->enable(true);
    connectButton->enable(true);
    updateButton->enable(false);

    const std::string release = FormatVersionText();
    releaseLabel->setText(release);
    prepareForScreenReaders(release);

    connectionBox->setText(NotConnectedText);
    updateBox->setText(AwaitingConnectionText);
    statusBox->setText(SelectPortText);
    return TRUE;
}

BOOL InstallerController::OnConnectClicked(WORD notification) {
    if (notification != BN_CLICKED) {
        return TRUE;
    }
    int row = portCombo ? portCombo->selectedRow() : CB_ERR;
    if (row == CB_ERR || row < 0 || static_cast<size_t>(row) >= portNumbers.size()) {
        return TRUE;
    }

    updateEndTold = false;
    followers.onConnectPressed(portCombo->rowText(row));
    setCursor(IDC_WAIT);
    statusBox->setText(AttemptingText);

    portCombo->enable(false);
    progressBar->Configure(ConnectProgressTop);

    detailBox = connectionBox.get();
    updateButton->enable(false);
    connectButton->enable(false);

    connectTicks = 0;
    connectRetries = 0;
    // A running connect timer has the same id, so this replaces it.
    connectTimer = SetTimer(dialog, ConnectTimerId, ConnectTimerPeriodMs, TimerProc);

    if (engine) {
        engine->postWork(new ActionFindPort(static_cast<uint32_t>(portNumbers[row])));
    }
    return TRUE;
}

void InstallerController::OnConnectTimer() {
    if (connectTicks < TicksPerAttempt) {
        ++connectTicks;
        progressBar->Step();
        return;
    }

    connectTicks = 0;
    if (connectRetries < MaxRetries) {
        connectionBox->setText(RetryingText);
        ++connectRetries;
        if (engine) {
            engine->reconnect();
        }
        return;
    }

    connectionBox->setText(NotRespondingText);
    KillTimer(dialog, connectTimer);  // ignored: the timer is forgotten either way
    connectRetries = 0;
    connectTimer = 0;
    progressBar->SetState(PBST_ERROR);
    closePort();
}

void InstallerController::OnStatus(const std::string& text, int32_t /*kind*/) {
    // The text of a failure report that comes after the window has ended the
    // attempt belongs with that report's ActionFailed, which changes nothing.
    if (isCommunicationsFailureText(text) && attemptEnded()) {
        return;
    }
    if (detailBox != nullptr) {
        detailBox->setText(text);
    }
}

void InstallerController::OnPortNotFound() {
    stopTimers();
    statusBox->setText(RetryWhenReadyText);
    progressBar->enable(false);
    progressBar->Reset();
    connectButton->enable(true);
    portCombo->enable(true);
    updateButton->enable(false);
    setCursor(IDC_ARROW);
}

void InstallerController::OnConnected(bool /*connected*/) {
    followers.onConnected();
    stopTimers();
    progressBar->SetState(PBST_NORMAL);
    progressBar->Reset();
    statusBox->setText(ConnectedText);
    updateBox->setText(ReadyToUpdateText);
    progressBar->enable(true);
    portCombo->enable(true);
    connectButton->enable(true);
    updateButton->enable(true);
    setCursor(IDC_ARROW);
}

BOOL InstallerController::OnUpdateClicked(WORD notification) {
    if (notification != BN_CLICKED) {
        return TRUE;
    }
    detailBox = updateBox.get();
    // Every record of all four images is checked before the first command that changes
    // the instrument: a damaged program refuses as one that cannot load an image does.
    if (!embeddedImagesIntact()) {
        updateBox->setText(InternalErrorText);
        return TRUE;
    }
    if (!loadImage(FirstPicImageId, PicImageType)) {
        return TRUE;
    }

    // The update starts here: from now on the PC must neither sleep nor slow it.
    startUpdate();
    statusBox->setText(ReprogrammingPicsText);
    connectButton->enable(false);
    portCombo->enable(false);
    updateButton->enable(false);

    picStep = 0;
    if (engine) {
        engine->PreparePicImage(2, resource.resourceSize, resource.resourceData);
    }
    setCursor(IDC_WAIT);
    return TRUE;
}

void InstallerController::OnPicProgram() {
    stopTimers();
    // Read without the lock: the image was attached on this thread and the worker
    // does not touch it before ProgramPic sends the command.
    uint32_t lines = engine ? engine->imageLinesLeft : 0;
    progressBar->Configure(static_cast<int32_t>(lines));
    followers.onRecordsStarted({RecordsStart::Pic, lines, static_cast<int32_t>(lines), resource.resourceSize,
                                SerialPort::BaudRate});
    portCombo->enable(false);
    connectButton->enable(false);
    updateButton->enable(false);
    setCursor(IDC_WAIT);
    if (engine) {
        engine->ProgramPic();
    }
}

void InstallerController::OnProgressed(uint32_t recordsLeft) {
    progressBar->StepPaced();
    // The step's own count, not the number of steps (one is left out when the window falls
    // behind, see UpdateEngine::pushProgressStep), and not the engine's field, whose lock
    // the worker holds across a port write that a stalling adapter keeps for up to 10 s.
    followers.onRecordStep(progressBar->position, progressBar->maximum, recordsLeft);
}

void InstallerController::OnNextPic() {
    stopTimers();
    ++picStep;
    detailBox = updateBox.get();
    if (picStep >= 0 && picStep < 3) {
        followers.onPhaseStarted(PicPhaseNames[picStep]);
    }
    if (!loadImage(static_cast<WORD>(FirstPicImageId + picStep), PicImageType)) {
        endUpdate(UpdateEnd::Failed);
        return;
    }
    setCursor(IDC_WAIT);
    if (engine) {
        engine->PreparePicImage(static_cast<uint32_t>(picStep + 2), resource.resourceSize,
                                resource.resourceData);
    }
}

void InstallerController::OnBlackfinProgramPreamble() {
    stopTimers();
    detailBox = updateBox.get();
    if (!loadImage(BlackfinImageId, BlackfinImageType)) {
        endUpdate(UpdateEnd::Failed);
        return;
    }
    if (engine) {
        engine->PrepareBlackfinImage(resource.resourceSize, resource.resourceData);
    }
    setCursor(IDC_WAIT);
}

void InstallerController::OnBlackfinErasePreamble() {
    followers.onPhaseStarted("erase");
    stopTimers();
    statusBox->setText(ErasingStatusText);
    updateBox->setText(ErasingText);
    progressBar->Configure(EraseProgressTop);
    followers.onEraseStarted();
    portCombo->enable(false);
    connectButton->enable(false);
    updateButton->enable(false);
    setCursor(IDC_WAIT);
    if (engine) {
        engine->EraseBlackfin();
    }
}

void InstallerController::OnBlackfinErasePostamble() {
    stopTimers();
    statusBox->setText(ReprogrammingText);
    updateBox->setText(ProgrammingText);
    // The bar tops out one step before the last record: the loader's final
    // "Complete." is what ends the update, not the last step.
    uint32_t lines = engine ? engine->imageLinesLeft : 0;
    progressBar->Configure(static_cast<int32_t>(lines) - 1);
    followers.onPhaseStarted("Blackfin");
    followers.onRecordsStarted({RecordsStart::Blackfin, lines, progressBar->maximum, resource.resourceSize,
                                SerialPort::BaudRate});
    setCursor(IDC_WAIT);
    if (engine) {
        engine->ProgramBlackfin();
    }
}

void InstallerController::OnComplete() {
    followers.onRecordsFinished();
    stopTimers();
    statusBox->setText(SuccessText);
    progressBar->SetState(PBST_NORMAL);
    progressBar->Reset();
    progressBar->enable(false);
    resource.release();
    setIdleAndClosePort();
    // Before the box, which may stand for hours once the engineer has walked away.
    endUpdate(UpdateEnd::Completed);

    showMessageBox(SuccessText, SuccessCaption, MB_ICONINFORMATION | MB_OK);

    enablePortControls();
}

void InstallerController::OnFailed() {
    // A vanishing device fails every call the port makes (a failed read twice)
    // before the window has handled the first report. The first one ends the
    // attempt; the later ones find it ended and must neither abort an update that
    // never ran nor stop the connect timer whose retries are still due.
    if (attemptEnded()) {
        return;
    }
    statusBox->setText(CommsErrorRetryText);
    // While a PIC is programmed the engine is still connecting.
    const bool updateFailed = engineMode() != Connecting || updateRunning;
    if (engineMode() == Connecting) {
        // A running connect timer keeps ticking: the next retry reopens the port.
        connectionBox->setText(ConnectFailedText);
        // A PIC's transfer stopped here: its bar keeps its state but shows the last record.
        progressBar->catchUp();
    } else {
        progressBar->SetState(PBST_ERROR);
        connectionBox->setText(UpdateAbortedText);
        stopTimers();
        resource.release();
    }
    setIdleAndClosePort();
    if (updateFailed) {
        endUpdate(UpdateEnd::Failed);
    }
    enablePortControls();
}

void InstallerController::OnResponseTimeout() {
    KillTimer(dialog, responseTimer);  // ignored: the timer is forgotten either way
    responseTimer = 0;
    if (engineMode() != Idle) {
        progressBar->SetState(PBST_ERROR);
        connectionBox->setText(ConnectionLostText);
        statusBox->setText(NoResponseText);
        closePort();  // with the engine busy this comes back as OnFailed
        setCursor(IDC_ARROW);
    }
    connectButton->enable(true);
}

BOOL InstallerController::OnEngineTimer(WPARAM id, bool start) {
    if (dialog == nullptr) {
        return TRUE;
    }
    if (responseTimer != 0) {
        KillTimer(dialog, responseTimer);  // ignored: replaced or stopped below
    }
    if (start) {
        responseTimer = SetTimer(dialog, id, ResponseTimerPeriodMs, TimerProc);
    } else {
        responseTimer = 0;
    }
    return TRUE;
}

void InstallerController::OnShowLogs() {
    const LogFolder logs;
    if (!logs.exists()) {
        return;
    }
    // The shell may hand the request to extensions that need COM on this thread.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    // Ignored result: a PC without a file browser has nothing else to offer here.
    ShellExecuteW(dialog, L"open", logs.path().c_str(), nullptr, nullptr, SW_SHOWNORMAL);
    if (SUCCEEDED(com)) {
        CoUninitialize();
    }
}

void InstallerController::OnSuspend() {
    // The port goes with the sleep, and its failure is reported as any other.
    followers.onSuspending();
}

void InstallerController::OnTaskbarButtonCreated() {
    taskbar.buttonCreated();
}

bool InstallerController::ConfirmExit() {
    if (engineMode() != Idle && updateButton && !updateButton->isEnabled()) {
        int answer = showMessageBox(ExitWarningText, ExitWarningCaption,
                                    MB_OKCANCEL | MB_ICONWARNING | MB_SETFOREGROUND);
        return answer != IDCANCEL;
    }
    return true;
}

std::string InstallerController::FormatVersionText() {
    // The program's own loaded module: its folder's name (which the ANSI calls cannot
    // always spell) and its length do not matter.
    return FormatVersionTextOf(GetModuleHandleW(nullptr));
}

std::string InstallerController::FormatVersionTextOf(HMODULE module) {
    VS_FIXEDFILEINFO fixed;
    if (!ReadModuleVersion(module, fixed)) {
        return VersionUndefinedText;
    }
    char formatted[32];
    std::snprintf(formatted, sizeof formatted, "v%u.%02u",
                  static_cast<unsigned>(HIWORD(fixed.dwProductVersionMS)),
                  static_cast<unsigned>(LOWORD(fixed.dwProductVersionMS)));
    return formatted;
}

void InstallerController::ShowEscapedException(const char* text) {
    FaultReport::exceptionEscaped(text);
    InstallerController* controller = TheInstallerController();
    if (controller != nullptr) {
        if (controller->updateRunning) {
            controller->endUpdate(UpdateEnd::Abandoned);
        }
        controller->followers.onExceptionEscaped();
    }
    MessageBoxA(nullptr, text, ExceptionCaption, MB_ICONWARNING);
}

void CALLBACK InstallerController::TimerProc(HWND, UINT, UINT_PTR id, DWORD) {
    InstallerController* controller = TheInstallerController();
    if (controller == nullptr) {
        return;
    }
    // Nothing may unwind through DispatchMessage: the loop in Run rethrows it.
    try {
        if (id == controller->connectTimer) {
            controller->OnConnectTimer();
        } else if (id == controller->responseTimer) {
            controller->OnResponseTimeout();
        } else if (id == controller->portListTimer) {
            controller->OnPortListTimer();
        }
    } catch (...) {
        timerFailure = std::current_exception();
    }
}

int InstallerController::fillPortList() {
    PortEnumerator enumerator;
    int selectRow;
    portNumbers.clear();
    if (enumerator.Open()) {
        std::vector<std::string> descriptions;
        enumerator.Enumerate(descriptions, portNumbers);
        for (size_t i = 0; i < portNumbers.size(); ++i) {
            portCombo->addRow("COM" + std::to_string(portNumbers[i]) + ", (" + descriptions[i] +
                              ")");
        }
        selectRow = 0;
    } else {
        for (int32_t number = 0; number < FallbackPortCount; ++number) {
            portCombo->addRow("Communications Port, COM" + std::to_string(number));
            portNumbers.push_back(number);
        }
        selectRow = FallbackSelectedRow;
    }
    enumerator.Release();
    return selectRow;
}

void InstallerController::OnDeviceChange(WPARAM event) {
    if (dialog == nullptr || (event != DBT_DEVNODES_CHANGED && event != DBT_DEVICEARRIVAL &&
                              event != DBT_DEVICEREMOVECOMPLETE)) {
        return;
    }
    // Each message of a burst restarts the wait, so the burst enumerates once.
    portListTimer = SetTimer(dialog, PortListTimerId, PortListSettleMs, TimerProc);
}

void InstallerController::OnPortListTimer() {
    // While an attempt or an update runs (Connect off, or the connect timer still
    // retrying) the list stays as it is; the timer keeps ticking, so a change that
    // came meanwhile is shown once Connect is free again.
    if (!connectButton->isEnabled() || connectTimer != 0) {
        return;
    }
    KillTimer(dialog, portListTimer);  // ignored: the timer is forgotten either way
    portListTimer = 0;
    refreshPortList();
}

void InstallerController::refreshPortList() {
    const int row = portCombo->selectedRow();
    const bool hadSelection = row >= 0 && static_cast<size_t>(row) < portNumbers.size();
    const int32_t selectedPort = hadSelection ? portNumbers[row] : -1;
    portCombo->clear();
    fillPortList();
    int selectRow = 0;
    for (size_t i = 0; hadSelection && i < portNumbers.size(); ++i) {
        if (portNumbers[i] == selectedPort) {
            selectRow = static_cast<int>(i);
            break;
        }
    }
    portCombo->selectRow(selectRow);
}

void InstallerController::stopTimers() {
    // KillTimer results are ignored: a timer that is already gone is what we want.
    if (connectTimer != 0) {
        KillTimer(dialog, connectTimer);
        connectTimer = 0;
    }
    if (responseTimer != 0) {
        KillTimer(dialog, responseTimer);
        responseTimer = 0;
    }
}

void InstallerController::closePort() {
    if (!engine) {
        return;
    }
    // close() waits for the port's event thread, which never waits for this lock.
    auto guard = engine->lock.lock();
    if (engine->port) {
        engine->port->close();
    }
}

uint32_t InstallerController::engineMode() {
    if (!engine) {
        return Idle;
    }
    auto guard = engine->lock.lock();
    return engine->mode;
}

bool InstallerController::attemptEnded() {
    if (!engine) {
        return false;
    }
    auto guard = engine->lock.lock();
    return engine->mode == Idle && !(engine->port && engine->port->isOpen());
}

void InstallerController::setIdleAndClosePort() {
    if (!engine) {
        return;
    }
    // Idle first, so that the port's closing is not reported as another failure.
    auto guard = engine->lock.lock();
    engine->mode = Idle;
    if (engine->port) {
        engine->port->close();
    }
}

void InstallerController::startUpdate() {
    updateRunning = true;
    updateEndTold = false;
    followers.onUpdateStarted(PicPhaseNames[0]);
}

void InstallerController::endUpdate(UpdateEnd end) {
    updateRunning = false;
    if (updateEndTold) {
        return;
    }
    updateEndTold = true;
    followers.onUpdateEnded(end);
}

void InstallerController::enablePortControls() {
    connectButton->enable(true);
    portCombo->enable(true);
    updateButton->enable(false);
    setCursor(IDC_ARROW);
}

bool InstallerController::loadImage(WORD id, const char* type) {
    if (resource.LoadFirmwareResource(id, type)) {
        return true;
    }
    updateBox->setText(InternalErrorText);
    return false;
}

void InstallerController::prepareForScreenReaders(const std::string& release) {
    screenReader.reset(new ScreenReaderSupport());
    screenReader->name(portCombo->handle, PortListName);
    screenReader->name(connectionBox->handle, ConnectionLineAccessibleName);
    screenReader->name(updateBox->handle, UpdateLineAccessibleName);
    screenReader->name(statusBox->handle, StatusLineAccessibleName);
    screenReader->name(progressBar->handle, ProgressBarName);
    screenReader->name(releaseLabel->handle, std::string(ReleaseLineText) + " " + release);
    statusBox->announceAsLiveRegion(screenReader->makePoliteLiveRegion(statusBox->handle));
    for (EditWidget* line : {connectionBox.get(), updateBox.get(), statusBox.get()}) {
        line->raiseValueChange(!screenReader->editsAnnounceNewText());
    }
}

int InstallerController::showMessageBox(const char* text, const char* caption, UINT flags) {
    // No owner, as the instrument's procedure has always shown them: the main
    // window stays live, and engine actions keep running in the box's loop.
    followers.onShown(("message box \"" + std::string(caption) + "\"").c_str(), text);
    ++messageBoxDepth;
    int answer = MessageBoxA(nullptr, text, caption, flags);
    --messageBoxDepth;
    if ((flags & MB_TYPEMASK) == MB_OKCANCEL) {
        followers.onBoxAnswered(answer == IDCANCEL ? "Cancel" : "OK");
    }
    return answer;
}
