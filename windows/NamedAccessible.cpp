// NamedAccessible: the standard accessible object of a control, with the control's own name.
#include "windows/NamedAccessible.h"

namespace {

// IID_IAccIdentity, spelt out: the SDKs define it only in oleacc.dll's import library.
const IID AccIdentityIid = {0x7852b78d, 0x1cfd, 0x41c1, {0xa6, 0x15, 0x9c, 0x0c, 0x85, 0x96, 0x0b, 0x5f}};

bool isSelf(const VARIANT& child) { return child.vt == VT_I4 && child.lVal == CHILDID_SELF; }

}  // namespace

NamedAccessible::NamedAccessible(IAccessible* standardObject, HWND window, const std::wstring& accessibleName)
    : references(1), standard(standardObject), control(window), name(accessibleName) {
    standard->AddRef();
}

NamedAccessible::~NamedAccessible() { standard->Release(); }

HRESULT STDMETHODCALLTYPE NamedAccessible::QueryInterface(REFIID iid, void** object) {
    if (object == nullptr) return E_POINTER;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IDispatch) || iid == __uuidof(IAccessible)) {
        *object = static_cast<IAccessible*>(this);
    } else if (iid == __uuidof(IOleWindow)) {
        *object = static_cast<IOleWindow*>(this);
    } else if (iid == AccIdentityIid) {
        *object = static_cast<IAccIdentity*>(this);
    } else {
        // Not the standard object's other interfaces (IEnumVARIANT among them): each would
        // answer for the standard object, not this one. Clients then ask get_accChild.
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE NamedAccessible::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&references)); }

ULONG STDMETHODCALLTYPE NamedAccessible::Release() {
    const LONG left = InterlockedDecrement(&references);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
}

HRESULT STDMETHODCALLTYPE NamedAccessible::GetTypeInfoCount(UINT* count) { return standard->GetTypeInfoCount(count); }

HRESULT STDMETHODCALLTYPE NamedAccessible::GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) {
    return standard->GetTypeInfo(index, locale, info);
}

HRESULT STDMETHODCALLTYPE NamedAccessible::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale,
                                                         DISPID* ids) {
    return standard->GetIDsOfNames(iid, names, count, locale, ids);
}

// Late-bound callers (scripts) reach the standard object and its name: no screen reader
// asks that way.
HRESULT STDMETHODCALLTYPE NamedAccessible::Invoke(DISPID id, REFIID iid, LCID locale, WORD flags,
                                                  DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                                  UINT* badArgument) {
    return standard->Invoke(id, iid, locale, flags, params, result, exception, badArgument);
}

HRESULT STDMETHODCALLTYPE NamedAccessible::get_accParent(IDispatch** parent) { return standard->get_accParent(parent); }

HRESULT STDMETHODCALLTYPE NamedAccessible::get_accChildCount(LONG* count) {
    return standard->get_accChildCount(count);
}

HRESULT STDMETHODCALLTYPE NamedAccessible::get_accChild(VARIANT child, IDispatch** object) {
    return standard->get_accChild(child, object);
}

HRESULT STDMETHODCALLTYPE NamedAccessible::get_accName(VARIANT child, BSTR* text) {
    if (!isSelf(child)) return standard->get_accName(child, text);
    if (text == nullptr) return E_POINTER;
    *text = SysAllocString(name.c_str());
    return *text != nullptr ? S_OK : E_OUTOFMEMORY;
}

HRESULT STDMETHODCALLTYPE NamedAccessible::get_accValue(VARIANT child, BSTR* text) {
    return standard->get_accValue(child, text);
}

HRESULT STDMETHODCALLTYPE NamedAccessible::get_accDescription(VARIANT child, BSTR* text) {
    return standard->get_accDescription(child, text);
}

HRESULT STDMETHODCALLTYPE NamedAccessible::get_accRole(VARIANT child, VARIANT* role) {
    return standard->get_accRole(child, role);
}

HRESULT STDMETHODCALLTYPE NamedAccessible::get_accState(VARIANT child, VARIANT* state) {
    return standard->get_accState(child, state);
}

HRESULT STDMETHODCALLTYPE NamedAccessible::get_accHelp(VARIANT child, BSTR* text) {
    return standard->get_accHelp(child, text);
}

HRESULT STDMETHODCALLTYPE NamedAccessible::get_accHelpTopic(BSTR* file, VARIANT child, LONG* topic) {
    return standard->get_accHelpTopic(file, child, topic);
}

HRESULT STDMETHODCALLTYPE NamedAccessible::get_accKeyboardShortcut(VARIANT child, BSTR* text) {
    return standard->get_accKeyboardShortcut(child, text);
}

HRESULT STDMETHODCALLTYPE NamedAccessible::get_accFocus(VARIANT* child) { return standard->get_accFocus(child); }

HRESULT STDMETHODCALLTYPE NamedAccessible::get_accSelection(VARIANT* children) {
    return standard->get_accSelection(children);
}

HRESULT STDMETHODCALLTYPE NamedAccessible::get_accDefaultAction(VARIANT child, BSTR* text) {
    return standard->get_accDefaultAction(child, text);
}

HRESULT STDMETHODCALLTYPE NamedAccessible::accSelect(LONG flags, VARIANT child) {
    return standard->accSelect(flags, child);
}

HRESULT STDMETHODCALLTYPE NamedAccessible::accLocation(LONG* left, LONG* top, LONG* width, LONG* height,
                                                       VARIANT child) {
    return standard->accLocation(left, top, width, height, child);
}

HRESULT STDMETHODCALLTYPE NamedAccessible::accNavigate(LONG direction, VARIANT start, VARIANT* end) {
    return standard->accNavigate(direction, start, end);
}

HRESULT STDMETHODCALLTYPE NamedAccessible::accHitTest(LONG left, LONG top, VARIANT* child) {
    return standard->accHitTest(left, top, child);
}

HRESULT STDMETHODCALLTYPE NamedAccessible::accDoDefaultAction(VARIANT child) {
    return standard->accDoDefaultAction(child);
}

HRESULT STDMETHODCALLTYPE NamedAccessible::put_accName(VARIANT child, BSTR text) {
    return standard->put_accName(child, text);
}

HRESULT STDMETHODCALLTYPE NamedAccessible::put_accValue(VARIANT child, BSTR text) {
    return standard->put_accValue(child, text);
}

HRESULT STDMETHODCALLTYPE NamedAccessible::GetWindow(HWND* window) {
    if (window == nullptr) return E_POINTER;
    *window = control;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE NamedAccessible::ContextSensitiveHelp(BOOL) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE NamedAccessible::GetIdentityString(DWORD child, BYTE** identity, DWORD* length) {
    IAccIdentity* standardIdentity = nullptr;
    HRESULT result = standard->QueryInterface(AccIdentityIid, reinterpret_cast<void**>(&standardIdentity));
    if (FAILED(result)) return result;
    result = standardIdentity->GetIdentityString(child, identity, length);
    standardIdentity->Release();
    return result;
}
