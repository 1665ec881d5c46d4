// kqwaitprobe: what one overlapped WaitCommEvent costs the calling process's memory, measured
// without the installer: N waits in a row on a COM port whose far end stays silent, each with
// its own event, exactly as the installer's event thread waits. Prints the growth of the
// commit charge, of the C runtime heap and of the process heap per wait.
// Usage: kqwaitprobe [COM number (default 1)] [waits (default 10000)]
#include "tests/support/HeapWalk.h"

#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

SIZE_T commitCharge() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PagefileUsage;
}

}  // namespace

int main(int argc, char** argv) {
    const int com = argc > 1 ? std::atoi(argv[1]) : 1;
    const int waits = argc > 2 ? std::atoi(argv[2]) : 10000;
    if (com < 1 || waits < 1) {
        std::fprintf(stderr, "usage: kqwaitprobe [COM number] [waits]\n");
        return 2;
    }
    const std::string name = "\\\\.\\COM" + std::to_string(com);
    const HANDLE device = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "kqwaitprobe: cannot open %s (error %lu)\n", name.c_str(), GetLastError());
        return 2;
    }
    SetCommMask(device, EV_RXCHAR | EV_TXEMPTY | EV_ERR | EV_BREAK);  // the installer's mask
    int empty = 0, failed = 0;
    const auto waitOnce = [&]() {
        const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        OVERLAPPED block = {};
        block.hEvent = event;
        DWORD mask = 0;
        if (!WaitCommEvent(device, &mask, &block)) {
            if (GetLastError() != ERROR_IO_PENDING) {
                ++failed;
            } else if (WaitForSingleObject(event, 10000) != WAIT_OBJECT_0) {
                CancelIo(device);
                DWORD ignored = 0;
                GetOverlappedResult(device, &block, &ignored, TRUE);
                ++failed;
            }
        }
        if (mask == 0) ++empty;
        CloseHandle(event);
    };
    // One wait first, so that whatever the first call sets up once is not counted.
    waitOnce();
    empty = failed = 0;
    const SIZE_T charge0 = commitCharge();
    const long long crt0 = heapwalk::crtHeapBusy(), process0 = heapwalk::processHeapBusy();
    for (int i = 0; i < waits; ++i) waitOnce();
    const double charge = static_cast<double>(commitCharge()) - static_cast<double>(charge0);
    const double crt = static_cast<double>(heapwalk::crtHeapBusy() - crt0);
    const double process = static_cast<double>(heapwalk::processHeapBusy() - process0);
    CloseHandle(device);
    std::printf("kqwaitprobe: %d waits on COM%d (%d ended with an empty mask, %d failed or timed out)\n", waits, com,
                empty, failed);
    std::printf("kqwaitprobe: commit charge %+.1f KiB (%.0f bytes a wait), C runtime heap %+.1f KiB, "
                "process heap %+.1f KiB (%.0f bytes a wait)\n",
                charge / 1024.0, charge / waits, crt / 1024.0, process / 1024.0, process / waits);
    return 0;
}
