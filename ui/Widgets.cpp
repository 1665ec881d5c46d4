// The simple control wrappers: label, read-only edit box, push button, port list.
#include "ui/Widgets.h"

#include "updateevents/UpdateFollower.h"

namespace {

// Windows 8's event, which these headers (written for Windows 7) leave out.
constexpr DWORD LiveRegionChangedEvent = 0x8019;  // EVENT_OBJECT_LIVEREGIONCHANGED

// Disabling the control that has the keyboard focus leaves the dialog with none, and
// on its next activation the dialog gives the focus to its first enabled control: a
// read-only box, its whole text selected. Hand the focus to the next tab stop first.
void handFocusOn(HWND control) {
    if (GetFocus() == control) {
        SendMessageA(GetParent(control), WM_NEXTDLGCTL, 0, FALSE);
    }
}

// While an update runs no tab stop is enabled, so the focus has nowhere to go: it is
// lost, or a read-only box has it. The first tab stop enabled again takes it back,
// so that the keyboard works and nothing stays selected.
void takeStrayFocus(HWND control) {
    HWND dialog = GetParent(control);
    HWND focus = GetFocus();
    bool stray = focus == nullptr
                     ? GetActiveWindow() == dialog
                     : GetParent(focus) == dialog && (GetWindowLongA(focus, GWL_STYLE) & WS_TABSTOP) == 0;
    if (stray) {
        SendMessageA(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(control), TRUE);
    }
}

// EnableWindow returns the previous state, not success: nothing to check.
void enableTabStop(HWND control, bool enabled) {
    if (!enabled) {
        handFocusOn(control);
    }
    EnableWindow(control, enabled ? TRUE : FALSE);
    if (enabled) {
        takeStrayFocus(control);
    }
}

}  // namespace

WidgetBase::WidgetBase(HWND dialog, int id) : handle(GetDlgItem(dialog, id)) {}

WidgetBase::~WidgetBase() {}

LabelWidget::LabelWidget(HWND dialog, int id) : WidgetBase(dialog, id) {}

void LabelWidget::setText(const std::string& text) {
    SendMessageA(handle, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

EditWidget::EditWidget(HWND dialog, int id) : WidgetBase(dialog, id) {}

void EditWidget::setText(const std::string& text) {
    // Ignored result: it only fails for a missing control, which WM_SETTEXT also skips.
    InvalidateRgn(handle, nullptr, TRUE);
    SendMessageA(handle, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    // Where the edit control tells no screen reader of a new text itself (Wine 8's), this
    // does, once per text: the lines change only when a phase or a step of one begins.
    if (valueChange) {
        NotifyWinEvent(EVENT_OBJECT_VALUECHANGE, handle, OBJID_CLIENT, CHILDID_SELF);
    }
    if (liveRegion) {
        NotifyWinEvent(LiveRegionChangedEvent, handle, OBJID_CLIENT, CHILDID_SELF);
    }
    if (shownTo != nullptr) {
        shownTo->onShown(shownName, text);
    }
}

void EditWidget::raiseValueChange(bool raise) {
    valueChange = raise;
}

void EditWidget::announceAsLiveRegion(bool live) {
    liveRegion = live;
}

void EditWidget::tellShownTo(UpdateFollower* follower, const char* name) {
    shownTo = follower;
    shownName = name;
}

ButtonWidget::ButtonWidget(HWND dialog, int id) : WidgetBase(dialog, id) {
    EnableWindow(handle, FALSE);
}

void ButtonWidget::enable(bool enabled) {
    enableTabStop(handle, enabled);
}

bool ButtonWidget::isEnabled() const {
    return IsWindowEnabled(handle) != FALSE;
}

ComboWidget::ComboWidget(HWND dialog, int id) : WidgetBase(dialog, id) {}

int ComboWidget::addRow(const std::string& text) {
    return static_cast<int>(
        SendMessageA(handle, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str())));
}

void ComboWidget::clear() {
    SendMessageA(handle, CB_RESETCONTENT, 0, 0);
}

void ComboWidget::selectRow(int row) {
    SendMessageA(handle, CB_SETCURSEL, static_cast<WPARAM>(row), 0);
}

int ComboWidget::selectedRow() const {
    return static_cast<int>(SendMessageA(handle, CB_GETCURSEL, 0, 0));
}

std::string ComboWidget::rowText(int row) const {
    const LRESULT length = SendMessageA(handle, CB_GETLBTEXTLEN, static_cast<WPARAM>(row), 0);
    if (length == CB_ERR) {
        return std::string();
    }
    std::string text(static_cast<size_t>(length) + 1, '\0');
    const LRESULT copied = SendMessageA(handle, CB_GETLBTEXT, static_cast<WPARAM>(row),
                                        reinterpret_cast<LPARAM>(&text[0]));
    text.resize(copied == CB_ERR ? 0 : static_cast<size_t>(copied));
    return text;
}

void ComboWidget::enable(bool enabled) {
    enableTabStop(handle, enabled);
}
