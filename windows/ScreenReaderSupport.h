// What a screen reader needs from the main window beyond what its controls give by
// themselves: a name for each control that says what it is, and the status line as a
// live region. Window thread only.
#pragma once

#include <windows.h>
#include <oleacc.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/SystemLibrary.h"

class ScreenReaderSupport {
public:
    // Joins the window thread's single-threaded COM apartment, through which other
    // processes' screen readers call the controls' accessible objects, and loads
    // oleacc.dll from System32. Without either, the controls keep Windows' names.
    ScreenReaderSupport();
    ~ScreenReaderSupport();
    ScreenReaderSupport(const ScreenReaderSupport&) = delete;
    ScreenReaderSupport& operator=(const ScreenReaderSupport&) = delete;

    // From now on a screen reader hears the control called `name`; its role, value and
    // the rest stay the control's own. Windows names a control after the static text
    // before it in z-order, which in this dialog is mostly the wrong one or none.
    void name(HWND control, const std::string& name);

    // Windows 8 and later: the control becomes a polite live region, whose changes
    // Narrator and NVDA read without the focus moving there. True when its changes
    // are to be announced as live region changes.
    bool makePoliteLiveRegion(HWND control);

private:
    struct NamedControl {
        HWND control;
        std::wstring name;
        ScreenReaderSupport* owner;
    };

    static LRESULT CALLBACK subclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                         DWORD_PTR data);
    // The reference WM_GETOBJECT returns for the control's client object; 0 when there is
    // none to give (the control's own answer is used then).
    LRESULT serveObject(const NamedControl& entry, WPARAM wParam);
    // The control is being destroyed: its annotation and subclass go with it.
    void forget(const NamedControl& entry);

    SystemLibrary oleacc;
    decltype(&::CreateStdAccessibleObject) createStdAccessibleObject;
    decltype(&::LresultFromObject) lresultFromObject;
    bool comJoined;                  // this object's CoInitializeEx is to be undone
    IAccPropServices* annotations;   // one reference while the live setting stands, else null
    HWND liveRegion;                 // the control annotated as a live region, or null
    std::vector<std::unique_ptr<NamedControl>> named;
};
