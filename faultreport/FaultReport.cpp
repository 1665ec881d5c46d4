// The unhandled-exception filter, the threads that make the report and write its dump, and the
// report itself: the log's fault lines, the minidump and the box. Everything a report needs is
// made at start or when the log opens; after a fault, only fixed buffers and Windows calls.
#include "faultreport/FaultReport.h"

#include <dbghelp.h>

#include <atomic>
#include <cstdlib>
#include <cwchar>
#include <vector>

#include "engine/SystemLibrary.h"
#include "engine/ThreadRoles.h"
#include "updatelog/LogFolder.h"
#include "windows/PowerHold.h"

namespace {

using MiniDumpWriteDumpCall = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE, PMINIDUMP_EXCEPTION_INFORMATION,
                                            PMINIDUMP_USER_STREAM_INFORMATION, PMINIDUMP_CALLBACK_INFORMATION);

// The report thread's and the dump thread's stacks: MiniDumpWriteDump and a message box need
// more than an overflowed stack has left. A reservation (Wine commits a thread's whole
// reservation).
constexpr SIZE_T ReportStack = 256 * 1024;
// What dbghelp loads while it writes a dump, loaded at start instead: a load after a fault
// waits for the loader's lock, which the faulting thread may hold. Windows' dbghelp loads
// psapi.dll; Wine 8's loads nothing while it writes (its +loaddll trace of a dump).
const char* const DumpHelpers[] = {"psapi.dll"};
// Up to the box, the report may take the dump's time and this more for its lines; a thread
// that waits for the report ends the process itself after that.
constexpr DWORD LinesMargin = 60000;

const wchar_t* const FaultCaptionW = L"KQ7750 Installer Fault";
// Every box text begins with this, so the code's eight digits stand at the same place in each.
const wchar_t* const StoppedText =
    L"KQ7750 Firmware Installer has stopped because of a fault in the program itself (code 0x";
const wchar_t* const NoFilesText = L"00000000).\n\nNo report could be written.";

// Made by install() and useLog() on the window thread before any fault; read by the report
// after a fault (the fault event orders the two).
struct Prepared {
    MiniDumpWriteDumpCall writeDump = nullptr;
    HANDLE faultEvent = nullptr;  // set once, by the thread that claims the report
    HANDLE reportThread = nullptr;
    DWORD reportThreadId = 0;
    HANDLE dumpDue = nullptr;    // set by the report thread, once the line is on the disk
    HANDLE dumpEnded = nullptr;  // set by the dump thread when MiniDumpWriteDump has returned
    HANDLE dumpThread = nullptr;
    DWORD dumpThreadId = 0;
    DWORD dumpThreadError = 0;   // why there is no dump thread
    HANDLE boxDue = nullptr;     // set once the box's own message loop runs
    HANDLE log = INVALID_HANDLE_VALUE;   // a duplicate of the log's handle
    HANDLE dump = INVALID_HANDLE_VALUE;  // the dump file, marked for deletion until a fault
    ULONGLONG logStart = 0;
    HMODULE program = nullptr;
    char programName[MAX_PATH] = {};  // the file name alone
    std::wstring dumpName;
    // The box texts; the fault's code is written into their digits in place.
    std::wstring bothFilesBox;
    std::wstring logOnlyBox;
    std::wstring noFilesBox;
};
Prepared prepared;

// The thread whose fault is reported, 0 before any: claimed once, by the filter.
std::atomic<DWORD> reportingThread{0};
// Written by the claiming thread at once, before it sets the fault event; the threads that wait
// for the report read the code only once the box shows or their limit has passed.
EXCEPTION_POINTERS* faultPointers = nullptr;
std::atomic<DWORD> faultCode{0};
#if defined(_M_X64) || defined(__x86_64__)
ULONG_PTR faultStackBase = 0;  // the top of the faulting thread's stack
#endif
// Written by the dump thread before it sets dumpEnded.
bool dumpWritten = false;
DWORD dumpError = 0;

