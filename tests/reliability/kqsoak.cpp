// kqsoak: one installer process, N consecutive unpaced updates through its window (Connect,
// Update Instrument, the completion box), each against a fresh loader simulator whose summary
// must show every target holding its image. After each update it samples the installer's
// handle count, its commit charge and (through the text tap, inside its process) its heaps.
// With --idle MINUTES it then connects once more and leaves the installer connected and idle
// for that long, sampling the same figures every half minute. Exit 0 only with no failure and
// no growth beyond a small constant of the handles, the commit charge and the heaps.
// Usage: kqsoak [updates (default 100)] [--no-tap] [--poll MS] [--idle MINUTES]
#include "tests/reliability/MatrixRig.h"

#include <psapi.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// The first update loads code and fills caches; growth is measured from the sample after it.
constexpr DWORD kHandleSlack = 8;
constexpr SIZE_T kPrivateSlack = 1024 * 1024;
// The C runtime heap holds every allocation of the installer's own code; between updates
// it holds the same objects, so it may differ only by what a string or two of text make.
constexpr LONGLONG kOwnHeapSlack = 64 * 1024;
// The process heap also holds Windows' and Wine's allocations for the program (the port,
// the window, the text tap's own walks), which vary a little from one update to the next.
constexpr LONGLONG kProcessHeapSlack = 256 * 1024;
constexpr DWORD kIdleSampleMs = 30000;

struct Sample {
    DWORD handles = 0;
    SIZE_T privateBytes = 0;
    bool heapKnown = false;  // only with the text tap in the installer
    texttap::HeapFigures heap = {};
};

// Wine 8 answers GetProcessHandleCount with success and 0 for every process; its system
// handle list (NtQuerySystemInformation, class 16) does carry each handle with its owner.
struct HandleEntry {
    ULONG ownerPid;  // on Windows a USHORT and a zero USHORT; the same for small ids
    BYTE objectType;
    BYTE flags;
    USHORT value;
    PVOID object;
    ULONG access;
};
using QuerySystemInformation = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);

bool countHandlesFromSystemList(DWORD processId, DWORD& count) {
    const auto query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (!query) return false;
    std::vector<char> buffer(1 << 16);
    LONG status = 0;
    ULONG needed = 0;
    const LONG lengthMismatch = static_cast<LONG>(0xC0000004);
    while ((status = query(16, buffer.data(), static_cast<ULONG>(buffer.size()), &needed)) == lengthMismatch)
        buffer.resize(buffer.size() * 2);
    if (status != 0) return false;
    const ULONG entries = *reinterpret_cast<const ULONG*>(buffer.data());
    const auto* entry = reinterpret_cast<const HandleEntry*>(buffer.data() + sizeof(void*));
    count = 0;
    for (ULONG i = 0; i < entries; ++i) count += (entry[i].ownerPid & 0xFFFF) == processId;
    return true;
}

bool sample(DWORD processId, Sample& out) {
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    if (!process) return false;
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    bool ok = GetProcessHandleCount(process, &out.handles) &&
              GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters);
    CloseHandle(process);
    if (ok && out.handles == 0) ok = countHandlesFromSystemList(processId, out.handles);
    // Wine fills only PagefileUsage, which on Windows is the same commit charge.
    out.privateBytes = counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
    return ok && out.handles != 0 && out.privateBytes != 0;
}

void printSample(const char* label, const Sample& s, const std::string& what) {
    char heaps[96] = "";
    if (s.heapKnown)
        std::snprintf(heaps, sizeof heaps, "  own heap %8.1f KiB in %6lld blocks  process heap %8.1f KiB",
                      s.heap.crtHeapBusy / 1024.0, s.heap.crtHeapBlocks, s.heap.processHeapBusy / 1024.0);
    std::printf("%s  handles %4lu  private %8.1f KiB%s%s%s\n", label, static_cast<unsigned long>(s.handles),
                s.privateBytes / 1024.0, heaps, what.empty() ? "" : "  ", what.c_str());
    std::fflush(stdout);
}

