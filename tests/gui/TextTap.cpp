// Installs and reads the text tap; see TextTap.h.
#include "tests/gui/TextTap.h"

#include <commctrl.h>

#include <algorithm>

TextTap::~TextTap() { detach(); }

bool TextTap::attach(HWND window) {
    detach();
    const DWORD thread = GetWindowThreadProcessId(window, nullptr);
    if (!thread) {
        error = "no window to hook";
        return false;
    }
    mapping.reset(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, sizeof(texttap::Shared),
                                     texttap::kMappingName));
    if (!mapping) {
        error = "CreateFileMappingA failed with error " + std::to_string(GetLastError());
        return false;
    }
    shared = static_cast<texttap::Shared*>(MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, sizeof(texttap::Shared)));
    if (!shared) {
        error = "MapViewOfFile failed with error " + std::to_string(GetLastError());
        detach();
        return false;
    }
    // A mapping left by an earlier tap of this process would still hold its texts.
    ZeroMemory(shared, sizeof(texttap::Shared));
    // The DLL sits beside this program; the installer's process loads it by that path.
    char path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        error = "GetModuleFileNameA failed";
        detach();
        return false;
    }
    std::string dll(path);
    dll = dll.substr(0, dll.find_last_of("\\/") + 1) + "kqtexttap.dll";
    library = LoadLibraryA(dll.c_str());
    if (!library) {
        error = "LoadLibraryA(" + dll + ") failed with error " + std::to_string(GetLastError());
        detach();
        return false;
    }
    auto proc = reinterpret_cast<HOOKPROC>(reinterpret_cast<void*>(GetProcAddress(library, "TextTapProc")));
    if (!proc) {
        error = "kqtexttap.dll has no TextTapProc";
        detach();
        return false;
    }
    hook = SetWindowsHookExA(WH_CALLWNDPROC, proc, library, thread);
    if (!hook) {
        error = "SetWindowsHookExA failed with error " + std::to_string(GetLastError());
        detach();
        return false;
    }
    return true;
}

void TextTap::detach() {
    if (hook) UnhookWindowsHookEx(hook);  // fails only when the hooked thread has ended
    hook = nullptr;
    if (library) FreeLibrary(library);
    library = nullptr;
    if (shared) UnmapViewOfFile(shared);
    shared = nullptr;
    mapping.reset();
}

std::vector<TappedRecord> TextTap::records(size_t from) const {
    std::vector<TappedRecord> result;
    if (!shared) return result;
    const LONG claimed = shared->claimed;
    const size_t count = static_cast<size_t>(std::min(claimed, texttap::kCapacity));
    for (size_t i = from; i < count; ++i) {
        const texttap::Entry& entry = shared->entries[i];
        // An entry claimed but not yet written ends what can be read in order.
        if (!entry.ready) break;
        const bool isText = entry.message == WM_SETTEXT;
        result.push_back({entry.controlId, isText, isText ? std::string(entry.text) : std::string(),
                          isText ? 0 : static_cast<int>(entry.value), entry.message});
    }
    return result;
}

size_t TextTap::recorded() const { return records().size(); }

std::vector<TappedText> TextTap::texts(size_t from) const {
    std::vector<TappedText> result;
    for (const TappedRecord& r : records(from))
        if (r.isText) result.push_back({r.controlId, r.text});
    return result;
}

std::vector<int> TextTap::barStates(size_t from) const {
    std::vector<int> result;
    for (const TappedRecord& r : records(from))
        if (r.message == PBM_SETSTATE) result.push_back(r.barState);
    return result;
}

size_t TextTap::portListRefills(size_t from) const {
    const std::vector<TappedRecord> all = records(from);
    return static_cast<size_t>(
        std::count_if(all.begin(), all.end(), [](const TappedRecord& r) { return r.message == CB_RESETCONTENT; }));
}

void TextTap::holdWindowOnPortFailure(DWORD ms) {
    if (shared) InterlockedExchange(&shared->holdOnPortFailureMs, static_cast<LONG>(ms));
}

bool TextTap::overflowed() const { return shared && shared->claimed > texttap::kCapacity; }

bool TextTap::heapFigures(HWND window, texttap::HeapFigures& figures, DWORD timeoutMs) {
    if (!shared || !hook) return false;
    const UINT query = RegisterWindowMessageA(texttap::kHeapQueryMessage);
    if (query == 0) return false;
    shared->heap.answered = 0;
    DWORD_PTR ignored = 0;
    // Sent, not posted: the hook has written the figures when the call returns.
    if (!SendMessageTimeoutA(window, query, 0, 0, SMTO_ABORTIFHUNG, timeoutMs, &ignored)) return false;
    figures = shared->heap;
    return figures.answered == 1;
}

UINT TextTap::menuCommand(HWND window, const std::string& popup, const std::string& item, DWORD timeoutMs) {
    const UINT query = RegisterWindowMessageA(texttap::kMenuQueryMessage);
    if (!shared || !hook || query == 0) {
        error = "no text tap attached";
        return 0;
    }
    shared->menu.answered = 0;
    DWORD_PTR ignored = 0;
    if (!SendMessageTimeoutA(window, query, 0, 0, SMTO_ABORTIFHUNG, timeoutMs, &ignored) ||
        shared->menu.answered != 1) {
        error = "the installer did not answer the menu query";
        return 0;
    }
    for (LONG i = 0; i < std::min(shared->menu.count, static_cast<LONG>(texttap::kMenuItems)); ++i) {
        const texttap::MenuItem& entry = shared->menu.items[i];
        if (popup == entry.popup && item == entry.item) return entry.command;
    }
    error = "the menu has no item " + popup + " > " + item;
    return 0;
}
