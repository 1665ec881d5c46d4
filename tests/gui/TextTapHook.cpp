// kqtexttap.dll: a WH_CALLWNDPROC hook that the driver installs on the installer's window
// thread. It copies every WM_SETTEXT sent to the three status boxes, every PBM_SETSTATE
// sent to the progress bar and every CB_RESETCONTENT sent to the port list (each refill of
// the list begins with one) into shared memory, so a test sees texts that stand for only a
// few milliseconds, in the order they were shown. On request it also walks the process's
// heaps, so a soak can tell the program's own memory from the rest, copies the window's
// menu (which no other process can read under Wine), and it can hold the
// window thread once, as a busy one would be, when the port's first failure text is set.
#include "tests/gui/TextTapShared.h"
#include "tests/support/HeapWalk.h"

#include <commctrl.h>

namespace {

// The installer's window thread only: the hook runs on the thread whose messages it watches.
texttap::Shared* shared = nullptr;
HANDLE mapping = nullptr;

bool isStatusBox(int id) { return id == 1012 || id == 1013 || id == 1014; }

bool isProgressBar(int id) { return id == 1010; }

bool isPortList(int id) { return id == 1011; }

bool attachShared() {
    if (!shared) {
        mapping = OpenFileMappingA(FILE_MAP_WRITE, FALSE, texttap::kMappingName);
        if (!mapping) return false;  // no driver is listening
        shared = static_cast<texttap::Shared*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(texttap::Shared)));
        if (!shared) {
            CloseHandle(mapping);  // the next call tries afresh
            mapping = nullptr;
        }
    }
    return shared != nullptr;
}

void record(int controlId, UINT message, LONG_PTR value, const char* text) {
    if (!attachShared()) return;
    const LONG index = InterlockedIncrement(&shared->claimed) - 1;
    if (index >= texttap::kCapacity) return;
    texttap::Entry& entry = shared->entries[index];
    entry.controlId = controlId;
    entry.message = message;
    entry.value = value;
    lstrcpynA(entry.text, text ? text : "", texttap::kTextSize);
    InterlockedExchange(&entry.ready, 1);
    char head[32] = {};
    lstrcpynA(head, text ? text : "", lstrlenA(texttap::kPortFailurePrefix) + 1);
    if (lstrcmpA(head, texttap::kPortFailurePrefix) == 0) {
        const LONG hold = InterlockedExchange(&shared->holdOnPortFailureMs, 0);
        if (hold > 0) Sleep(static_cast<DWORD>(hold));
    }
}

// The DLL and the installer share msvcrt.dll, so the C runtime heap walked here is the
// installer's own.
void answerHeapQuery() {
    if (!attachShared()) return;
    texttap::HeapFigures figures = {};
    figures.crtHeapBusy = heapwalk::crtHeapBusy(&figures.crtHeapBlocks);
    figures.processHeapBusy = heapwalk::processHeapBusy();
    figures.answered = 1;
    shared->heap = figures;
}

void answerMenuQuery(HWND window) {
    if (!attachShared()) return;
    texttap::MenuFigures& menu = shared->menu;
    menu.count = 0;
    HMENU bar = GetMenu(window);
    for (int i = 0, popups = bar ? GetMenuItemCount(bar) : 0; i < popups; ++i) {
        HMENU items = GetSubMenu(bar, i);
        for (int j = 0, count = items ? GetMenuItemCount(items) : 0; j < count && menu.count < texttap::kMenuItems; ++j) {
            texttap::MenuItem& entry = menu.items[menu.count++];
            GetMenuStringA(bar, static_cast<UINT>(i), entry.popup, texttap::kMenuTextSize, MF_BYPOSITION);
            GetMenuStringA(items, static_cast<UINT>(j), entry.item, texttap::kMenuTextSize, MF_BYPOSITION);
            entry.command = GetMenuItemID(items, j);
        }
    }
    menu.answered = 1;
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK TextTapProc(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION) {
        const CWPSTRUCT* call = reinterpret_cast<const CWPSTRUCT*>(lParam);
        static const UINT heapQuery = RegisterWindowMessageA(texttap::kHeapQueryMessage);
        if (heapQuery != 0 && call->message == heapQuery) answerHeapQuery();
        static const UINT menuQuery = RegisterWindowMessageA(texttap::kMenuQueryMessage);
        if (menuQuery != 0 && call->message == menuQuery) answerMenuQuery(call->hwnd);
        if (call->message == WM_SETTEXT || call->message == PBM_SETSTATE || call->message == CB_RESETCONTENT) {
            const int id = GetDlgCtrlID(call->hwnd);
            if (call->message == WM_SETTEXT && isStatusBox(id))
                record(id, WM_SETTEXT, 0, reinterpret_cast<const char*>(call->lParam));
            if (call->message == PBM_SETSTATE && isProgressBar(id))
                record(id, PBM_SETSTATE, static_cast<LONG_PTR>(call->wParam), nullptr);
            if (call->message == CB_RESETCONTENT && isPortList(id)) record(id, CB_RESETCONTENT, 0, nullptr);
        }
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