// One line of the log, built in place: no heap.
class Line {
public:
    Line& text(const char* s) {
        while (*s != '\0' && length < sizeof buffer - 2) buffer[length++] = *s++;
        return *this;
    }
    Line& hex(ULONG_PTR value, int digits) {
        char reversed[2 * sizeof value];
        int count = 0;
        do {
            reversed[count++] = "0123456789ABCDEF"[value & 0xF];
            value >>= 4;
        } while (value != 0 && count < static_cast<int>(sizeof reversed));
        for (; count < digits; --digits) text("0");
        while (count > 0) {
            const char digit[2] = {reversed[--count], '\0'};
            text(digit);
        }
        return *this;
    }
    Line& decimal(ULONGLONG value, int width) {
        char reversed[24];
        int count = 0;
        do {
            reversed[count++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value != 0);
        for (; count < width; --width) text(" ");
        while (count > 0) {
            const char digit[2] = {reversed[--count], '\0'};
            text(digit);
        }
        return *this;
    }
    // As the log's own lines begin: the milliseconds since the log began.
    Line& timed() { return decimal(GetTickCount64() - prepared.logStart, 9).text(" ms  "); }
    // "module+0xOFFSET", or the bare address outside every module.
    Line& location(ULONG_PTR address);
    // A file name: ASCII, as every log name is.
    Line& name(const std::wstring& file) {
        for (wchar_t c : file) {
            const char narrow[2] = {static_cast<char>(c), '\0'};
            text(narrow);
        }
        return *this;
    }
    // The line with CRLF; a failed write is let go, as the log's own are.
    void writeTo(HANDLE file) {
        buffer[length++] = '\r';
        buffer[length++] = '\n';
        DWORD written = 0;
        WriteFile(file, buffer, static_cast<DWORD>(length), &written, nullptr);
    }

private:
    char buffer[1024];
    size_t length = 0;
};

// The module that holds `address`, found without the loader's lock, which the faulting thread
// may hold: the image's allocation base, and the name its export directory gives (the
// program's own, which exports nothing, prepared at start).
bool moduleOf(ULONG_PTR address, ULONG_PTR& base, const char*& name) {
    MEMORY_BASIC_INFORMATION region;
    if (VirtualQuery(reinterpret_cast<void*>(address), &region, sizeof region) == 0 || region.Type != MEM_IMAGE) {
        return false;
    }
    base = reinterpret_cast<ULONG_PTR>(region.AllocationBase);
    if (base == reinterpret_cast<ULONG_PTR>(prepared.program)) {
        name = prepared.programName;
        return true;
    }
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE) return false;
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    if (nt->Signature != IMAGE_NT_SIGNATURE) return false;
    const IMAGE_DATA_DIRECTORY& exports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (exports.VirtualAddress == 0) return false;
    name = reinterpret_cast<const char*>(
        base + reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + exports.VirtualAddress)->Name);
    return true;
}

Line& Line::location(ULONG_PTR address) {
    ULONG_PTR base = 0;
    const char* name = nullptr;
    if (moduleOf(address, base, name)) return text(name).text("+0x").hex(address - base, 1);
    return text("0x").hex(address, 2 * sizeof address);
}

// Memory that can be read without a fault: committed, neither a guard page nor no-access.
bool readable(ULONG_PTR address, size_t size) {
    MEMORY_BASIC_INFORMATION region;
    if (VirtualQuery(reinterpret_cast<void*>(address), &region, sizeof region) == 0) return false;
    const ULONG_PTR end = reinterpret_cast<ULONG_PTR>(region.BaseAddress) + region.RegionSize;
    return region.State == MEM_COMMIT && (region.Protect & (PAGE_NOACCESS | PAGE_GUARD)) == 0 &&
           address + size <= end;
}

