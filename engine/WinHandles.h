// Small owners for the Win32 handle kinds the program closes, so no path leaks one.
// Events and threads use null for "none"; CreateFile results use INVALID_HANDLE_VALUE.
#pragma once

#include <windows.h>

template <HANDLE (*None)()>
class UniqueHandleT {
public:
    UniqueHandleT() : h(None()) {}
    explicit UniqueHandleT(HANDLE handle) : h(handle) {}
    ~UniqueHandleT() { reset(); }
    UniqueHandleT(const UniqueHandleT&) = delete;
    UniqueHandleT& operator=(const UniqueHandleT&) = delete;
    UniqueHandleT(UniqueHandleT&& other) noexcept : h(other.release()) {}
    UniqueHandleT& operator=(UniqueHandleT&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }

    HANDLE get() const { return h; }
    bool valid() const { return h != None(); }
    explicit operator bool() const { return valid(); }
    HANDLE release() { HANDLE old = h; h = None(); return old; }
    void reset(HANDLE handle = None()) {
        if (h != None()) CloseHandle(h);
        h = handle;
    }

private:
    HANDLE h;
};

inline HANDLE nullHandle() { return nullptr; }
inline HANDLE invalidHandle() { return INVALID_HANDLE_VALUE; }

using UniqueHandle = UniqueHandleT<nullHandle>;         // events, threads
using UniqueFileHandle = UniqueHandleT<invalidHandle>;  // CreateFile results

// A CRITICAL_SECTION: recursive, entered through a scoped guard.
class CriticalSection {
public:
    CriticalSection() { InitializeCriticalSection(&cs); }
    ~CriticalSection() { DeleteCriticalSection(&cs); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    void enter() { EnterCriticalSection(&cs); }
    void leave() { LeaveCriticalSection(&cs); }

    class Guard {
    public:
        explicit Guard(CriticalSection& section) : s(section) { s.enter(); }
        ~Guard() { s.leave(); }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
    private:
        CriticalSection& s;
    };
    Guard lock() { return Guard(*this); }

private:
    CRITICAL_SECTION cs;
};
