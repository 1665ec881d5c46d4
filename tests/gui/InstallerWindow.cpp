// Cross-process driving of the installer's windows; see InstallerWindow.h.
#include "tests/gui/InstallerWindow.h"

#include <commctrl.h>

#include <algorithm>
#include <sstream>

namespace {

// Long enough for a window thread that is busy with a burst of engine actions.
constexpr UINT kAnswerTimeoutMs = 10000;

struct BoxSearch {
    const std::string* caption;
    DWORD processId;
    HWND found;
};

BOOL CALLBACK matchBox(HWND window, LPARAM context) {
    BoxSearch& search = *reinterpret_cast<BoxSearch*>(context);
    char className[16] = {};
    if (!GetClassNameA(window, className, sizeof className) || std::string(className) != "#32770")
        return TRUE;
    if (!IsWindowVisible(window)) return TRUE;
    if (search.processId) {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner != search.processId) return TRUE;
    }
    char title[256] = {};
    GetWindowTextA(window, title, sizeof title);
    if (*search.caption != title) return TRUE;
    search.found = window;
    return FALSE;
}

std::string readText(HWND target) {
    // One message for the usual short text; the length is asked only for a long one.
    // Every message costs the installer's window thread a wake-up.
    std::string text(512, '\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutA(target, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]), SMTO_BLOCK,
                             kAnswerTimeoutMs, &copied))
        throw DriverError("WM_GETTEXT got no answer");
    if (copied + 1 >= text.size()) {
        DWORD_PTR length = 0;
        if (!SendMessageTimeoutA(target, WM_GETTEXTLENGTH, 0, 0, SMTO_BLOCK, kAnswerTimeoutMs, &length))
            throw DriverError("WM_GETTEXTLENGTH got no answer");
        text.assign(length + 1, '\0');
        if (!SendMessageTimeoutA(target, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(&text[0]), SMTO_BLOCK,
                                 kAnswerTimeoutMs, &copied))
            throw DriverError("WM_GETTEXT got no answer");
    }
    text.resize(std::min<size_t>(copied, text.size()));
    return text;
}

}  // namespace

bool WindowState::sameApartFromPosition(const WindowState& other) const {
    return connection == other.connection && update == other.update && status == other.status &&
           release == other.release && portListEnabled == other.portListEnabled &&
           connectEnabled == other.connectEnabled && updateEnabled == other.updateEnabled &&
           progressEnabled == other.progressEnabled && progressLow == other.progressLow &&
           progressHigh == other.progressHigh;
}

bool WindowState::operator==(const WindowState& other) const {
    return sameApartFromPosition(other) && progressPosition == other.progressPosition;
}

std::string WindowState::describe() const {
    auto onOff = [](bool on) { return on ? "on" : "off"; };
    std::ostringstream out;
    out << "  connection: \"" << connection << "\"\n"
        << "  update:     \"" << update << "\"\n"
        << "  status:     \"" << status << "\"\n"
        << "  release:    \"" << release << "\"\n"
        << "  port list / Connect / Update: " << onOff(portListEnabled) << " / "
        << onOff(connectEnabled) << " / " << onOff(updateEnabled) << "\n"
        << "  progress: " << (progressEnabled ? "enabled" : "disabled") << ", " << progressPosition << " of "
        << progressLow << " to " << progressHigh << "\n";
    return out.str();
}

HWND InstallerWindow::find() { return FindWindowA(nullptr, installer::kWindowTitle); }

HWND InstallerWindow::waitFor(DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        HWND window = find();
        if (window && IsWindowVisible(window)) return window;
        if (GetTickCount64() >= end) return nullptr;
        Sleep(20);
    }
}

DWORD InstallerWindow::processId() const {
    DWORD id = 0;
    GetWindowThreadProcessId(hwnd, &id);
    return id;
}

RECT InstallerWindow::screenRect() const {
    RECT rect{};
    if (!GetWindowRect(hwnd, &rect)) throw DriverError("GetWindowRect failed on the main window");
    return rect;
}

HWND InstallerWindow::control(int id) const {
    HWND child = GetDlgItem(hwnd, id);
    if (!child) throw DriverError("the main window has no control " + std::to_string(id));
    return child;
}

LRESULT InstallerWindow::send(HWND target, UINT message, WPARAM wParam, LPARAM lParam) const {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutA(target, message, wParam, lParam, SMTO_BLOCK, kAnswerTimeoutMs, &result))
        throw DriverError("the installer did not answer message " + std::to_string(message));
    return static_cast<LRESULT>(result);
}

std::string InstallerWindow::text(int id) const { return readText(control(id)); }