// Growth of each figure from the first sample to the highest later one, printed and judged.
bool judge(const char* title, const std::vector<Sample>& samples, bool heapsJudged) {
    const Sample& base = samples.front();
    const Sample& last = samples.back();
    DWORD maxHandles = 0;
    SIZE_T maxPrivate = 0;
    LONGLONG maxOwn = 0, maxProcess = 0;
    for (size_t i = 1; i < samples.size(); ++i) {
        if (samples[i].handles > maxHandles) maxHandles = samples[i].handles;
        if (samples[i].privateBytes > maxPrivate) maxPrivate = samples[i].privateBytes;
        if (samples[i].heap.crtHeapBusy > maxOwn) maxOwn = samples[i].heap.crtHeapBusy;
        if (samples[i].heap.processHeapBusy > maxProcess) maxProcess = samples[i].heap.processHeapBusy;
    }
    const long handleGrowth = static_cast<long>(maxHandles) - static_cast<long>(base.handles);
    const double privateGrowthKiB = (static_cast<double>(maxPrivate) - static_cast<double>(base.privateBytes)) / 1024.0;
    std::printf("%s\n", title);
    std::printf("  handles: first %lu, last %lu, highest after the first %lu (growth %ld, allowed %lu)\n",
                static_cast<unsigned long>(base.handles), static_cast<unsigned long>(last.handles),
                static_cast<unsigned long>(maxHandles), handleGrowth, static_cast<unsigned long>(kHandleSlack));
    std::printf("  commit charge: first %.1f KiB, last %.1f KiB, highest after the first %.1f KiB "
                "(growth %.1f KiB, allowed %.1f KiB)\n",
                base.privateBytes / 1024.0, last.privateBytes / 1024.0, maxPrivate / 1024.0, privateGrowthKiB,
                kPrivateSlack / 1024.0);
    bool grew = handleGrowth > static_cast<long>(kHandleSlack) ||
                privateGrowthKiB > static_cast<double>(kPrivateSlack) / 1024.0;
    if (heapsJudged) {
        const LONGLONG ownGrowth = maxOwn - base.heap.crtHeapBusy;
        const LONGLONG processGrowth = maxProcess - base.heap.processHeapBusy;
        std::printf("  own heap: first %.1f KiB, last %.1f KiB, highest after the first %.1f KiB "
                    "(growth %.1f KiB, allowed %.1f KiB)\n",
                    base.heap.crtHeapBusy / 1024.0, last.heap.crtHeapBusy / 1024.0, maxOwn / 1024.0,
                    ownGrowth / 1024.0, kOwnHeapSlack / 1024.0);
        std::printf("  process heap: first %.1f KiB, last %.1f KiB, highest after the first %.1f KiB "
                    "(growth %.1f KiB, allowed %.1f KiB)\n",
                    base.heap.processHeapBusy / 1024.0, last.heap.processHeapBusy / 1024.0, maxProcess / 1024.0,
                    processGrowth / 1024.0, kProcessHeapSlack / 1024.0);
        grew = grew || ownGrowth > kOwnHeapSlack || processGrowth > kProcessHeapSlack;
    }
    return !grew;
}

// Connected and idle for `minutes`: the window must stay Connected, and nothing may grow.
bool idleCheck(MatrixRig& rig, int minutes) {
    std::string error, what;
    // The simulator must outlast the idle time: ending on its own idle time-out would
    // look to the installer like a vanished device.
    const DWORD idleMs = static_cast<DWORD>(minutes) * 60000;
    if (!rig.startLoader("--idle-timeout " + std::to_string(idleMs + 120000), error)) {
        std::printf("idle: FAIL  %s\n", error.c_str());
        return false;
    }
    const StepResult connected = rig.connect(90000);
    if (connected.phase != Phase::Connected) what = std::string("connect ended in ") + phaseName(connected.phase);
    std::vector<Sample> samples;
    const ULONGLONG start = GetTickCount64();
    for (int n = 0; what.empty(); ++n) {
        const ULONGLONG due = start + static_cast<ULONGLONG>(n) * kIdleSampleMs;
        const ULONGLONG now = GetTickCount64();
        if (due > now) Sleep(static_cast<DWORD>(due - now));
        Sample s;
        if (!sample(rig.installer.id(), s)) what = "cannot sample the installer";
        if (rig.attachTap && what.empty()) {
            s.heapKnown = rig.tap.heapFigures(rig.window.handle(), s.heap);
            if (!s.heapKnown) what = "the installer's heaps could not be read";
        }
        const Phase phase = classifyPhase(rig.window.state());
        if (what.empty() && phase != Phase::Connected) what = std::string("the window left Connected: ") + phaseName(phase);
        char label[32];
        std::snprintf(label, sizeof label, "idle %5.1f min:", (GetTickCount64() - start) / 60000.0);
        printSample(label, s, what);
        if (!what.empty()) break;
        samples.push_back(s);
        if (GetTickCount64() - start >= idleMs) break;
    }
    nlohmann::json summary;
    if (!rig.stopLoader(summary, error) && what.empty()) what = "no loader summary: " + error;
    if (!what.empty() || samples.size() < 2) {
        std::printf("idle: FAIL  %s\n", what.empty() ? "too few samples" : what.c_str());
        return false;
    }
    char title[96];
    std::snprintf(title, sizeof title, "connected and idle for %d min, %zu samples:", minutes, samples.size());
    const bool flat = judge(title, samples, samples.front().heapKnown);
    std::printf("idle: %s\n", flat ? "PASS" : "FAIL");
    return flat;
}

}  // namespace

