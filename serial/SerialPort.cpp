// SerialPort: the fixed line settings, open and close, the event thread with its wait
// and read steps, overlapped writes, and the reports to the event sink.
#include "serial/SerialPort.h"

#include "engine/HostTrace.h"
#include "engine/ThreadRoles.h"
#include "serial/RestTimer.h"

#include <process.h>

#include <cstdio>

static_assert(sizeof(DCB) == 28, "the line settings are laid out for a 28-byte DCB");

namespace {

constexpr DWORD DriverQueueBytes = 512;
constexpr DWORD EventThreadMask = EV_RXCHAR | EV_TXEMPTY | EV_BREAK | EV_ERR;
constexpr DWORD StartPurge = PURGE_RXABORT | PURGE_RXCLEAR;
static_assert(EventThreadMask == 0xC5, "event mask of the event thread");
static_assert(StartPurge == 0x0A, "purge at the start of the event thread");

// Values of IoFailure reports.
constexpr int32_t WriteSide = 0;
constexpr int32_t ReceiveSide = 1;

enum class WaitOutcome { Stopped, Completed, TimedOut, Failed };

// How a read step ended. Filled: bytes delivered, as many as the read could take, so
// more may wait in the driver. Failed: the call could not be issued or waited for, and
// the thread pauses before its next call.
enum class ReadOutcome { Stopped, Filled, Delivered, Nothing, Failed };

ReadOutcome deliveredOutcome(DWORD received) {
    if (received == 0) return ReadOutcome::Nothing;
    return received >= SerialPort::ReadChunk ? ReadOutcome::Filled : ReadOutcome::Delivered;
}

// Every pending wait of the port also waits on the stop event; when both are
// signalled the stop wins, as WaitForMultipleObjects reports the lowest index.
WaitOutcome waitForStopOr(HANDLE stop, HANDLE operation, DWORD limitMs) {
    const HANDLE handles[2] = {stop, operation};
    switch (WaitForMultipleObjects(2, handles, FALSE, limitMs)) {
    case WAIT_OBJECT_0:
        return WaitOutcome::Stopped;
    case WAIT_OBJECT_0 + 1:
        return WaitOutcome::Completed;
    case WAIT_TIMEOUT:
        return WaitOutcome::TimedOut;
    default:
        return WaitOutcome::Failed;
    }
}

// One overlapped call with its own manual-reset event. A call that went pending
// belongs to the driver until it completes: the driver writes into the OVERLAPPED
// and into the caller's buffer or mask. settle() is the way out when the caller
// stops waiting before completion (stop, time-out, failed wait).
class OverlappedCall {
public:
    OverlappedCall() : event(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
        ZeroMemory(&block, sizeof block);
        block.hEvent = event.get();
    }
    OverlappedCall(const OverlappedCall&) = delete;
    OverlappedCall& operator=(const OverlappedCall&) = delete;

    bool ready() const { return event.valid(); }
    OVERLAPPED* get() { return &block; }
    HANDLE completion() const { return event.get(); }

    // CancelIo cancels only the calls this thread issued on the device, which is
    // exactly this one, since every call is settled before its step returns. The
    // waiting GetOverlappedResult returns once the driver has let go of the call.
    void settle(const SerialDeviceApi& api, HANDLE device) {
        api.cancelIo(device);  // result ignored: if nothing was cancelled, the call is completing on its own
        DWORD ignored = 0;
        api.getOverlappedResult(device, &block, &ignored, TRUE);  // the abandoned call's result is not used
    }

private:
    UniqueHandle event;
    OVERLAPPED block;
};

bool restOnTimer(RestTimer& timer, HANDLE stop, DWORD milliseconds) { return timer.rest(stop, milliseconds); }

}  // namespace

