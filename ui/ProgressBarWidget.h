// The progress bar wrapper. Its fields mirror what was last sent to the control;
// the control itself is never asked.
#pragma once

#include <windows.h>

#include <cstdint>

#include "ui/Widgets.h"

class ProgressBarWidget : public WidgetBase {
public:
    // Disables the control. The control's range is left alone until the first
    // Configure, so until then the fields (0 to 99) and the control may disagree.
    ProgressBarWidget(HWND dialog, int id);

    void Configure(int32_t top);  // enabled, normal state, range 0..top, position 0, step 1
    void Reset();                 // position 0; range, step, state and enabled state stay
    void Step();                  // position + step, clamped to the range
    void SetState(int state);     // PBST_NORMAL (1) or PBST_ERROR (2)
    void MarqueeOff();
    void enable(bool enabled);

    int32_t minimum;
    int32_t maximum;
    int32_t position;
    int32_t stepSize;
};
