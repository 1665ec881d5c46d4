// The progress bar wrapper: range, position and step as last sent to the control.
#include "ui/ProgressBarWidget.h"

#include <commctrl.h>

ProgressBarWidget::ProgressBarWidget(HWND dialog, int id)
    : WidgetBase(dialog, id), minimum(0), maximum(99), position(0), stepSize(1) {
    EnableWindow(handle, FALSE);
}

void ProgressBarWidget::Configure(int32_t top) {
    EnableWindow(handle, TRUE);
    SetState(PBST_NORMAL);
    minimum = 0;
    maximum = top;
    position = 0;
    stepSize = 1;
    SendMessageA(handle, PBM_SETRANGE32, 0, top);
    SendMessageA(handle, PBM_SETSTEP, 1, 0);
    SendMessageA(handle, PBM_SETPOS, 0, 0);
}

void ProgressBarWidget::Reset() {
    SendMessageA(handle, PBM_SETPOS, 0, 0);
    position = 0;
}

void ProgressBarWidget::Step() {
    // 64-bit sum: a step near INT32_MAX must clamp, not wrap.
    int64_t next = static_cast<int64_t>(position) + stepSize;
    if (next > maximum) {
        next = maximum;
    } else if (next < minimum) {
        next = minimum;
    }
    position = static_cast<int32_t>(next);
    SendMessageA(handle, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void ProgressBarWidget::SetState(int state) {
    SendMessageA(handle, PBM_SETSTATE, static_cast<WPARAM>(state), 0);
}

void ProgressBarWidget::MarqueeOff() {
    SendMessageA(handle, PBM_SETMARQUEE, FALSE, 0);
}

void ProgressBarWidget::enable(bool enabled) {
    EnableWindow(handle, enabled ? TRUE : FALSE);
}
