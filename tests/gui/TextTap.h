// The driver's side of the text tap: installs the hook of kqtexttap.dll on the installer's
// window thread and reads back, in order, every text that was set on the three status boxes
// and every state set on the progress bar. Polling the window can miss a text that stands for
// a few milliseconds; the tap cannot. And Wine 8's progress bar answers PBM_GETSTATE with
// PBST_NORMAL whatever was set, so the bar's state is known only from what the tap saw.
#pragma once

#include "engine/WinHandles.h"
#include "tests/gui/TextTapShared.h"

#include <string>
#include <vector>

struct TappedText {
    int controlId;  // 1012 status, 1013 connection, 1014 update
    std::string text;
};

// One thing the installer set: a box's text, the bar's state, or an emptied port list.
struct TappedRecord {
    int controlId;
    bool isText;
    std::string text;  // for a text
    int barState;      // for the bar: PBST_NORMAL 1, PBST_ERROR 2
    UINT message;      // WM_SETTEXT, PBM_SETSTATE or CB_RESETCONTENT
};

class TextTap {
public:
    TextTap() = default;
    ~TextTap();
    TextTap(const TextTap&) = delete;
    TextTap& operator=(const TextTap&) = delete;

    // Hooks the thread that owns `window`. False with lastError() when it could not.
    bool attach(HWND window);
    void detach();

    // Everything recorded since attach(), from the `from`th record on, oldest first.
    std::vector<TappedRecord> records(size_t from = 0) const;
    // Only the texts.
    std::vector<TappedText> texts(size_t from = 0) const;
    // Every state set on the progress bar since attach() (PBST_NORMAL 1, PBST_ERROR 2).
    std::vector<int> barStates(size_t from = 0) const;
    // How often the port list was emptied to be filled again.
    size_t portListRefills(size_t from = 0) const;
    // Texts and bar states recorded so far: the `from` of a later call that should
    // see only what comes after now.
    size_t recorded() const;
    // Once the installer sets the port's first failure text, its window thread stays
    // there for `ms`, as a thread busy with something else would: meanwhile the port
    // goes on reporting.
    void holdWindowOnPortFailure(DWORD ms);
    // More texts were set than the shared memory holds.
    bool overflowed() const;
    // The installer's heap figures, walked inside its process on its window thread.
    // False when the window did not answer within timeoutMs.
    bool heapFigures(HWND window, texttap::HeapFigures& figures, DWORD timeoutMs = 10000);
    // The command id of menu item `item` of popup `popup` (texts as the menu bar shows
    // them, '&' included), read from `window`'s own menu inside its process; 0 with
    // lastError() when there is no such item.
    UINT menuCommand(HWND window, const std::string& popup, const std::string& item, DWORD timeoutMs = 10000);
    const std::string& lastError() const { return error; }

private:
    UniqueHandle mapping;
    texttap::Shared* shared = nullptr;
    HMODULE library = nullptr;
    HHOOK hook = nullptr;
    std::string error;
};
