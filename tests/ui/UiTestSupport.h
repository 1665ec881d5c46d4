// Helpers for the window tests: pumping this thread's messages, answering a
// message box from a second thread, and registering "Ports" devices through a
// run-time loaded Setup API (so that test_ui itself starts without SETUPAPI.DLL).
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace uitest {

// Dispatches this thread's messages until `done` holds or `timeoutMs` passes;
// returns `done()`. A WM_QUIT taken from the queue is remembered in quitSeen().
bool pumpUntil(const std::function<bool()>& done, DWORD timeoutMs);
void pumpFor(DWORD ms);
bool quitSeen(int* exitCode = nullptr);
void clearQuit();

std::string windowText(HWND window);
std::string itemText(HWND dialog, int id);

// Waits on its own thread for a top-level dialog with `caption`, records its
// text (control 0xFFFF) and presses button `buttonId`. `beforeAnswer`, if set,
// runs on that thread once the box is found, before the press.
class BoxAnswerer {
public:
    BoxAnswerer(const std::string& caption, int buttonId, DWORD timeoutMs = 20000,
                std::function<void(HWND)> beforeAnswer = nullptr);
    ~BoxAnswerer();
    BoxAnswerer(const BoxAnswerer&) = delete;
    BoxAnswerer& operator=(const BoxAnswerer&) = delete;

    // Joins the thread; true when a box was found and the button pressed.
    bool finish();
    const std::string& text() const { return boxText; }
    const std::string& itemText(int id) const;  // captured with captureItem
    void captureItem(int id) { capturedId = id; }

private:
    void run();

    std::string caption;
    int buttonId;
    DWORD timeoutMs;
    std::function<void(HWND)> beforeAnswer;
    std::string boxText;       // written by the answering thread, read after join
    std::string capturedText;  // written by the answering thread, read after join
    std::atomic<int> capturedId;
    std::atomic<bool> answered;
    std::thread worker;
};

// Present devices of the "Ports" class registered by this test program; each
// carries the hardware id below, so leftovers of an earlier run can be found.
class PortsDevices {
public:
    static constexpr const char* HardwareId = "KQUITEST\\Port";
    PortsDevices();
    ~PortsDevices();  // removes every device with HardwareId
    PortsDevices(const PortsDevices&) = delete;
    PortsDevices& operator=(const PortsDevices&) = delete;

    bool available() const { return setupApi != nullptr; }
    // Registers a present device. An empty description sets none; valueType 0
    // writes no "PortName" value at all.
    bool add(const std::string& description, const std::string& portName,
             DWORD valueType = REG_SZ);
    bool removeAll();
    const std::string& lastError() const { return error; }

private:
    HMODULE setupApi;
    std::string error;
};

// Runs a copy of this test program with one test filter and extra environment
// variables ("NAME=value" each), with SETUPAPI.DLL disabled for that copy alone;
// returns the exit code (or -1) and its output. Wine does not pass WINEDLLOVERRIDES
// from a Windows parent to its child, so the override is the per-program one in
// the prefix's registry (AppDefaults), set for the copy's name and removed after.
int runSelfWithoutSetupApi(const std::string& filter, const std::vector<std::string>& environment,
                           std::string& output, DWORD timeoutMs);

// Overwrites bytes of this program's mapped image (a resource's data, or its size in the
// resource directory, which FindResource's handle points to) until it goes out of scope:
// Windows' own resource calls then find the resource damaged, cut short or empty.
class MappedPatch {
public:
    MappedPatch(const void* at, const void* bytes, size_t size);
    ~MappedPatch();
    MappedPatch(const MappedPatch&) = delete;
    MappedPatch& operator=(const MappedPatch&) = delete;
    bool applied() const { return done; }

private:
    bool write(const void* bytes);
    BYTE* target;
    std::vector<BYTE> saved;
    bool done;
};

// Records what this thread's progress bars are sent, from before the dialog
// exists: Wine's progress bar ignores PBM_SETSTATE and always reports
// PBST_NORMAL, so the state is read from the messages instead.
class ProgressProbe {
public:
    ProgressProbe();
    ~ProgressProbe();
    ProgressProbe(const ProgressProbe&) = delete;
    ProgressProbe& operator=(const ProgressProbe&) = delete;

    bool installed() const;
    int lastState() const;  // wParam of the last PBM_SETSTATE, or 0 when none
    struct Message {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };
    std::vector<Message> messages() const;  // progress-bar messages since the last clear
    void clear();
};

}  // namespace uitest
