// ScreenReaderSupport: names and the status line's live setting as Dynamic Annotation where
// Windows takes it, else names served through each control's WM_GETOBJECT; and what the
// system announces of an edit control by itself.
#include "windows/ScreenReaderSupport.h"

#include <commctrl.h>
#include <versionhelpers.h>

#include "engine/SystemLibrary.h"
#include "windows/NamedAccessible.h"

namespace {

constexpr UINT_PTR SubclassId = 1;

// UI Automation's LiveSetting property as an annotation, and its value Polite; both
// Windows 8's, which these headers (written for Windows 7) leave out.
const GUID LiveSettingProperty = {0xc12bcd8e, 0x2a8e, 0x4950, {0x8a, 0xe7, 0x36, 0x25, 0x11, 0x1d, 0x58, 0xeb}};
constexpr LONG Polite = 1;

// Dynamic Annotation's class, interface and name property (PROPID_ACC_NAME), spelt out: the
// SDKs define them only in oleacc.dll's import library, which the program does not link.
const CLSID AccPropServicesClsid = {0xb5f8350b, 0x0548, 0x48b1, {0xa6, 0xee, 0x88, 0xbd, 0x00, 0xb4, 0xa5, 0xe7}};
const IID AccPropServicesIid = {0x6e26e776, 0x04f0, 0x495d, {0x80, 0xe4, 0x33, 0x30, 0x35, 0x2e, 0x31, 0x69}};
const GUID NameProperty = {0x608d3df8, 0x8128, 0x4aa7, {0xa4, 0x28, 0xf5, 0x5e, 0x49, 0x26, 0x72, 0x91}};

std::wstring widen(const std::string& text) {
    std::wstring wide(text.size(), L'\0');
    const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0],
                                           static_cast<int>(wide.size()));
    wide.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return wide;
}

// Loaded for the rest of the process: a screen reader may hold a NamedAccessible, and
// through it oleacc's standard object, until WinMain leaves the apartment after this
// object has gone.
const SystemLibrary& oleacc() {
    static const SystemLibrary library("OLEACC.dll");
    return library;
}

HRESULT createAnnotationService(IAccPropServices** services) {
    return CoCreateInstance(AccPropServicesClsid, nullptr, CLSCTX_INPROC_SERVER, AccPropServicesIid,
                            reinterpret_cast<void**>(services));
}

// What the probe has heard of its hidden edit control: the system's value change for the
// text set, and the program's own event raised after it, which ends the listening however
// the events are delivered. Window thread only, while probing.
struct ProbeHeard {
    HWND edit;
    bool systemChange;
    bool marker;
};
ProbeHeard* probeHeard = nullptr;

void CALLBACK onProbeEvent(HWINEVENTHOOK, DWORD, HWND window, LONG object, LONG, DWORD, DWORD) {
    if (probeHeard == nullptr || window != probeHeard->edit) return;
    if (object == OBJID_CLIENT) probeHeard->systemChange = true;
    if (object == OBJID_WINDOW) probeHeard->marker = true;
}

// Sets a text on `edit` and listens, as a screen reader would, for the value change the
// system raises for it. False also where nothing can be heard at all: the program then
// raises its own, and a screen reader hears a text twice rather than never.
bool systemAnnouncesEditText(HWND edit) {
    ProbeHeard heard = {edit, false, false};
    probeHeard = &heard;
    const HWINEVENTHOOK hook = SetWinEventHook(EVENT_OBJECT_VALUECHANGE, EVENT_OBJECT_VALUECHANGE, nullptr,
                                               onProbeEvent, GetCurrentProcessId(), GetCurrentThreadId(),
                                               WINEVENT_OUTOFCONTEXT);
    if (hook != nullptr) {
        SendMessageA(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("KQ7750"));
        NotifyWinEvent(EVENT_OBJECT_VALUECHANGE, edit, OBJID_WINDOW, CHILDID_SELF);
        // An out-of-context hook hears this thread's events as it looks at its queue.
        MSG message;
        for (int wait = 0; !heard.marker && wait < 50; ++wait) {
            PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE);
            if (!heard.marker) MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        }
        UnhookWinEvent(hook);  // ignored result: the hook is this thread's own
    }
    probeHeard = nullptr;
    return heard.systemChange && heard.marker;
}

}  // namespace

ScreenReaderSupport::AnnotationSource ScreenReaderSupport::annotationSource = nullptr;

