// The engine's spine: construction and shutdown, the worker thread, the two
// action queues with their guards, the posting operations, and the command and
// byte-delivery framework every exchange with the loader rests on.
#include "engine/UpdateEngine.h"

#include <process.h>

#include "engine/Actions.h"
#include "engine/ThreadRoles.h"
#include "serial/SerialPort.h"

std::atomic<UpdateEngine*> g_engine{nullptr};
std::string connectionSummary;

UpdateEngine::UpdateEngine(HWND dialog)
    : window(dialog),
      stopEvent(nullptr),
      workEvent(nullptr),
      workQueue(WorkQueueSlots),
      windowQueue(WindowQueueSlots),
      mode(Idle),
      imageLinesLeft(0),
      picIndex(0),
      imageCursor(nullptr),
      imageBytesLeft(0) {
    connectionSummary.clear();
    connectionSummary.reserve(256);
    imageLine.reserve(80);
    sentLine.reserve(80);

    stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    workEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    // Without both events the worker's wait would fail at once and spin for
    // ever, and destruction could not stop it: run no worker then. postWork
    // destroys what it is given while workEvent is null, and with no port every
    // port-dependent operation does nothing.
    if (!stopEvent || !workEvent) {
        closeEvents();
        return;
    }
    const uintptr_t thread = _beginthreadex(nullptr, 0, &UpdateEngine::workerMain, this, 0, nullptr);
    workerThread.reset(reinterpret_cast<HANDLE>(thread));
    if (!workerThread) closeEvents();
}

UpdateEngine::~UpdateEngine() {
    if (workerThread) {
        {
            auto guard = workGuard.lock();
            if (stopEvent) SetEvent(stopEvent);  // the worker is the only one to close it
        }
        // Without a time limit: the worker ends once its current action returns
        // (at worst a port write, which gives up after 10 s). The handle is our
        // own and valid, so the wait can only end with the thread.
        WaitForSingleObject(workerThread.get(), INFINITE);
        workerThread.reset();
    }
    closeEvents();  // normally done by the worker already

    currentResponse.reset();
    nextResponse.reset();

    ActionBase* action = nullptr;
    while (workQueue.pop(action)) delete action;
    while (windowQueue.pop(action)) delete action;
}

void UpdateEngine::closeEvents() {
    auto guard = workGuard.lock();
    if (stopEvent) {
        CloseHandle(stopEvent);
        stopEvent = nullptr;
    }
    if (workEvent) {
        CloseHandle(workEvent);
        workEvent = nullptr;
    }
}

unsigned __stdcall UpdateEngine::workerMain(void* argument) {
    UpdateEngine* engine = static_cast<UpdateEngine*>(argument);
    if (!engine) return 0;
    ThreadRoles::enter(ThreadRole::Worker);
    {
        // Under the engine lock: the window thread reads `port` under it.
        auto held = engine->lock.lock();
        engine->port.reset(new SerialPort(&UpdateEngine::onSerialEvent));
    }
    const HANDLE pair[2] = {engine->stopEvent, engine->workEvent};
    for (;;) {
        // When both are signalled the stop event wins: it is the first of the pair.
        // Both handles exist for the worker's whole life, so the wait cannot fail.
        const DWORD woken = WaitForMultipleObjects(2, pair, FALSE, INFINITE);
        if (woken == WAIT_OBJECT_0) break;
        if (woken != WAIT_OBJECT_0 + 1) continue;
        ActionBase* action = nullptr;
        for (;;) {
            {
                auto guard = engine->workGuard.lock();
                if (!engine->workQueue.pop(action)) break;
            }
            std::unique_ptr<ActionBase> owned(action);
            owned->execute();
        }
    }
    {
        // Destroying the port ends its event thread; nothing else waits for this
        // lock while holding something the event thread needs.
        auto held = engine->lock.lock();
        engine->port.reset();
    }
    // The port goes first, so its event thread, which may still post through
    // onSerialEvent, has ended before the work event disappears.
    engine->closeEvents();
    ThreadRoles::leave(ThreadRole::Worker);
    return 0;
}

void UpdateEngine::postWork(ActionBase* action) {
    if (!action) return;
    std::unique_ptr<ActionBase> refused(action);
    {
        auto guard = workGuard.lock();
        if (!workEvent) return;  // the worker has stopped
        if (workQueue.push(action)) refused.release();
        // Signalled also after a refused push; under the guard so that the
        // worker cannot close the event in between. Cannot fail on a live event.
        SetEvent(workEvent);
    }
    // A refused action is destroyed here, outside the guard, unexecuted.
}

void UpdateEngine::pushToWindow(ActionBase* action) {
    std::unique_ptr<ActionBase> refused(action);
    {
        auto guard = windowGuard.lock();
        if (windowQueue.push(action)) refused.release();
    }
}

void UpdateEngine::announceToWindow() {
    // Ignored on failure (the thread's message queue is full): the action then
    // waits for the next announcement, which takes one action as usual.
    PostMessageA(window, WM_ENGINE_ACTION, 0, 0);
}

