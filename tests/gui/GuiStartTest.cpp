// The window as it opens: the port list from the Setup API (one device, none, or the
// fixed list when SETUPAPI.DLL cannot load), the release, the texts of "Not connected"
// (also with DLLs planted beside the program, none of which it may load),
// and the single-instance rule; and the port list following adapters plugged in and
// pulled out while the window is open.
#include "tests/gui/GuiTest.h"

#include <commctrl.h>  // CB_ERR

#include <algorithm>
#include <cstring>

namespace {

void expectNotConnected(const WindowState& s) {
    EXPECT_EQ(s.connection, installer::kNotConnectedConnection);
    EXPECT_EQ(s.update, installer::kNotConnectedUpdate);
    EXPECT_EQ(s.status, installer::kNotConnectedStatus);
    EXPECT_TRUE(s.portListEnabled);
    EXPECT_TRUE(s.connectEnabled);
    EXPECT_FALSE(s.updateEnabled);
    EXPECT_FALSE(s.progressEnabled);
    EXPECT_EQ(s.progressPosition, 0);
}

// A window of the test's own, to hold the foreground until the second installer takes it.
class ForegroundHolder {
public:
    ForegroundHolder() {
        window = CreateWindowExA(0, "STATIC", "GUI test foreground holder", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                 200, 100, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    }
    ~ForegroundHolder() {
        if (window) DestroyWindow(window);
    }
    ForegroundHolder(const ForegroundHolder&) = delete;
    ForegroundHolder& operator=(const ForegroundHolder&) = delete;
    HWND handle() const { return window; }

private:
    HWND window;
};

// Waits until the port list shows exactly `rows` with a row selected, and gives that row.
// A refill empties the list (and its selection) first and selects last: a read that
// overlaps one fails or sees too few rows and no selection, and is made again.
// Bounded as the fixture's waits for the window are (30 s): on a loaded machine Wine may take
// seconds for what takes a fraction of one alone.
testing::AssertionResult waitForRows(const InstallerWindow& window, const std::vector<std::string>& rows,
                                     int& selected) {
    const ULONGLONG end = GetTickCount64() + 30000;
    std::vector<std::string> seen;
    for (;;) {
        try {
            selected = window.selectedRow();
            seen = window.portRows();
            if (selected != CB_ERR && seen == rows && window.selectedRow() == selected) {
                return testing::AssertionSuccess();
            }
        } catch (const DriverError&) {
            // The list changed under the read.
        }
        if (GetTickCount64() >= end) {
            testing::AssertionResult failure = testing::AssertionFailure() << "rows last seen:";
            for (const std::string& row : seen) failure << " [" << row << "]";
            return failure << ", row " << selected << " selected\n";
        }
        Sleep(20);
    }
}

void pumpMessages() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
}

}  // namespace

TEST_F(GuiTest, RegisteredComOneIsListedSelectedAndTheWindowIsNotConnected) {
    ASSERT_NO_FATAL_FAILURE(registerComOne());
    // Started from a folder that also holds DLLs named as those the program loads itself:
    // none of them may be loaded, and the real ones still serve. (VERSION.dll cannot be
    // planted here: Wine's own user32.dll imports it at every start, before the program runs.)
    const std::string copy = installerWithPlantedDlls({"setupapi", "winmm", "dbghelp"});
    ASSERT_FALSE(copy.empty());
    ASSERT_NO_FATAL_FAILURE(launch(copy));

    EXPECT_EQ(window.portRows(), std::vector<std::string>{std::string("COM1, (") + kPortDescription + ")"});
    EXPECT_EQ(window.selectedRow(), 0);
    const WindowState s = window.stableState();
    expectNotConnected(s);
    EXPECT_EQ(s.release, "v1.01");
    EXPECT_EQ(window.aboutRelease(menuCommand(installer::kHelpMenu, installer::kAboutItem)), "v1.01");
    // The About box leaves the main window as it was.
    EXPECT_EQ(window.stableState(), s);

    EXPECT_EQ(closeWithoutQuestion(), 0u);
    EXPECT_EQ(plantedDllsLoaded(), std::vector<std::string>{}) << "DLLs loaded from the installer's folder";
}

TEST_F(GuiTest, WithoutAnyPortDeviceTheListIsEmptyAndConnectDoesNothing) {
    ASSERT_NO_FATAL_FAILURE(removePortDevices());
    ASSERT_NO_FATAL_FAILURE(startLoader());
    ASSERT_NO_FATAL_FAILURE(launch());

    EXPECT_TRUE(window.portRows().empty());
    EXPECT_EQ(window.selectedRow(), CB_ERR);
    const WindowState before = window.stableState();
    expectNotConnected(before);

    window.click(installer::kConnectButton);
    // Whatever Connect started would have written "###" to the loader by now.
    Sleep(1500);
    EXPECT_EQ(window.stableState(), before);
    EXPECT_TRUE(tap.texts().empty()) << describeTexts(tapped());
    const nlohmann::json summary = stopLoader();
    EXPECT_EQ(summary.at("bytes_received").get<long long>(), 0) << "the loader heard from the installer";

    EXPECT_EQ(closeWithoutQuestion(), 0u);
}

