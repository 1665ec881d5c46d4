// Message pumping, message-box answering, "Ports" devices and child runs for test_ui.
#include "tests/ui/UiTestSupport.h"

#include <commctrl.h>
#include <setupapi.h>

#include <cstring>

namespace uitest {

namespace {

bool g_quitSeen = false;  // test thread only
int g_quitCode = 0;

template <typename Function>
Function entry(HMODULE library, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
}

const GUID PortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

std::string lastErrorText(const char* call) {
    return std::string(call) + " failed with error " + std::to_string(GetLastError());
}

}  // namespace

bool pumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    for (;;) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                g_quitSeen = true;
                g_quitCode = static_cast<int>(message.wParam);
                continue;
            }
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        if (done()) {
            return true;
        }
        if (GetTickCount() - start >= timeoutMs) {
            return done();
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

void pumpFor(DWORD ms) {
    pumpUntil([] { return false; }, ms);
}

bool quitSeen(int* exitCode) {
    if (exitCode != nullptr) {
        *exitCode = g_quitCode;
    }
    return g_quitSeen;
}

void clearQuit() {
    MSG message;
    while (PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
    g_quitSeen = false;
    g_quitCode = 0;
}

std::string windowText(HWND window) {
    char text[1024] = {};
    GetWindowTextA(window, text, sizeof text);
    return text;
}

std::string itemText(HWND dialog, int id) {
    return windowText(GetDlgItem(dialog, id));
}

BoxAnswerer::BoxAnswerer(const std::string& boxCaption, int button, DWORD timeout,
                         std::function<void(HWND)> before)
    : caption(boxCaption),
      buttonId(button),
      timeoutMs(timeout),
      beforeAnswer(std::move(before)),
      capturedId(0),
      answered(false),
      worker([this] { run(); }) {}

BoxAnswerer::~BoxAnswerer() {
    finish();
}

bool BoxAnswerer::finish() {
    if (worker.joinable()) {
        worker.join();
    }
    return answered;
}

const std::string& BoxAnswerer::itemText(int id) const {
    static const std::string none;
    return id == capturedId ? capturedText : none;
}

void BoxAnswerer::run() {
    DWORD start = GetTickCount();
    HWND box = nullptr;
    while (GetTickCount() - start < timeoutMs) {
        box = FindWindowA("#32770", caption.c_str());
        if (box != nullptr && IsWindowVisible(box)) {
            break;
        }
        box = nullptr;
        Sleep(20);
    }
    if (box == nullptr) {
        return;
    }
    boxText = uitest::itemText(box, 0xFFFF);
    if (capturedId != 0) {
        capturedText = uitest::itemText(box, capturedId);
    }
    if (beforeAnswer) {
        beforeAnswer(box);
    }
    HWND button = GetDlgItem(box, buttonId);
    if (button == nullptr) {
        // The box may already have gone, closed by what beforeAnswer did.
        answered = !IsWindow(box);
        return;
    }
    DWORD_PTR result = 0;
    // A posted click does not close a message box; a sent one does.
    SendMessageTimeoutA(button, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 5000, &result);
    answered = true;
}

MappedPatch::MappedPatch(const void* at, const void* bytes, size_t size)
    : target(static_cast<BYTE*>(const_cast<void*>(at))), saved(target, target + size), done(write(bytes)) {}

MappedPatch::~MappedPatch() {
    if (done) write(saved.data());
}

bool MappedPatch::write(const void* bytes) {
    DWORD was = 0;
    if (!VirtualProtect(target, saved.size(), PAGE_READWRITE, &was)) return false;
    std::memcpy(target, bytes, saved.size());
    return VirtualProtect(target, saved.size(), was, &was) != FALSE;
}

PortsDevices::PortsDevices() : setupApi(LoadLibraryA("setupapi.dll")) {
    if (setupApi == nullptr) {
        error = lastErrorText("LoadLibraryA(setupapi.dll)");
        return;
    }
    removeAll();
}

PortsDevices::~PortsDevices() {
    if (setupApi != nullptr) {
        removeAll();
        FreeLibrary(setupApi);
    }
}

bool PortsDevices::add(const std::string& description, const std::string& portName,
                       DWORD valueType) {
    auto createList = entry<decltype(&SetupDiCreateDeviceInfoList)>(setupApi, "SetupDiCreateDeviceInfoList");
    auto createInfo = entry<decltype(&SetupDiCreateDeviceInfoA)>(setupApi, "SetupDiCreateDeviceInfoA");
    auto setProperty = entry<decltype(&SetupDiSetDeviceRegistryPropertyA)>(setupApi, "SetupDiSetDeviceRegistryPropertyA");
    auto registerInfo = entry<decltype(&SetupDiRegisterDeviceInfo)>(setupApi, "SetupDiRegisterDeviceInfo");
    auto createKey = entry<decltype(&SetupDiCreateDevRegKeyA)>(setupApi, "SetupDiCreateDevRegKeyA");
    auto destroyList = entry<decltype(&SetupDiDestroyDeviceInfoList)>(setupApi, "SetupDiDestroyDeviceInfoList");
    if (!createList || !createInfo || !setProperty || !registerInfo || !createKey || !destroyList) {
        error = "an entry point of setupapi.dll is missing";
        return false;
    }

    HDEVINFO set = createList(&PortsClass, nullptr);
    if (set == INVALID_HANDLE_VALUE) {
        error = lastErrorText("SetupDiCreateDeviceInfoList");
        return false;
    }
    bool ok = false;
    SP_DEVINFO_DATA data;
    std::memset(&data, 0, sizeof data);
    data.cbSize = sizeof data;
    const char* descriptionText = description.empty() ? nullptr : description.c_str();
    if (!createInfo(set, "Ports", &PortsClass, descriptionText, nullptr, DICD_GENERATE_ID, &data)) {
        error = lastErrorText("SetupDiCreateDeviceInfoA");
    } else if (!description.empty() &&
               !setProperty(set, &data, SPDRP_DEVICEDESC,
                            reinterpret_cast<const BYTE*>(description.c_str()),
                            static_cast<DWORD>(description.size() + 1))) {
        error = lastErrorText("SetupDiSetDeviceRegistryPropertyA(SPDRP_DEVICEDESC)");
    } else {
        std::string hardwareIds = std::string(HardwareId) + '\0' + '\0';
        if (!setProperty(set, &data, SPDRP_HARDWAREID,
                         reinterpret_cast<const BYTE*>(hardwareIds.data()),
                         static_cast<DWORD>(hardwareIds.size()))) {
            error = lastErrorText("SetupDiSetDeviceRegistryPropertyA(SPDRP_HARDWAREID)");
        } else if (!registerInfo(set, &data, 0, nullptr, nullptr, nullptr)) {
            error = lastErrorText("SetupDiRegisterDeviceInfo");
        } else {
            HKEY key = createKey(set, &data, DICS_FLAG_GLOBAL, 0, DIREG_DEV, nullptr, nullptr);
            if (key == INVALID_HANDLE_VALUE || key == nullptr) {
                error = lastErrorText("SetupDiCreateDevRegKeyA");
            } else {
                LONG written = ERROR_SUCCESS;
                if (valueType != 0) {
                    written = RegSetValueExA(key, "PortName", 0, valueType,
                                             reinterpret_cast<const BYTE*>(portName.c_str()),
                                             static_cast<DWORD>(portName.size() + 1));
                }
                RegCloseKey(key);
                ok = written == ERROR_SUCCESS;
                if (!ok) {
                    error = "RegSetValueExA(PortName) failed with " + std::to_string(written);
                }
            }
        }
    }
    destroyList(set);
    return ok;
}

bool PortsDevices::removeAll() {
    auto getDevs = entry<decltype(&SetupDiGetClassDevsA)>(setupApi, "SetupDiGetClassDevsA");
    auto enumInfo = entry<decltype(&SetupDiEnumDeviceInfo)>(setupApi, "SetupDiEnumDeviceInfo");
    auto getProperty = entry<decltype(&SetupDiGetDeviceRegistryPropertyA)>(setupApi, "SetupDiGetDeviceRegistryPropertyA");
    auto removeDevice = entry<decltype(&SetupDiRemoveDevice)>(setupApi, "SetupDiRemoveDevice");
    auto destroyList = entry<decltype(&SetupDiDestroyDeviceInfoList)>(setupApi, "SetupDiDestroyDeviceInfoList");
    if (!getDevs || !enumInfo || !getProperty || !removeDevice || !destroyList) {
        error = "an entry point of setupapi.dll is missing";
        return false;
    }
    HDEVINFO set = getDevs(&PortsClass, nullptr, nullptr, 0);
    if (set == INVALID_HANDLE_VALUE) {
        error = lastErrorText("SetupDiGetClassDevsA");
        return false;
    }
    bool ok = true;
    SP_DEVINFO_DATA data;
    for (DWORD index = 0;; ++index) {
        std::memset(&data, 0, sizeof data);
        data.cbSize = sizeof data;
        if (!enumInfo(set, index, &data)) {
            break;
        }
        char ids[512] = {};
        DWORD type = 0;
        if (getProperty(set, &data, SPDRP_HARDWAREID, &type, reinterpret_cast<BYTE*>(ids),
                        sizeof ids - 2, nullptr) &&
            std::strcmp(ids, HardwareId) == 0) {
            if (!removeDevice(set, &data)) {
                error = lastErrorText("SetupDiRemoveDevice");
                ok = false;
            }
        }
    }
    destroyList(set);
    return ok;
}

namespace {

const char* const NoSetupApiName = "test_ui_nosetupapi.exe";
const char* const AppKey = "Software\\Wine\\AppDefaults\\test_ui_nosetupapi.exe";
const char* const OverrideKey = "Software\\Wine\\AppDefaults\\test_ui_nosetupapi.exe\\DllOverrides";

// The copy, and the registry override for its name, for as long as this lives.
class DisabledSetupApiCopy {
public:
    DisabledSetupApiCopy() {
        char self[MAX_PATH];
        DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
        if (length == 0 || length >= sizeof self) {
            error = lastErrorText("GetModuleFileNameA");
            return;
        }
        std::string directory(self, length);
        directory.erase(directory.find_last_of("\\/") + 1);
        path = directory + NoSetupApiName;
        if (!CopyFileA(self, path.c_str(), FALSE)) {
            error = lastErrorText("CopyFileA");
            path.clear();
            return;
        }
        HKEY key = nullptr;
        LONG created = RegCreateKeyExA(HKEY_CURRENT_USER, OverrideKey, 0, nullptr, 0,
                                       KEY_SET_VALUE, nullptr, &key, nullptr);
        if (created != ERROR_SUCCESS) {
            error = "RegCreateKeyExA failed with " + std::to_string(created);
            return;
        }
        LONG set = RegSetValueExA(key, "setupapi", 0, REG_SZ,
                                  reinterpret_cast<const BYTE*>("d"), 2);
        RegCloseKey(key);
        if (set != ERROR_SUCCESS) {
            error = "RegSetValueExA failed with " + std::to_string(set);
            return;
        }
        ready = true;
    }

    ~DisabledSetupApiCopy() {
        RegDeleteKeyA(HKEY_CURRENT_USER, OverrideKey);
        RegDeleteKeyA(HKEY_CURRENT_USER, AppKey);
        if (!path.empty()) {
            DeleteFileA(path.c_str());
        }
    }

    bool ready = false;
    std::string path;
    std::string error;
};

}  // namespace

int runSelfWithoutSetupApi(const std::string& filter, const std::vector<std::string>& environment,
                           std::string& output, DWORD timeoutMs) {
    DisabledSetupApiCopy copy;
    if (!copy.ready) {
        output = copy.error;
        return -1;
    }

    // The child's environment: this one's, with the extra variables replacing any
    // of the same name.
    std::string block;
    char* inherited = GetEnvironmentStringsA();
    for (const char* p = inherited; p != nullptr && *p != '\0'; p += std::strlen(p) + 1) {
        std::string entry(p);
        bool replaced = false;
        for (const std::string& variable : environment) {
            std::string name = variable.substr(0, variable.find('=') + 1);
            replaced = replaced || _strnicmp(entry.c_str(), name.c_str(), name.size()) == 0;
        }
        if (!replaced) {
            block.append(entry).push_back('\0');
        }
    }
    FreeEnvironmentStringsA(inherited);
    for (const std::string& variable : environment) {
        block.append(variable).push_back('\0');
    }
    block.push_back('\0');

    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
        output = lastErrorText("CreatePipe");
        return -1;
    }
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process;
    std::string commandLine = "\"" + copy.path + "\" --gtest_filter=" + filter;
    BOOL started = CreateProcessA(copy.path.c_str(), &commandLine[0], nullptr, nullptr, TRUE, 0,
                                  &block[0], nullptr, &startup, &process);
    CloseHandle(writeEnd);
    if (!started) {
        output = lastErrorText("CreateProcessA");
        CloseHandle(readEnd);
        return -1;
    }
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(readEnd, chunk, sizeof chunk, &got, nullptr) && got > 0) {
        output.append(chunk, got);
    }
    CloseHandle(readEnd);
    int exitCode = -1;
    if (WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0) {
        DWORD code = 0;
        if (GetExitCodeProcess(process.hProcess, &code)) {
            exitCode = static_cast<int>(code);
        }
    } else {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, 5000);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return exitCode;
}

