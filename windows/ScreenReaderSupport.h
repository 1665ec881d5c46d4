// What a screen reader needs from the main window beyond what its controls give by
// themselves: a name for each control that says what it is, the status line as a live
// region, and one announcement of each new text of a line. Window thread only.
#pragma once

#include <windows.h>
#include <oleacc.h>

#include <memory>
#include <string>
#include <vector>

class ScreenReaderSupport {
public:
    // Decides, once, how names are given. Where Windows takes Dynamic Annotation (oleacc's
    // IAccPropServices, every Windows since XP), a name and the live setting are annotations
    // on the control's own accessible object, which the system's proxies serve; where it is
    // refused (Wine 8 answers E_NOTIMPL), the control answers WM_GETOBJECT with its standard
    // object under the name (NamedAccessible). Also learns, from a hidden edit control,
    // whether the system announces an edit control's new text itself. Uses the window
    // thread's COM apartment (WinMain's): without it, the controls keep Windows' names.
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

    // True where names and the live setting go through annotations.
    bool annotating() const { return annotations != nullptr; }
    // True where the system raises EVENT_OBJECT_VALUECHANGE when an edit control's text is
    // set (Windows does, Event Constants page; Wine 8 does not).
    bool editsAnnounceNewText() const { return editsAnnounce; }

    // Test seam: where the annotation service comes from; null (the default) creates
    // oleacc's in the apartment. Set before a ScreenReaderSupport is made.
    using AnnotationSource = HRESULT (*)(IAccPropServices** services);
    static void setAnnotationSource(AnnotationSource source) { annotationSource = source; }

private:
    struct NamedControl {
        HWND control;
        std::wstring name;
        ScreenReaderSupport* owner;
        bool annotated;  // named by annotation; else served through WM_GETOBJECT
    };

    // Sees the control's WM_NCDESTROY, and for a control named without annotations its
    // WM_GETOBJECT; every other message, WM_GETOBJECT of an annotated one included, is the
    // control's own.
    static LRESULT CALLBACK subclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                         DWORD_PTR data);
    // The reference WM_GETOBJECT returns for the control's client object; 0 when there is
    // none to give (the control's own answer is used then).
    LRESULT serveObject(const NamedControl& entry, WPARAM wParam);
    // The control is being destroyed: its annotations and subclass go with it.
    void forget(const NamedControl& entry);

    static AnnotationSource annotationSource;

    decltype(&::CreateStdAccessibleObject) createStdAccessibleObject;
    decltype(&::LresultFromObject) lresultFromObject;
    IAccPropServices* annotations;  // one reference where Windows takes annotations, else null
    bool editsAnnounce;
    HWND liveRegion;                // the control annotated as a live region, or null
    std::vector<std::unique_ptr<NamedControl>> named;
};
