// The progress bar wrapper. Its fields hold the bar's own count; the control itself is
// never asked.
#pragma once

#include <windows.h>

#include <cstdint>

#include "ui/Widgets.h"

class ProgressBarWidget : public WidgetBase {
public:
    // A paced step reaches the control at most this often (see StepPaced).
    static constexpr ULONGLONG PacedRedrawMs = 100;

    // Disables the control. The control's range is left alone until the first
    // Configure, so until then the fields (0 to 99) and the control may disagree.
    ProgressBarWidget(HWND dialog, int id);

    void Configure(int32_t top);  // enabled, normal state, range 0..top, position 0, step 1
    void Reset();                 // position 0; range, step, state and enabled state stay
    void Step();                  // position + step, clamped to the range
    // The same count, for steps that come once per record. The control repaints itself on
    // every PBM_SETPOS (the whole bar: some 20 ms under Wine), while a loader acknowledges a
    // record every 6 to 7 ms; sent each time, the window would fall ever further behind.
    // Posted messages outrank input, and a modal box is first shown when the queue goes
    // idle, so neither File, Exit nor About would answer until the transfer ended. So the
    // control gets the position when PacedRedrawMs have passed since it was last sent one,
    // or at either end of the range; SetState and catchUp bring it up to date.
    void StepPaced();
    void SetState(int state);     // PBST_NORMAL (1) or PBST_ERROR (2); the position shown first
    // Sends the count if a paced step left the control behind it: where a transfer stops
    // without a change of state, the bar must still show the record it stopped at.
    void catchUp();
    void MarqueeOff();
    void enable(bool enabled);

    int32_t minimum;
    int32_t maximum;
    int32_t position;
    int32_t stepSize;

private:
    void advance();
    void showPosition();

    int32_t shownPosition;  // the position last sent to the control
    ULONGLONG shownAtMs;    // GetTickCount64 when it was sent
};