const SerialDeviceApi& SerialDeviceApi::win32() {
    static const SerialDeviceApi table = {
        &::CreateFileA,  &::SetupComm,     &::SetCommState, &::SetCommTimeouts,
        &::SetCommMask,  &::PurgeComm,     &::WaitCommEvent, &::ReadFile,
        &::WriteFile,    &::GetOverlappedResult, &::ClearCommError, &::CancelIo,
        &SerialPort::runningUnderWine, &restOnTimer,
    };
    return table;
}

struct SerialPort::Impl {
    static unsigned __stdcall eventThreadMain(void* argument);
    static void runEventThread(SerialPort& port);
    static bool waitStep(SerialPort& port);
    static ReadOutcome readStep(SerialPort& port, DWORD pendingLimitMs);
    static void readContinuously(SerialPort& port);
    static bool handleLineEvent(SerialPort& port, DWORD eventMask);
    static bool wentPending(SerialPort& port, DWORD error);
    static void deliver(SerialPort& port, const unsigned char* bytes, DWORD count);
    static bool stopRequested(const SerialPort& port);
    static bool pauseBeforeNextCall(const SerialPort& port);
    static void report(const SerialPort& port, SerialEventType type, int32_t value) {
        if (port.eventSink) port.eventSink(type, value);
    }
};

SerialPort::SerialPort(SerialEventSink sink)
    : eventSink(sink),
      portNumber(0),
      lineErrorMask(0),
      waitForEvent(false),
      keepReadPending(false),
      deviceSettings(),
      receiveQueue(ReceiveQueueSlots),
      api(&SerialDeviceApi::win32()),
      restTimer(nullptr) {}

SerialPort::~SerialPort() {
    // As close, but silent and without CancelIo: the event thread has settled its own
    // calls before it ends, and closing the device ends anything else.
    if (stopEvent) SetEvent(stopEvent.get());  // result ignored: setting a live event of ours does not fail
    if (eventThread) WaitForSingleObject(eventThread.get(), INFINITE);
    eventThread.reset();
    stopEvent.reset();
    deviceHandle.reset();
}

bool SerialPort::isOpen() const { return deviceHandle.valid(); }

