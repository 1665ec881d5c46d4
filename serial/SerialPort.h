// The program's one path to the instrument: a COM port opened for overlapped I/O
// with fixed line settings, an event thread that reads into a byte receive queue,
// and every happening reported through one event sink.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "engine/CircularQueue.h"
#include "engine/WinHandles.h"

class RestTimer;

// Codes reported through the sink; 2 and 3 are never reported.
enum SerialEventType : uint32_t {
    PortOpened = 0,
    PortClosing = 1,
    BytesReceived = 4,
    LineError = 5,
    IoFailure = 6,
};

// Results of SerialPort::open.
enum PortOpenError : int {
    PortOpenOk = 0,
    DeviceHandle = 1,
    SerialSettings = 2,
    TimeoutSettings = 3,
    PortId = 4,
    ParitySetting = 5,    // reserved, never produced by open
    BaudRateSetting = 6,  // reserved
    WordSize = 7,         // reserved
    EventMask = 8,
};

// Called on the event thread, and on whichever thread closes the port or writes.
using SerialEventSink = void (*)(uint32_t type, int32_t value);

// The device calls the port makes. The program always uses win32(); a test hands a
// port its own table to make a device do what a pseudo-terminal cannot (line errors,
// breaks, calls that fail at once or never complete), and says which platform's driver
// the device stands for.
struct SerialDeviceApi {
    decltype(&::CreateFileA) createFile;
    decltype(&::SetupComm) setupComm;
    decltype(&::SetCommState) setCommState;
    decltype(&::SetCommTimeouts) setCommTimeouts;
    decltype(&::SetCommMask) setCommMask;
    decltype(&::PurgeComm) purgeComm;
    decltype(&::WaitCommEvent) waitCommEvent;
    decltype(&::ReadFile) readFile;
    decltype(&::WriteFile) writeFile;
    decltype(&::GetOverlappedResult) getOverlappedResult;
    decltype(&::ClearCommError) clearCommError;
    decltype(&::CancelIo) cancelIo;
    bool (*underWine)();  // the driver is Wine's: decides the read time-outs and how the event thread reads
    // The event thread's rests (after EV_TXEMPTY, and before the call after one that failed
    // or brought nothing), so that a test's device sees them and can charge them what a
    // Windows clock would: waits `milliseconds` on the thread's timer, or less when `stop`
    // is signalled; false then. win32() rests on the timer.
    bool (*rest)(RestTimer& timer, HANDLE stop, DWORD milliseconds);

    static const SerialDeviceApi& win32();
};

class SerialPort {
public:
    static constexpr DWORD BaudRate = CBR_115200;
    static constexpr uint32_t ReceiveQueueSlots = 8193;
    static constexpr uint32_t ReadChunk = 512;
    static constexpr DWORD PendingWaitLimitMs = 10000;
    // Windows numbers serial ports up to COM256, and gives every USB adapter it has
    // ever seen a number of its own, so a laptop's adapter is often COM12 or COM23.
    static constexpr uint32_t HighestPortNumber = 256;

    explicit SerialPort(SerialEventSink sink);
    ~SerialPort();
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    int open(uint32_t portNumber);
    void close();
    bool write(const std::string& text);

    bool isOpen() const;
    uint32_t getPortNumber() const { return portNumber.load(); }
    CircularQueue<unsigned char>& getReceiveQueue() { return receiveQueue; }

    // Read time-outs for the platform: Windows returns at once with what the driver
    // holds under {MAXDWORD, MAXDWORD, 1}; Wine instead waits for a full buffer
    // there, and only {MAXDWORD, 0, 0} gives the same behaviour.
    static COMMTIMEOUTS readTimeoutsFor(bool runningUnderWine);
    static bool runningUnderWine();

    // Test seam: the table must outlive the port; change it only while the port is closed.
    void setDeviceApi(const SerialDeviceApi& table) { api = &table; }

    // Pause after a call that failed at once, or that ended at once with nothing to act
    // on, so a device that keeps doing so cannot keep the event thread spinning; the
    // pause ends early when the port is closed.
    static constexpr DWORD ImmediateFailurePauseMs = 50;
    // The rest after EV_TXEMPTY.
    static constexpr DWORD TransmitRestMs = 1;

private:
    // Implementation details are private to SerialPort.cpp.
    struct Impl;
    friend struct Impl;

    SerialEventSink eventSink;
    UniqueHandle eventThread;        // written by open/close (engine lock held), null while closed
    UniqueHandle stopEvent;          // written by open/close; waited on by the event thread and write
    UniqueFileHandle deviceHandle;   // written by open/close; used by the event thread while it runs, and by write
    std::atomic<uint32_t> portNumber;     // written by open; read by the connection retry
    std::atomic<uint32_t> lineErrorMask;  // written by the event thread and by write (ClearCommError)
    bool waitForEvent;               // event thread only
    bool keepReadPending;            // written by open before the event thread starts; read by that thread
    DCB deviceSettings;              // open only
    CircularQueue<unsigned char> receiveQueue;  // event thread pushes, worker pops
    const SerialDeviceApi* api;      // set while closed; read by every thread that enters the port
    RestTimer* restTimer;            // event thread only: its own timer, set while it runs
};