TEST_F(GuiTest, WithoutSetupApiTheFixedListIsShownWithComOneSelectedAndConnectWorks) {
    // COM1 stays registered: were the Setup API used, its row would show instead.
    ASSERT_NO_FATAL_FAILURE(registerComOne());
    ASSERT_NO_FATAL_FAILURE(startLoader());
    ASSERT_NO_FATAL_FAILURE(disableSetupApiForInstaller());
    ASSERT_NO_FATAL_FAILURE(launch());

    std::vector<std::string> expected;
    for (int n = 0; n <= 10; ++n) expected.push_back("Communications Port, COM" + std::to_string(n));
    EXPECT_EQ(window.portRows(), expected);
    EXPECT_EQ(window.selectedRow(), 1);
    expectNotConnected(window.stableState());

    PhaseWatcher watcher(window);
    ASSERT_NO_FATAL_FAILURE(connect(watcher));
    EXPECT_EQ(watcher.last().state.connection, expectedSummary());
    EXPECT_EQ(closeWithoutQuestion(), 0u);
}

TEST_F(GuiTest, SecondInstanceExitsWithMinusOneAndBringsTheFirstToTheFront) {
    ASSERT_NO_FATAL_FAILURE(registerComOne());
    ASSERT_NO_FATAL_FAILURE(launch());
    // Minimized: activation alone would leave it so.
    ShowWindow(window.handle(), SW_MINIMIZE);
    ASSERT_TRUE(IsIconic(window.handle()));

    ForegroundHolder holder;
    ASSERT_NE(holder.handle(), nullptr);
    SetForegroundWindow(holder.handle());  // checked through GetForegroundWindow below
    pumpMessages();
    ASSERT_EQ(GetForegroundWindow(), holder.handle()) << "the test could not take the foreground";

    InstallerProcess second;
    ASSERT_TRUE(second.start(InstallerProcess::defaultPath())) << second.lastError();
    DWORD code = 0;
    ASSERT_TRUE(second.waitExit(kWindowTimeoutMs, code)) << "the second instance did not end";
    EXPECT_EQ(code, static_cast<DWORD>(-1));
    // The first window is activated on its own thread, which may come after the second has
    // ended (Wine 10 shows no foreground window in between): the outcome is waited for.
    const ULONGLONG end = GetTickCount64() + 10000;
    for (pumpMessages(); (GetForegroundWindow() != window.handle() || IsIconic(window.handle())) && GetTickCount64() < end;
         pumpMessages()) {
        Sleep(20);
    }
    EXPECT_EQ(GetForegroundWindow(), window.handle());
    EXPECT_FALSE(IsIconic(window.handle()));
    // The first is untouched and still the only one.
    EXPECT_EQ(InstallerWindow::find(), window.handle());
    EXPECT_TRUE(installer.running());
    expectNotConnected(window.stableState());

    EXPECT_EQ(closeWithoutQuestion(), 0u);
}

