// The allocation-failure handler.
#include "ui/WinException.h"

#include <windows.h>

void OutOfMemoryHandler() {
    throw WinException{static_cast<uint32_t>(GetLastError()), "Out of memory"};
}
