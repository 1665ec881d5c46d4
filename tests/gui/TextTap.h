// The driver's side of the text tap: installs the hook of kqtexttap.dll on the installer's
// window thread and reads back, in order, every text that was set on the three status boxes.
// Polling the window can miss a text that stands for a few milliseconds; the tap cannot.
#pragma once

#include "engine/WinHandles.h"
#include "tests/gui/TextTapShared.h"

#include <string>
#include <vector>

struct TappedText {
    int controlId;  // 1012 status, 1013 connection, 1014 update
    std::string text;
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

    // Every text recorded since attach(), oldest first.
    std::vector<TappedText> texts() const;
    // Only those of one box.
    std::vector<std::string> textsOf(int controlId) const;
    // More texts were set than the shared memory holds.
    bool overflowed() const;
    const std::string& lastError() const { return error; }

private:
    UniqueHandle mapping;
    texttap::Shared* shared = nullptr;
    HMODULE library = nullptr;
    HHOOK hook = nullptr;
    std::string error;
};
