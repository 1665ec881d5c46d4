// Benchmark builds only: QueryPerformanceCounter stamps of the two hooks in HostTrace.h,
// kept in a preallocated array and written at exit to the file named by KQ_TRACE_FILE.
#include "engine/HostTrace.h"

#if defined(KQ_TRACE) && KQ_TRACE

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

// One pair per record written: the last batch queued before it, and the write itself.
// The echo of a record is the last thing the loader sends before the next record goes
// out, so the batch stamped last before a write is the one that held the echo's end.
struct Pair {
    int64_t queued;
    int64_t writing;
};

// A whole update is about 9,000 records; room for three keeps the hooks allocation-free.
constexpr uint32_t Capacity = 32768;

Pair pairs[Capacity];                  // slot i written by the worker once, read at exit
std::atomic<int64_t> lastQueued{0};    // written by the event thread, read by the worker
std::atomic<uint32_t> pairCount{0};    // written by the worker, read at exit

int64_t now() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);  // result ignored: it cannot fail on XP and later
    return t.QuadPart;
}

// Static storage: its destructor runs when the program returns from WinMain.
struct Dump {
    ~Dump() {
        const char* path = std::getenv("KQ_TRACE_FILE");
        if (path == nullptr || *path == '\0') return;
        FILE* out = std::fopen(path, "w");
        if (out == nullptr) return;
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);  // result ignored: as QueryPerformanceCounter
        const uint32_t count = pairCount.load() < Capacity ? pairCount.load() : Capacity;
        std::fprintf(out, "# qpc_frequency %lld records %u dropped %u\n",
                     static_cast<long long>(frequency.QuadPart), count, pairCount.load() - count);
        for (uint32_t i = 0; i < count; ++i)
            std::fprintf(out, "%lld %lld\n", static_cast<long long>(pairs[i].queued),
                         static_cast<long long>(pairs[i].writing));
        std::fclose(out);
    }
} dump;

}  // namespace

void hosttrace::bytesQueued() { lastQueued.store(now(), std::memory_order_release); }

void hosttrace::recordWriting() {
    const uint32_t index = pairCount.fetch_add(1, std::memory_order_relaxed);
    if (index < Capacity) pairs[index] = Pair{lastQueued.load(std::memory_order_acquire), now()};
}

#endif
