// The controller on the installer's real main dialog with a real engine: each
// handler driven as the dialog procedure, the timers or the engine's actions drive
// it, and the window read back as an engineer would see it. No instrument is
// attached; the one port opened is COM9, whose device is missing in the rig (but for
// one whole update, with the loader simulator there over the Windows driver model).
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>
#include <oleacc.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <regex>
#include <fstream>
#include <sstream>
#include <set>
#include <thread>
#include <utility>

#include "engine/UpdateEngine.h"
#include "resources/resource.h"
#include "serial/RestTimer.h"
#include "serial/SerialPort.h"
#include "tests/serial/SerialTestKit.h"
#include "tests/support/RigClient.h"
#include "tests/support/TestEnvironment.h"
#include "tests/ui/UiTestSupport.h"
#include <nlohmann/json.hpp>
#include "ui/InstallerController.h"
#include "ui/MainWindow.h"
#include "updatelog/LogFolder.h"
#include "windows/ComApartment.h"
#include "windows/ScreenReaderSupport.h"

namespace {

const char* const SelectPortText =
    "Select the computer's COM port, and press 'Connect' to continue...";
const char* const SuccessText =
    "The KQ7750 has been updated successfully - Reset the KQ7750 'UPDATE' switch and power "
    "cycle the unit.";
const char* const CommsErrorRetryText =
    "Communications error - Press 'Connect' to retry connection...";
const char* const InternalErrorText = "Internal error - unable to update instrument...";
const char* const ExitWarningText =
    "Warning: Exiting before completion of the update process will leave the instrument "
    "inoperable.\r\n\r\nPress 'OK' if you are sure you want to exit the application.";
const char* const ExitWarningCaption = "The update procedure is not yet complete!";
const char* const TestPortDescription = "KQ UI test port nine";
constexpr int TestPortNumber = 9;

// An embedded image's text; empty when it is not embedded.
std::string imageText(WORD id, const char* type) {
    HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(id), type);
    const char* text = found ? static_cast<const char*>(LockResource(LoadResource(nullptr, found))) : nullptr;
    return text ? std::string(text, SizeofResource(nullptr, found)) : std::string();
}

// Counts the records of an embedded image the way the engine does: one per LF.
uint32_t imageLines(WORD id, const char* type) {
    const std::string text = imageText(id, type);
    return static_cast<uint32_t>(std::count(text.begin(), text.end(), '\n'));
}

// Record `index` (from 0) of an embedded image as the engine writes it, CR LF ended.
std::string imageRecord(WORD id, const char* type, uint32_t index) {
    std::istringstream in(imageText(id, type));
    std::string line;
    for (uint32_t i = 0; i <= index && std::getline(in, line); ++i) {
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line + "\r\n";
}

// The logs in the logs' folder, by full path.
std::set<std::wstring> logFiles() {
    std::set<std::wstring> paths;
    const std::wstring folder = LogFolder().path();
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder + L"\\*.log").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            paths.insert(folder + L"\\" + found.cFileName);
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    return paths;
}

// Windows' power calls as the controller makes them, kept as the state a PC would be in.
// Written on the window thread, read there and by a box-answering thread.
// Each update's start and end as the controller tells its followers, and each box it shows.
struct EndRecorder : UpdateFollower {
    std::string events;
    void note(const char* event) { events += (events.empty() ? "" : " ") + std::string(event); }
    void onUpdateStarted(const char*) override { note("started"); }
    void onUpdateEnded(UpdateEnd end) override {
        note(end == UpdateEnd::Completed ? "completed" : end == UpdateEnd::Failed ? "failed" : "abandoned");
    }
    void onShown(const char* where, const std::string&) override {
        if (std::string(where).rfind("message box", 0) == 0) note("box");
    }
};

struct PowerState {
    bool createFails = false;
    int refused = -1;  // the request type PowerSetRequest refuses, as Windows 7 refuses execution-required
    int requestsMade = 0;
    bool requestOpen = false;
    std::string reason;
    std::set<int> requestsSet;
    EXECUTION_STATE threadState = 0;  // of the thread that called SetThreadExecutionState
    DWORD stateThread = 0;
    ULONG throttlingControl = 0;      // the control mask last given for power throttling
    int throttlingCalls = 0;

    bool keepsAwake() const {
        return !requestsSet.empty() || (threadState & (ES_SYSTEM_REQUIRED | ES_DISPLAY_REQUIRED)) != 0;
    }
};
std::mutex powerLock;
PowerState power;
HANDLE const FakeRequest = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x5150));

HANDLE WINAPI fakeCreateRequest(PREASON_CONTEXT context) {
    std::lock_guard<std::mutex> guard(powerLock);
    ++power.requestsMade;
    if (power.createFails) return INVALID_HANDLE_VALUE;
    power.requestOpen = true;
    for (const wchar_t* c = context->Reason.SimpleReasonString; *c; ++c) power.reason += static_cast<char>(*c);
    return FakeRequest;
}
BOOL WINAPI fakeSetRequest(HANDLE request, POWER_REQUEST_TYPE type) {
    std::lock_guard<std::mutex> guard(powerLock);
    return request == FakeRequest && power.requestOpen && type != power.refused && power.requestsSet.insert(type).second;
}
BOOL WINAPI fakeClearRequest(HANDLE request, POWER_REQUEST_TYPE type) {
    std::lock_guard<std::mutex> guard(powerLock);
    return request == FakeRequest && power.requestsSet.erase(type) == 1;
}
BOOL WINAPI fakeCloseRequest(HANDLE request) {
    std::lock_guard<std::mutex> guard(powerLock);
    return request == FakeRequest && std::exchange(power.requestOpen, false);
}
EXECUTION_STATE WINAPI fakeExecutionState(EXECUTION_STATE flags) {
    std::lock_guard<std::mutex> guard(powerLock);
    power.stateThread = GetCurrentThreadId();
    return std::exchange(power.threadState, flags) | ES_CONTINUOUS;
}
BOOL WINAPI fakeProcessInformation(HANDLE process, int informationClass, LPVOID information, DWORD size) {
    std::lock_guard<std::mutex> guard(powerLock);
    const ULONG* state = static_cast<const ULONG*>(information);  // version, control mask, state mask
    if (process != GetCurrentProcess() || informationClass != 4 || size != 3 * sizeof(ULONG) || state[0] != 1 ||
        state[2] != 0) {
        return FALSE;
    }
    power.throttlingControl = state[1];
    ++power.throttlingCalls;
    return TRUE;
}
const PowerApi FakePowerApi = {&fakeCreateRequest, &fakeSetRequest, &fakeClearRequest, &fakeCloseRequest,
                               &fakeExecutionState, &fakeProcessInformation};
// Windows 7 has no SetProcessInformation; Vista has no power requests either.
const PowerApi Windows7PowerApi = {&fakeCreateRequest, &fakeSetRequest,     &fakeClearRequest,
                                   &fakeCloseRequest,  &fakeExecutionState, nullptr};
const PowerApi VistaPowerApi = {nullptr, nullptr, nullptr, &fakeCloseRequest, &fakeExecutionState, nullptr};

PowerState powerNow() {
    std::lock_guard<std::mutex> guard(powerLock);
    return power;
}

// The port's rest timer on a Windows without the high-resolution timer: its opt-out of the
// timer-resolution throttling goes through the same fake.
HANDLE WINAPI noHighResolutionTimer(LPSECURITY_ATTRIBUTES, LPCWSTR, DWORD, DWORD) { return nullptr; }
UINT noPeriod(UINT(WINAPI*)(UINT), UINT) { return 0; }
const RestTimerApi FakeRestTimerApi = {&noHighResolutionTimer, &noPeriod, &noPeriod, &fakeProcessInformation};

