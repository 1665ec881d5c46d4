// A control's standard accessible object under another name: what a screen reader is
// handed for one of the main window's controls, so that it reads "Status" where Windows
// would name the line after whatever static text happens to precede it.
#pragma once

#include <windows.h>
#include <oleacc.h>

#include <string>

// Answers get_accName for the control itself with its own name and hands every other
// question, the control's children included, to the standard object. A COM object that
// clients hold through marshalled references for as long as they like: it owns its name
// and its reference to the standard object. Window thread only (the thread's COM
// apartment brings calls from other processes there).
class NamedAccessible final : public IAccessible, public IOleWindow, public IAccIdentity {
public:
    // Takes a reference of its own to `standard`; starts with one reference, the caller's.
    NamedAccessible(IAccessible* standard, HWND control, const std::wstring& name);
    NamedAccessible(const NamedAccessible&) = delete;
    NamedAccessible& operator=(const NamedAccessible&) = delete;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IDispatch: the standard object's, whose type information describes IAccessible.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID locale,
                                            DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID locale, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* exception, UINT* badArgument) override;

    // IAccessible
    HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** parent) override;
    HRESULT STDMETHODCALLTYPE get_accChildCount(LONG* count) override;
    HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** object) override;
    HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* text) override;
    HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* text) override;
    HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* text) override;
    HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* role) override;
    HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* state) override;
    HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT child, BSTR* text) override;
    HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT child, LONG* topic) override;
    HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT child, BSTR* text) override;
    HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* child) override;
    HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* children) override;
    HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR* text) override;
    HRESULT STDMETHODCALLTYPE accSelect(LONG flags, VARIANT child) override;
    HRESULT STDMETHODCALLTYPE accLocation(LONG* left, LONG* top, LONG* width, LONG* height,
                                          VARIANT child) override;
    HRESULT STDMETHODCALLTYPE accNavigate(LONG direction, VARIANT start, VARIANT* end) override;
    HRESULT STDMETHODCALLTYPE accHitTest(LONG left, LONG top, VARIANT* child) override;
    HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) override;
    HRESULT STDMETHODCALLTYPE put_accName(VARIANT child, BSTR text) override;
    HRESULT STDMETHODCALLTYPE put_accValue(VARIANT child, BSTR text) override;

    // IOleWindow: WindowFromAccessibleObject, and UI Automation's bridge to this object,
    // find the control through it.
    HRESULT STDMETHODCALLTYPE GetWindow(HWND* window) override;
    HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL enterMode) override;

    // IAccIdentity: the standard object's identity, so that Windows' annotations of the
    // control (the status line's live setting) still find this object.
    HRESULT STDMETHODCALLTYPE GetIdentityString(DWORD child, BYTE** identity, DWORD* length) override;

private:
    ~NamedAccessible();

    volatile LONG references;
    IAccessible* standard;  // one reference, released with this object
    HWND control;           // not owned; may be gone while a client still holds this object
    std::wstring name;
};