bool SerialPort::runningUnderWine() {
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

COMMTIMEOUTS SerialPort::readTimeoutsFor(bool underWine) {
    // Windows: a read returns at once with what the driver holds, or waits up to 1 ms
    // for a first byte. Wine 8 does not implement that rule and holds such a read until
    // its whole buffer is full, so an echo would never be delivered; with
    // {MAXDWORD, 0, 0} Wine returns at once with what is there and, when nothing is,
    // keeps the read pending until the first byte arrives, which the event thread's
    // pending read relies on.
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = underWine ? 0 : MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = underWine ? 0 : 1;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    return timeouts;
}

int SerialPort::open(uint32_t number) {
    close();
    if (number > HighestPortNumber) return PortId;
    portNumber.exchange(number);

    char name[16];
    std::snprintf(name, sizeof name, "\\\\.\\COM%u", static_cast<unsigned>(number));

    int result = PortOpenOk;
    deviceHandle.reset(api->createFile(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (!deviceHandle || !api->setupComm(deviceHandle.get(), DriverQueueBytes, DriverQueueBytes))
        result = DeviceHandle;

    if (result == PortOpenOk) {
        const HANDLE device = deviceHandle.get();
        ZeroMemory(&deviceSettings, sizeof deviceSettings);
        deviceSettings.DCBlength = sizeof(DCB);
        deviceSettings.fBinary = TRUE;
        deviceSettings.fAbortOnError = TRUE;
        deviceSettings.XonLim = 100;
        deviceSettings.XoffLim = 100;
        deviceSettings.StopBits = ONESTOPBIT;
        deviceSettings.XonChar = 0x11;
        deviceSettings.XoffChar = 0x13;
        deviceSettings.BaudRate = BaudRate;
        deviceSettings.ByteSize = 8;
        deviceSettings.Parity = NOPARITY;

        const bool underWine = api->underWine();
        keepReadPending = underWine;
        COMMTIMEOUTS timeouts = readTimeoutsFor(underWine);
        if (!api->setCommMask(device, 0)) {
            result = EventMask;
        } else if (!api->setCommTimeouts(device, &timeouts)) {
            result = TimeoutSettings;
        } else if (!api->setCommState(device, &deviceSettings)) {
            result = SerialSettings;
        } else {
            stopEvent.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
            if (!stopEvent) {
                result = DeviceHandle;
            } else {
                // Through the C runtime, so the thread's CRT state is set up and freed.
                const uintptr_t thread = _beginthreadex(nullptr, 0, &Impl::eventThreadMain, this, 0, nullptr);
                if (thread == 0)
                    result = DeviceHandle;
                else
                    eventThread.reset(reinterpret_cast<HANDLE>(thread));
            }
        }
    }

    // A stop event made before a failure stays for the next close to destroy.
    if (result != PortOpenOk) deviceHandle.reset();
    return result;
}

void SerialPort::close() {
    // Signal, wait for the event thread, then free: the thread uses the stop event
    // and the device until it has ended.
    if (stopEvent) SetEvent(stopEvent.get());  // result ignored: setting a live event of ours does not fail
    if (eventThread) {
        WaitForSingleObject(eventThread.get(), INFINITE);  // result ignored: the handle is ours and live
        eventThread.reset();
    }
    stopEvent.reset();
    if (deviceHandle) {
        Impl::report(*this, PortClosing, 0);
        api->cancelIo(deviceHandle.get());  // result ignored: closing the device next ends whatever is left
        deviceHandle.reset();
    }
}

bool SerialPort::write(const std::string& text) {
    OverlappedCall call;
    if (!call.ready()) {
        // Without its event the write cannot be issued: a failed transfer.
        Impl::report(*this, IoFailure, WriteSide);
        return true;
    }
    const HANDLE device = deviceHandle.get();
    DWORD written = 0;
    if (api->writeFile(device, text.data(), static_cast<DWORD>(text.size()), &written, call.get()))
        return true;
    if (!Impl::wentPending(*this, GetLastError())) return true;

    switch (waitForStopOr(stopEvent.get(), call.completion(), PendingWaitLimitMs)) {
    case WaitOutcome::Stopped:
        call.settle(*api, device);
        return false;
    case WaitOutcome::Completed:
        if (!api->getOverlappedResult(device, call.get(), &written, FALSE)) {
            if (Impl::wentPending(*this, GetLastError()))
                call.settle(*api, device);
            else
                Impl::report(*this, IoFailure, WriteSide);
        }
        return true;
    case WaitOutcome::TimedOut:
    case WaitOutcome::Failed:
        Impl::report(*this, IoFailure, WriteSide);
        call.settle(*api, device);
        return true;
    }
    return true;
}

unsigned __stdcall SerialPort::Impl::eventThreadMain(void* argument) {
    SerialPort& port = *static_cast<SerialPort*>(argument);
    ThreadRoles::enter(ThreadRole::PortEvents);
    // Held for as long as the thread runs, so whatever it raises in Windows is let go
    // when the port closes.
    RestTimer timer;
    port.restTimer = &timer;
    runEventThread(port);
    port.restTimer = nullptr;
    ThreadRoles::leave(ThreadRole::PortEvents);
    return 0;
}

void SerialPort::Impl::runEventThread(SerialPort& port) {
    const HANDLE device = port.deviceHandle.get();
    // Results ignored: a device that refuses these fails its first wait or read,
    // which is reported there.
    port.api->setCommMask(device, EventThreadMask);
    port.api->purgeComm(device, StartPurge);
    report(port, PortOpened, 0);
    if (port.keepReadPending) {
        readContinuously(port);
        return;
    }
    port.waitForEvent = true;

    // The stop event is looked at before every step, not only during pending waits,
    // so a device whose calls fail at once cannot keep close() waiting.
    while (!stopRequested(port)) {
        if (port.waitForEvent) {
            if (!waitStep(port)) break;
        } else {
            const ReadOutcome outcome = readStep(port, PendingWaitLimitMs);
            // A driver may hold more than one read takes (SetupComm's sizes are only a
            // recommendation, and USB adapters keep a few KiB): the EV_RXCHAR that
            // announced those bytes has been consumed, and if the loader now waits for
            // an answer no further byte will raise another. So a read that filled its
            // buffer is followed by another read, not by a wait.
            port.waitForEvent = outcome != ReadOutcome::Filled;
            if (outcome == ReadOutcome::Stopped) break;
            if (outcome == ReadOutcome::Failed && !pauseBeforeNextCall(port)) break;
        }
    }
}

// Under Wine 8 on a pseudo-terminal, WaitCommEvent does not wake for arriving data:
// every pending wait ends after about 2 ms with error 995 and an empty mask, and each
// such wait leaves some 344 bytes on the process heap. Waiting for line events there
// made every echo wait for the next poll (an unpaced Blackfin transfer took 20-25 s
// where one pending read takes 1.2-1.7 s) and grew an idle, connected installer by
// about 200 KiB a second. With the {MAXDWORD, 0, 0} read time-outs Wine keeps an
// overlapped ReadFile pending until the first byte arrives and then completes it at
// once, so under Wine the thread keeps one read pending instead. What it gives up are
// the line-error and break events, on any device under Wine; on a pseudo-terminal Wine
// reports neither anyway (ClearCommError never shows a CE_ flag there). A read that
// fails is still reported, with the CE_ flags of that moment.
// A pending read without data is the idle line, so it waits without a limit, as the
// line-event wait it replaces does.
void SerialPort::Impl::readContinuously(SerialPort& port) {
    while (!stopRequested(port)) {
        const ReadOutcome outcome = readStep(port, INFINITE);
        if (outcome == ReadOutcome::Stopped) break;
        // A read that brought nothing is not issued again at once: a device that kept
        // answering so would keep the thread spinning.
        const bool delivered = outcome == ReadOutcome::Delivered || outcome == ReadOutcome::Filled;
        if (!delivered && !pauseBeforeNextCall(port)) break;
    }
}

bool SerialPort::Impl::waitStep(SerialPort& port) {
    DWORD eventMask = 0;
    OverlappedCall call;
    if (!call.ready()) {
        report(port, IoFailure, ReceiveSide);
        return pauseBeforeNextCall(port);
    }
    const HANDLE device = port.deviceHandle.get();
    if (port.api->waitCommEvent(device, &eventMask, call.get())) return handleLineEvent(port, eventMask);
    if (!wentPending(port, GetLastError())) return pauseBeforeNextCall(port);

    switch (waitForStopOr(port.stopEvent.get(), call.completion(), INFINITE)) {
    case WaitOutcome::Stopped:
        call.settle(*port.api, device);
        return false;
    case WaitOutcome::Completed: {
        // A completed wait has a result of its own: once an adapter is pulled, some drivers
        // complete every wait with an error (usbser.sys is reported to give 22 or 31) and
        // an empty mask. Such a completion is a failed call like any other.
        DWORD unused = 0;
        if (port.api->getOverlappedResult(device, call.get(), &unused, FALSE)) return handleLineEvent(port, eventMask);
        if (wentPending(port, GetLastError())) call.settle(*port.api, device);
        return pauseBeforeNextCall(port);
    }
    case WaitOutcome::TimedOut:
    case WaitOutcome::Failed:
        break;
    }
    report(port, IoFailure, ReceiveSide);
    call.settle(*port.api, device);
    return pauseBeforeNextCall(port);
}

// The buffer and OVERLAPPED are the step's own: a read still pending when the step
// ends is cancelled and waited for first (settle).
ReadOutcome SerialPort::Impl::readStep(SerialPort& port, DWORD pendingLimitMs) {
    unsigned char bytes[ReadChunk];
    DWORD received = 0;
    OverlappedCall call;
    if (!call.ready()) {
        report(port, IoFailure, ReceiveSide);
        return ReadOutcome::Failed;
    }
    const HANDLE device = port.deviceHandle.get();
    if (port.api->readFile(device, bytes, ReadChunk, &received, call.get())) {
        deliver(port, bytes, received);
        return deliveredOutcome(received);
    }
    if (!wentPending(port, GetLastError())) return ReadOutcome::Failed;

    switch (waitForStopOr(port.stopEvent.get(), call.completion(), pendingLimitMs)) {
    case WaitOutcome::Stopped:
        call.settle(*port.api, device);
        return ReadOutcome::Stopped;
    case WaitOutcome::Completed:
        received = 0;
        if (port.api->getOverlappedResult(device, call.get(), &received, FALSE)) {
            deliver(port, bytes, received);
            return deliveredOutcome(received);
        }
        if (wentPending(port, GetLastError()))
            call.settle(*port.api, device);
        else
            report(port, IoFailure, ReceiveSide);
        return ReadOutcome::Nothing;
    case WaitOutcome::TimedOut:
        report(port, IoFailure, ReceiveSide);
        call.settle(*port.api, device);
        return ReadOutcome::Nothing;
    case WaitOutcome::Failed:
        break;
    }
    report(port, IoFailure, ReceiveSide);
    call.settle(*port.api, device);
    return ReadOutcome::Failed;
}

// Returns whether to go on: false when the port was closed during a rest.
bool SerialPort::Impl::handleLineEvent(SerialPort& port, DWORD eventMask) {
    eventMask &= 0xFF;
    DWORD errors = 0;
    COMSTAT status;
    // Result ignored: a failed call leaves no errors, and the event is handled anyway.
    port.api->clearCommError(port.deviceHandle.get(), &errors, &status);
    port.lineErrorMask.store(errors);
    if (errors != 0 || (eventMask & EV_BREAK) != 0) report(port, LineError, static_cast<int32_t>(errors));
    if (eventMask & EV_RXCHAR) port.waitForEvent = false;
    // A driver may end a wait, at once or later, with none of the thread's events;
    // waiting again at once would spin for as long as it does so.
    if ((eventMask & EventThreadMask) == 0) return pauseBeforeNextCall(port);
    if (eventMask & EV_TXEMPTY) return port.api->rest(*port.restTimer, port.stopEvent.get(), TransmitRestMs);
    return true;
}

// A call failed: ERROR_IO_PENDING means it is under way. Anything else is a line
// error, with the CE_ flags fetched now (often none); ClearCommError also re-enables
// I/O after fAbortOnError stopped it.
bool SerialPort::Impl::wentPending(SerialPort& port, DWORD error) {
    if (error == ERROR_IO_PENDING) return true;
    if (port.deviceHandle) {
        DWORD errors = 0;
        COMSTAT status;
        // Result ignored: on failure no flags are known and the report carries 0.
        port.api->clearCommError(port.deviceHandle.get(), &errors, &status);
        port.lineErrorMask.store(errors);
    }
    report(port, LineError, static_cast<int32_t>(port.lineErrorMask.exchange(0)));
    return false;
}

void SerialPort::Impl::deliver(SerialPort& port, const unsigned char* bytes, DWORD count) {
    if (count == 0) return;
    for (DWORD i = 0; i < count; ++i)
        port.receiveQueue.push(bytes[i]);  // a full queue refuses the byte: it is dropped, yet counted below
    KQ_TRACE_BYTES_QUEUED();
    report(port, BytesReceived, static_cast<int32_t>(count));
}

bool SerialPort::Impl::stopRequested(const SerialPort& port) {
    // A failed wait counts as a stop: the stop event lives as long as the thread, so
    // a failure would mean the port is being torn down.
    return WaitForSingleObject(port.stopEvent.get(), 0) != WAIT_TIMEOUT;
}

bool SerialPort::Impl::pauseBeforeNextCall(const SerialPort& port) {
    return port.api->rest(*port.restTimer, port.stopEvent.get(), ImmediateFailurePauseMs);
}
