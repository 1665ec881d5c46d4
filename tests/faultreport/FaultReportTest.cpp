// The fault report, one planted fault of each kind in a child process of this program (a null
// write on the engine's worker, alone or with a second on the window thread, a stack overflow on
// the window thread, a C++ exception that reaches the entry point's catch, a fault in the C++
// library whose dump never returns, one in an image that exports nothing, a 64-bit context whose
// stack pointer points nowhere, a box that never comes, ended report threads): its log lines, dump, box and exit code.
// check.sh then resolves the logged addresses with tools/resolve_fault.py.
#include <windows.h>

#include <dbghelp.h>
#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "engine/ActionBase.h"
#include "engine/SystemLibrary.h"
#include "engine/UpdateEngine.h"
#include "engine/WinHandles.h"
#include "faultreport/FaultReport.h"
#include "tests/gui/InstallerWindow.h"
#include "ui/InstallerController.h"
#include "tests/support/TestEnvironment.h"
#include "windows/PowerHold.h"
#include "ui/WinException.h"

// A fault inside the library (std::string::compare, linked in without line information) and a
// caller of its own with external linkage, whose name the 32-bit symbols hold mangled.
__attribute__((noinline)) int plantCompare(const std::string* text);
int plantCompare(const std::string* text) {
    return text->compare("planted") + 1;  // planted: compare
}

