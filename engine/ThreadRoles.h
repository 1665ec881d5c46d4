// Which of the program's threads is which: the window thread, the engine's worker and the
// serial port's event thread note their ids here, so that a fault report can name the thread
// a fault happened on from its id alone, without touching the heap.
#pragma once

#include <windows.h>

#include <atomic>

enum class ThreadRole { Window, Worker, PortEvents, Other };

class ThreadRoles {
public:
    // Stack each of these threads keeps back for the fault report: on a stack overflow
    // Windows hands the exception filter only what SetThreadStackGuarantee reserved (and
    // the guard page).
    static constexpr ULONG ReservedStack = 64 * 1024;

    // First thing on the thread: notes its id under `role` and reserves its stack. A
    // refused reservation is ignored: an overflow then ends the process without a report.
    static void enter(ThreadRole role) {
        ULONG size = ReservedStack;
        SetThreadStackGuarantee(&size);
        slot(role).store(GetCurrentThreadId());
    }
    // Last thing on the thread: its id may be given to another thread afterwards.
    static void leave(ThreadRole role) {
        DWORD self = GetCurrentThreadId();
        slot(role).compare_exchange_strong(self, 0);
    }
    static ThreadRole of(DWORD threadId) {
        for (ThreadRole role : {ThreadRole::Window, ThreadRole::Worker, ThreadRole::PortEvents}) {
            if (threadId != 0 && slot(role).load() == threadId) return role;
        }
        return ThreadRole::Other;
    }

private:
    // Written by the thread itself at its start and end; read by any thread.
    static std::atomic<DWORD>& slot(ThreadRole role) {
        static std::atomic<DWORD> ids[4];  // Other's slot is never read
        return ids[static_cast<int>(role)];
    }
};
