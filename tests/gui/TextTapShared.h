// The shared memory between the text-tap hook (a DLL that Wine or Windows loads into the
// installer) and the driver that reads it: every text set on the three status boxes and
// every state set on the progress bar, in order; and, on request, the heap figures of the
// installer's process.
#pragma once

#include <windows.h>

namespace texttap {

constexpr const char* kMappingName = "Local\\KQ7750GuiTextTap";
constexpr LONG kCapacity = 4096;
constexpr int kTextSize = 256;
// Sent to the installer's window: the hook fills in HeapFigures before the window sees it
// (the dialog ignores a message it does not know).
constexpr const char* kHeapQueryMessage = "KQ7750GuiTextTap.HeapQuery";

struct Entry {
    volatile LONG ready;  // written last by the hook, read first by the driver
    int controlId;
    UINT message;      // WM_SETTEXT, PBM_SETSTATE or CB_RESETCONTENT
    LONG_PTR value;    // PBM_SETSTATE's new state
    char text[kTextSize];  // WM_SETTEXT's text
};

// Bytes in busy blocks. The C runtime's heap holds every allocation of the program's own
// code (new, malloc, std containers); the process heap holds what Windows (or Wine) itself
// allocates on the program's behalf.
struct HeapFigures {
    LONG answered;  // 1 once the hook has filled in the figures
    LONGLONG crtHeapBusy;
    LONGLONG crtHeapBlocks;
    LONGLONG processHeapBusy;
};

// Sent likewise: the hook copies the window's menu bar (each popup's items with their
// command ids) into MenuFigures. Another process cannot read a menu under Wine 8.
constexpr const char* kMenuQueryMessage = "KQ7750GuiTextTap.MenuQuery";
constexpr int kMenuItems = 16;
constexpr int kMenuTextSize = 64;

struct MenuItem {
    char popup[kMenuTextSize];  // as the menu bar shows it, '&' included
    char item[kMenuTextSize];
    UINT command;
};

struct MenuFigures {
    LONG answered;  // 1 once the hook has copied the menu
    LONG count;
    MenuItem items[kMenuItems];
};

// The port's failure texts begin so; the hook can hold the window thread on the first.
constexpr const char* kPortFailurePrefix = "Communications failed - ";

// Written by the installer's window thread (through the hook), read by the driver.
struct Shared {
    volatile LONG claimed;  // entries claimed so far; may pass kCapacity (the rest is lost)
    // Set by the driver; the hook sleeps this long once, when the first port failure text
    // is set, and clears it: the window thread is busy while the port goes on reporting.
    volatile LONG holdOnPortFailureMs;
    HeapFigures heap;
    MenuFigures menu;
    Entry entries[kCapacity];
};

}  // namespace texttap