#if defined(_M_X64) || defined(__x86_64__)
// A frame read from `from` up stays in memory that can be read: from there to the top of the
// faulting thread's stack, above which no frame reaches.
bool stackReadable(ULONG_PTR from) {
    return from != 0 && from < faultStackBase && readable(from, faultStackBase - from);
}

// Where RtlVirtualUnwind reads `function`'s frame from: below its frame register once the
// prologue has set it (x64 exception handling page, UNWIND_INFO), else the stack pointer.
ULONG_PTR frameOf(const CONTEXT& context, DWORD64 imageBase, const RUNTIME_FUNCTION& function) {
    const auto* info = reinterpret_cast<const BYTE*>(imageBase + function.UnwindData);
    const int frameRegister = info[3] & 0x0F;
    if (frameRegister == 0 || context.Rip - (imageBase + function.BeginAddress) < info[1]) return context.Rsp;
    // CONTEXT holds Rax to R15 in the order of the registers' numbers.
    return static_cast<ULONG_PTR>((&context.Rax)[frameRegister] - 16 * (info[3] >> 4));
}

// The x64 unwind tables (.pdata, which GCC and MSVC both write for every function) give each
// caller exactly, as a debugger's walk would; a frame is read only where the stack can be.
int returnAddresses(const CONTEXT& fault, ULONG_PTR* found, int most) {
    static CONTEXT context;  // the report thread's only: kept off its stack
    context = fault;
    int count = 0;
    while (count < most) {
        DWORD64 imageBase = 0;
        PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr);
        if (function == nullptr) {
            // A leaf function: its return address is on top of the stack.
            if (!stackReadable(context.Rsp)) break;
            context.Rip = *reinterpret_cast<const DWORD64*>(context.Rsp);
            context.Rsp += sizeof(DWORD64);
        } else {
            if (!stackReadable(context.Rsp) || !stackReadable(frameOf(context, imageBase, *function))) break;
            PVOID handlerData = nullptr;
            DWORD64 establisher = 0;
            RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, function, &context, &handlerData,
                             &establisher, nullptr);
        }
        if (context.Rip == 0) break;
        found[count++] = static_cast<ULONG_PTR>(context.Rip);
    }
    return count;
}
#else
// A 32-bit build keeps no unwind tables and, optimised, no frame pointers: the stack is read
// upwards from the faulting one for values that point just after a call instruction in a
// loaded module's code, the way a debugger's stack scan does.
bool afterCall(ULONG_PTR address) {
    static ULONG_PTR codeStart = 0;  // the last code region found, the report thread's only
    static ULONG_PTR codeEnd = 0;
    if (address < codeStart + 8 || address >= codeEnd) {
        MEMORY_BASIC_INFORMATION region;
        if (VirtualQuery(reinterpret_cast<void*>(address), &region, sizeof region) == 0 ||
            region.State != MEM_COMMIT || region.Type != MEM_IMAGE ||
            (region.Protect & (PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE |
                               PAGE_EXECUTE_WRITECOPY)) == 0) {
            return false;
        }
        codeStart = reinterpret_cast<ULONG_PTR>(region.BaseAddress);
        codeEnd = codeStart + region.RegionSize;
        if (address < codeStart + 8) return false;
    }
    const unsigned char* after = reinterpret_cast<const unsigned char*>(address);
    if (after[-5] == 0xE8) return true;  // call rel32
    // call r/m32 (FF /2) with no displacement, a byte, a SIB byte and four, or four.
    for (int length : {2, 3, 6, 7}) {
        if (after[-length] == 0xFF && (after[-length + 1] & 0x38) == 0x10) return true;
    }
    return false;
}