namespace {

// One probe at a time: installed, fed and read on the test thread.
struct ProbeState {
    HHOOK hook = nullptr;
    int lastState = 0;
    std::vector<ProgressProbe::Message> messages;
} g_progress;

LRESULT CALLBACK ProgressProbeHook(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION) {
        const CWPSTRUCT* sent = reinterpret_cast<const CWPSTRUCT*>(lParam);
        if (sent->message >= PBM_SETRANGE && sent->message <= PBM_GETSTATE) {
            char className[64] = {};
            GetClassNameA(sent->hwnd, className, sizeof className);
            if (lstrcmpiA(className, PROGRESS_CLASSA) == 0) {
                g_progress.messages.push_back({sent->message, sent->wParam, sent->lParam});
                if (sent->message == PBM_SETSTATE) {
                    g_progress.lastState = static_cast<int>(sent->wParam);
                }
            }
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

}  // namespace

ProgressProbe::ProgressProbe() {
    g_progress = ProbeState();
    g_progress.hook = SetWindowsHookExA(WH_CALLWNDPROC, ProgressProbeHook, nullptr,
                                        GetCurrentThreadId());
}

ProgressProbe::~ProgressProbe() {
    if (g_progress.hook != nullptr) {
        UnhookWindowsHookEx(g_progress.hook);
    }
    g_progress = ProbeState();
}

bool ProgressProbe::installed() const {
    return g_progress.hook != nullptr;
}

int ProgressProbe::lastState() const {
    return g_progress.lastState;
}

std::vector<ProgressProbe::Message> ProgressProbe::messages() const {
    return g_progress.messages;
}

void ProgressProbe::clear() {
    g_progress.messages.clear();
}

}  // namespace uitest
