// Busy bytes of this process's two heaps: the C runtime's (msvcrt.dll's own heap, which holds
// every allocation the program's code makes: new, malloc, std containers) and the process
// heap (what Windows, or Wine, allocates on the program's behalf). Each walk holds its
// heap's lock, so other threads that allocate wait meanwhile.
#pragma once

#include <windows.h>

#include <malloc.h>

namespace heapwalk {

inline long long crtHeapBusy(long long* blocks = nullptr) {
    _HEAPINFO block = {};
    long long busy = 0, count = 0;
    while (_heapwalk(&block) == _HEAPOK) {
        if (block._useflag != _USEDENTRY) continue;
        busy += static_cast<long long>(block._size);
        ++count;
    }
    if (blocks) *blocks = count;
    return busy;
}

inline long long processHeapBusy() {
    const HANDLE heap = GetProcessHeap();
    long long busy = 0;
    if (!HeapLock(heap)) return 0;
    PROCESS_HEAP_ENTRY entry = {};
    while (HeapWalk(heap, &entry))
        if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) busy += entry.cbData;
    HeapUnlock(heap);
    return busy;
}

}  // namespace heapwalk