// The taskbar as Windows would show it: each state, each value (of `total`), each flash.
std::vector<std::string> taskbarCalls;
HWND inFront = nullptr;  // GetForegroundWindow's answer
int taskbarReferences = 0;  // the fake's objects handed out and not yet released
int refusedStates = 0;      // state calls still to refuse, as an object of a gone Explorer would
struct FakeTaskbar : ITaskbarList3 {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override {
        taskbarCalls.push_back("release");
        return static_cast<ULONG>(--taskbarReferences);
    }
    HRESULT STDMETHODCALLTYPE SetProgressState(HWND, TBPFLAG state) override {
        taskbarCalls.push_back("state " + std::to_string(state));
        return refusedStates > 0 && refusedStates-- ? E_FAIL : S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetProgressValue(HWND, ULONGLONG done, ULONGLONG total) override {
        taskbarCalls.push_back(std::to_string(done) + " of " + std::to_string(total));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE HrInit() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE AddTab(HWND) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DeleteTab(HWND) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ActivateTab(HWND) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetActiveAlt(HWND) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE MarkFullscreenWindow(HWND, BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RegisterTab(HWND, HWND) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UnregisterTab(HWND) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetTabOrder(HWND, HWND) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetTabActive(HWND, HWND, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ThumbBarAddButtons(HWND, UINT, LPTHUMBBUTTON) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ThumbBarUpdateButtons(HWND, UINT, LPTHUMBBUTTON) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ThumbBarSetImageList(HWND, HIMAGELIST) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetOverlayIcon(HWND, HICON, LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetThumbnailTooltip(HWND, LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetThumbnailClip(HWND, RECT*) override { return E_NOTIMPL; }
} fakeTaskbar;
BOOL WINAPI fakeFlash(PFLASHWINFO flash) {
    taskbarCalls.push_back(flash->dwFlags == (FLASHW_TRAY | FLASHW_TIMERNOFG) ? "flash" : "other flash");
    return FALSE;
}
HWND WINAPI fakeForeground() { return inFront; }
const TaskbarApi FakeTaskbarApi = {[]() -> ITaskbarList3* { return ++taskbarReferences, &fakeTaskbar; }, &fakeFlash,
                                   &fakeForeground};

// Dynamic Annotation as Windows takes it, each call noted as "<what> <control id> <value>".
std::vector<std::string> annotationCalls;
int refusedName = 0;  // the control whose name is refused, or 0
struct FakeAnnotations : IAccPropServices {
    static void note(const char* what, HWND control, DWORD object, DWORD child, const std::string& value) {
        const bool client = object == static_cast<DWORD>(OBJID_CLIENT) && child == CHILDID_SELF;
        annotationCalls.push_back(std::string(client ? what : "other") + " " + std::to_string(GetDlgCtrlID(control)) +
                                  " " + value);
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOINTERFACE; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE SetHwndPropStr(HWND control, DWORD object, DWORD child, MSAAPROPID property,
                                             LPCWSTR text) override {  // PROPID_ACC_NAME
        const std::string value(text, text + wcslen(text));
        note(property.Data1 == 0x608d3df8 ? "name" : "other", control, object, child, value);
        return refusedName != 0 && GetDlgCtrlID(control) == refusedName ? E_FAIL : S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetHwndProp(HWND control, DWORD object, DWORD child, MSAAPROPID, VARIANT value) override {
        note("live", control, object, child, std::to_string(value.lVal));  // the only one the program sets
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE ClearHwndProps(HWND control, DWORD object, DWORD child, const MSAAPROPID*,
                                             int count) override {
        note("clear", control, object, child, std::to_string(count));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetPropValue(const BYTE*, DWORD, MSAAPROPID, VARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetPropServer(const BYTE*, DWORD, const MSAAPROPID*, int, IAccPropServer*,
                                            AnnoScope) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ClearProps(const BYTE*, DWORD, const MSAAPROPID*, int) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetHwndPropServer(HWND, DWORD, DWORD, const MSAAPROPID*, int, IAccPropServer*,
                                                AnnoScope) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ComposeHwndIdentityString(HWND, DWORD, DWORD, BYTE**, DWORD*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE DecomposeHwndIdentityString(const BYTE*, DWORD, HWND*, DWORD*, DWORD*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetHmenuProp(HMENU, DWORD, MSAAPROPID, VARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetHmenuPropStr(HMENU, DWORD, MSAAPROPID, LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetHmenuPropServer(HMENU, DWORD, const MSAAPROPID*, int, IAccPropServer*,
                                                 AnnoScope) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ClearHmenuProps(HMENU, DWORD, const MSAAPROPID*, int) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ComposeHmenuIdentityString(HMENU, DWORD, BYTE**, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DecomposeHmenuIdentityString(const BYTE*, DWORD, HMENU*, DWORD*) override {
        return E_NOTIMPL;
    }
} fakeAnnotations;
HRESULT takeAnnotations(IAccPropServices** services) {
    *services = &fakeAnnotations;
    return S_OK;
}

// An edit control as Windows' own: a value change for each text set (Wine 8's raises none).
LRESULT CALLBACK announceEditText(int code, WPARAM wParam, LPARAM lParam) {
    const CWPRETSTRUCT* call = reinterpret_cast<const CWPRETSTRUCT*>(lParam);
    char kind[8] = {};
    if (code == HC_ACTION && call->message == WM_SETTEXT && GetClassNameA(call->hwnd, kind, sizeof kind) &&
        lstrcmpiA(kind, "Edit") == 0)
        NotifyWinEvent(EVENT_OBJECT_VALUECHANGE, call->hwnd, OBJID_CLIENT, CHILDID_SELF);
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// The value changes a screen reader hears while `texts` runs, by control id; an event of the
// test's own, raised last, tells when all have come.
std::vector<int> heardChanges;
void CALLBACK hearChange(HWINEVENTHOOK, DWORD, HWND window, LONG object, LONG, DWORD, DWORD) {
    heardChanges.push_back(object == OBJID_CLIENT ? GetDlgCtrlID(window) : -1);
}
std::vector<int> valueChangesDuring(const std::function<void()>& texts) {
    heardChanges.clear();
    const HWINEVENTHOOK hook = SetWinEventHook(EVENT_OBJECT_VALUECHANGE, EVENT_OBJECT_VALUECHANGE, nullptr, hearChange,
                                               GetCurrentProcessId(), GetCurrentThreadId(), WINEVENT_OUTOFCONTEXT);
    texts();
    NotifyWinEvent(EVENT_OBJECT_VALUECHANGE, GetDesktopWindow(), OBJID_WINDOW, CHILDID_SELF);
    uitest::pumpUntil([] { return !heardChanges.empty() && heardChanges.back() == -1; }, 5000);
    UnhookWinEvent(hook);
    return heardChanges;
}

// The name a screen reader reads for the control, asking this process's own window.
std::string accessibleName(HWND control) {
    IAccessible* object = nullptr;
    if (FAILED(AccessibleObjectFromWindow(control, OBJID_CLIENT, __uuidof(IAccessible),
                                          reinterpret_cast<void**>(&object))))
        return "(none)";
    VARIANT self;
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    BSTR name = nullptr;
    const bool named = SUCCEEDED(object->get_accName(self, &name)) && name;
    const std::string text = named ? std::string(name, name + SysStringLen(name)) : "(no name)";
    SysFreeString(name);
    object->Release();
    return text;
}

class ControllerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&controls);
        devices = new uitest::PortsDevices();
        if (devices->available()) {
            devices->add(TestPortDescription, "COM" + std::to_string(TestPortNumber));
        }
    }

    static void TearDownTestSuite() {
        delete devices;
        devices = nullptr;
    }

    void SetUp() override { open(); }

    void TearDown() override { close(); }

    void open() {
        uitest::clearQuit();
        probe.reset(new uitest::ProgressProbe());
        ASSERT_TRUE(probe->installed());
        controller = new InstallerController(GetModuleHandleA(nullptr));
        g_controller = controller;
        dialog = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_INSTALLER),
                                    nullptr, DialogProc, 0);
        ASSERT_NE(dialog, nullptr) << "CreateDialogParamA failed: " << GetLastError();
        ASSERT_EQ(controller->dialog, dialog);
        // The worker creates its port as it starts; wait for it before touching it.
        ASSERT_TRUE(uitest::pumpUntil(
            [] {
                UpdateEngine* engine = g_engine;
                if (engine == nullptr) return false;
                auto guard = engine->lock.lock();
                return engine->port != nullptr;
            },
            10000));
    }

    void close() {
        if (dialog != nullptr && IsWindow(dialog)) {
            DestroyWindow(dialog);
        }
        delete g_controller;
        g_controller = nullptr;
        controller = nullptr;
        EXPECT_EQ(g_engine.load(), nullptr) << "the controller left its engine behind";
        probe.reset();
        uitest::clearQuit();
    }

    HWND item(int id) const { return GetDlgItem(dialog, id); }
    std::string text(int id) const { return uitest::itemText(dialog, id); }
    bool enabled(int id) const { return IsWindowEnabled(item(id)) != FALSE; }
    int barPosition() const { return static_cast<int>(SendMessageA(item(IDC_PROGRESS), PBM_GETPOS, 0, 0)); }
    int barState() const { return probe->lastState(); }
    int barTop() const { return static_cast<int>(SendMessageA(item(IDC_PROGRESS), PBM_GETRANGE, FALSE, 0)); }

    uint32_t mode() const {
        auto guard = g_engine.load()->lock.lock();
        return g_engine.load()->mode;
    }
    void setMode(uint32_t value) {
        auto guard = g_engine.load()->lock.lock();
        g_engine.load()->mode = value;
    }

    void command(int id, WORD notification = BN_CLICKED) {
        SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, notification),
                     reinterpret_cast<LPARAM>(item(id)));
    }

    // Selects the row of the test's COM9 device; false when the list has none.
    bool selectTestPort() {
        std::string wanted = "COM" + std::to_string(TestPortNumber) + ", (" + TestPortDescription + ")";
        int row = static_cast<int>(SendMessageA(item(IDC_PORT_LIST), CB_FINDSTRINGEXACT,
                                                static_cast<WPARAM>(-1),
                                                reinterpret_cast<LPARAM>(wanted.c_str())));
        if (row == CB_ERR) {
            return false;
        }
        SendMessageA(item(IDC_PORT_LIST), CB_SETCURSEL, row, 0);
        return true;
    }

    // Connect on COM9, checked up to the moment the engine's answer would arrive.
    void connect() {
        ASSERT_TRUE(selectTestPort()) << "COM9 test device missing: "
                                      << (devices ? devices->lastError() : "");
        command(IDC_CONNECT);
        ASSERT_EQ(controller->connectTimer, InstallerController::ConnectTimerId);
        // The worker takes the attempt in its own time and sets the mode to Connecting as it
        // does; on a loaded machine that could land after a test has set the mode itself.
        // Wait for it without handling window messages, so the engine's answer stays queued.
        for (int i = 0; i < 1000 && mode() != Connecting; ++i) {
            Sleep(10);
        }
        ASSERT_EQ(mode(), static_cast<uint32_t>(Connecting)) << "the worker never took the attempt";
    }

    // The taskbar's calls from now on go to the fake (taskbarCalls), with `front` in front.
    void watchTaskbar(HWND front) {
        controller->taskbar.setApi(FakeTaskbarApi);
        SendMessageA(dialog, TaskbarProgress::buttonCreatedMessage(), 0, 0);
        taskbarCalls.clear();
        inFront = front;
    }

    void expectControls(bool portList, bool connectButton, bool updateButton) {
        EXPECT_EQ(enabled(IDC_PORT_LIST), portList);
        EXPECT_EQ(enabled(IDC_CONNECT), connectButton);
        EXPECT_EQ(enabled(IDC_UPDATE), updateButton);
    }

    static uitest::PortsDevices* devices;
    // Outlives the controller, whose engine's port may have been handed its table.
    std::unique_ptr<serialtest::WindowsDriverModel> driver;
    std::unique_ptr<uitest::ProgressProbe> probe;
    InstallerController* controller = nullptr;
    HWND dialog = nullptr;
};

uitest::PortsDevices* ControllerTest::devices = nullptr;

TEST_F(ControllerTest, StartsInPhaseNotConnected) {
    EXPECT_EQ(uitest::windowText(dialog), "KQ7750 Firmware Installer");
    EXPECT_EQ(text(IDC_CONNECTION_BOX), "Not connected.");
    EXPECT_EQ(text(IDC_UPDATE_BOX), "Awaiting connection.");
    EXPECT_EQ(text(IDC_STATUS_BOX), SelectPortText);
    EXPECT_EQ(text(IDC_RELEASE_LABEL), "v1.01");
    expectControls(true, true, false);
    EXPECT_FALSE(enabled(IDC_PROGRESS));
    EXPECT_EQ(barPosition(), 0);
    EXPECT_EQ(barState(), PBST_NORMAL);
    bool marqueeOff = false;
    for (const auto& sent : probe->messages()) {
        marqueeOff = marqueeOff || (sent.message == PBM_SETMARQUEE && sent.wParam == FALSE);
    }
    EXPECT_TRUE(marqueeOff);
    EXPECT_EQ(controller->connectTimer, 0u);
    EXPECT_EQ(controller->responseTimer, 0u);
    EXPECT_EQ(controller->detailBox, nullptr);
    EXPECT_EQ(mode(), static_cast<uint32_t>(Idle));
    EXPECT_NE(SendMessageA(dialog, WM_GETICON, ICON_BIG, 0), 0);
    EXPECT_NE(SendMessageA(dialog, WM_GETICON, ICON_SMALL, 0), 0);
}

TEST_F(ControllerTest, PortListShowsEachPortWithItsDescriptionAndSelectsTheFirst) {
    ASSERT_TRUE(devices->available()) << devices->lastError();
    int rows = static_cast<int>(SendMessageA(item(IDC_PORT_LIST), CB_GETCOUNT, 0, 0));
    ASSERT_EQ(static_cast<size_t>(rows), controller->portNumbers.size());
    ASSERT_GE(rows, 1);
    EXPECT_EQ(SendMessageA(item(IDC_PORT_LIST), CB_GETCURSEL, 0, 0), 0);
    const std::regex rowForm("COM([0-9]+), \\((.*)\\)");
    bool found = false;
    for (int row = 0; row < rows; ++row) {
        char rowText[300] = {};
        SendMessageA(item(IDC_PORT_LIST), CB_GETLBTEXT, row, reinterpret_cast<LPARAM>(rowText));
        std::cmatch parts;
        ASSERT_TRUE(std::regex_match(rowText, parts, rowForm)) << rowText;
        EXPECT_EQ(std::stoi(parts[1].str()), controller->portNumbers[row]) << rowText;
        found = found || (parts[2].str() == TestPortDescription &&
                          controller->portNumbers[row] == TestPortNumber);
    }
    EXPECT_TRUE(found) << "no row for the registered COM9 device";
}

TEST_F(ControllerTest, ConnectWithNoRowSelectedDoesNothing) {
    SendMessageA(item(IDC_PORT_LIST), CB_SETCURSEL, static_cast<WPARAM>(-1), 0);
    command(IDC_CONNECT);
    EXPECT_EQ(text(IDC_STATUS_BOX), SelectPortText);
    EXPECT_EQ(controller->connectTimer, 0u);
    EXPECT_EQ(controller->detailBox, nullptr);
    expectControls(true, true, false);
    EXPECT_FALSE(enabled(IDC_PROGRESS));
}

TEST_F(ControllerTest, OnlyAClickStartsAConnection) {
    ASSERT_TRUE(selectTestPort());
    command(IDC_CONNECT, BN_SETFOCUS);
    EXPECT_EQ(controller->connectTimer, 0u);
    EXPECT_EQ(text(IDC_STATUS_BOX), SelectPortText);
}

TEST_F(ControllerTest, ConnectToAMissingDeviceEndsInPortNotFound) {
    connect();
    EXPECT_EQ(text(IDC_STATUS_BOX), "Attempting to connect to instrument...");
    expectControls(false, false, false);
    EXPECT_TRUE(enabled(IDC_PROGRESS));
    EXPECT_EQ(barTop(), 23);
    EXPECT_EQ(barPosition(), 0);
    EXPECT_EQ(controller->detailBox, controller->connectionBox.get());

    ASSERT_TRUE(uitest::pumpUntil(
        [&] { return text(IDC_STATUS_BOX) == "Press 'connect' when ready to retry connection..."; },
        10000))
        << text(IDC_STATUS_BOX);
    EXPECT_EQ(text(IDC_CONNECTION_BOX), "Connection failed - Device handle allocation failed.");
    EXPECT_FALSE(enabled(IDC_PROGRESS));
    EXPECT_EQ(barPosition(), 0);
    expectControls(true, true, false);
    EXPECT_EQ(controller->connectTimer, 0u);
    EXPECT_EQ(controller->responseTimer, 0u);
    EXPECT_EQ(mode(), static_cast<uint32_t>(Connecting));
}

TEST_F(ControllerTest, ConnectTimerRetriesThreeTimesThenGivesUpAfterThirtySixTicks) {
    connect();
    // The ticks are delivered directly and nothing is pumped meanwhile, so the
    // engine's answers to the attempts wait in the queue until the end.
    for (int tick = 1; tick <= 8; ++tick) {
        controller->OnConnectTimer();
        EXPECT_EQ(barPosition(), tick);
    }
    EXPECT_EQ(controller->connectTicks, 8u);
    controller->OnConnectTimer();
    EXPECT_EQ(text(IDC_CONNECTION_BOX), "Retrying KQ7750 connection...");
    EXPECT_EQ(controller->connectRetries, 1u);
    EXPECT_EQ(controller->connectTicks, 0u);
    EXPECT_EQ(barPosition(), 8);

    for (int tick = 10; tick <= 35; ++tick) {
        controller->OnConnectTimer();
    }
    EXPECT_EQ(controller->connectRetries, 3u);
    EXPECT_EQ(barPosition(), 23) << "the bar tops out during the third attempt";
    EXPECT_EQ(controller->connectTimer, InstallerController::ConnectTimerId);

    controller->OnConnectTimer();  // the 36th tick: 18 s after Connect
    EXPECT_EQ(text(IDC_CONNECTION_BOX), "The KQ7750 is not responding to commands...");
    EXPECT_EQ(controller->connectTimer, 0u);
    EXPECT_EQ(controller->connectRetries, 0u);
    EXPECT_EQ(barState(), PBST_ERROR);
    EXPECT_EQ(barPosition(), 23);
    expectControls(false, false, false);  // the give-up itself enables nothing
    EXPECT_FALSE(KillTimer(dialog, InstallerController::ConnectTimerId)) << "timer still running";

    // The queued answers of the four attempts still reach the window afterwards.
    EXPECT_TRUE(uitest::pumpUntil([&] { return enabled(IDC_CONNECT); }, 10000));
}

TEST_F(ControllerTest, ANewConnectRestartsTicksAndRetries) {
    connect();
    for (int tick = 0; tick < 10; ++tick) {
        controller->OnConnectTimer();
    }
    ASSERT_EQ(controller->connectRetries, 1u);
    setMode(Connecting);
    controller->OnFailed();  // a retry's closing: Connect is back while the timer runs
    ASSERT_EQ(controller->connectTimer, InstallerController::ConnectTimerId);
    ASSERT_TRUE(enabled(IDC_CONNECT));

    command(IDC_CONNECT);
    EXPECT_EQ(controller->connectTimer, InstallerController::ConnectTimerId);
    EXPECT_EQ(controller->connectTicks, 0u);
    EXPECT_EQ(controller->connectRetries, 0u);
    EXPECT_EQ(barPosition(), 0);
}

TEST_F(ControllerTest, StatusTextsBeforeTheFirstConnectAreDropped) {
    controller->OnStatus("Dropped text", 0);
    EXPECT_EQ(text(IDC_CONNECTION_BOX), "Not connected.");
    EXPECT_EQ(text(IDC_UPDATE_BOX), "Awaiting connection.");
    EXPECT_EQ(text(IDC_STATUS_BOX), SelectPortText);
}

TEST_F(ControllerTest, ConnectedKeepsTheSummaryAndEnablesUpdate) {
    connect();
    const std::string summary = "KQ7750 Connected: \"KQ7750 Loader V2.3\" SPI 1.2";
    controller->OnStatus(summary, 0);
    controller->OnConnected(true);

    EXPECT_EQ(text(IDC_CONNECTION_BOX), summary);
    EXPECT_EQ(text(IDC_UPDATE_BOX), "Ready to update the instrument's software.");
    EXPECT_EQ(text(IDC_STATUS_BOX),
              "Connected - Press the 'Update Instrument' button when ready to continue...");
    expectControls(true, true, true);
    EXPECT_TRUE(enabled(IDC_PROGRESS));
    EXPECT_EQ(barState(), PBST_NORMAL);
    EXPECT_EQ(barPosition(), 0);
    EXPECT_EQ(controller->connectTimer, 0u);
    EXPECT_EQ(controller->responseTimer, 0u);
}

TEST_F(ControllerTest, UpdateStartsPicTwoAndTheResponseTimerEndsTheSilence) {
    const uint32_t lines = imageLines(301, "TALVOR_HEX");
    ASSERT_GT(lines, 0u) << "image 301 is not embedded in this program";
    controller->OnConnected(true);
    setMode(Connecting);  // as a real sign-on leaves it

    command(IDC_UPDATE);
    EXPECT_EQ(controller->detailBox, controller->updateBox.get());
    EXPECT_EQ(text(IDC_STATUS_BOX),
              "Reprogramming instrument sub-components - do not switch off unit or cancel "
              "operation...");
    expectControls(false, false, false);
    EXPECT_EQ(controller->picStep, 0);
    ASSERT_NE(controller->resource.resourceData, nullptr);
    EXPECT_EQ(controller->resource.resourceSize,
              SizeofResource(nullptr, FindResourceA(nullptr, MAKEINTRESOURCEA(301), "TALVOR_HEX")));

    // ActionPicProgram: the bar is set up for the image's records.
    ASSERT_TRUE(uitest::pumpUntil([&] { return barTop() == static_cast<int>(lines); }, 10000))
        << "bar top " << barTop() << ", image lines " << lines;
    EXPECT_TRUE(enabled(IDC_PROGRESS));
    EXPECT_EQ(barPosition(), 0);
    expectControls(false, false, false);
    ASSERT_TRUE(uitest::pumpUntil([&] { return controller->responseTimer != 0; }, 10000));
    EXPECT_EQ(controller->responseTimer, ResponseTimerId);

    // No loader answers "LOAD_PIC 2": 2000 ms later the connection is declared lost.
    ASSERT_TRUE(uitest::pumpUntil([&] { return text(IDC_STATUS_BOX) == "No response received!"; },
                                  15000));
    EXPECT_EQ(text(IDC_CONNECTION_BOX), "Connection to KQ7750 lost.");
    EXPECT_EQ(barState(), PBST_ERROR);
    EXPECT_TRUE(enabled(IDC_CONNECT));
    EXPECT_EQ(controller->responseTimer, 0u);
}

TEST_F(ControllerTest, AnImageThatCannotBeLoadedShowsTheInternalErrorOnly) {
    controller->OnConnected(true);
    ASSERT_TRUE(controller->resource.LoadFirmwareResource(301, "TALVOR_HEX"));
    controller->picStep = 5;  // the next image would be 307, which does not exist
    controller->OnNextPic();
    EXPECT_EQ(text(IDC_UPDATE_BOX), InternalErrorText);
    EXPECT_EQ(controller->detailBox, controller->updateBox.get());
    EXPECT_EQ(controller->resource.resourceHandle, nullptr);
    EXPECT_EQ(controller->resource.resourceData, nullptr);
    EXPECT_EQ(controller->resource.resourceSize, 0u);
    expectControls(true, true, true);  // as OnConnected left them
    EXPECT_EQ(mode(), static_cast<uint32_t>(Idle));

    // Update Instrument with one digit of image 303 changed: refused before the update starts,
    // so the PC is not held awake for it.
    controller->OnConnected(true);
    {
        const char* record = static_cast<const char*>(
            LockResource(LoadResource(nullptr, FindResourceA(nullptr, MAKEINTRESOURCEA(303), "TALVOR_HEX"))));
        const char changed = record[1] == '0' ? '1' : '0';
        uitest::MappedPatch patch(record + 1, &changed, 1);
        ASSERT_TRUE(patch.applied());
        command(IDC_UPDATE);
    }
    EXPECT_EQ(text(IDC_UPDATE_BOX), InternalErrorText);
    EXPECT_FALSE(controller->powerHold.held()) << "held for an update that never started";
    expectControls(true, true, true);
}

TEST_F(ControllerTest, BlackfinPhasesFromEraseToCompletion) {
    const uint32_t lines = imageLines(300, "TALVOR_LDR");
    ASSERT_EQ(lines, 8585u) << "image 300 is not the one embedded in the installer";
    const std::set<std::wstring> logsBefore = logFiles();
    controller->updateLog.open(InstallerController::FormatVersionText());
    ASSERT_TRUE(controller->updateLog.isOpen());
    controller->OnConnected(true);
    setMode(Connecting);
    watchTaskbar(nullptr);  // another program in front

    controller->OnBlackfinProgramPreamble();
    ASSERT_NE(controller->resource.resourceData, nullptr);
    ASSERT_TRUE(uitest::pumpUntil(
        [&] {
            return text(IDC_STATUS_BOX) ==
                   "Erasing application memory - do not switch off unit or cancel operation...";
        },
        10000));
    EXPECT_EQ(barTop(), 12);
    EXPECT_TRUE(enabled(IDC_PROGRESS));
    EXPECT_EQ(barState(), PBST_NORMAL);
    expectControls(false, false, false);
    EXPECT_EQ(mode(), static_cast<uint32_t>(Updating));
    EXPECT_EQ(taskbarCalls, std::vector<std::string>{"state 1"}) << "not indeterminate during the erase";

    // The erase-complete reply: no record has gone out, so the whole image is left.
    controller->OnBlackfinErasePostamble();
    EXPECT_EQ(text(IDC_STATUS_BOX),
              "Reprogramming instrument - do not switch off unit or cancel operation...");
    EXPECT_EQ(text(IDC_UPDATE_BOX), "Programming application...");
    EXPECT_EQ(barTop(), static_cast<int>(lines) - 1);
    expectControls(false, false, false);
    // "LOAD_PROGRAM" goes out on the worker and asks for the response timer.
    ASSERT_TRUE(uitest::pumpUntil([&] { return controller->responseTimer != 0; }, 10000));

    // One step per record: the bar tops out one step before the last one. Each
    // PBM_SETPOS repaints the bar at once (a few ms under Wine on Xvfb), so the
    // bar's drawing and the probe's hook are off while the steps go by. Each step
    // carries the records still to send; the window has fallen behind at the end, so
    // the step that would say none are left never comes.
    probe.reset();
    SendMessageA(item(IDC_PROGRESS), WM_SETREDRAW, FALSE, 0);
    for (uint32_t record = 0; record <= lines; ++record) {
        controller->OnProgressed(record + 1 < lines ? lines - 1 - record : 1);
    }
    SendMessageA(item(IDC_PROGRESS), WM_SETREDRAW, TRUE, 0);
    probe.reset(new uitest::ProgressProbe());
    EXPECT_EQ(barPosition(), static_cast<int>(lines) - 1) << "steps beyond the range clamp";
    EXPECT_EQ(controller->progressBar->position, static_cast<int32_t>(lines) - 1);
    // Normal, with the bar's own position at each percent of it.
    std::vector<std::string> taskbar = {"state 1", "state 2"};
    for (uint32_t percent = 0; percent <= 100; ++percent)
        taskbar.push_back(std::to_string((percent * (lines - 1) + 99) / 100) + " of " + std::to_string(lines - 1));
    EXPECT_EQ(taskbarCalls, taskbar);

    uitest::BoxAnswerer answer("Update Complete", IDOK);
    controller->OnComplete();
    ASSERT_TRUE(answer.finish()) << "no completion box";
    EXPECT_EQ(answer.text(), SuccessText);
    EXPECT_EQ(text(IDC_STATUS_BOX), SuccessText);
    EXPECT_FALSE(enabled(IDC_PROGRESS));
    EXPECT_EQ(barPosition(), 0);
    EXPECT_EQ(barState(), PBST_NORMAL);
    expectControls(true, true, false);
    EXPECT_EQ(mode(), static_cast<uint32_t>(Idle));
    EXPECT_EQ(controller->resource.resourceHandle, nullptr);
    EXPECT_EQ(controller->connectTimer, 0u);
    EXPECT_EQ(controller->responseTimer, 0u);
    taskbar.insert(taskbar.end(), {"state 0", "flash"});
    EXPECT_EQ(taskbarCalls, taskbar);

    // The log counts the records from the steps' own counts, and the completion logs the
    // last tenth that no step brought.
    std::set<std::wstring> added = logFiles();
    for (const std::wstring& path : logsBefore) added.erase(path);
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(*added.begin(), controller->updateLog.path()) << "the log's path names another file";
    UniqueFileHandle file(CreateFileW(added.begin()->c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                      0, nullptr));
    std::string text(1 << 20, '\0');
    DWORD got = 0;
    ASSERT_TRUE(file.valid() && ReadFile(file.get(), &text[0], static_cast<DWORD>(text.size()), &got, nullptr));
    std::istringstream in(text.substr(0, got));
    std::vector<std::string> progress;
    for (std::string line; std::getline(in, line);) {
        const size_t at = line.find("Blackfin: ");
        if (at != std::string::npos) progress.push_back(line.substr(at, line.find('\r') - at));
    }
    ASSERT_EQ(progress.size(), 10u) << ::testing::PrintToString(progress);
    EXPECT_EQ(progress[8], "Blackfin: 7,727 of 8,585 records");
    EXPECT_EQ(progress[9], "Blackfin: 8,585 of 8,585 records");
}

TEST_F(ControllerTest, FailureWhileConnectingKeepsTheConnectTimerAndTheImage) {
    connect();
    ASSERT_TRUE(controller->resource.LoadFirmwareResource(302, "TALVOR_HEX"));
    setMode(Connecting);
    // A PIC's records under way, the control a paced step behind: it shows where they stopped.
    controller->progressBar->Configure(1000);
    for (int step = 0; step < 900 && barPosition() == controller->progressBar->position; ++step)
        controller->progressBar->StepPaced();
    controller->OnFailed();
    EXPECT_EQ(barPosition(), controller->progressBar->position);
    EXPECT_EQ(text(IDC_STATUS_BOX), CommsErrorRetryText);
    EXPECT_EQ(text(IDC_CONNECTION_BOX), "Failed to establish connection with KQ7750.");
    EXPECT_EQ(controller->connectTimer, InstallerController::ConnectTimerId);
    EXPECT_NE(controller->resource.resourceHandle, nullptr);
    EXPECT_EQ(barState(), PBST_NORMAL);
    EXPECT_EQ(mode(), static_cast<uint32_t>(Idle));
    expectControls(true, true, false);
}

TEST_F(ControllerTest, FailureDuringTheUpdateAbortsIt) {
    controller->OnConnected(true);
    // A window of the program's own in front (its About box, say): no flash.
    const HWND box = CreateWindowExA(0, "STATIC", "About", WS_POPUP, 0, 0, 0, 0, dialog, nullptr, nullptr, nullptr);
    watchTaskbar(box);
    ASSERT_TRUE(controller->resource.LoadFirmwareResource(300, "TALVOR_LDR"));
    controller->OnEngineTimer(ResponseTimerId, true);
    ASSERT_EQ(controller->responseTimer, ResponseTimerId);
    setMode(Updating);
    controller->OnFailed();
    EXPECT_EQ(text(IDC_STATUS_BOX), CommsErrorRetryText);
    EXPECT_EQ(text(IDC_CONNECTION_BOX), "Communications error - Update aborted!");
    EXPECT_EQ(barState(), PBST_ERROR);
    EXPECT_EQ(controller->responseTimer, 0u);
    EXPECT_FALSE(KillTimer(dialog, ResponseTimerId)) << "the response timer still runs";
    EXPECT_EQ(controller->resource.resourceHandle, nullptr);
    EXPECT_EQ(mode(), static_cast<uint32_t>(Idle));
    expectControls(true, true, false);
    EXPECT_EQ(taskbarCalls, std::vector<std::string>{"state 4"});
    // Explorer's message again (after its restart, or from any process): the same object shows it.
    SendMessageA(dialog, TaskbarProgress::buttonCreatedMessage(), 0, 0);
    refusedStates = 1;  // one that refuses the state on the new button is let go and made once more
    SendMessageA(dialog, TaskbarProgress::buttonCreatedMessage(), 0, 0);
    connect();  // the error stands until the next Connect
    EXPECT_EQ(taskbarCalls, (std::vector<std::string>{"state 4", "state 4", "state 4", "release", "state 4", "state 0"}));
    EXPECT_EQ(taskbarReferences, 1) << "the taskbar object was made again";
    DestroyWindow(box);
}

TEST_F(ControllerTest, ResponseTimeoutWhileIdleOnlyEnablesConnect) {
    controller->connectButton->enable(false);
    controller->OnEngineTimer(ResponseTimerId, true);
    controller->OnResponseTimeout();
    EXPECT_EQ(controller->responseTimer, 0u);
    EXPECT_TRUE(enabled(IDC_CONNECT));
    EXPECT_EQ(text(IDC_CONNECTION_BOX), "Not connected.");
    EXPECT_EQ(text(IDC_STATUS_BOX), SelectPortText);
    EXPECT_EQ(barState(), PBST_NORMAL);
}

TEST_F(ControllerTest, EngineTimerMessagesStartAndStopTheResponseTimer) {
    EXPECT_EQ(DialogProc(dialog, WM_ENGINE_TIMER, ResponseTimerId, 1), TRUE);
    EXPECT_EQ(controller->responseTimer, ResponseTimerId);
    EXPECT_TRUE(KillTimer(dialog, ResponseTimerId)) << "no timer was started";
    EXPECT_EQ(DialogProc(dialog, WM_ENGINE_TIMER, ResponseTimerId, 1), TRUE);
    EXPECT_EQ(DialogProc(dialog, WM_ENGINE_TIMER, ResponseTimerId, 0), TRUE);
    EXPECT_EQ(controller->responseTimer, 0u);
    EXPECT_FALSE(KillTimer(dialog, ResponseTimerId)) << "a stopped timer was left running";

    InstallerController withoutDialog(GetModuleHandleA(nullptr));
    EXPECT_EQ(withoutDialog.OnEngineTimer(ResponseTimerId, true), TRUE);
    EXPECT_EQ(withoutDialog.responseTimer, 0u);
}

TEST_F(ControllerTest, TimerProcedureRoutesByIdentifierOnly) {
    connect();
    InstallerController::TimerProc(dialog, WM_TIMER, InstallerController::ConnectTimerId, 0);
    EXPECT_EQ(controller->connectTicks, 1u);
    InstallerController::TimerProc(dialog, WM_TIMER, 7, 0);
    EXPECT_EQ(controller->connectTicks, 1u);
    EXPECT_EQ(barPosition(), 1);

    g_controller = nullptr;
    InstallerController::TimerProc(dialog, WM_TIMER, InstallerController::ConnectTimerId, 0);
    g_controller = controller;
    EXPECT_EQ(controller->connectTicks, 1u);

    controller->OnEngineTimer(ResponseTimerId, true);
    InstallerController::TimerProc(dialog, WM_TIMER, ResponseTimerId, 0);
    EXPECT_EQ(controller->responseTimer, 0u) << "the response time-out did not run";
    EXPECT_EQ(controller->connectTicks, 1u);
}

TEST_F(ControllerTest, ExitAsksOnlyWhileBusyWithUpdateDisabled) {
    // Idle: no question.
    {
        uitest::BoxAnswerer unexpected(ExitWarningCaption, IDOK, 1500);
        EXPECT_TRUE(controller->ConfirmExit());
        EXPECT_FALSE(unexpected.finish()) << "asked while idle";
    }
    // Connected (Update enabled): no question either.
    controller->OnConnected(true);
    setMode(Connecting);
    {
        uitest::BoxAnswerer unexpected(ExitWarningCaption, IDOK, 1500);
        EXPECT_TRUE(controller->ConfirmExit());
        EXPECT_FALSE(unexpected.finish()) << "asked while connected";
    }
    // Erasing: asks; Cancel keeps the program, OK lets it close.
    setMode(Updating);
    controller->updateButton->enable(false);
    {
        uitest::BoxAnswerer cancel(ExitWarningCaption, IDCANCEL);
        EXPECT_FALSE(controller->ConfirmExit());
        ASSERT_TRUE(cancel.finish());
        EXPECT_EQ(cancel.text(), ExitWarningText);
    }
    {
        uitest::BoxAnswerer ok(ExitWarningCaption, IDOK);
        EXPECT_TRUE(controller->ConfirmExit());
        ASSERT_TRUE(ok.finish());
    }
}

TEST_F(ControllerTest, CancelledExitLeavesWindowControllerAndEngine) {
    setMode(Updating);
    UpdateEngine* engine = g_engine;
    for (bool viaMenu : {false, true}) {
        uitest::BoxAnswerer cancel(ExitWarningCaption, IDCANCEL);
        if (viaMenu) {
            command(IDM_EXIT, 0);
        } else {
            SendMessageA(dialog, WM_CLOSE, 0, 0);
        }
        ASSERT_TRUE(cancel.finish()) << (viaMenu ? "File, Exit" : "close box") << " did not ask";
        EXPECT_TRUE(IsWindow(dialog));
        EXPECT_EQ(g_controller, controller);
        EXPECT_EQ(g_engine.load(), engine);
        EXPECT_EQ(mode(), static_cast<uint32_t>(Updating));
        EXPECT_FALSE(uitest::quitSeen());
    }
}

TEST_F(ControllerTest, ConfirmedExitDestroysEverythingAndQuitsWithZero) {
    setMode(Updating);
    uitest::BoxAnswerer ok(ExitWarningCaption, IDOK);
    command(IDM_EXIT, 0);
    ASSERT_TRUE(ok.finish());
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_EQ(g_controller, nullptr);
    EXPECT_EQ(g_engine.load(), nullptr);
    int exitCode = -1;
    uitest::pumpUntil([] { return uitest::quitSeen(); }, 2000);
    ASSERT_TRUE(uitest::quitSeen(&exitCode));
    EXPECT_EQ(exitCode, 0);
    // The engine is gone: an engine message now does nothing and says so.
    EXPECT_EQ(DialogProc(dialog, WM_ENGINE_ACTION, 0, 0), FALSE);
}

TEST_F(ControllerTest, CloseWhileTheCompletionBoxIsOpenLeavesTheControllerToWinMain) {
    // The completion box has no owner, so the main window can be closed under it.
    // Destroying the controller then would pull it from under OnComplete.
    uitest::BoxAnswerer answer("Update Complete", IDOK, 20000, [&](HWND box) {
        PostMessageA(dialog, WM_CLOSE, 0, 0);
        DWORD start = GetTickCount();
        while (IsWindow(dialog) && GetTickCount() - start < 10000) {
            Sleep(10);
        }
        (void)box;
    });
    controller->OnComplete();
    answer.finish();
    EXPECT_FALSE(IsWindow(dialog)) << "the close was not handled while the box was open";
    EXPECT_EQ(g_controller, controller) << "the controller was destroyed under its own handler";
    EXPECT_NE(g_engine.load(), nullptr);
}

TEST_F(ControllerTest, EnterAndEscDoNothingInTheMainWindow) {
    command(IDOK);
    command(IDCANCEL);
    SendMessageA(dialog, WM_KEYDOWN, VK_ESCAPE, 0);
    uitest::pumpFor(50);
    EXPECT_TRUE(IsWindow(dialog));
    EXPECT_EQ(g_controller, controller);
    EXPECT_FALSE(uitest::quitSeen());
}

TEST_F(ControllerTest, AboutBoxShowsTheReleaseWhileEngineActionsKeepRunning) {
    controller->detailBox = controller->connectionBox.get();
    HWND connectionBox = item(IDC_CONNECTION_BOX);
    uitest::BoxAnswerer about("About", IDOK, 20000, [&](HWND) {
        // An engine result posted while the box is open still reaches the window.
        g_engine.load()->postStatus("Posted during About");
        DWORD start = GetTickCount();
        while (uitest::windowText(connectionBox) != "Posted during About" &&
               GetTickCount() - start < 10000) {
            Sleep(10);
        }
    });
    about.captureItem(IDC_ABOUT_RELEASE);
    command(IDM_ABOUT, 0);  // returns when the box is closed
    ASSERT_TRUE(about.finish());
    EXPECT_EQ(about.itemText(IDC_ABOUT_RELEASE), "v1.01");
    EXPECT_EQ(text(IDC_CONNECTION_BOX), "Posted during About");
    EXPECT_TRUE(IsWindow(dialog));
}

// The PC is kept awake, and the process unthrottled, from Update Instrument to every end an
// update can have, and at no other time; where Windows makes no power request, the window
// thread's execution state stands in.
TEST_F(ControllerTest, PowerIsHeldFromTheUpdatesStartToEachOfItsEnds) {
    EndRecorder recorder;  // told after the controller's own followers
    const auto complete = [&] {
        uitest::BoxAnswerer answer("Update Complete", IDOK);
        controller->OnComplete();
        ASSERT_TRUE(answer.finish());
    };
    const struct {
        const char* name;
        const PowerApi* api;  // the Windows the row stands for
        bool createFails;
        int refused;          // a request type PowerSetRequest refuses, or -1
        const char* ends;     // what the followers are told of the update
        std::function<void()> end;
    } spans[] = {
        {"completion", &FakePowerApi, false, -1, "started completed box",
         [&] {
             // Cleared before the box, which may stand for hours.
             bool heldUnderBox = true;
             uitest::BoxAnswerer answer("Update Complete", IDOK, 20000,
                                        [&](HWND) { heldUnderBox = powerNow().keepsAwake(); });
             controller->OnComplete();
             ASSERT_TRUE(answer.finish());
             EXPECT_FALSE(heldUnderBox);
         }},
        {"failure during a PIC", &FakePowerApi, false, -1, "started failed",
         [&] {
             watchTaskbar(nullptr);  // another program in front
             controller->OnFailed();
             EXPECT_EQ(taskbarCalls, (std::vector<std::string>{"state 4", "flash"})) << "not shown as a failed update";
         }},
        {"failure during the Blackfin", &FakePowerApi, false, -1, "started failed",
         [&] {
             setMode(Updating);
             controller->OnFailed();
         }},
        {"a vanishing line, failing twice, after a suspend", &FakePowerApi, false, -1, "started failed",
         [&] {
             controller->OnSuspend();
             setMode(Updating);
             controller->OnFailed();
             controller->OnFailed();
         }},
        {"next PIC's image missing, then a late failure", &FakePowerApi, false, -1, "started failed",
         [&] {
             controller->picStep = 5;  // image 307 does not exist
             controller->OnNextPic();
             EXPECT_EQ(recorder.events, "started failed") << "not ended when the image was refused";
             controller->OnFailed();
         }},
        {"Blackfin image not loadable, then a late failure", &FakePowerApi, false, -1, "started failed",
         [&] {
             setMode(Updating);
             // FindResource's handle is the resource's directory entry: an empty resource.
             auto* entry = reinterpret_cast<IMAGE_RESOURCE_DATA_ENTRY*>(
                 FindResourceA(nullptr, MAKEINTRESOURCEA(300), "TALVOR_LDR"));
             const DWORD empty = 0;
             uitest::MappedPatch patch(&entry->Size, &empty, sizeof empty);
             ASSERT_TRUE(patch.applied());
             controller->OnBlackfinProgramPreamble();
             EXPECT_EQ(text(IDC_UPDATE_BOX), InternalErrorText);
             EXPECT_EQ(recorder.events, "started failed") << "not ended when the image was refused";
             controller->OnFailed();
         }},
        {"completion without a power request", &FakePowerApi, true, -1, "started completed box", complete},
        {"failure without a power request", &FakePowerApi, true, -1, "started failed",
         [&] {
             setMode(Updating);
             controller->OnFailed();
         }},
        {"completion on Windows 7, which refuses execution-required", &Windows7PowerApi, false,
         PowerRequestExecutionRequired, "started completed box", complete},
        {"failure with system-required refused", &FakePowerApi, false, PowerRequestSystemRequired,
         "started failed", [&] { controller->OnFailed(); }},
        {"completion on Vista, without power requests", &VistaPowerApi, false, -1, "started completed box",
         complete},
        {"an exception ending the program", &FakePowerApi, false, -1, "started abandoned",
         [&] {
             bool heldUnderBox = true;
             std::string endsUnderBox;
             uitest::BoxAnswerer answer("KQ7750 Installer Exception", IDOK, 20000, [&](HWND) {
                 heldUnderBox = powerNow().keepsAwake();
                 endsUnderBox = recorder.events;
             });
             InstallerController::ShowEscapedException("Out of memory");
             ASSERT_TRUE(answer.finish());
             EXPECT_FALSE(heldUnderBox);
             EXPECT_EQ(endsUnderBox, "started abandoned");
             // No window closes after the exception's box: the log's closing line names the exception.
             std::ifstream file(controller->updateLog.path().c_str(), std::ios::binary);
             const std::string logged((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
             EXPECT_NE(logged.find(" ms  Program ended by an exception during the update. Phase times: "), std::string::npos);
         }},
        // Last: the controller goes with it.
        {"exit during the erase", &FakePowerApi, false, -1, "started abandoned",
         [&] {
             setMode(Updating);
             close();
         }},
    };
    // The open port's rest timer holds its opt-out of timer-resolution throttling throughout.
    std::unique_ptr<RestTimer> restTimer(new RestTimer(FakeRestTimerApi));
    ASSERT_EQ(powerNow().throttlingControl, static_cast<ULONG>(PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION));
    // One controller for all: each end leaves it idle again, ready to connect.
    ASSERT_TRUE(controller->followers.add(recorder));
    controller->updateLog.open(InstallerController::FormatVersionText());
    for (const auto& span : spans) {
        SCOPED_TRACE(span.name);
        {
            std::lock_guard<std::mutex> guard(powerLock);
            power = PowerState();
            power.createFails = span.createFails;
            power.refused = span.refused;
        }
        controller->powerHold.setApi(*span.api);
        const int requests = span.api->powerCreateRequest ? 1 : 0;
        const bool throttles = span.api->setProcessInformation != nullptr;
        // Without a request that keeps the system awake, the thread's execution state does.
        const bool fallback = span.createFails || !requests || span.refused == PowerRequestSystemRequired;
        // Idle, then connected: nothing held.
        EXPECT_EQ(powerNow().throttlingCalls + powerNow().requestsMade, 0);
        controller->OnConnected(true);
        setMode(Connecting);
        recorder.events.clear();
        controller->OnSuspend();  // while connected: no update to tell of
        EXPECT_EQ(powerNow().requestsMade, 0);
        EXPECT_FALSE(powerNow().keepsAwake());

        // Called, not sent: Wine's dispatch of a sent message would swallow a crash in it.
        controller->OnUpdateClicked(BN_CLICKED);
        PowerState held = powerNow();
        EXPECT_EQ(held.requestsMade, requests);
        // The rest timer's opt-out stays beside the hold's.
        const ULONG both = PROCESS_POWER_THROTTLING_EXECUTION_SPEED | PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION;
        EXPECT_EQ(held.throttlingControl, throttles ? both : 0u);
        if (fallback) {
            EXPECT_TRUE(held.requestsSet.empty());
            EXPECT_FALSE(held.requestOpen) << "a request that keeps nothing awake was kept";
            EXPECT_EQ(held.threadState, static_cast<EXECUTION_STATE>(ES_CONTINUOUS | ES_SYSTEM_REQUIRED |
                                                                     ES_DISPLAY_REQUIRED));
            EXPECT_EQ(held.stateThread, GetCurrentThreadId()) << "not set on the window thread";
        } else {
            std::set<int> set = {PowerRequestDisplayRequired, PowerRequestSystemRequired,
                                 PowerRequestExecutionRequired};
            set.erase(span.refused);
            EXPECT_EQ(held.requestsSet, set);
            EXPECT_TRUE(held.requestOpen);
            EXPECT_EQ(held.reason, "KQ7750 Firmware Installer: instrument firmware update in progress");
            EXPECT_EQ(held.threadState, 0u) << "the fallback ran beside the power request";
        }

        span.end();
        EXPECT_EQ(recorder.events, span.ends);

        const PowerState after = powerNow();
        EXPECT_FALSE(after.keepsAwake());
        EXPECT_TRUE(after.requestsSet.empty());
        EXPECT_FALSE(after.requestOpen) << "the request's handle was not closed";
        EXPECT_EQ(after.threadState, fallback ? static_cast<EXECUTION_STATE>(ES_CONTINUOUS) : 0u);
        EXPECT_EQ(after.throttlingControl,
                  throttles ? static_cast<ULONG>(PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION) : 0u)
            << "the execution speed not handed back, or the rest timer's opt-out with it";
        EXPECT_EQ(after.throttlingCalls, throttles ? 2 : 0);
        EXPECT_EQ(after.requestsMade, requests);
    }
    restTimer.reset();
    EXPECT_EQ(powerNow().throttlingControl, 0u) << "the rest timer's opt-out outlived it";
}

// A screen reader hears each control by its name and each new text of a line once, on a
// Windows that takes annotations and announces an edit's texts itself, and on Wine 8, which
// does neither: names through annotations alone there, through WM_GETOBJECT here.
TEST_F(ControllerTest, ScreenReadersHearEachControlByItsNameAndEachTextOnce) {
    const ComApartment apartment;  // WinMain's
    const struct {
        const char* name;
        bool windows;
        int refused;  // the control whose name annotation is refused, or 0
    } rows[] = {{"Windows", true, 0}, {"Windows refusing one control's name", true, IDC_PROGRESS}, {"Wine 8", false, 0}};
    const std::pair<int, std::string> names[] = {
        {IDC_PORT_LIST, "Serial port"}, {IDC_CONNECTION_BOX, "Connection"}, {IDC_UPDATE_BOX, "Update"},
        {IDC_STATUS_BOX, "Status"},     {IDC_PROGRESS, "Update progress"},
        {IDC_RELEASE_LABEL, "The firmware will be updated to release: v1.01"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        close();
        annotationCalls.clear();
        refusedName = row.refused;
        ScreenReaderSupport::setAnnotationSource(row.windows ? &takeAnnotations : nullptr);
        const HHOOK system = row.windows ? SetWindowsHookExA(WH_CALLWNDPROCRET, announceEditText, nullptr,
                                                             GetCurrentThreadId())
                                         : nullptr;
        open();
        std::vector<std::string> annotated = {"name 0 KQ7750", "clear 0 1"};  // the hidden edit that asks Windows
        for (const auto& control : names) {
            if (row.windows) annotated.push_back("name " + std::to_string(control.first) + " " + control.second);
            if (row.windows && control.first != row.refused) {
                EXPECT_EQ(SendMessageA(item(control.first), WM_GETOBJECT, 0, OBJID_CLIENT), 0) << control.second;
            } else {
                EXPECT_EQ(accessibleName(item(control.first)), control.second);
            }
        }
        annotated.push_back("live " + std::to_string(IDC_STATUS_BOX) + " 1");
        EXPECT_EQ(annotationCalls, row.windows ? annotated : std::vector<std::string>());
        EXPECT_EQ(valueChangesDuring([&] {
                      controller->statusBox->setText("one");
                      controller->updateBox->setText("two");
                  }),
                  (std::vector<int>{IDC_STATUS_BOX, IDC_UPDATE_BOX, -1}));
        annotationCalls.clear();
        close();
        std::sort(annotationCalls.begin(), annotationCalls.end());
        std::vector<std::string> cleared = {"clear 1010 1", "clear 1011 1", "clear 1012 2", "clear 1013 1",
                                            "clear 1014 1", "clear " + std::to_string(IDC_RELEASE_LABEL) + " 1"};
        // The refused one was served as on Wine, and has no annotation to clear.
        if (row.refused) cleared.erase(std::find(cleared.begin(), cleared.end(), "clear " + std::to_string(row.refused) + " 1"));
        EXPECT_EQ(annotationCalls, row.windows ? cleared : std::vector<std::string>());
        if (system) UnhookWindowsHookEx(system);
    }
    ScreenReaderSupport::setAnnotationSource(nullptr);
    refusedName = 0;
}

TEST_F(ControllerTest, EngineActionMessageWithAnEmptyQueueSucceeds) {
    EXPECT_EQ(DialogProc(dialog, WM_ENGINE_ACTION, 0, 0), TRUE);
}

// An adapter that stalls a Blackfin record's write keeps the worker in the port's write
// with the engine lock held: the window goes on answering all the same, and once the write
// is let go the update completes with every target exact.
TEST_F(ControllerTest, AStalledRecordWriteLeavesTheWindowAnswering) {
    RigClient rig;
    ASSERT_TRUE(rig.connected()) << rig.lastError();
    driver = std::make_unique<serialtest::WindowsDriverModel>();
    {
        auto guard = g_engine.load()->lock.lock();
        g_engine.load()->port->setDeviceApi(driver->api());
    }
    const std::string stalled = imageRecord(300, "TALVOR_LDR", 99);
    ASSERT_GT(stalled.size(), 10u);
    driver->holdWrite(stalled);
    const int sim = rig.start(TestPortNumber, "loader --expect-dir \"" + testenv::variable("KQ_SOURCE_DIR") +
                                                  "/resources/firmware\"");
    ASSERT_GE(sim, 0) << rig.lastError();
    connect();
    ASSERT_TRUE(uitest::pumpUntil([&] { return enabled(IDC_UPDATE); }, 30000)) << text(IDC_CONNECTION_BOX);
    watchTaskbar(nullptr);
    // The bar's drawing and the probe's hook cost milliseconds a step under Wine; the
    // bar's position is kept all the same.
    probe.reset();
    SendMessageA(item(IDC_PROGRESS), WM_SETREDRAW, FALSE, 0);

    // Another thread asks the window once the write is held, then lets the write go, then
    // answers the completion box.
    std::atomic<bool> ended{false}, released{false};
    bool answered = false, stillHeld = false, boxAnswered = false;
    std::thread asker([&] {
        if (!serialtest::waitUntil([&] { return driver->writeHeld() || ended; }, 180000) || ended) return;
        DWORD_PTR result = 0;
        answered = SendMessageTimeoutA(dialog, WM_NULL, 0, 0, SMTO_NORMAL, 20000, &result) != 0;
        stillHeld = driver->writeHeld();
        driver->releaseHeldWrite();
        released = true;
        HWND box = nullptr;
        serialtest::waitUntil(
            [&] { return (box = FindWindowA("#32770", "Update Complete")) != nullptr || ended; }, 180000);
        if (box != nullptr) {
            boxAnswered = SendMessageTimeoutA(GetDlgItem(box, IDOK), BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 5000,
                                              &result) != 0;
        }
    });
    command(IDC_UPDATE);
    int positionAtRelease = -1;
    bool steppedOn = false;
    uitest::pumpUntil(
        [&] {
            if (released && positionAtRelease < 0) positionAtRelease = controller->progressBar->position;
            steppedOn = steppedOn || (positionAtRelease >= 0 && controller->progressBar->position > positionAtRelease);
            return enabled(IDC_CONNECT);
        },
        180000);
    ended = true;
    asker.join();
    const nlohmann::json summary = nlohmann::json::parse(rig.stop(sim), nullptr, false);
    EXPECT_TRUE(rig.unlink(TestPortNumber)) << rig.lastError();

    EXPECT_TRUE(released) << "the record's write was never held";
    EXPECT_TRUE(answered) << "the window did not answer while the write was held";
    EXPECT_TRUE(stillHeld) << "the window answered only once the port had given the write up";
    EXPECT_TRUE(steppedOn) << "the bar did not step on after the write went";
    EXPECT_TRUE(boxAnswered);
    EXPECT_EQ(text(IDC_STATUS_BOX), SuccessText);
    // On the taskbar: the records of the PICs, the erase, the Blackfin's records, then nothing and a flash.
    std::vector<std::string> states;
    for (const std::string& call : taskbarCalls)
        if (call.rfind("state ", 0) == 0 || call == "flash") states.push_back(call);
    EXPECT_EQ(states, (std::vector<std::string>{"state 2", "state 1", "state 2", "state 0", "flash"}));
    ASSERT_FALSE(summary.is_discarded());
    const struct {
        const char* target;
        WORD id;
        const char* type;
    } images[] = {{"pic2", 301, "TALVOR_HEX"}, {"pic3", 302, "TALVOR_HEX"}, {"pic4", 303, "TALVOR_HEX"},
                  {"blackfin", 300, "TALVOR_LDR"}};
    for (const auto& image : images) {
        const nlohmann::json& target = summary.at("targets").at(image.target);
        EXPECT_EQ(target.at("image"), nlohmann::json(std::to_string(image.id))) << image.target;
        EXPECT_EQ(target.at("records"), nlohmann::json(imageLines(image.id, image.type))) << image.target;
        EXPECT_TRUE(target.at("bad_records").empty()) << image.target;
    }
}

// Runs in the child that PortEnumeratorTest.FallsBackWhenSetupApiIsMissing starts.
TEST(WithoutSetupApi, PortListFallsBackToElevenFixedRows) {
    const char* flag = std::getenv("KQ_UI_NO_SETUPAPI");
    if (flag == nullptr || std::string(flag) != "1") {
        GTEST_SKIP() << "runs in the child of PortEnumeratorTest.FallsBackWhenSetupApiIsMissing";
    }
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&controls);
    InstallerController* controller = new InstallerController(GetModuleHandleA(nullptr));
    g_controller = controller;
    HWND dialog = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_INSTALLER),
                                     nullptr, DialogProc, 0);
    ASSERT_NE(dialog, nullptr);
    HWND list = GetDlgItem(dialog, IDC_PORT_LIST);
    ASSERT_EQ(SendMessageA(list, CB_GETCOUNT, 0, 0), 11);
    for (int row = 0; row < 11; ++row) {
        char rowText[64] = {};
        SendMessageA(list, CB_GETLBTEXT, row, reinterpret_cast<LPARAM>(rowText));
        EXPECT_EQ(std::string(rowText), "Communications Port, COM" + std::to_string(row));
        EXPECT_EQ(controller->portNumbers[row], row);
    }
    EXPECT_EQ(SendMessageA(list, CB_GETCURSEL, 0, 0), 1);
    DestroyWindow(dialog);
    delete g_controller;
    g_controller = nullptr;
}

}  // namespace