namespace {

// The planted faults; check.sh looks for these names and the lines marked "planted".
__attribute__((noinline)) void plantNullWrite() {
    volatile int* volatile target = nullptr;
    *target = 1;  // planted: null write
}

volatile bool deeper = true;  // always: the compiler cannot know it

__attribute__((noinline)) int plantRecursion(int depth) {
    if (!deeper) return 0;
    volatile char frame[256];
    // The overflow faults on the first write to a new frame: the call's own push (GCC 12) or
    // this store, when the compiler puts it first (GCC 14). Both lines are marked.
    frame[depth % sizeof frame] = static_cast<char>(depth);  // planted: recursion
    return plantRecursion(depth + 1) + frame[0];  // planted: recursion
}

bool raised = false;  // the fault raised, not made by the CPU: the same record under an emulator
class NullWriteAction : public ActionBase {
public:
    void execute() override { raised ? RaiseException(EXCEPTION_ACCESS_VIOLATION, 0, 0, nullptr) : plantNullWrite(); }
};

// The power calls, each noted in "<log>.power": which of them the report made, the child
// cannot say itself.
std::string powerNotes;
void note(const char* call) {
    UniqueFileHandle file(CreateFileA(powerNotes.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_ALWAYS, 0, nullptr));
    DWORD written = 0;
    WriteFile(file.get(), call, static_cast<DWORD>(strlen(call)), &written, nullptr);
}
HANDLE WINAPI createRequest(PREASON_CONTEXT) { return reinterpret_cast<HANDLE>(0x1234); }
BOOL WINAPI setRequest(HANDLE, POWER_REQUEST_TYPE) { return TRUE; }
// Slow, as a power driver may be: a holder that ends meanwhile must wait for the report.
BOOL WINAPI clearRequest(HANDLE, POWER_REQUEST_TYPE) { return note("clear "), Sleep(100), TRUE; }
BOOL WINAPI closeRequest(HANDLE) { return note("close"), TRUE; }
EXECUTION_STATE WINAPI executionState(EXECUTION_STATE) { return ES_CONTINUOUS; }

char* volatile allocated = nullptr;  // an allocation kept, so that the compiler keeps it

// The probe of the CPU: the code a null write is dispatched with, as the process's exit code.
LONG CALLBACK exitWithCode(EXCEPTION_POINTERS* pointers) {
    ExitProcess(pointers->ExceptionRecord->ExceptionCode);
}

// SystemLibrary's load, with dbghelp.dll answered by hung\hungdbghelp.dll beside this program
// (a DLL named dbghelp.dll would be Wine's own, whatever its path).
HMODULE WINAPI loadHungDbghelp(LPCSTR name, HANDLE file, DWORD flags) {
    if (lstrcmpiA(name, "dbghelp.dll") != 0) return LoadLibraryExA(name, file, flags);
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string hung(path, length);
    return LoadLibraryExA((hung.substr(0, hung.rfind('\\')) + "\\hung\\hungdbghelp.dll").c_str(), nullptr, 0);
}

// This process's threads but those `known`: after FaultReport::install(), the report's own.
std::vector<DWORD> threadsBut(const std::vector<DWORD>& known) {
    std::vector<DWORD> ids;
    UniqueFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry = {sizeof entry, 0, 0, 0, 0, 0, 0};
    for (BOOL more = Thread32First(snapshot.get(), &entry); more; more = Thread32Next(snapshot.get(), &entry)) {
        const bool own = entry.th32OwnerProcessID == GetCurrentProcessId();
        if (own && !std::count(known.begin(), known.end(), entry.th32ThreadID)) ids.push_back(entry.th32ThreadID);
    }
    return ids;
}

// Holds a window's creation for ever, as a lock that the faulting thread holds would.
LRESULT CALLBACK holdWindow(int code, WPARAM wParam, LPARAM lParam) {
    return code == HCBT_CREATEWND ? (Sleep(INFINITE), 0) : CallNextHookEx(nullptr, code, wParam, lParam);
}

// The child: the report installed and given a log, as WinMain and the controller do, a power
// hold held, then the fault.
int plant(const std::string& kind, const std::string& logPath) {
    if (kind == "hungdump") SystemLibrary::setLoadCall(loadHungDbghelp);
    const std::vector<DWORD> before = threadsBut({});
    FaultReport::install();
    const std::vector<DWORD> reportThreads = threadsBut(before);
    const std::wstring path(logPath.begin(), logPath.end());
    UniqueFileHandle log(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                     CREATE_ALWAYS, 0, nullptr));
    FaultReport::useLog(log.get(), path, GetTickCount64());
    powerNotes = logPath + ".power";
    static const PowerApi power = {createRequest, setRequest, clearRequest, closeRequest, executionState, nullptr};
    auto hold = std::make_unique<PowerHold>();
    hold->setApi(power);
    hold->hold();
    // The box held at its window's creation; or the report's threads ended, as ExitProcess ends
    // them before the DLLs' detach code runs.
    for (DWORD id : reportThreads) {
        UniqueHandle thread(OpenThread(THREAD_TERMINATE | SYNCHRONIZE, FALSE, id));
        if (kind == "nobox") SetWindowsHookExA(WH_CBT, holdWindow, nullptr, id);
        if (kind == "gone" && TerminateThread(thread.get(), 0)) WaitForSingleObject(thread.get(), INFINITE);
    }
    raised = kind == "nobox" || kind == "gone";
    if (kind == "worker" || kind == "second" || raised) {
        // Never destroyed, so that nothing joins the worker: main returns once the report has
        // begun, and the process's end must wait for it. The hold ends meanwhile, while the
        // report lets it go; or this thread faults too, and must wait for the first's report.
        UpdateEngine* engine = new UpdateEngine(nullptr);
        engine->postWork(new NullWriteAction);
        while (GetFileSize(log.get(), nullptr) == 0) Sleep(10);
        if (kind == "second") plantNullWrite();
        // Once the report has begun to let the hold go, not before: the hold is then the report's.
        while (GetFileAttributesA(powerNotes.c_str()) == INVALID_FILE_ATTRIBUTES) Sleep(1);
        hold.reset();
        note(" ended");
    } else if (kind == "overflow") {
        return plantRecursion(0);
    } else if (kind == "hungdump") {
        return plantCompare(reinterpret_cast<const std::string*>(0x10));
    } else if (kind == "foreign") {
        // A fault in an image without an export directory, as a DLL injected into the program
        // may be: a copy of this program mapped as an image (this program's own file would be
        // answered with its own module). Handed to the filter as a runtime's own check hands one over.
        char self[MAX_PATH];
        GetModuleFileNameA(nullptr, self, MAX_PATH);
        const std::string copy = logPath + ".image";
        CopyFileA(self, copy.c_str(), FALSE);
        const HMODULE image = LoadLibraryExA(copy.c_str(), nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        if (image == nullptr) return 3;
        const ULONG_PTR base = reinterpret_cast<ULONG_PTR>(image) & ~static_cast<ULONG_PTR>(3);
        static CONTEXT context;
        RtlCaptureContext(&context);
        EXCEPTION_RECORD record = {EXCEPTION_ACCESS_VIOLATION, 0, nullptr, reinterpret_cast<void*>(base + 0x1000), 2, {1, 0}};
        EXCEPTION_POINTERS pointers = {&record, &context};
        UnhandledExceptionFilter(&pointers);
#if defined(__x86_64__)
    } else if (kind == "lostframe") {
        // Windows and Wine dispatch a fault through its frames, which a stack pointer that
        // points nowhere does not allow (Wine hangs): such a context reaches the filter as a
        // runtime's own check hands one over, captured and given to UnhandledExceptionFilter.
        static CONTEXT context;
        RtlCaptureContext(&context);
        context.Rsp = 0x10;
        EXCEPTION_RECORD record = {EXCEPTION_ACCESS_VIOLATION, 0, nullptr, reinterpret_cast<void*>(context.Rip), 2, {1, 0}};
        EXCEPTION_POINTERS pointers = {&record, &context};
        UnhandledExceptionFilter(&pointers);
#endif
    } else if (kind == "exception") {
        std::set_new_handler(OutOfMemoryHandler);
        try {
            volatile size_t huge = SIZE_MAX / 2;
            allocated = new char[huge];
        } catch (const WinException& failure) {
            InstallerController::ShowEscapedException(failure.message);
        }
    }
    return 0;
}

struct PlantedFault {
    const char* kind;
    DWORD exitCode;
    const char* logged;  // the log line's text after its time
    const char* caption;  // null: the dump never ends, and no box is shown
    const char* returns = "test_faultreport.exe+0x";  // how the return addresses begin
    const char* powerCalls = "clear clear clear close";  // as the child noted them at its end
    const char* dumpLine = "";  // the log's line on a dump that was not written or not shown
};

std::ostream& operator<<(std::ostream& out, const PlantedFault& row) { return out << row.kind; }

const std::string NullAddress = "0x" + std::string(2 * sizeof(void*), '0');
const PlantedFault Rows[] = {
    {"worker", EXCEPTION_ACCESS_VIOLATION, "Fault: 0xC0000005 access violation (writing %s) on the worker thread at ",
     FaultReport::FaultCaption, "test_faultreport.exe+0x", "clear clear clear close ended"},
    {"second", EXCEPTION_ACCESS_VIOLATION, "Fault: 0xC0000005 access violation (writing %s) on the worker thread at ",
     FaultReport::FaultCaption},
    {"overflow", EXCEPTION_STACK_OVERFLOW, "Fault: 0xC00000FD stack overflow on the window thread at ",
     FaultReport::FaultCaption},
    {"exception", 0, "Exception: Out of memory", "KQ7750 Installer Exception"},
    {"hungdump", EXCEPTION_ACCESS_VIOLATION, "Fault: 0xC0000005 access violation (reading 0x", nullptr},
    {"foreign", EXCEPTION_ACCESS_VIOLATION, "Fault: 0xC0000005 access violation (writing %s) on the window thread at 0x",
     FaultReport::FaultCaption},
    {"lostframe", EXCEPTION_ACCESS_VIOLATION, "Fault: 0xC0000005 access violation (writing %s) on the window thread at ",
     FaultReport::FaultCaption, "none found"},
    {"nobox", EXCEPTION_ACCESS_VIOLATION, "Fault: 0xC0000005 access violation on the worker thread at ", nullptr, "",
     "clear clear clear close ended", "Fault dump: nobox.dmp\r\n"},
    // Reported on the worker itself, while the window thread's exit() waits for the box.
    {"gone", EXCEPTION_ACCESS_VIOLATION, "Fault: 0xC0000005 access violation on the worker thread at ",
     FaultReport::FaultCaption, "", "clear clear clear close ended", "Fault dump: not written (error 0x000005A4)"},
};

// Attributes as the folder lists them: a file marked for deletion cannot be opened.
DWORD listedAttributes(const std::string& path) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(path.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return INVALID_FILE_ATTRIBUTES;
    FindClose(search);
    return found.dwFileAttributes;
}

std::string fileText(const std::string& path) {
    std::string text;
    return testenv::readFile(path, text) ? text : std::string();
}

template <typename T>
const T* at(const std::string& dump, ULONG64 rva) {
    return rva + sizeof(T) <= dump.size() ? reinterpret_cast<const T*>(dump.data() + rva) : nullptr;
}

// What this CPU reports for a null write, found once by a child of this program. Under
// qemu-user's i386 emulation Wine dispatches it as 0xC000001D (illegal instruction), not
// 0xC0000005: there the rows of real CPU faults would test the emulator, not the report.
DWORD nullWriteCode() {
    static DWORD code = [] {
        char self[MAX_PATH];
        GetModuleFileNameA(nullptr, self, MAX_PATH);
        std::string command = std::string("\"") + self + "\" --probe";
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION child = {};
        DWORD exitCode = 0;
        if (CreateProcessA(self, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child)) {
            UniqueHandle process(child.hProcess), thread(child.hThread);
            WaitForSingleObject(process.get(), 60000);
            GetExitCodeProcess(process.get(), &exitCode);
        }
        return exitCode;
    }();
    return code;
}

class FaultReportTest : public testing::TestWithParam<PlantedFault> {};

TEST_P(FaultReportTest, LogsDumpsNamesBothFilesAndEndsWithTheCode) {
    const PlantedFault& row = GetParam();
    char folder[MAX_PATH], self[MAX_PATH];
    ASSERT_TRUE(GetCurrentDirectoryA(MAX_PATH, folder) && GetModuleFileNameA(nullptr, self, MAX_PATH));
    const std::string planted = std::string(folder) + "\\planted\\";
    CreateDirectoryA(planted.c_str(), nullptr);
    const std::string log = planted + row.kind + ".log", dump = planted + row.kind + ".dmp";
    for (const std::string& old : {log, dump, log + ".power", log + ".image"}) DeleteFileA(old.c_str());
    // Wine 8's 64-bit side dispatches a stack overflow on the 1.8 KB left above the stack's
    // last page, whatever SetThreadStackGuarantee asked: no handler, the filter included, is
    // reached and the child hangs (README: checked on a real PC instead).
    if (row.exitCode == EXCEPTION_STACK_OVERFLOW && sizeof(void*) == 8 &&
        GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr) {
        GTEST_SKIP() << "a stack overflow of a 64-bit program never reaches Wine's exception handlers";
    }
    if (std::string(row.kind) == "lostframe" && sizeof(void*) == 4) GTEST_SKIP() << "64-bit unwinding only";
    // The rows whose access violation the CPU raises (the others hand the filter a record of
    // their own); a stack overflow is reported as itself under the emulator too.
    const std::string kind = row.kind;
    const bool cpuFault = kind == "worker" || kind == "second" || kind == "hungdump";
    if (cpuFault && nullWriteCode() != EXCEPTION_ACCESS_VIOLATION) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(nullWriteCode()));
        GTEST_SKIP() << "not run under emulation: the fault report's " << row.kind << " row (this CPU reports a null write as "
                     << code << "; the 64-bit build runs the row)";
    }

    std::string command = std::string("\"") + self + "\" --plant " + row.kind + " \"" + log + "\"";
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    ASSERT_TRUE(CreateProcessA(self, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child));
    UniqueHandle process(child.hProcess), thread(child.hThread);
    // Wine's dbghelp takes from seconds to a minute for a dump on a loaded machine; a dump that
    // never returns ends the process after FaultReport::DumpLimitSeconds.
    const bool dumped = std::string(row.dumpLine).find("not written") == std::string::npos;
    ModalBox box;
    for (ULONGLONG end = GetTickCount64() + 240000; !box.exists() && GetTickCount64() < end;) {
        if (row.caption != nullptr) box = ModalBox(ModalBox::find(row.caption, child.dwProcessId));
        if (!box.exists() && WaitForSingleObject(process.get(), 50) == WAIT_OBJECT_0) break;
    }
    const bool ended = WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
    if (!box.exists()) TerminateProcess(process.get(), 1);
    std::string text;
    if (row.caption != nullptr) {
        ASSERT_TRUE(box.exists()) << "no box \"" << row.caption << "\"";
        text = box.messageText();
        // While the box stands: a dump that waits for a fault is hidden, one that a fault took is not.
        EXPECT_EQ(listedAttributes(dump) & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_DIRECTORY),
                  row.exitCode == 0 || !dumped ? FILE_ATTRIBUTE_HIDDEN : 0u);
        // Let go before the box, which may stand for hours.
        if (row.exitCode != 0) {
            EXPECT_EQ(fileText(log + ".power").substr(0, 23), "clear clear clear close")
                << "the power hold was not let go before the box";
        }
        box.press(IDOK);
    } else {
        ASSERT_TRUE(ended) << "the process outlived its dump's time limit";
    }
    ASSERT_EQ(WaitForSingleObject(process.get(), 30000), WAIT_OBJECT_0);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.get(), &exitCode);
    EXPECT_EQ(exitCode, row.exitCode);

    char logged[160];
    std::snprintf(logged, sizeof logged, row.logged, NullAddress.c_str());
    const std::string lines = fileText(log);
    const size_t line = lines.find(logged);
    ASSERT_NE(line, std::string::npos) << logged << "\nnot in:\n" << lines;
    if (row.exitCode == 0) {
        EXPECT_EQ(text, "Out of memory");
        EXPECT_EQ(GetFileAttributesA(dump.c_str()), INVALID_FILE_ATTRIBUTES) << "a dump was left without a fault";
        return;
    }
    EXPECT_EQ(fileText(log + ".power"), row.powerCalls) << "the power hold was not let go, or not first";
    EXPECT_NE(lines.find(row.dumpLine, line), std::string::npos) << lines;
    if (kind == "nobox") return;
    if (row.caption == nullptr) {
        const std::string unfinished = "Fault dump: hungdump.dmp not finished within " +
                                       std::to_string(FaultReport::DumpLimitSeconds) + " s, deleted";
        EXPECT_NE(lines.find(unfinished, line), std::string::npos) << lines;
        EXPECT_EQ(GetFileAttributesA(dump.c_str()), INVALID_FILE_ATTRIBUTES) << "an unfinished dump was kept";
        return;
    }
    EXPECT_NE(text.find("\n\n" + log + (dumped ? "\n" + dump : "") + "\n\n"), std::string::npos) << text;
    char code[24];
    std::snprintf(code, sizeof code, "(code 0x%08lX)", static_cast<unsigned long>(row.exitCode));
    EXPECT_NE(text.find(code), std::string::npos) << code << " not in: " << text;
    if (kind == "foreign" || !dumped) return;  // the address lies in no module of the dump's; no dump
    // The faulting address, as module + offset; the return addresses begin in this program.
    const std::string module = "test_faultreport.exe+0x";
    const size_t offsetAt = lines.find(module, line) + module.size();
    const ULONG64 offset = std::strtoull(lines.c_str() + offsetAt, nullptr, 16);
    EXPECT_NE(lines.find("Fault return addresses: " + std::string(row.returns), offsetAt), std::string::npos) << lines;
    EXPECT_NE(lines.find("Fault dump: " + std::string(row.kind) + ".dmp\r\n", offsetAt), std::string::npos) << lines;
    // A worker's stack ends in the system's thread start: a module of the system is named too.
    std::string lower = lines;
    for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (std::string(row.kind) == "worker") {
        EXPECT_NE(lower.find(".dll+0x", offsetAt), std::string::npos) << lines;
    }

    // The dump: its exception stream holds the code and the same address in this program.
    const std::string data = fileText(dump);
    ASSERT_GT(data.size(), 4u);
    EXPECT_EQ(data.substr(0, 4), "MDMP");
    EXPECT_LT(data.size(), 2u << 20);
    const auto* header = at<MINIDUMP_HEADER>(data, 0);
    const MINIDUMP_EXCEPTION_STREAM* exception = nullptr;
    const MINIDUMP_MODULE_LIST* modules = nullptr;
    const MINIDUMP_THREAD_LIST* threads = nullptr;
    for (ULONG32 i = 0; i < header->NumberOfStreams; ++i) {
        const auto* entry = at<MINIDUMP_DIRECTORY>(data, header->StreamDirectoryRva + i * sizeof(MINIDUMP_DIRECTORY));
        ASSERT_NE(entry, nullptr);
        if (entry->StreamType == ExceptionStream) exception = at<MINIDUMP_EXCEPTION_STREAM>(data, entry->Location.Rva);
        if (entry->StreamType == ModuleListStream) modules = at<MINIDUMP_MODULE_LIST>(data, entry->Location.Rva);
        if (entry->StreamType == ThreadListStream) threads = at<MINIDUMP_THREAD_LIST>(data, entry->Location.Rva);
    }
    ASSERT_TRUE(exception != nullptr && modules != nullptr && threads != nullptr);
    EXPECT_EQ(exception->ExceptionRecord.ExceptionCode, row.exitCode);
    // On the faulting thread: the fault's stack pointer lies in that thread's stack in the dump.
    const auto* context = at<CONTEXT>(data, exception->ThreadContext.Rva);
    ASSERT_NE(context, nullptr);