bool InstallerWindow::enabled(int id) const { return IsWindowEnabled(control(id)) != FALSE; }

int InstallerWindow::progressPosition() const {
    return static_cast<int>(send(control(installer::kProgressBar), PBM_GETPOS, 0, 0));
}

// PBM_GETRANGE with a null PBRANGE returns one limit, which needs no pointer marshalled
// into the installer's address space.
int InstallerWindow::progressLow() const {
    return static_cast<int>(send(control(installer::kProgressBar), PBM_GETRANGE, TRUE, 0));
}

int InstallerWindow::progressHigh() const {
    return static_cast<int>(send(control(installer::kProgressBar), PBM_GETRANGE, FALSE, 0));
}

WindowState InstallerWindow::state() const {
    WindowState s;
    s.connection = text(installer::kConnectionBox);
    s.update = text(installer::kUpdateBox);
    s.status = text(installer::kStatusBox);
    s.release = text(installer::kReleaseLabel);
    s.portListEnabled = enabled(installer::kPortList);
    s.connectEnabled = enabled(installer::kConnectButton);
    s.updateEnabled = enabled(installer::kUpdateButton);
    s.progressEnabled = enabled(installer::kProgressBar);
    s.progressPosition = progressPosition();
    s.progressLow = progressLow();
    s.progressHigh = progressHigh();
    return s;
}

WindowState InstallerWindow::stableState() const {
    WindowState previous = state();
    for (int attempt = 0; attempt < 50; ++attempt) {
        WindowState current = state();
        // The bar is read after the texts, so a read that straddles a reset (the completion
        // rewrites the texts, then empties the bar) pairs old texts with the new position; a
        // position that went back under unchanged texts is read once more.
        if (current.sameApartFromPosition(previous) && current.progressPosition >= previous.progressPosition)
            return current;
        previous = current;
    }
    throw DriverError("the main window never held still for two reads");
}

int InstallerWindow::focusedControl() const {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(hwnd, nullptr), &info))
        throw DriverError("GetGUIThreadInfo failed on the installer's thread");
    return info.hwndFocus && GetParent(info.hwndFocus) == hwnd ? GetDlgCtrlID(info.hwndFocus) : 0;
}

std::vector<std::string> InstallerWindow::portRows() const {
    HWND list = control(installer::kPortList);
    const LRESULT count = send(list, CB_GETCOUNT, 0, 0);
    if (count == CB_ERR) throw DriverError("CB_GETCOUNT failed");
    std::vector<std::string> rows;
    for (LRESULT row = 0; row < count; ++row) {
        const LRESULT length = send(list, CB_GETLBTEXTLEN, row, 0);
        if (length == CB_ERR) throw DriverError("CB_GETLBTEXTLEN failed");
        // Wine 8 hands a cross-process CB_GETLBTEXT back in UTF-16 even to an ANSI
        // sender (twice the bytes the buffer was sized for), so ask in UTF-16 and convert.
        std::wstring wide(static_cast<size_t>(length) + 1, L'\0');
        DWORD_PTR copied = 0;
        if (!SendMessageTimeoutW(list, CB_GETLBTEXT, row, reinterpret_cast<LPARAM>(&wide[0]), SMTO_BLOCK,
                                 kAnswerTimeoutMs, &copied))
            throw DriverError("CB_GETLBTEXT got no answer");
        if (static_cast<LRESULT>(copied) == CB_ERR) throw DriverError("CB_GETLBTEXT failed");
        wide.resize(std::min<size_t>(copied, wide.size()));
        std::string text(wide.size() * 2 + 1, '\0');
        const int bytes = WideCharToMultiByte(CP_ACP, 0, wide.c_str(), static_cast<int>(wide.size()), &text[0],
                                              static_cast<int>(text.size()), nullptr, nullptr);
        if (bytes == 0 && !wide.empty()) throw DriverError("a port list row could not be converted");
        text.resize(static_cast<size_t>(bytes));
        rows.push_back(text);
    }
    return rows;
}

int InstallerWindow::selectedRow() const {
    return static_cast<int>(send(control(installer::kPortList), CB_GETCURSEL, 0, 0));
}

void InstallerWindow::selectRow(int row) const {
    HWND list = control(installer::kPortList);
    if (send(list, CB_SETCURSEL, row, 0) != row) throw DriverError("CB_SETCURSEL refused row " + std::to_string(row));
    send(hwnd, WM_COMMAND, MAKEWPARAM(installer::kPortList, CBN_SELCHANGE), reinterpret_cast<LPARAM>(list));
}

