// The test controller: a plain window on the test's main thread whose procedure
// routes WM_ENGINE_ACTION and WM_ENGINE_TIMER as the main dialog does.
#include "tests/support/TestController.h"

#include <algorithm>
#include <sstream>

#include "engine/Actions.h"
#include "engine/UpdateEngine.h"
#include "serial/SerialPort.h"
#include "tests/support/TestActions.h"

namespace {

const char* const WindowClassName = "KqTestControllerWindow";

bool registerWindowClass(WNDPROC procedure) {
    WNDCLASSEXA wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = procedure;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = WindowClassName;
    if (RegisterClassExA(&wc)) return true;
    return GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
}

}  // namespace

TestController::TestController() : threadId(GetCurrentThreadId()) {
    if (registerWindowClass(&TestController::windowProc)) {
        // A plain top-level window, never shown: Wine makes no message-only
        // window without a display either, so a display is needed anyway.
        hwnd = CreateWindowExA(0, WindowClassName, "KQ7750 test controller", WS_OVERLAPPED, 0, 0,
                               200, 100, nullptr, nullptr, GetModuleHandleA(nullptr), this);
    }
    g_controller = this;
}

TestController::~TestController() {
    stopEngine();
    if (hwnd) {
        if (timerId) KillTimer(hwnd, timerId);
        DestroyWindow(hwnd);
    }
    if (g_controller == this) g_controller = nullptr;
}

UpdateEngine* TestController::startEngine() {
    if (!engineOwned) OnInitDialog(hwnd);
    return engineOwned.get();
}

void TestController::stopEngine() {
    if (!engineOwned) return;
    engineOwned.reset();
    g_engine.store(nullptr);
}

bool TestController::waitForPort(DWORD timeoutMs) {
    UpdateEngine* e = engine();
    if (!e) return false;
    return pumpUntil(
        [e] {
            auto held = e->lock.lock();
            return e->port != nullptr;
        },
        timeoutMs);
}

bool TestController::pumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const DWORD begin = GetTickCount();
    for (;;) {
        pumpPending();
        if (done()) return true;
        const DWORD elapsed = GetTickCount() - begin;
        if (elapsed >= timeoutMs) return done();
        const DWORD slice = std::min<DWORD>(timeoutMs - elapsed, 20);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, slice, QS_ALLINPUT);
    }
}

void TestController::pumpFor(DWORD ms) {
    pumpUntil([] { return false; }, ms);
}

void TestController::pumpPending() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

bool TestController::waitForCalls(const std::string& slot, size_t n, DWORD timeoutMs) {
    return pumpUntil([this, &slot, n] { return count(slot) >= n; }, timeoutMs);
}

bool TestController::runOnWorker(std::function<void()> fn, DWORD timeoutMs) {
    UpdateEngine* e = engine();
    if (!e) return false;
    auto done = std::make_shared<DoneSignal>();
    e->postWork(new CallAction(std::move(fn), done));
    return pumpUntil([&done] { return done->isSet(); }, timeoutMs);
}

bool TestController::feedBytes(const std::string& bytes) {
    UpdateEngine* e = engine();
    if (!e) return false;
    {
        auto held = e->lock.lock();
        // Only a closed port: an open one has an event thread producing into the queue.
        if (!e->port || e->port->isOpen()) return false;
        CircularQueue<unsigned char>& queue = e->port->getReceiveQueue();
        for (char c : bytes) queue.push(static_cast<unsigned char>(c));
    }
    e->postWork(new ActionSerialEvent(BytesReceived, static_cast<int32_t>(bytes.size())));
    return true;
}

void TestController::closePort(bool setIdle) {
    UpdateEngine* e = engine();
    if (!e) return;
    auto held = e->lock.lock();
    if (setIdle) e->mode = Idle;
    if (e->port) e->port->close();
}

size_t TestController::count(const std::string& slot) const {
    return static_cast<size_t>(
        std::count_if(calls.begin(), calls.end(), [&slot](const SlotCall& c) { return c.slot == slot; }));
}

const TestController::SlotCall* TestController::last(const std::string& slot) const {
    for (auto it = calls.rbegin(); it != calls.rend(); ++it)
        if (it->slot == slot) return &*it;
    return nullptr;
}

std::vector<std::string> TestController::statusTexts() const {
    std::vector<std::string> texts;
    for (const SlotCall& c : calls)
        if (c.slot == "OnStatus") texts.push_back(c.text);
    return texts;
}

bool TestController::allOnWindowThread() const {
    return std::all_of(calls.begin(), calls.end(),
                       [this](const SlotCall& c) { return c.threadId == threadId; });
}