#if defined(_WIN64)
    const ULONG64 stackPointer = context->Rsp;
#else
    const ULONG64 stackPointer = context->Esp;
#endif
    bool onItsThread = false;
    for (ULONG32 i = 0; i < threads->NumberOfThreads; ++i) {
        const MINIDUMP_MEMORY_DESCRIPTOR& stack = threads->Threads[i].Stack;
        if (threads->Threads[i].ThreadId == exception->ThreadId)
            onItsThread = stackPointer - stack.StartOfMemoryRange < stack.Memory.DataSize;
    }
    // Not where the row's stack pointer points nowhere on purpose.
    EXPECT_TRUE(onItsThread || std::string(row.kind) == "lostframe")
        << "the dump puts the fault on thread " << exception->ThreadId << ", not on its own";
    bool inside = false;
    for (ULONG32 i = 0; i < modules->NumberOfModules; ++i) {
        const MINIDUMP_MODULE& m = modules->Modules[i];
        const auto* name = at<MINIDUMP_STRING>(data, m.ModuleNameRva);
        const std::wstring path(name->Buffer, name->Length / sizeof(WCHAR));
        if (path.size() >= 20 && path.compare(path.size() - 20, 20, L"test_faultreport.exe") == 0) {
            EXPECT_EQ(exception->ExceptionRecord.ExceptionAddress - m.BaseOfImage, offset);
            inside = true;
        }
    }
    EXPECT_TRUE(inside) << "the dump's module list lacks this program";
}

INSTANTIATE_TEST_SUITE_P(Planted, FaultReportTest, testing::ValuesIn(Rows));

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--plant") return plant(argv[2], argv[3]);
    if (argc == 2 && std::string(argv[1]) == "--probe") {
        AddVectoredExceptionHandler(1, exitWithCode);
        plantNullWrite();
        return 0;
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
