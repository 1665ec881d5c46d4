// A stand-in for the installer's controller: owns a real window on the test's
// main thread, routes the engine's messages to it, and records every slot call
// with its arguments and calling thread. Derive from it to drive a longer chain
// (override a slot, call TestController's version to record, then react).
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ui/AppControllerBase.h"

class UpdateEngine;

class TestController : public InstallerControllerBase {
public:
    struct SlotCall {
        std::string slot;       // "OnStatus", "OnConnected", ...
        std::string text;       // OnStatus: its text
        int32_t kind = 0;       // OnStatus: its kind
        bool flag = false;      // OnConnected: its flag
        uint32_t recordsLeft = 0;  // OnProgressed: the records its step leaves to send
        DWORD threadId = 0;     // the calling thread
        uint32_t message = 0;   // ordinal of the WM_ENGINE_ACTION that ran it; 0 outside one
        uint32_t sequence = 0;  // position among all recorded calls and timer requests
    };
    struct TimerRequest {
        WPARAM id = 0;
        bool start = false;
        DWORD threadId = 0;
        uint32_t sequence = 0;
    };

    // Creates the window on the calling thread, which becomes the window thread,
    // and makes this the process's controller.
    TestController();
    ~TestController() override;
    TestController(const TestController&) = delete;
    TestController& operator=(const TestController&) = delete;

    HWND window() const { return hwnd; }
    DWORD windowThreadId() const { return threadId; }

    // The engine, created with this window as the dialog would (OnInitDialog).
    UpdateEngine* startEngine();
    void stopEngine();
    UpdateEngine* engine() const { return engineOwned.get(); }
    // Waits (pumping) until the worker has created the port.
    bool waitForPort(DWORD timeoutMs = 10000);

    // Message loop helpers: dispatch this thread's messages until `done` holds or
    // the time is up; the result is `done()` at the end.
    bool pumpUntil(const std::function<bool()>& done, DWORD timeoutMs);
    void pumpFor(DWORD ms);
    // Dispatches what is queued now, without waiting.
    void pumpPending();
    bool waitForCalls(const std::string& slot, size_t count, DWORD timeoutMs);

    // Runs `fn` on the worker as an action and waits (pumping) until it has run.
    bool runOnWorker(std::function<void()> fn, DWORD timeoutMs = 10000);
    // Puts bytes into the closed port's receive queue as its event thread would,
    // and announces them with a BytesReceived event.
    bool feedBytes(const std::string& bytes);
    // As the controller does on failure and completion: mode Idle, port closed.
    void closePort(bool setIdle);

    // What was recorded. Every field of the controller belongs to the window thread.
    std::vector<SlotCall> calls;
    std::vector<TimerRequest> timerRequests;
    uint32_t actionMessages = 0;          // WM_ENGINE_ACTION received
    uint32_t actionMessagesNoEngine = 0;  // of which found no engine (routed as FALSE)
    uint32_t maxSlotsPerMessage = 0;      // most slot calls made while one message ran
    bool responseTimerRunning = false;    // as the last WM_ENGINE_TIMER asked
    uint32_t responseTimeouts = 0;        // expiries of the real response timer

    // Options.
    bool realResponseTimer = false;  // run a real 2000 ms timer on WM_ENGINE_TIMER
    bool closePortOnFailed = false;  // OnFailed sets mode Idle and closes the port

    size_t count(const std::string& slot) const;
    const SlotCall* last(const std::string& slot) const;
    std::vector<std::string> statusTexts() const;
    bool allOnWindowThread() const;
    void clearRecord();
    // The record as text, for failure messages.
    std::string describe() const;

    // AppControllerBase and InstallerControllerBase: each records its call.
    int Run() override;
    BOOL OnInitDialog(HWND dialog) override;
    void OnStatus(const std::string& text, int32_t kind) override;
    void OnPortNotFound() override;
    void OnConnected(bool connected) override;
    void OnPicProgram() override;
    void OnBlackfinErasePreamble() override;
    void OnBlackfinErasePostamble() override;
    void OnProgressed(uint32_t recordsLeft) override;
    void OnComplete() override;
    void OnFailed() override;
    void OnNextPic() override;
    void OnBlackfinProgramPreamble() override;
    // Expiry of the real response timer; records it.
    virtual void OnResponseTimeout();

protected:
    void record(const char* slot, const std::string& text = std::string(), int32_t kind = 0,
                bool flag = false);

private:
    static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);

    HWND hwnd = nullptr;
    DWORD threadId = 0;
    std::unique_ptr<UpdateEngine> engineOwned;
    uint32_t sequence = 0;
    uint32_t currentMessage = 0;   // WM_ENGINE_ACTION being handled, 0 outside
    uint32_t slotsThisMessage = 0;
    UINT_PTR timerId = 0;          // real response timer while running
};