int main(int argc, char** argv) {
    const int updates = argc > 1 ? std::atoi(argv[1]) : 100;
    MatrixRig rig;
    int idleMinutes = 0;
    for (int i = 2; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--no-tap") rig.attachTap = false;
        if (option == "--poll" && i + 1 < argc) rig.sampleIntervalMs = static_cast<DWORD>(std::atoi(argv[++i]));
        if (option == "--idle" && i + 1 < argc) idleMinutes = std::atoi(argv[++i]);
    }
    if ((updates < 2 && !(updates == 0 && idleMinutes > 0)) || idleMinutes < 0) {
        std::fprintf(stderr, "usage: kqsoak [updates >= 2, or 0 with --idle] [--no-tap] [--poll MS] [--idle MINUTES]\n");
        return 2;
    }
    std::string error;
    if (!rig.prepare(error)) {
        std::fprintf(stderr, "kqsoak: %s\n", error.c_str());
        return 2;
    }
    std::vector<Sample> samples;
    int failures = 0;
    double totalSeconds = 0;
    for (int i = 1; i <= updates; ++i) {
        std::string what;
        nlohmann::json summary;
        double seconds = 0;
        if (!rig.startLoader("", error)) {
            what = error;
        } else {
            const StepResult connected = rig.connect(90000);
            if (connected.phase != Phase::Connected) {
                what = std::string("connect ended in ") + phaseName(connected.phase);
            } else {
                const StepResult done = rig.update(300000);
                seconds = (connected.ms + done.ms) / 1000.0;
                if (done.phase != Phase::Complete || !done.completionBox)
                    what = std::string("update ended in ") + phaseName(done.phase);
            }
            if (!rig.stopLoader(summary, error)) {
                if (what.empty()) what = "no loader summary: " + error;
            } else if (what.empty() && !MatrixRig::allTargetsExact(summary, &error)) {
                what = error;
            }
        }
        if (!rig.responsive() && what.empty()) what = "the window does not answer";
        Sample s;
        if (!sample(rig.installer.id(), s) && what.empty()) what = "cannot sample the installer";
        if (rig.attachTap) {
            s.heapKnown = rig.tap.heapFigures(rig.window.handle(), s.heap);
            if (!s.heapKnown && what.empty()) what = "the installer's heaps could not be read";
        }
        samples.push_back(s);
        totalSeconds += seconds;
        char label[40];
        std::snprintf(label, sizeof label, "update %3d: %-4s %5.1f s", i, what.empty() ? "ok" : "FAIL", seconds);
        printSample(label, s, what);
        if (!what.empty()) {
            ++failures;
            if (!rig.installerRunning()) break;
        }
    }
    bool idleFlat = true;
    if (idleMinutes > 0) {
        std::printf("\n");
        idleFlat = rig.installerRunning() && idleCheck(rig, idleMinutes);
    }
    rig.closeInstaller();

    bool flat = true;
    if (updates > 0) {
        std::printf("\nupdates %zu, failures %d, mean %.1f s per update\n", samples.size(), failures,
                    samples.empty() ? 0.0 : totalSeconds / samples.size());
        // Measured from the sample after update 1, which loads code and fills caches.
        flat = !samples.empty() && judge("growth over the updates:", samples, samples.front().heapKnown);
    }
    if (failures == 0 && flat && idleFlat && static_cast<int>(samples.size()) == updates) {
        std::printf("soak: PASS\n");
        return 0;
    }
    std::printf("soak: FAIL\n");
    return 1;
}