void TestController::clearRecord() {
    calls.clear();
    timerRequests.clear();
    actionMessages = 0;
    actionMessagesNoEngine = 0;
    maxSlotsPerMessage = 0;
    responseTimeouts = 0;
}

std::string TestController::describe() const {
    std::ostringstream out;
    out << calls.size() << " slot calls, " << actionMessages << " WM_ENGINE_ACTION, "
        << timerRequests.size() << " WM_ENGINE_TIMER\n";
    for (const SlotCall& c : calls) {
        out << "  #" << c.sequence << " " << c.slot;
        if (c.slot == "OnStatus") out << " \"" << c.text << "\" kind " << c.kind;
        if (c.slot == "OnConnected") out << " " << (c.flag ? "true" : "false");
        out << " (thread " << c.threadId << ", message " << c.message << ")\n";
    }
    for (const TimerRequest& t : timerRequests)
        out << "  #" << t.sequence << " timer " << t.id << (t.start ? " start" : " stop") << "\n";
    return out.str();
}

void TestController::record(const char* slot, const std::string& text, int32_t kind, bool flag) {
    SlotCall call;
    call.slot = slot;
    call.text = text;
    call.kind = kind;
    call.flag = flag;
    call.threadId = GetCurrentThreadId();
    call.message = currentMessage;
    call.sequence = ++sequence;
    calls.push_back(call);
    if (currentMessage) {
        ++slotsThisMessage;
        maxSlotsPerMessage = std::max(maxSlotsPerMessage, slotsThisMessage);
    }
}

int TestController::Run() {
    record("Run");
    MSG msg;
    BOOL got;
    while ((got = GetMessageA(&msg, nullptr, 0, 0)) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return got == 0 ? static_cast<int>(msg.wParam) : 1;
}

BOOL TestController::OnInitDialog(HWND dialog) {
    record("OnInitDialog");
    if (!engineOwned) {
        engineOwned.reset(new UpdateEngine(dialog));
        g_engine.store(engineOwned.get());
    }
    return TRUE;
}

void TestController::OnStatus(const std::string& text, int32_t kind) { record("OnStatus", text, kind); }
void TestController::OnPortNotFound() { record("OnPortNotFound"); }
void TestController::OnConnected(bool connected) { record("OnConnected", std::string(), 0, connected); }
void TestController::OnPicProgram() { record("OnPicProgram"); }
void TestController::OnBlackfinErasePreamble() { record("OnBlackfinErasePreamble"); }
void TestController::OnBlackfinErasePostamble() { record("OnBlackfinErasePostamble"); }
void TestController::OnProgressed(uint32_t recordsLeft) {
    record("OnProgressed");
    calls.back().recordsLeft = recordsLeft;
}
void TestController::OnComplete() { record("OnComplete"); }

void TestController::OnFailed() {
    record("OnFailed");
    if (closePortOnFailed) closePort(true);
}

void TestController::OnNextPic() { record("OnNextPic"); }
void TestController::OnBlackfinProgramPreamble() { record("OnBlackfinProgramPreamble"); }
void TestController::OnResponseTimeout() { record("OnResponseTimeout"); }

LRESULT CALLBACK TestController::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const CREATESTRUCTA* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    TestController* self = reinterpret_cast<TestController*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (self && self->hwnd == window) return self->handle(message, wParam, lParam);
    return DefWindowProcA(window, message, wParam, lParam);
}

LRESULT TestController::handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_ENGINE_ACTION: {
        ++actionMessages;
        UpdateEngine* e = g_engine.load();
        if (!e) {
            ++actionMessagesNoEngine;
            return FALSE;
        }
        const uint32_t outer = currentMessage;
        const uint32_t outerSlots = slotsThisMessage;
        currentMessage = actionMessages;
        slotsThisMessage = 0;
        const BOOL result = e->drainWindowQueue();
        currentMessage = outer;
        slotsThisMessage = outerSlots;
        return result;
    }
    case WM_ENGINE_TIMER: {
        TimerRequest request;
        request.id = wParam;
        request.start = lParam != 0;
        request.threadId = GetCurrentThreadId();
        request.sequence = ++sequence;
        timerRequests.push_back(request);
        responseTimerRunning = request.start;
        if (realResponseTimer) {
            if (timerId) KillTimer(hwnd, timerId);  // not running any more: nothing to report
            timerId = request.start ? SetTimer(hwnd, wParam, 2000, nullptr) : 0;
        }
        return TRUE;
    }
    case WM_TIMER:
        if (timerId && wParam == timerId) {
            KillTimer(hwnd, timerId);
            timerId = 0;
            responseTimerRunning = false;
            ++responseTimeouts;
            OnResponseTimeout();
        }
        return 0;
    default:
        return DefWindowProcA(hwnd, message, wParam, lParam);
    }
}