int returnAddresses(const CONTEXT& fault, ULONG_PTR* found, int most) {
    MEMORY_BASIC_INFORMATION region;
    if (VirtualQuery(reinterpret_cast<void*>(static_cast<ULONG_PTR>(fault.Esp)), &region, sizeof region) == 0 ||
        !readable(fault.Esp, sizeof(ULONG_PTR))) {
        return 0;
    }
    const ULONG_PTR end = reinterpret_cast<ULONG_PTR>(region.BaseAddress) + region.RegionSize;
    int count = 0;
    for (ULONG_PTR slot = fault.Esp & ~ULONG_PTR(3); slot + 4 <= end && count < most; slot += 4) {
        const ULONG_PTR value = *reinterpret_cast<const ULONG_PTR*>(slot);
        if (afterCall(value)) found[count++] = value;
    }
    return count;
}
#endif

const char* threadText(ThreadRole role) {
    switch (role) {
    case ThreadRole::Window: return " on the window thread";
    case ThreadRole::Worker: return " on the worker thread";
    case ThreadRole::PortEvents: return " on the port events thread";
    default: return " on another thread";
    }
}

// The line on the fault, forced to the disk before anything else is tried.
void logFault() {
    const EXCEPTION_RECORD& record = *faultPointers->ExceptionRecord;
    Line fault;
    fault.timed().text("Fault: 0x").hex(faultCode, 8).text(" ").text(FaultReport::codeName(faultCode));
    if ((faultCode == EXCEPTION_ACCESS_VIOLATION || faultCode == EXCEPTION_IN_PAGE_ERROR) &&
        record.NumberParameters >= 2) {
        const ULONG_PTR kind = record.ExceptionInformation[0];
        fault.text(kind == 0 ? " (reading 0x" : kind == 8 ? " (executing 0x" : " (writing 0x")
            .hex(record.ExceptionInformation[1], 2 * sizeof(ULONG_PTR))
            .text(")");
    }
    fault.text(threadText(ThreadRoles::of(reportingThread.load())))
        .text(" at ")
        .location(reinterpret_cast<ULONG_PTR>(record.ExceptionAddress));
    fault.writeTo(prepared.log);
    FlushFileBuffers(prepared.log);
}

void logReturnAddresses() {
    ULONG_PTR found[FaultReport::LoggedReturnAddresses];
    const int count = returnAddresses(*faultPointers->ContextRecord, found, FaultReport::LoggedReturnAddresses);
    Line stack;
    stack.timed().text("Fault return addresses:");
    for (int i = 0; i < count; ++i) stack.text(" ").location(found[i]);
    if (count == 0) stack.text(" none found");
    stack.writeTo(prepared.log);
    FlushFileBuffers(prepared.log);
}

bool reportsOwn(ULONG threadId) { return threadId == prepared.reportThreadId || threadId == prepared.dumpThreadId; }

// Every thread but the report's and the dump's, whose stacks hold nothing of the fault
// (Windows asks which threads to include; Wine only asks what to write of each, and would
// write their whole reservations). For the other callbacks, what dbghelp does without one.
BOOL CALLBACK leaveOutReportThreads(PVOID, PMINIDUMP_CALLBACK_INPUT input, PMINIDUMP_CALLBACK_OUTPUT output) {
    switch (input->CallbackType) {
    case IncludeThreadCallback:
        return !reportsOwn(input->IncludeThread.ThreadId);
    case ThreadCallback:
        if (reportsOwn(input->Thread.ThreadId)) output->ThreadWriteFlags &= ~ThreadWriteStack;
        return TRUE;
    case IncludeModuleCallback:
    case ModuleCallback:
    case ThreadExCallback:
        return TRUE;
    case ReadMemoryFailureCallback:
        output->Status = S_OK;  // a page that cannot be read is left out
        return TRUE;
    default:
        return FALSE;  // no memory added, no cancel
    }
}

