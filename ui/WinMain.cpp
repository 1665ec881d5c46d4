// Entry point of the installer: installs the fault report, creates the one controller, runs
// it in the window thread's COM apartment, and turns an escaped exception into a line of the
// log and a message box. The exit code is what Run returns.
#include <windows.h>

#include <new>

#include "engine/SystemLibrary.h"
#include "faultreport/FaultReport.h"
#include "ui/InstallerController.h"
#include "ui/WinException.h"
#include "windows/ComApartment.h"

// Newer SDKs define it; MinGW-w64's headers do not yet.
#ifndef UOI_TIMERPROC_EXCEPTION_SUPPRESSION
#define UOI_TIMERPROC_EXCEPTION_SUPPRESSION 7
#endif

namespace {

// The controller is owned through g_controller, not a local: closing the main
// window destroys it from inside the message loop (see OnClose).
void destroyController() {
    delete g_controller;
    g_controller = nullptr;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    // Before anything can load a DLL: a DLL lying beside the program in Downloads, or in the
    // current directory, must never be loaded (the program's own imports come from System32
    // through its load configuration, windows/LoadConfiguration.cpp).
    SystemLibrary::searchSystem32Only();
    // Next, so that a fault anywhere after it is reported (faultreport/FaultReport.h).
    FaultReport::install();
    int result = 0;
    std::set_new_handler(OutOfMemoryHandler);
    // Since Windows 7, DispatchMessage swallows an exception thrown inside a timer
    // callback unless the process says otherwise, and an out-of-memory there would
    // never reach the handlers below. (The controller's TimerProc also hands its
    // exceptions to the message loop, since Wine swallows them whatever is set.) No
    // text is passed, so the wide function serves as well as an ANSI one. A system
    // that does not know the setting refuses it: ignored deliberately.
    BOOL suppress = FALSE;
    SetUserObjectInformationW(GetCurrentProcess(), UOI_TIMERPROC_EXCEPTION_SUPPRESSION, &suppress,
                              sizeof suppress);
    // Joined before the window and left after its message loop, as the CoUninitialize page
    // asks: the screen readers' and the taskbar's objects live in this apartment.
    ComApartment apartment;
    try {
        if (g_controller != nullptr) {
            destroyController();
        }
        g_controller = new (std::nothrow) InstallerController(instance);
        if (g_controller == nullptr) {
            return 0;
        }
        result = g_controller->Run();
        destroyController();
    } catch (const WinException& failure) {
        InstallerController::ShowEscapedException(failure.message);
    } catch (...) {
        InstallerController::ShowEscapedException("Unknown");
    }
    return result;
}
