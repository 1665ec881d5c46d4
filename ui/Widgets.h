// Thin, non-owning wrappers around the main dialog's controls: one Win32 message
// per operation. The dialog owns and destroys the controls themselves.
#pragma once

#include <windows.h>

#include <string>

class UpdateFollower;

class WidgetBase {
public:
    WidgetBase(HWND dialog, int id);
    virtual ~WidgetBase();
    WidgetBase(const WidgetBase&) = delete;
    WidgetBase& operator=(const WidgetBase&) = delete;

    HWND handle;  // the control; not owned
};

class LabelWidget : public WidgetBase {
public:
    LabelWidget(HWND dialog, int id);
    void setText(const std::string& text);
};

class EditWidget : public WidgetBase {
public:
    EditWidget(HWND dialog, int id);
    // Repaints the whole box before the text changes, so a shorter text never
    // leaves the tail of the longer one behind. Each text shown is also told to the
    // follower given by tellShownTo, under the box's name, and to screen readers as a value change
    // (unless raiseValueChange was told the system raises it) and a live region's change
    // (once announceAsLiveRegion was told so).
    void setText(const std::string& text);
    void tellShownTo(UpdateFollower* follower, const char* name);
    void raiseValueChange(bool raise);
    void announceAsLiveRegion(bool live);

private:
    UpdateFollower* shownTo = nullptr;  // not owned
    const char* shownName = nullptr;
    bool valueChange = true;
    bool liveRegion = false;
};

class ButtonWidget : public WidgetBase {
public:
    // A button starts disabled: only the controller decides when it may be pressed.
    ButtonWidget(HWND dialog, int id);
    void enable(bool enabled);
    bool isEnabled() const;
};

class ComboWidget : public WidgetBase {
public:
    ComboWidget(HWND dialog, int id);
    // Returns the new row's index, or CB_ERR / CB_ERRSPACE.
    int addRow(const std::string& text);
    void clear();  // every row goes, and with them the selection
    void selectRow(int row);
    int selectedRow() const;  // CB_ERR (-1) when no row is selected
    std::string rowText(int row) const;  // empty for a row that does not exist
    void enable(bool enabled);
};
