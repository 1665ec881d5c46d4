// The boundary between the engine and the window: every engine result reaches the
// window side as a call of one of these slots, on the window thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

class AppControllerBase {
public:
    virtual ~AppControllerBase() {}
    virtual int Run() = 0;
    virtual BOOL OnInitDialog(HWND dialog) = 0;
    virtual void OnStatus(const std::string& text, int32_t kind) = 0;
    virtual void OnPortNotFound() = 0;
    virtual void OnConnected(bool connected) = 0;
    virtual void OnPicProgram() = 0;
    virtual void OnBlackfinErasePreamble() = 0;
    virtual void OnBlackfinErasePostamble() = 0;
    // The records of the current image still to send when the step was taken.
    virtual void OnProgressed(uint32_t recordsLeft) = 0;
    virtual void OnComplete() = 0;
    virtual void OnFailed() = 0;
};

// Slots 12 and 13, which the installer's controller adds. Declared on their own
// base so that a test controller can stand in for the installer's controller.
class InstallerControllerBase : public AppControllerBase {
public:
    virtual void OnNextPic() = 0;
    virtual void OnBlackfinProgramPreamble() = 0;
};

// The one controller; window thread only.
extern InstallerControllerBase* g_controller;
