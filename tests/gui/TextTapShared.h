// The shared memory between the text-tap hook (a DLL that Wine or Windows loads into the
// installer) and the driver that reads it: every text set on the three status boxes and
// every state set on the progress bar, in order.
#pragma once

#include <windows.h>

namespace texttap {

constexpr const char* kMappingName = "Local\\KQ7750GuiTextTap";
constexpr LONG kCapacity = 4096;
constexpr int kTextSize = 256;

struct Entry {
    volatile LONG ready;  // written last by the hook, read first by the driver
    int controlId;
    UINT message;      // WM_SETTEXT or PBM_SETSTATE
    LONG_PTR value;    // PBM_SETSTATE's new state
    char text[kTextSize];  // WM_SETTEXT's text
};

// Written by the installer's window thread (through the hook), read by the driver.
struct Shared {
    volatile LONG claimed;  // entries claimed so far; may pass kCapacity (the rest is lost)
    Entry entries[kCapacity];
};

}  // namespace texttap
