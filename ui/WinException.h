// The program's one exception type, and the allocation-failure handler that throws it.
#pragma once

#include <cstdint>

struct WinException {
    uint32_t errorCode;   // GetLastError() when the failure happened
    const char* message;  // shown to the user; a static text
};

// Installed with std::set_new_handler: turns a failed allocation into a
// WinException "Out of memory" that unwinds to WinMain. Never returns.
[[noreturn]] void OutOfMemoryHandler();
