// Drives the installer's main window from another process, the way an engineer would
// use it: read the boxes, labels, progress bar and enabled states; press the buttons.
#pragma once

#include <windows.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace installer {

constexpr const char* kWindowTitle = "KQ7750 Firmware Installer";

// Controls of the main dialog and the About box.
constexpr int kProgressBar = 1010;
constexpr int kPortList = 1011;
constexpr int kStatusBox = 1012;
constexpr int kConnectionBox = 1013;
constexpr int kUpdateBox = 1014;
constexpr int kConnectButton = 1015;
constexpr int kUpdateButton = 1016;
constexpr int kReleaseLabel = 1017;
constexpr int kAboutRelease = 1018;

// Menu items, as the menu bar shows them; their command ids are read from the window's
// own menu (TextTap::menuCommand).
constexpr const char* kFileMenu = "&File";
constexpr const char* kExitItem = "E&xit";
constexpr const char* kHelpMenu = "&Help";
constexpr const char* kAboutItem = "&About ...";

}  // namespace installer

// The window stopped answering, or a control is missing: the test cannot go on.
class DriverError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Everything the engineer can see in the main window at one moment.
struct WindowState {
    std::string connection;  // box 1013
    std::string update;      // box 1014
    std::string status;      // box 1012
    std::string release;     // label 1017
    bool portListEnabled = false;
    bool connectEnabled = false;
    bool updateEnabled = false;
    bool progressEnabled = false;
    int progressPosition = 0;
    int progressLow = 0;
    int progressHigh = 0;
    // Not the bar's state (normal or error): Wine 8 answers PBM_GETSTATE with PBST_NORMAL
    // whatever was set. The text tap records the states the installer sets.

    // Equal in everything but the bar's position, which moves on its own during a transfer.
    bool sameApartFromPosition(const WindowState& other) const;
    bool operator==(const WindowState& other) const;
    bool operator!=(const WindowState& other) const { return !(*this == other); }
    // Several lines, for failure messages and the demo's output.
    std::string describe() const;
};

// Non-owning: the window belongs to the installer process.
class InstallerWindow {
public:
    explicit InstallerWindow(HWND window = nullptr) : hwnd(window) {}

    // The top-level window titled exactly like the installer's, or null.
    static HWND find();
    // Waits for that window; null when it did not appear in time.
    static HWND waitFor(DWORD timeoutMs);

    HWND handle() const { return hwnd; }
    bool exists() const { return hwnd && IsWindow(hwnd); }
    DWORD processId() const;
    RECT screenRect() const;

    std::string text(int id) const;
    bool enabled(int id) const;
    int progressPosition() const;
    int progressLow() const;
    int progressHigh() const;

    // One read of every control. The installer may handle a message between two of
    // the reads; stableState() reads until two reads agree.
    WindowState state() const;
    WindowState stableState() const;

    // The id of the main window's control that has the keyboard focus; 0 when none has.
    int focusedControl() const;

    std::vector<std::string> portRows() const;
    int selectedRow() const;  // CB_ERR (-1) when none
    // Selects a row as a click in the list would: CB_SETCURSEL, then the CBN_SELCHANGE
    // notification the dialog would have received.
    void selectRow(int row) const;

    // BM_CLICK through SendMessageTimeoutA: returns once the installer has handled it.
    void click(int id) const;
    // A menu command (WM_COMMAND), posted as the menu would (About opens a modal box).
    void postMenuCommand(int command) const;
    // A key pressed and released (WM_KEYDOWN, WM_KEYUP) as the keyboard would deliver it:
    // posted to the control that has the focus, or to the window when none has.
    void postKey(WORD virtualKey) const;
    // Waits until control `id` has the focus; false when it did not get it in time.
    bool waitForFocus(int id, DWORD timeoutMs = 5000) const;
    // Presses Tab `presses` times; the control that has the focus after each press, 0 for
    // a press after which the focus did not move.
    std::vector<int> tabCycle(int presses) const;
    // WM_CLOSE, posted: the close may ask first with a modal box.
    void postClose() const;
    // WM_DEVICECHANGE with DBT_DEVNODES_CHANGED, posted, as Windows tells every top-level
    // window after a plug; Wine sends none when a test registers a device.
    void postDevicesChanged() const;

    // Opens the About box with its menu command, reads its release text, closes it.
    std::string aboutRelease(int aboutCommand, DWORD timeoutMs = 10000) const;

private:
    HWND control(int id) const;
    LRESULT send(HWND target, UINT message, WPARAM wParam, LPARAM lParam) const;

    HWND hwnd;
};

// A modal box of the installer (message box or About box), found by its caption.
class ModalBox {
public:
    explicit ModalBox(HWND box = nullptr) : hwnd(box) {}

    // A visible top-level dialog (class #32770) with exactly this caption; when
    // processId is not 0, only one of that process. Null when there is none.
    static HWND find(const std::string& caption, DWORD processId = 0);
    static HWND waitFor(const std::string& caption, DWORD timeoutMs, DWORD processId = 0);

    HWND handle() const { return hwnd; }
    bool exists() const { return hwnd && IsWindow(hwnd); }
    std::string caption() const;
    // A message box's text is its control 0xFFFF.
    std::string messageText() const;
    std::string controlText(int id) const;
    bool hasButton(int id) const;
    // The button's click (IDOK, IDCANCEL, ...) as the box would get it; returns once the
    // box has closed. Nothing in the installer bounds how soon its window thread gets to the
    // click, so the limit only tells a hang from a slow CPU: a 32-bit installer under qemu-user
    // with Wine's relay trace on, beside three other rigs, took over 10 s.
    void press(int buttonId, DWORD timeoutMs = 120000) const;

private:
    HWND hwnd;
};
