// kqtexttap.dll: a WH_CALLWNDPROC hook that the driver installs on the installer's window
// thread. It copies every WM_SETTEXT sent to the three status boxes into shared memory, so a
// test sees texts that stand for only a few milliseconds, in the order they were shown.
#include "tests/gui/TextTapShared.h"

namespace {

// The installer's window thread only: the hook runs on the thread whose messages it watches.
texttap::Shared* shared = nullptr;
HANDLE mapping = nullptr;

bool isStatusBox(HWND window) {
    const int id = GetDlgCtrlID(window);
    return id == 1012 || id == 1013 || id == 1014;
}

void record(HWND box, const char* text) {
    if (!shared) {
        mapping = OpenFileMappingA(FILE_MAP_WRITE, FALSE, texttap::kMappingName);
        if (!mapping) return;  // no driver is listening
        shared = static_cast<texttap::Shared*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(texttap::Shared)));
        if (!shared) return;
    }
    const LONG index = InterlockedIncrement(&shared->claimed) - 1;
    if (index >= texttap::kCapacity) return;
    texttap::Entry& entry = shared->entries[index];
    entry.controlId = GetDlgCtrlID(box);
    lstrcpynA(entry.text, text ? text : "", texttap::kTextSize);
    InterlockedExchange(&entry.ready, 1);
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK TextTapProc(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION) {
        const CWPSTRUCT* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
        if (call->message == WM_SETTEXT && isStatusBox(call->hwnd))
            record(call->hwnd, reinterpret_cast<const char*>(call->lParam));
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_DETACH) {
        if (shared) UnmapViewOfFile(shared);
        if (mapping) CloseHandle(mapping);
    }
    return TRUE;
}
