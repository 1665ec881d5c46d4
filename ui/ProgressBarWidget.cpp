// The progress bar wrapper: range, position and step, and the pacing of steps that come
// once per record.
#include "ui/ProgressBarWidget.h"

#include <commctrl.h>

ProgressBarWidget::ProgressBarWidget(HWND dialog, int id)
    : WidgetBase(dialog, id), minimum(0), maximum(99), position(0), stepSize(1), shownPosition(0), shownAtMs(0) {
    EnableWindow(handle, FALSE);
}

void ProgressBarWidget::Configure(int32_t top) {
    EnableWindow(handle, TRUE);
    // Not through SetState: the old position would be drawn once more for nothing.
    SendMessageA(handle, PBM_SETSTATE, PBST_NORMAL, 0);
    minimum = 0;
    maximum = top;
    position = 0;
    stepSize = 1;
    SendMessageA(handle, PBM_SETRANGE32, 0, top);
    SendMessageA(handle, PBM_SETSTEP, 1, 0);
    showPosition();
}

void ProgressBarWidget::Reset() {
    position = 0;
    showPosition();
}

void ProgressBarWidget::Step() {
    advance();
    showPosition();
}

void ProgressBarWidget::StepPaced() {
    advance();
    if (position == maximum || position == minimum || GetTickCount64() - shownAtMs >= PacedRedrawMs) {
        showPosition();
    }
}

void ProgressBarWidget::advance() {
    // 64-bit sum: a step near INT32_MAX must clamp, not wrap.
    int64_t next = static_cast<int64_t>(position) + stepSize;
    if (next > maximum) {
        next = maximum;
    } else if (next < minimum) {
        next = minimum;
    }
    position = static_cast<int32_t>(next);
}

void ProgressBarWidget::showPosition() {
    SendMessageA(handle, PBM_SETPOS, static_cast<WPARAM>(position), 0);
    shownPosition = position;
    shownAtMs = GetTickCount64();
}

void ProgressBarWidget::catchUp() {
    if (shownPosition != position) showPosition();
}

void ProgressBarWidget::SetState(int state) {
    // An error shows where the transfer stopped, not the last paced redraw before it.
    catchUp();
    SendMessageA(handle, PBM_SETSTATE, static_cast<WPARAM>(state), 0);
}

void ProgressBarWidget::MarqueeOff() {
    SendMessageA(handle, PBM_SETMARQUEE, FALSE, 0);
}

void ProgressBarWidget::enable(bool enabled) {
    EnableWindow(handle, enabled ? TRUE : FALSE);
}
