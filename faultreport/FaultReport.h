// The fault report: when the program itself fails (an access violation, a stack overflow, any
// other structured exception that no code handles, on any thread), a line in the log naming
// the fault and where it happened, a minidump beside the log, one box that names both files
// for service, and the end of the process with the exception's code.
#pragma once

#include <windows.h>

#include <string>

class FaultReport {
public:
    // The box after a fault.
    static constexpr char FaultCaption[] = "KQ7750 Installer Fault";
    // Return addresses of the faulting thread logged after the faulting address.
    static constexpr int LoggedReturnAddresses = 8;
    // The dump's time: past it the process ends without the box, and the log says that the
    // dump did not finish. MiniDumpWriteDump runs inside the failing process and can wait
    // for ever on a lock the faulting thread holds. Twice the longest dump seen (55 s, Wine's
    // dbghelp on a loaded machine); Windows' own takes far less.
    static constexpr DWORD DumpLimitSeconds = 120;

    // First thing at start, on the window thread: the process-wide filter, dbghelp's
    // MiniDumpWriteDump and the DLLs it loads while it writes (all from System32, as a load
    // after a fault could wait for the loader's lock), and the threads that make the report
    // and write the dump, each with a stack of its own, so that a stack overflow or a damaged
    // heap on the faulting thread does not stop them.
    static void install();

    // Once this start's log is open (`file` stays the caller's; the report writes through a
    // duplicate): the report's lines go to it, timed from `startTick` as the log's own, and
    // its dump file is made now beside it (LogFolder::dumpName), hidden and marked for
    // deletion until a fault takes it, so that a fault needs no new file name, path or heap,
    // and no empty dump stands among the logs meanwhile.
    static void useLog(HANDLE file, const std::wstring& path, ULONGLONG startTick);

    // A C++ exception that reached WinMain: its text to the log, forced to the disk, before
    // WinMain's box (InstallerController::ShowEscapedException) shows it.
    static void exceptionEscaped(const char* text);

    // "access violation", "stack overflow", ...; "unknown exception" for other codes. A
    // fail-fast end (0xC0000409: a stack-buffer check, __fastfail) never reaches the filter:
    // Windows ends the process and keeps its own record, so it is not named here.
    static const char* codeName(DWORD code);
};