// The minidump: threads with their stacks, the modules, the exception. False when none was
// written; the file is then left to go when the process ends.
bool writeDump(DWORD& error) {
    if (prepared.dump == INVALID_HANDLE_VALUE || prepared.writeDump == nullptr) {
        error = prepared.writeDump == nullptr ? ERROR_PROC_NOT_FOUND : ERROR_FILE_NOT_FOUND;
        return false;
    }
    FILE_DISPOSITION_INFO keep = {FALSE};
    if (!SetFileInformationByHandle(prepared.dump, FileDispositionInfo, &keep, sizeof keep)) {
        error = GetLastError();
        return false;
    }
    // Shown, now that it holds a report. Ignored result: a hidden dump is still a dump, and
    // the box names it. Times of 0 are left as they are.
    FILE_BASIC_INFO shown = {};
    shown.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    SetFileInformationByHandle(prepared.dump, FileBasicInfo, &shown, sizeof shown);
    MINIDUMP_EXCEPTION_INFORMATION exception = {reportingThread.load(), faultPointers, FALSE};
    MINIDUMP_CALLBACK_INFORMATION callback = {leaveOutReportThreads, nullptr};
    if (!prepared.writeDump(GetCurrentProcess(), GetCurrentProcessId(), prepared.dump, MiniDumpNormal, &exception,
                            nullptr, &callback)) {
        // MiniDumpWriteDump reports an HRESULT through GetLastError.
        error = GetLastError();
        FILE_DISPOSITION_INFO discard = {TRUE};
        SetFileInformationByHandle(prepared.dump, FileDispositionInfo, &discard, sizeof discard);
        return false;
    }
    FlushFileBuffers(prepared.dump);
    return true;
}

void writeCode(std::wstring& text) {
    const size_t at = wcslen(StoppedText);
    for (int digit = 0; digit < 8; ++digit) {
        text[at + digit] = L"0123456789ABCDEF"[(faultCode >> (28 - 4 * digit)) & 0xF];
    }
}

DWORD WINAPI dumpThreadMain(void*) {
    if (WaitForSingleObject(prepared.dumpDue, INFINITE) == WAIT_OBJECT_0) {
        dumpWritten = writeDump(dumpError);
        SetEvent(prepared.dumpEnded);
    }
    return 0;
}

// The dump, written on its own thread and given DumpLimitSeconds: past it, the log says so, the
// return addresses follow, and the process ends here with the fault's code. An unfinished
// dump is of no use: deleted. A dump thread that has ended (ExitProcess ends every other
// thread before the DLLs' detach code runs, where a fault finds it gone) writes none.
bool dumpInTime(DWORD& error) {
    if (prepared.dumpThread == nullptr || !SetEvent(prepared.dumpDue)) {
        error = prepared.dumpThread == nullptr ? prepared.dumpThreadError : GetLastError();
        return false;
    }
    const HANDLE endedOrGone[] = {prepared.dumpEnded, prepared.dumpThread};
    const DWORD waited = WaitForMultipleObjects(2, endedOrGone, FALSE, FaultReport::DumpLimitSeconds * 1000);
    if (waited == WAIT_OBJECT_0 + 1) {
        error = ERROR_INVALID_THREAD_ID;  // its thread is gone
        return false;
    }
    if (waited != WAIT_OBJECT_0) {
        FILE_DISPOSITION_INFO discard = {TRUE};
        SetFileInformationByHandle(prepared.dump, FileDispositionInfo, &discard, sizeof discard);
        Line unfinished;
        unfinished.timed().text("Fault dump: ").name(prepared.dumpName).text(" not finished within ");
        unfinished.decimal(FaultReport::DumpLimitSeconds, 1).text(" s, deleted; the program ends without its box");
        unfinished.writeTo(prepared.log);
        logReturnAddresses();
        TerminateProcess(GetCurrentProcess(), faultCode);
    }
    error = dumpError;
    return dumpWritten;
}

// The box counts as shown once its own message loop runs, which dispatches this thread's timer:
// the box is made and drawn by then.
VOID CALLBACK boxShown(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    SetEvent(prepared.boxDue);
}