void UpdateEngine::postToWindow(ActionBase* action) {
    if (!window) {
        delete action;
        return;
    }
    if (!action) return;
    pushToWindow(action);
    announceToWindow();
}

void UpdateEngine::postStatus(const std::string& text) {
    if (!window) return;
    pushToWindow(new ActionStatus(text, 0));
    announceToWindow();
}

// Progress comes one step per record, and a window that repaints slowly (Wine
// without a window manager takes milliseconds per bar step) can fall behind a
// fast loader. A full window queue would then refuse whatever comes next, and a
// refused completion or next-step action leaves the update hanging with no timer
// running. So a step is left out once only WindowQueueReserve places are free
// (a phase ends with at most a status text and one result): the bar may miss a
// step, the results that end a phase never go missing.
void UpdateEngine::pushProgressStep() {
    // Every caller holds the engine lock (the record pump, the parsers), so the count is
    // the one this step stands for.
    std::unique_ptr<ActionBase> step(new ActionProgressed(imageLinesLeft));
    auto guard = windowGuard.lock();
    const uint32_t slots = windowQueue.getCapacity();
    const uint32_t held =
        (windowQueue.getWriteIndex() + slots - windowQueue.getReadIndex()) % slots;
    if (slots - 1 - held <= WindowQueueReserve) return;
    if (windowQueue.push(step.get())) step.release();
}

// A step left out is announced like a refused push: the spare WM_ENGINE_ACTION
// finds the queue empty or takes the next action, so an announcement lost on the
// way (Wine's modal loops can drop one) never strands the action behind it.
void UpdateEngine::postProgressStep() {
    if (!window) return;
    pushProgressStep();
    announceToWindow();
}

void UpdateEngine::postProgressed() {
    if (!window) return;
    pushProgressStep();
    postTimerRequest(false);
    announceToWindow();
}

void UpdateEngine::postFailed() {
    if (!window) return;
    pushToWindow(new ActionFailed());
    announceToWindow();
}

void UpdateEngine::postTimerRequest(bool start) {
    // A null window would turn the post into a thread message to the caller.
    if (!window) return;
    // Ignored on failure: a lost start ends in no time-out, a lost stop in a
    // spurious one; neither can be repaired from here.
    PostMessageA(window, WM_ENGINE_TIMER, ResponseTimerId, start ? 1 : 0);
}

BOOL UpdateEngine::drainWindowQueue() {
    ActionBase* action = nullptr;
    {
        auto guard = windowGuard.lock();
        if (!windowQueue.pop(action)) return TRUE;
    }
    // No lock held: the slot may call engine operations that take the engine lock.
    std::unique_ptr<ActionBase> owned(action);
    owned->execute();
    return TRUE;
}

void UpdateEngine::sendCommand(ResponseBase* response, const std::string& command) {
    auto held = lock.lock();
    if (currentResponse.get() != response) currentResponse.reset(response);
    if (response) response->setCommand(command);
    const std::string wireLine = command + "\r\n";
    if (port && port->isOpen()) port->write(wireLine);  // failures arrive through the sink
    // Also when nothing was written: the missing reply then ends in a time-out.
    postTimerRequest(true);
}

void UpdateEngine::feedReceivedBytes(uint32_t count) {
    auto held = lock.lock();
    if (!port) return;
    CircularQueue<unsigned char>& received = port->getReceiveQueue();
    uint32_t taken = 0;
    unsigned char byte = 0;
    while (received.pop(byte)) {
        ++taken;
        if (!currentResponse) continue;  // no parser: the byte is dropped
        if (!currentResponse->processByte(byte)) continue;
        if (nextResponse) currentResponse = std::move(nextResponse);
        // Behind whatever the parser posted while completing, so that a command
        // it asked for is sent before the rest of the batch is parsed.
        if (count > taken)
            postWork(new ActionSerialEvent(BytesReceived, static_cast<int32_t>(count - taken)));
        break;
    }
}

void UpdateEngine::onPortClosing() {
    auto held = lock.lock();
    if (window && mode != Idle) postToWindow(new ActionFailed());
}

void UpdateEngine::onSerialEvent(uint32_t type, int32_t value) {
    // Any thread, the port's event thread included: takes no lock but the
    // work queue's guard, so closing the port can always wait for that thread.
    UpdateEngine* engine = g_engine.load();
    if (!engine) return;
    engine->postWork(new ActionSerialEvent(type, value));
}

void UpdateEngine::dispatchSerialEvent(uint32_t type, int32_t value) {
    switch (type) {
    case PortOpened:
        startSignOn();
        break;
    case PortClosing:
        onPortClosing();
        break;
    case BytesReceived:
        feedReceivedBytes(static_cast<uint32_t>(value));
        break;
    case LineError:
        reportLineError(value);
        break;
    case IoFailure:
        reportTransferFailure(value);
        break;
    default:
        break;  // 2, 3 and unknown codes mean nothing
    }
}
