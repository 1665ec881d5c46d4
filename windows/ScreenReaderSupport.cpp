// ScreenReaderSupport: names served through each control's WM_GETOBJECT, and the status
// line's live setting.
#include "windows/ScreenReaderSupport.h"

#include <commctrl.h>
#include <versionhelpers.h>

#include "windows/NamedAccessible.h"

namespace {

constexpr UINT_PTR SubclassId = 1;

// UI Automation's LiveSetting property as an annotation, and its value Polite; both
// Windows 8's, which these headers (written for Windows 7) leave out.
const GUID LiveSettingProperty = {0xc12bcd8e, 0x2a8e, 0x4950, {0x8a, 0xe7, 0x36, 0x25, 0x11, 0x1d, 0x58, 0xeb}};
constexpr LONG Polite = 1;

// Dynamic Annotation's class and interface, spelt out: the SDKs define them only in
// oleacc.dll's import library, which the program does not link.
const CLSID AccPropServicesClsid = {0xb5f8350b, 0x0548, 0x48b1, {0xa6, 0xee, 0x88, 0xbd, 0x00, 0xb4, 0xa5, 0xe7}};
const IID AccPropServicesIid = {0x6e26e776, 0x04f0, 0x495d, {0x80, 0xe4, 0x33, 0x30, 0x35, 0x2e, 0x31, 0x69}};

std::wstring widen(const std::string& text) {
    std::wstring wide(text.size(), L'\0');
    const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0],
                                           static_cast<int>(wide.size()));
    wide.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return wide;
}

}  // namespace

ScreenReaderSupport::ScreenReaderSupport()
    : oleacc("OLEACC.dll"),
      createStdAccessibleObject(nullptr),
      lresultFromObject(nullptr),
      comJoined(false),
      annotations(nullptr),
      liveRegion(nullptr) {
    // S_FALSE (already joined) is undone as S_OK is; RPC_E_CHANGED_MODE is not.
    comJoined = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
    if (!oleacc.entry("CreateStdAccessibleObject", createStdAccessibleObject) ||
        !oleacc.entry("LresultFromObject", lresultFromObject)) {
        createStdAccessibleObject = nullptr;
        lresultFromObject = nullptr;
    }
}

ScreenReaderSupport::~ScreenReaderSupport() {
    // The dialog is normally gone by now, and with it every subclass (see forget).
    for (const std::unique_ptr<NamedControl>& entry : named) {
        if (IsWindow(entry->control)) forget(*entry);
    }
    if (annotations != nullptr) annotations->Release();
    // Leaving the apartment drops the references other processes still hold, so no
    // NamedAccessible outlives oleacc.dll, which the library holder frees after this.
    if (comJoined) CoUninitialize();
}

void ScreenReaderSupport::name(HWND control, const std::string& text) {
    if (control == nullptr || createStdAccessibleObject == nullptr) return;
    named.push_back(std::unique_ptr<NamedControl>(new NamedControl{control, widen(text), this}));
    // A control named again keeps one subclass, with the newer name.
    if (!SetWindowSubclass(control, subclassProc, SubclassId, reinterpret_cast<DWORD_PTR>(named.back().get()))) {
        named.pop_back();
    }
}

bool ScreenReaderSupport::makePoliteLiveRegion(HWND control) {
    if (control == nullptr || !IsWindows8OrGreater()) return false;
    if (comJoined && annotations == nullptr) {
        IAccPropServices* services = nullptr;
        if (SUCCEEDED(CoCreateInstance(AccPropServicesClsid, nullptr, CLSCTX_INPROC_SERVER, AccPropServicesIid,
                                       reinterpret_cast<void**>(&services)))) {
            VARIANT setting;
            setting.vt = VT_I4;
            setting.lVal = Polite;
            // Wine's oleacc keeps no annotations (E_NOTIMPL); the events are raised anyway.
            if (SUCCEEDED(services->SetHwndProp(control, OBJID_CLIENT, CHILDID_SELF, LiveSettingProperty, setting))) {
                annotations = services;
                liveRegion = control;
            } else {
                services->Release();
            }
        }
    }
    return true;
}

LRESULT CALLBACK ScreenReaderSupport::subclassProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                                   UINT_PTR, DWORD_PTR data) {
    const NamedControl& entry = *reinterpret_cast<const NamedControl*>(data);
    // The object id travels in the low 32 bits; a 64-bit lParam may or may not carry its sign.
    if (message == WM_GETOBJECT && static_cast<DWORD>(lParam) == static_cast<DWORD>(OBJID_CLIENT)) {
        const LRESULT reference = entry.owner->serveObject(entry, wParam);
        if (reference != 0) return reference;
    } else if (message == WM_NCDESTROY) {
        entry.owner->forget(entry);
    }
    return DefSubclassProc(window, message, wParam, lParam);
}

LRESULT ScreenReaderSupport::serveObject(const NamedControl& entry, WPARAM wParam) {
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
    if (entry.control == liveRegion && annotations != nullptr) {
        const MSAAPROPID setting = LiveSettingProperty;
        // Ignored result: nothing is left to do with an annotation that will not clear.
        annotations->ClearHwndProps(entry.control, OBJID_CLIENT, CHILDID_SELF, &setting, 1);
        liveRegion = nullptr;
    }
    // Ignored result: fails only when the subclass is already gone.
    RemoveWindowSubclass(entry.control, subclassProc, SubclassId);
}