// The steps in the order of their worth, none of which can keep the next from its turn: the
// line on the disk; the power hold let go (it takes no lock), as the engineer may leave the
// box unanswered; the dump, within its time; the return addresses, read only where they can
// be; the box; the process's end, with the fault's code. (A hold by the thread's execution
// state ends with the process.)
void report() {
    if (prepared.log != INVALID_HANDLE_VALUE) logFault();
    PowerHold::releaseAfterFault();
    bool dumped = false;
    if (prepared.log != INVALID_HANDLE_VALUE) {
        DWORD error = 0;
        dumped = dumpInTime(error);
        Line dump;
        dump.timed().text("Fault dump: ");
        if (dumped) {
            dump.name(prepared.dumpName);
        } else {
            dump.text("not written (error 0x").hex(error, 8).text(")");
        }
        dump.writeTo(prepared.log);
        FlushFileBuffers(prepared.log);
        logReturnAddresses();
    }
    std::wstring& text = prepared.log == INVALID_HANDLE_VALUE ? prepared.noFilesBox
                         : dumped                          ? prepared.bothFilesBox
                                                           : prepared.logOnlyBox;
    writeCode(text);
    // No timer: the box is never counted as shown, and stands only until the waiting threads'
    // limit; the report is on the disk by then.
    SetTimer(nullptr, 0, 0, boxShown);
    MessageBoxW(nullptr, text.c_str(), FaultCaptionW, MB_OK | MB_ICONERROR | MB_SETFOREGROUND | MB_TOPMOST);
    TerminateProcess(GetCurrentProcess(), faultCode);  // once the box is answered
}

DWORD WINAPI reportThreadMain(void*) {
    // A GUI thread from the start: Windows converts a thread at its first user32 call, which
    // may load DLLs and allocate, and after a fault that could wait for ever on the loader's
    // or the heap's lock held by the faulting thread.
    IsGUIThread(TRUE);
    if (WaitForSingleObject(prepared.faultEvent, INFINITE) == WAIT_OBJECT_0) report();
    return 0;
}

// For a thread that must not go on while the report is made (the faulting one, another that
// faults, the one that calls exit()): the reporting thread ends the process once the box is
// answered. Until the box shows, should the report hang beyond the dump's time and a margin
// for its lines (a box that never comes counts too), the process ends here, and no lock of
// exit()'s is waited for. Returns only to the faulting thread, at once, where the report
// thread has ended without a report (see dumpInTime): that thread then reports itself.
void awaitReport(bool faulting) {
    const HANDLE boxOrGone[] = {prepared.boxDue, prepared.reportThread};
    const DWORD handles = faulting && prepared.reportThread != nullptr ? 2 : 1;
    const DWORD limit = FaultReport::DumpLimitSeconds * 1000 + LinesMargin;
    const DWORD waited = WaitForMultipleObjects(handles, boxOrGone, FALSE, limit);
    if (waited == WAIT_OBJECT_0 + 1) return;
    if (waited == WAIT_OBJECT_0) {
        for (;;) Sleep(INFINITE);
    }
    // Without the box's event (its creation failed at start) the report is given the limit.
    if (waited == WAIT_FAILED) Sleep(limit);
    TerminateProcess(GetCurrentProcess(), faultCode);
}

// Run by exit(): while a fault on another thread is reported (the window thread may still
// return from WinMain meanwhile), the process does not end by exit()'s way.
void waitForReport() {
    const DWORD reporting = reportingThread.load();
    if (reporting != 0 && reporting != GetCurrentThreadId()) awaitReport(false);
}