TEST_F(GuiTest, PortListFollowsDeviceChangesWhileIdleAndStandsStillDuringAnUpdate) {
    const std::string comOne = std::string("COM1, (") + kPortDescription + ")";
    ASSERT_NO_FATAL_FAILURE(registerPorts({{"COM1", kPortDescription}, {"COM5", kUsbDescription}}));
    // At the line's real speed, so the update is still running when the list is tried.
    ASSERT_NO_FATAL_FAILURE(startLoader("--paced"));
    ASSERT_NO_FATAL_FAILURE(launch());
    ASSERT_EQ(window.portRows(), (std::vector<std::string>{comOne, usbRow("COM5")}));
    window.selectRow(1);

    // An adapter plugged in lists ahead of the others; Windows tells of it in a burst.
    ASSERT_NO_FATAL_FAILURE(
        registerPorts({{"COM7", kUsbDescription}, {"COM1", kPortDescription}, {"COM5", kUsbDescription}}));
    size_t mark = tap.recorded();
    for (int i = 0; i < 10; ++i) window.postDevicesChanged();
    int selected = CB_ERR;
    ASSERT_TRUE(waitForRows(window, {usbRow("COM7"), comOne, usbRow("COM5")}, selected))
        << "rows never followed the plug";
    EXPECT_EQ(selected, 2) << "the selection left COM5";
    // Time enough for a second fill, had the burst caused one.
    Sleep(1000);
    EXPECT_EQ(tap.portListRefills(mark), 1u) << "ten messages, one enumeration";

    // The selected adapter pulled out: the first row is selected instead.
    ASSERT_NO_FATAL_FAILURE(registerPorts({{"COM7", kUsbDescription}, {"COM1", kPortDescription}}));
    window.postDevicesChanged();
    ASSERT_TRUE(waitForRows(window, {usbRow("COM7"), comOne}, selected)) << "COM5 stays listed";
    EXPECT_EQ(selected, 0);
    EXPECT_TRUE(tap.texts(mark).empty()) << "a refill changed a box:\n" << describeTexts(tapped(mark));

    // During an update the list stands still, whatever is plugged in.
    window.selectRow(1);
    PhaseWatcher connecting(window);
    ASSERT_NO_FATAL_FAILURE(connect(connecting));
    PhaseWatcher updating(window);
    window.click(installer::kUpdateButton);
    ASSERT_TRUE(updating.watch([](const Observation& o) { return o.phase == Phase::Pic2; }, 30000))
        << updating.describe();
    ASSERT_NO_FATAL_FAILURE(
        registerPorts({{"COM7", kUsbDescription}, {"COM1", kPortDescription}, {"COM9", kUsbDescription}}));
    mark = tap.recorded();
    window.postDevicesChanged();
    Sleep(1000);
    const WindowState during = window.stableState();
    const Phase phase = classifyPhase(during);
    ASSERT_TRUE(phase == Phase::Pic2 || phase == Phase::Pic3 || phase == Phase::Pic4 || phase == Phase::Erasing ||
                phase == Phase::Programming)
        << "the update is no longer running:\n" << during.describe();
    EXPECT_EQ(window.portRows(), (std::vector<std::string>{usbRow("COM7"), comOne}));
    EXPECT_EQ(window.selectedRow(), 1);
    EXPECT_EQ(tap.portListRefills(mark), 0u);

    // The instrument goes away: once Connect is free again the list shows what came meanwhile.
    stopLoader();
    ASSERT_TRUE(waitForRows(window, {usbRow("COM7"), comOne, usbRow("COM9")}, selected)) << "the change was lost";
    EXPECT_TRUE(window.stableState().connectEnabled);
    EXPECT_EQ(selected, 1) << "the port in use lost its row";
    EXPECT_EQ(tap.portListRefills(mark), 1u);

    // The first row's port is kept too when an adapter lists ahead of it.
    window.selectRow(0);
    ASSERT_NO_FATAL_FAILURE(registerPorts({{"COM3", kUsbDescription}, {"COM7", kUsbDescription},
                                           {"COM1", kPortDescription}, {"COM9", kUsbDescription}}));
    window.postDevicesChanged();
    ASSERT_TRUE(waitForRows(window, {usbRow("COM3"), usbRow("COM7"), comOne, usbRow("COM9")}, selected))
        << "rows never followed the plug";
    EXPECT_EQ(selected, 1) << "the selection left COM7";

    EXPECT_EQ(closeWithoutQuestion(), 0u);
}


// The installer's own manifest, as the loader reads it into an activation context.
TEST(InstallerManifestTest, DeclaresSystemDpiAwarenessAndWindows7To11) {
    const std::string path = InstallerProcess::defaultPath();
    ACTCTXA request = {};
    request.cbSize = sizeof request;
    request.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID;
    request.lpSource = path.c_str();
    request.lpResourceName = MAKEINTRESOURCEA(1);
    const HANDLE context = CreateActCtxA(&request);
    ASSERT_NE(context, INVALID_HANDLE_VALUE) << "no manifest in " << path;
    // Read by Windows only in this namespace: anywhere else the window is stretched and blurred.
    wchar_t dpiAware[16] = {};
    SIZE_T written = 0;
    EXPECT_TRUE(QueryActCtxSettingsW(0, context, L"http://schemas.microsoft.com/SMI/2005/WindowsSettings",
                                     L"dpiAware", dpiAware, 16, &written));
    EXPECT_EQ(std::wstring(dpiAware), L"true");
    // The supportedOS ids: class 6, CompatibilityInformationInActivationContext, an element
    // count and then elements whose layout differs between Windows versions, so each id is
    // looked for as it stands in memory.
    std::vector<char> info(1024);
    SIZE_T needed = 0;
    EXPECT_TRUE(QueryActCtxW(0, context, nullptr, 6, info.data(), info.size(), &needed));
    ReleaseActCtx(context);
    DWORD count = 0;
    std::memcpy(&count, info.data(), sizeof count);
    EXPECT_EQ(count, 4u);
    const GUID windows7To11[] = {
        {0x35138b9a, 0x5d96, 0x4fbd, {0x8e, 0x2d, 0xa2, 0x44, 0x02, 0x25, 0xf9, 0x3a}},
        {0x4a2f28e3, 0x53b9, 0x4441, {0xba, 0x9c, 0xd6, 0x9d, 0x4a, 0x4a, 0x6e, 0x38}},
        {0x1f676c76, 0x80e1, 0x4239, {0x95, 0xbb, 0x83, 0xd0, 0xf6, 0xd0, 0xda, 0x78}},
        {0x8e0f7a12, 0xbfb3, 0x4fe8, {0xb9, 0xa5, 0x48, 0xfd, 0x50, 0xa1, 0x5a, 0x9a}},  // 10 and 11
    };
    for (const GUID& id : windows7To11) {
        const char* bytes = reinterpret_cast<const char*>(&id);
        EXPECT_NE(std::search(info.begin(), info.end(), bytes, bytes + sizeof id), info.end())
            << "supportedOS {" << std::hex << id.Data1 << "-...} missing";
    }
}
