// The window thread's single-threaded COM apartment, joined for the program's whole run: the
// screen readers' objects and the taskbar's are reached through it.
#pragma once

#include <windows.h>

class ComApartment {
public:
    ComApartment();
    // Leaves the apartment: CoUninitialize page, after the message loop has ended.
    ~ComApartment();
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

    bool joined() const { return entered; }

private:
    bool entered;  // this object's CoInitializeEx is to be undone
};