LONG WINAPI onUnhandledException(EXCEPTION_POINTERS* pointers) {
    const DWORD self = GetCurrentThreadId();
    DWORD claimed = 0;
    if (!reportingThread.compare_exchange_strong(claimed, self)) {
        // A fault while a report is made. In dbghelp, on the dump thread: the report goes on
        // without the dump. In the report itself (this filter again, or the report thread):
        // the process ends at once with the first fault's code, and nothing is tried a second
        // time. On any other thread: it waits for the report to end it.
        if (self == prepared.dumpThreadId) {
            FILE_DISPOSITION_INFO discard = {TRUE};
            SetFileInformationByHandle(prepared.dump, FileDispositionInfo, &discard, sizeof discard);
            dumpError = pointers->ExceptionRecord->ExceptionCode;
            SetEvent(prepared.dumpEnded);
            // The report, on its thread or the faulting one, goes on and ends the process.
            for (;;) Sleep(INFINITE);
        }
        if (claimed == self || reportsOwn(self)) {
            TerminateProcess(GetCurrentProcess(), faultCode);
        }
        awaitReport(false);
    }
    faultCode = pointers->ExceptionRecord->ExceptionCode;
    faultPointers = pointers;
#if defined(_M_X64) || defined(__x86_64__)
    // The top of this thread's stack: the end of the committed memory that holds this frame.
    MEMORY_BASIC_INFORMATION stack;
    if (VirtualQuery(&stack, &stack, sizeof stack) != 0) {
        faultStackBase = reinterpret_cast<ULONG_PTR>(stack.BaseAddress) + stack.RegionSize;
    }
#endif
    // The report runs on its own thread, with a whole stack, while this one waits; without
    // that thread, or once it has ended, here. This thread does no more than that: after a
    // stack overflow, 32-bit Wine leaves the filter about a kilobyte, whatever
    // SetThreadStackGuarantee reserved.
    if (prepared.reportThread != nullptr && SetEvent(prepared.faultEvent)) awaitReport(true);
    report();
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void FaultReport::install() {
    ThreadRoles::enter(ThreadRole::Window);
    prepared.program = GetModuleHandleA(nullptr);
    // The path may be longer than MAX_PATH; the name alone is not.
    std::vector<wchar_t> path(32768);
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    const wchar_t* name = length > 0 && length < path.size() ? path.data() : L"";
    for (const wchar_t* at = name; *at != L'\0'; ++at) {
        if (*at == L'\\' || *at == L'/') name = at + 1;
    }
    WideCharToMultiByte(CP_ACP, 0, name, -1, prepared.programName, MAX_PATH - 1, nullptr, nullptr);
    // Kept loaded for the life of the process. Without dbghelp the report has no dump; a
    // helper that does not load is left to dbghelp's own load, as before.
    SystemLibrary::entry(SystemLibrary::load("dbghelp.dll"), "MiniDumpWriteDump", prepared.writeDump);
    for (const char* helper : DumpHelpers) SystemLibrary::load(helper);
    prepared.noFilesBox = std::wstring(StoppedText) + NoFilesText;
    prepared.boxDue = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    prepared.dumpDue = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    prepared.dumpEnded = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (prepared.dumpDue != nullptr && prepared.dumpEnded != nullptr) {
        // Without the thread no dump is written: nothing would bound its time.
        prepared.dumpThread = CreateThread(nullptr, ReportStack, dumpThreadMain, nullptr,
                                           STACK_SIZE_PARAM_IS_A_RESERVATION, &prepared.dumpThreadId);
    }
    prepared.dumpThreadError = prepared.dumpThread == nullptr ? GetLastError() : 0;
    prepared.faultEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (prepared.faultEvent != nullptr && prepared.boxDue != nullptr) {
        // Without the thread the filter makes the report itself.
        prepared.reportThread = CreateThread(nullptr, ReportStack, reportThreadMain, nullptr,
                                             STACK_SIZE_PARAM_IS_A_RESERVATION, &prepared.reportThreadId);
    }
    // Ignored result: without it a normal end can overtake a report.
    std::atexit(waitForReport);
    SetUnhandledExceptionFilter(onUnhandledException);
}

void FaultReport::useLog(HANDLE file, const std::wstring& path, ULONGLONG startTick) {
    HANDLE log = nullptr;
    const size_t slash = path.find_last_of(L'\\');
    if (file == INVALID_HANDLE_VALUE || file == nullptr || slash == std::wstring::npos ||
        !DuplicateHandle(GetCurrentProcess(), file, GetCurrentProcess(), &log, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
        return;
    }
    prepared.logStart = startTick;
    prepared.dumpName = LogFolder::dumpName(path.substr(slash + 1));
    const std::wstring dumpPath = path.substr(0, slash + 1) + prepared.dumpName;
    // Made now and deleted when the process ends, unless a fault takes it first: the file
    // system then needs nothing from the heap after a fault. Hidden meanwhile: an empty .dmp
    // beside the open log would look like a report, and could not even be copied.
    HANDLE dump = CreateFileW(dumpPath.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (dump != INVALID_HANDLE_VALUE) {
        FILE_DISPOSITION_INFO discard = {TRUE};
        if (SetFileInformationByHandle(dump, FileDispositionInfo, &discard, sizeof discard)) {
            prepared.dump = dump;
        } else {
            CloseHandle(dump);
            DeleteFileW(dumpPath.c_str());
        }
    }
    const std::wstring stopped = std::wstring(StoppedText) + L"00000000).\n\n";
    const std::wstring where = L"\n\nThey are in the folder that Help > Show Update Logs opens.";
    prepared.bothFilesBox =
        stopped + L"Please send these two files to service:\n\n" + path + L"\n" + dumpPath + where;
    prepared.logOnlyBox = stopped + L"Please send this file to service:\n\n" + path + where;
    prepared.log = log;
}

void FaultReport::exceptionEscaped(const char* text) {
    if (prepared.log != INVALID_HANDLE_VALUE) {
        Line line;
        line.timed().text("Exception: ").text(text);
        line.writeTo(prepared.log);
        FlushFileBuffers(prepared.log);
    }
}

const char* FaultReport::codeName(DWORD code) {
    switch (code) {
    case EXCEPTION_ACCESS_VIOLATION: return "access violation";
    case EXCEPTION_STACK_OVERFLOW: return "stack overflow";
    case EXCEPTION_IN_PAGE_ERROR: return "in-page error";
    case EXCEPTION_ILLEGAL_INSTRUCTION: return "illegal instruction";
    case EXCEPTION_PRIV_INSTRUCTION: return "privileged instruction";
    case EXCEPTION_INT_DIVIDE_BY_ZERO: return "integer divide by zero";
    case EXCEPTION_INT_OVERFLOW: return "integer overflow";
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED: return "array bounds exceeded";
    case EXCEPTION_DATATYPE_MISALIGNMENT: return "datatype misalignment";
    case EXCEPTION_FLT_DIVIDE_BY_ZERO: return "floating-point divide by zero";
    case EXCEPTION_FLT_INVALID_OPERATION: return "floating-point invalid operation";
    case EXCEPTION_FLT_OVERFLOW: return "floating-point overflow";
    case EXCEPTION_FLT_UNDERFLOW: return "floating-point underflow";
    case EXCEPTION_FLT_INEXACT_RESULT: return "floating-point inexact result";
    case EXCEPTION_FLT_DENORMAL_OPERAND: return "floating-point denormal operand";
    case EXCEPTION_FLT_STACK_CHECK: return "floating-point stack check";
    case EXCEPTION_BREAKPOINT: return "breakpoint";
    case EXCEPTION_SINGLE_STEP: return "single step";
    case EXCEPTION_GUARD_PAGE: return "guard page";
    case EXCEPTION_INVALID_HANDLE: return "invalid handle";
    case EXCEPTION_NONCONTINUABLE_EXCEPTION: return "noncontinuable exception";
    case EXCEPTION_INVALID_DISPOSITION: return "invalid disposition";
    case 0xC0000374: return "heap corruption";
    case 0xE06D7363: return "C++ exception (MSVC)";
    case 0x20474343: return "C++ exception (GCC)";
    default: return "unknown exception";
    }
}