ScreenReaderSupport::ScreenReaderSupport()
    : createStdAccessibleObject(nullptr),
      lresultFromObject(nullptr),
      annotations(nullptr),
      editsAnnounce(false),
      liveRegion(nullptr) {
    if (!oleacc().entry("CreateStdAccessibleObject", createStdAccessibleObject) ||
        !oleacc().entry("LresultFromObject", lresultFromObject)) {
        createStdAccessibleObject = nullptr;
        lresultFromObject = nullptr;
    }
    // A hidden edit control of the kind the window's lines are, for the two questions.
    const HWND probe = CreateWindowExA(0, "EDIT", "", WS_POPUP | ES_READONLY, 0, 0, 0, 0, nullptr, nullptr,
                                       GetModuleHandleA(nullptr), nullptr);
    if (probe == nullptr) return;
    IAccPropServices* services = nullptr;
    if (SUCCEEDED((annotationSource ? annotationSource : createAnnotationService)(&services))) {
        if (SUCCEEDED(services->SetHwndPropStr(probe, OBJID_CLIENT, CHILDID_SELF, NameProperty, L"KQ7750"))) {
            annotations = services;
            // Ignored result: the probe goes next.
            annotations->ClearHwndProps(probe, OBJID_CLIENT, CHILDID_SELF, &NameProperty, 1);
        } else {
            services->Release();
        }
    }
    editsAnnounce = systemAnnouncesEditText(probe);
    DestroyWindow(probe);  // ignored result: a window of this thread's own
}

ScreenReaderSupport::~ScreenReaderSupport() {
    // The dialog is normally gone by now, and with it every subclass (see forget).
    for (const std::unique_ptr<NamedControl>& entry : named) {
        if (IsWindow(entry->control)) forget(*entry);
    }
    if (annotations != nullptr) annotations->Release();
}

void ScreenReaderSupport::name(HWND control, const std::string& text) {
    if (control == nullptr) return;
    const std::wstring wide = widen(text);
    // Should one annotation be refused where the probe's was taken, that control is served
    // as on a system without annotations.
    const bool annotated = annotations != nullptr &&
                           SUCCEEDED(annotations->SetHwndPropStr(control, OBJID_CLIENT, CHILDID_SELF, NameProperty,
                                                                 wide.c_str()));
    if (!annotated && createStdAccessibleObject == nullptr) return;
    named.push_back(std::unique_ptr<NamedControl>(new NamedControl{control, wide, this, annotated}));
    // A control named again keeps one subclass, with the newer name.
    if (!SetWindowSubclass(control, subclassProc, SubclassId, reinterpret_cast<DWORD_PTR>(named.back().get()))) {
        named.pop_back();
    }
}

bool ScreenReaderSupport::makePoliteLiveRegion(HWND control) {
    if (control == nullptr) return false;
    // Windows 7 knows no live setting: it refuses the annotation or keeps it unread.
    if (annotations != nullptr && liveRegion == nullptr) {
        VARIANT setting;
        setting.vt = VT_I4;
        setting.lVal = Polite;
        if (SUCCEEDED(annotations->SetHwndProp(control, OBJID_CLIENT, CHILDID_SELF, LiveSettingProperty, setting))) {
            liveRegion = control;
        }
    }
    // Without the annotation (Wine) the live region's events are raised all the same.
    return IsWindows8OrGreater();
}

LRESULT CALLBACK ScreenReaderSupport::subclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                                   UINT_PTR, DWORD_PTR data) {
    const NamedControl& entry = *reinterpret_cast<const NamedControl*>(data);
    // The object id travels in the low 32 bits; a 64-bit lParam may or may not carry its sign.
    if (message == WM_GETOBJECT && !entry.annotated && static_cast<DWORD>(lParam) == static_cast<DWORD>(OBJID_CLIENT)) {
        const LRESULT reference = entry.owner->serveObject(entry, wParam);
        if (reference != 0) return reference;
    } else if (message == WM_NCDESTROY) {
        entry.owner->forget(entry);
    }
    return DefSubclassProc(window, message, wParam, lParam);
}

LRESULT ScreenReaderSupport::serveObject(const NamedControl& entry, WPARAM wParam) {
    if (createStdAccessibleObject == nullptr) return 0;
    IAccessible* standard = nullptr;
    if (FAILED(createStdAccessibleObject(entry.control, OBJID_CLIENT, __uuidof(IAccessible),
                                         reinterpret_cast<void**>(&standard)))) {
        return 0;
    }
    NamedAccessible* object = nullptr;
    // Another process waits in SendMessage for this answer: nothing may unwind through
    // the window procedure, not even running out of memory.
    try {
        object = new NamedAccessible(standard, entry.control, entry.name);
    } catch (...) {
        object = nullptr;
    }
    standard->Release();
    if (object == nullptr) return 0;
    const LRESULT reference = lresultFromObject(__uuidof(IAccessible), wParam, static_cast<IAccessible*>(object));
    // The reference holds the object for the client now.
    object->Release();
    return FAILED(static_cast<HRESULT>(reference)) ? 0 : reference;
}

void ScreenReaderSupport::forget(const NamedControl& entry) {
    if (entry.annotated) {
        const MSAAPROPID properties[] = {NameProperty, LiveSettingProperty};
        // Dynamic Annotation pages: annotations are cleared when the control goes. Ignored
        // result: nothing is left to do with one that will not clear.
        annotations->ClearHwndProps(entry.control, OBJID_CLIENT, CHILDID_SELF, properties,
                                    entry.control == liveRegion ? 2 : 1);
        if (entry.control == liveRegion) liveRegion = nullptr;
    }
    // Ignored result: fails only when the subclass is already gone.
    RemoveWindowSubclass(entry.control, subclassProc, SubclassId);
}