void InstallerWindow::click(int id) const {
    DWORD_PTR ignored = 0;
    if (!SendMessageTimeoutA(control(id), BM_CLICK, 0, 0, SMTO_BLOCK, kAnswerTimeoutMs, &ignored))
        throw DriverError("BM_CLICK got no answer");
}

void InstallerWindow::postMenuCommand(int command) const {
    if (!PostMessageA(hwnd, WM_COMMAND, MAKEWPARAM(command, 0), 0))
        throw DriverError("PostMessage WM_COMMAND failed");
}

void InstallerWindow::postKey(WORD virtualKey) const {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(hwnd, nullptr), &info))
        throw DriverError("GetGUIThreadInfo failed on the installer's thread");
    HWND target = info.hwndFocus ? info.hwndFocus : hwnd;
    const UINT scan = MapVirtualKeyA(virtualKey, MAPVK_VK_TO_VSC);
    const LPARAM down = 1 | static_cast<LPARAM>(scan) << 16;
    const LPARAM up = down | static_cast<LPARAM>(3) << 30;  // previous state down, now released
    if (!PostMessageA(target, WM_KEYDOWN, virtualKey, down) || !PostMessageA(target, WM_KEYUP, virtualKey, up))
        throw DriverError("PostMessage of a key failed");
}

bool InstallerWindow::waitForFocus(int id, DWORD timeoutMs) const {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (focusedControl() != id) {
        if (GetTickCount64() >= end) return false;
        Sleep(20);
    }
    return true;
}

std::vector<int> InstallerWindow::tabCycle(int presses) const {
    std::vector<int> reached;
    for (int i = 0; i < presses; ++i) {
        const int before = focusedControl();
        postKey(VK_TAB);
        const ULONGLONG end = GetTickCount64() + 5000;
        while (focusedControl() == before && GetTickCount64() < end) Sleep(20);
        const int after = focusedControl();
        reached.push_back(after == before ? 0 : after);
    }
    return reached;
}

void InstallerWindow::postClose() const {
    if (!PostMessageA(hwnd, WM_CLOSE, 0, 0)) throw DriverError("PostMessage WM_CLOSE failed");
}

void InstallerWindow::postDevicesChanged() const {
    constexpr WPARAM kDevNodesChanged = 0x0007;  // DBT_DEVNODES_CHANGED, which carries no pointer
    if (!PostMessageA(hwnd, WM_DEVICECHANGE, kDevNodesChanged, 0)) throw DriverError("PostMessage WM_DEVICECHANGE failed");
}

std::string InstallerWindow::aboutRelease(int aboutCommand, DWORD timeoutMs) const {
    postMenuCommand(aboutCommand);
    ModalBox about(ModalBox::waitFor("About", timeoutMs, processId()));
    if (!about.exists()) throw DriverError("the About box did not open");
    const std::string release = about.controlText(installer::kAboutRelease);
    about.press(IDOK, timeoutMs);
    return release;
}

HWND ModalBox::find(const std::string& caption, DWORD processId) {
    BoxSearch search{&caption, processId, nullptr};
    EnumWindows(matchBox, reinterpret_cast<LPARAM>(&search));  // FALSE only means "found"
    return search.found;
}

HWND ModalBox::waitFor(const std::string& caption, DWORD timeoutMs, DWORD processId) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        HWND box = find(caption, processId);
        if (box) return box;
        if (GetTickCount64() >= end) return nullptr;
        Sleep(20);
    }
}

std::string ModalBox::caption() const { return readText(hwnd); }

std::string ModalBox::messageText() const { return controlText(0xFFFF); }

std::string ModalBox::controlText(int id) const {
    HWND child = GetDlgItem(hwnd, id);
    if (!child) throw DriverError("the box has no control " + std::to_string(id));
    return readText(child);
}

bool ModalBox::hasButton(int id) const { return GetDlgItem(hwnd, id) != nullptr; }

void ModalBox::press(int buttonId, DWORD timeoutMs) const {
    HWND button = GetDlgItem(hwnd, buttonId);
    if (!button) throw DriverError("the box has no button " + std::to_string(buttonId));
    // Posted, as a click of the button would arrive. Wine's modal dialog loop drops the
    // posted message it fetched together with a sent one that ended the dialog; with a
    // sent BM_CLICK that message could be one of the engine's WM_ENGINE_ACTION
    // announcements, and its action would then wait in the queue for ever.
    if (!PostMessageA(hwnd, WM_COMMAND, MAKEWPARAM(buttonId, BN_CLICKED), reinterpret_cast<LPARAM>(button)))
        throw DriverError("PostMessage WM_COMMAND to the box failed");
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (exists()) {
        if (GetTickCount64() >= end) throw DriverError("the box did not close");
        Sleep(10);
    }
}
