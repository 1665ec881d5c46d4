// The simple control wrappers: label, read-only edit box, push button, port list.
#include "ui/Widgets.h"

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
}

ButtonWidget::ButtonWidget(HWND dialog, int id) : WidgetBase(dialog, id) {
    EnableWindow(handle, FALSE);
}

void ButtonWidget::enable(bool enabled) {
    // EnableWindow returns the previous state, not success: nothing to check.
    EnableWindow(handle, enabled ? TRUE : FALSE);
}

bool ButtonWidget::isEnabled() const {
    return IsWindowEnabled(handle) != FALSE;
}

ComboWidget::ComboWidget(HWND dialog, int id) : WidgetBase(dialog, id) {}

int ComboWidget::addRow(const std::string& text) {
    return static_cast<int>(
        SendMessageA(handle, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str())));
}

void ComboWidget::selectRow(int row) {
    SendMessageA(handle, CB_SETCURSEL, static_cast<WPARAM>(row), 0);
}

int ComboWidget::selectedRow() const {
    return static_cast<int>(SendMessageA(handle, CB_GETCURSEL, 0, 0));
}

void ComboWidget::enable(bool enabled) {
    EnableWindow(handle, enabled ? TRUE : FALSE);
}
