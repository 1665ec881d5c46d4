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

class SerialPort {
public:
    static constexpr uint32_t ReceiveQueueSlots = 8193;
    static constexpr uint32_t ReadChunk = 512;
    static constexpr DWORD PendingWaitLimitMs = 10000;
    static constexpr uint32_t HighestPortNumber = 10;

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

private:
    // Implementation details are private to SerialPort.cpp.
    struct Impl;
    friend struct Impl;

    SerialEventSink eventSink;
    UniqueHandle eventThread;        // written by open/close (engine lock held), null while closed
    UniqueHandle stopEvent;          // created by open, signalled and closed by close
    UniqueFileHandle deviceHandle;   // open device; "none" while closed
    std::atomic<uint32_t> portNumber;
    std::atomic<uint32_t> lineErrorMask;
    bool waitForEvent;               // event thread only
    DCB deviceSettings;
    CircularQueue<unsigned char> receiveQueue;  // event thread pushes, worker pops
};
