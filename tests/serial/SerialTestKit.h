// Test kit for the serial port: a sink that records every report with its thread,
// a device-call table that records every call the port makes and can answer in its
// place (line errors, breaks, calls that fail at once or never complete), and a model
// of the Windows serial driver over a real line.
#pragma once

#include <windows.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "serial/RestTimer.h"
#include "serial/SerialPort.h"

namespace serialtest {

// One order across the recorder and the device, so a test can tell which came first.
uint64_t nextSequence();

struct Report {
    uint32_t type;
    int32_t value;
    DWORD thread;
    uint64_t sequence;
};

// The port's sink in these tests. Reports from any thread land here.
class EventRecorder {
public:
    static void sink(uint32_t type, int32_t value);

    static void clear();
    static std::vector<Report> reports();
    static std::vector<Report> reportsOf(uint32_t type);
    static int64_t bytesReported();
    // Polls until the predicate holds on the reports, or the deadline passes.
    static bool waitFor(const std::function<bool(const std::vector<Report>&)>& done, DWORD limitMs);
    static bool waitForCount(uint32_t type, size_t count, DWORD limitMs);
    // A handle to the thread that reported the latest PortOpened (kept open here),
    // so a test can see that thread end.
    static HANDLE lastOpenedThread();

private:
    static std::mutex lock;
    static std::vector<Report> log;
    static std::vector<HANDLE> openedThreads;
};

// Waits up to limitMs for a condition polled every few milliseconds.
bool waitUntil(const std::function<bool()>& done, DWORD limitMs);

// How a scripted call answers.
enum class Answer {
    AtOnce,           // succeeds at once (WaitCommEvent: with `eventMask`; ReadFile: `bytes`)
    FailAtOnce,       // fails at once with `error`
    Completes,        // goes pending with its event already set; the result then succeeds
    CompletesFailed,  // goes pending with its event already set; GetOverlappedResult fails with `error`
    Hangs,            // goes pending and completes only when cancelled
};

struct Reply {
    Answer answer = Answer::AtOnce;
    DWORD eventMask = 0;      // WaitCommEvent
    std::string bytes;        // ReadFile
    DWORD lineErrors = 0;     // what the next ClearCommError reports (scripted device only)
    DWORD error = ERROR_ACCESS_DENIED;
};

struct Call {
    std::string name;
    DWORD argument;           // mask, purge flags, byte count, wait flag: whatever the call carries
    DWORD outcome;            // 0: succeeded at once; otherwise the last error it left (997: pending)
    const OVERLAPPED* operation;
    DWORD thread;
    uint64_t sequence;
};

// Installed as the port's SerialDeviceApi. With `scripted` the device is invented
// (CreateFileA hands out a dummy event handle) and every call follows the script; it
// stands for a Windows driver unless told it is Wine's. Otherwise calls go to the real
// device unless a reply is queued or a failure set.
class RecordingDevice {
public:
    explicit RecordingDevice(bool scripted);
    ~RecordingDevice();
    RecordingDevice(const RecordingDevice&) = delete;
    RecordingDevice& operator=(const RecordingDevice&) = delete;

    const SerialDeviceApi& api() const { return table; }

    void queueWait(const Reply& reply);
    void queueRead(const Reply& reply);
    void queueWrite(const Reply& reply);
    // Answers once the queues are empty (scripted device). Defaults: waits and reads
    // hang, writes complete at once.
    void setWaitDefault(const Reply& reply);
    void setReadDefault(const Reply& reply);
    // The next call of this name ("SetupComm", "SetCommMask", ...) fails.
    void failNext(const std::string& callName);
    // The scripted device stands for Wine's driver: the port then keeps a read pending.
    void standForWine(bool wine);

    std::vector<Call> calls() const;
    std::vector<Call> callsNamed(const std::string& name) const;
    size_t count(const std::string& name) const;
    // A hanging call that was never cancelled and waited for: its storage would have
    // been left to the driver.
    std::vector<const OVERLAPPED*> unsettledOperations() const;

    DCB lastState() const;
    COMMTIMEOUTS lastTimeouts() const;
    std::string openedName() const;
    DWORD openedAccess() const, openedShare() const, openedDisposition() const, openedFlags() const;
    DWORD inputQueueSize() const, outputQueueSize() const;
    // The handle CreateFileA gave the port (a real device unless scripted).
    HANDLE openedHandle() const;

private:
    struct Operation {
        Answer answer;
        DWORD transferred;
        DWORD error;
        DWORD thread;
        bool cancelled;
        bool settled;
    };

    static RecordingDevice* active;
    static HANDLE WINAPI createFile(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
    static BOOL WINAPI setupComm(HANDLE, DWORD, DWORD);
    static BOOL WINAPI setCommState(HANDLE, LPDCB);
    static BOOL WINAPI setCommTimeouts(HANDLE, LPCOMMTIMEOUTS);
    static BOOL WINAPI setCommMask(HANDLE, DWORD);
    static BOOL WINAPI purgeComm(HANDLE, DWORD);
    static BOOL WINAPI waitCommEvent(HANDLE, LPDWORD, LPOVERLAPPED);
    static BOOL WINAPI readFile(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
    static BOOL WINAPI writeFile(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
    static BOOL WINAPI getOverlappedResult(HANDLE, LPOVERLAPPED, LPDWORD, BOOL);
    static BOOL WINAPI clearCommError(HANDLE, LPDWORD, LPCOMSTAT);
    static BOOL WINAPI cancelIo(HANDLE);
    static bool underWine();
    static bool rest(RestTimer& timer, HANDLE stop, DWORD milliseconds);

    void record(const std::string& name, DWORD argument, DWORD outcome, const OVERLAPPED* operation = nullptr);
    // Starts tracking a scripted overlapped call; notes storage reused while the
    // driver would still own it.
    void track(const OVERLAPPED* operation, const Operation& state);
    bool takeFailure(const std::string& name);
    // Carries out a scripted answer for an overlapped call (lock held); returns the
    // call's result and leaves in `error` the last error to set after unlocking.
    BOOL answer(const Reply& reply, LPOVERLAPPED operation, DWORD transferred, DWORD& error);

    const bool scripted;
    SerialDeviceApi table;
    mutable std::mutex lock;
    std::vector<Call> log;
    std::deque<Reply> waits, reads, writes;
    Reply waitDefault, readDefault;
    std::set<std::string> failures;
    std::map<const OVERLAPPED*, Operation> operations;
    std::vector<const OVERLAPPED*> abandoned;
    DWORD pendingLineErrors = 0;
    DCB state{};
    COMMTIMEOUTS timeouts{};
    std::string name;
    DWORD access = 0, share = 0, disposition = 0, flags = 0;
    DWORD setupIn = 0, setupOut = 0;
    HANDLE handle = INVALID_HANDLE_VALUE;
    bool wine = false;
};

// The Windows serial driver as Microsoft documents it, over a real line: the port takes
// its Windows path (underWine false) and the bytes come from the loader simulator on the
// rig's pseudo-terminal, which the model reads and writes through Wine's own calls on a
// pump thread. The rules, each with the page it comes from (learn.microsoft.com):
// - SetupComm (winbase/nf-winbase-setupcomm): the input buffer holds the size given (or,
//   with keepBufferOf, a size of the driver's own: the sizes are a recommendation). Bytes
//   that find it full wait, as if the line brought them no faster than the buffer
//   empties; the model does not make overruns.
// - WaitCommEvent (winbase/nf-winbase-waitcommevent) and IOCTL_SERIAL_WAIT_ON_MASK
//   (windows-hardware/drivers/ddi/ntddser/ni-ntddser-ioctl_serial_wait_on_mask): a wait
//   completes at once, with the events, when an event of the mask has happened since
//   the last wait completed; otherwise it stays pending until one happens. A second wait
//   while one is pending, or a wait with an empty mask, fails with ERROR_INVALID_PARAMETER.
// - EV_RXCHAR is raised when a byte is placed in the input buffer, EV_TXEMPTY when the
//   last byte of the output has been sent (same page, and SetCommMask's).
// - SetCommMask (winbase/nf-winbase-setcommmask, and the WaitCommEvent page): a pending
//   wait ends at once, successfully, with an empty mask.
// - ReadFile (fileapi/nf-fileapi-readfile) with COMMTIMEOUTS (winbase/ns-winbase-commtimeouts):
//   {MAXDWORD, MAXDWORD, c} returns at once with what the buffer holds, else waits up to
//   c ms for a first byte and returns with it, else returns with nothing; {MAXDWORD, 0, 0}
//   returns at once with what is there, even nothing. Other settings are not modelled:
//   such a read fails with ERROR_NOT_SUPPORTED.
// - WriteFile (fileapi/nf-fileapi-writefile) with write time-outs of 0 (COMMTIMEOUTS page:
//   no total time-out): a write completes when all its bytes have gone.
// - GetOverlappedResult (ioapiset/nf-ioapiset-getoverlappedresult): ERROR_IO_INCOMPLETE
//   while the operation is pending and no wait was asked for.
// - ClearCommError (winbase/nf-winbase-clearcommerror, winbase/ns-winbase-comstat): the
//   CE_ flags since the last call (none on this line) and the bytes in each buffer.
// - PurgeComm (winbase/nf-winbase-purgecomm): PURGE_RXCLEAR empties the input buffer,
//   PURGE_RXABORT ends pending reads.
// - CancelIo (ioapiset/nf-ioapiset-cancelio): cancels the pending operations the calling
//   thread issued on the handle, and only those; each completes with ERROR_OPERATION_ABORTED.
// - A vanished line (the simulator closed its side) is a removed USB adapter, which on
//   Windows mostly answers ERROR_ACCESS_DENIED: pending operations complete with it and
//   every later call fails with it.
// Options, for what real PCs add to that:
// - chargeRestsToTicks: the Sleep page (synchapi/nf-synchapi-sleep) and the timeBeginPeriod
//   page (timeapi/nf-timeapi-timebeginperiod): with the system timer at its default a wait
//   ends at the first tick of the 15.625 ms clock after its time has passed. The event
//   thread's rests are charged so, as a plain Sleep(1) is on such a PC.
// - failLate: a pulled adapter whose driver fails late. No page documents what a driver
//   answers then; engineers report it of usbser.sys (Windows' own CDC driver, "USB serial
//   driver (Usbser.sys)", windows-hardware/drivers/usbcon/usb-driver-installation-based-on-compatible-ids)
//   and of others: after the line vanished each WaitCommEvent, ReadFile and WriteFile goes
//   pending and completes LateFailureMs later with ERROR_BAD_COMMAND (22), ERROR_GEN_FAILURE
//   (31) or ERROR_OPERATION_ABORTED (995) in turn, a wait with an empty mask; calls pending
//   at the vanish end so too. Calls that do not go pending fail at once with those errors.
// - sendAtLineSpeed: a write completes, and EV_TXEMPTY rises, when the UART would have sent
//   its last bit at the baud rate SetCommState gave (DCB page, winbase/ns-winbase-dcb: start
//   bit, ByteSize data bits, parity bit, stop bits per byte), the writes one after another,
//   where the pseudo-terminal takes them at once. Without it the rest after EV_TXEMPTY
//   overlaps the echo, which no real line allows.
// - latencyTimer: an FTDI adapter (FTDI's application notes AN232B-04, "Data Throughput,
//   Latency and Handshaking", and AN_107, "Advanced Driver Options", 6.3): received bytes
//   reach the driver in USB packets, sent when 62 bytes of data have gathered (64 less 2
//   status bytes) or when the latency timer runs out (16 ms by default, 1 to 255 ms). The
//   timer counts from the last packet sent and starts again with every packet, also the
//   status-only packets sent while nothing was received.
class WindowsDriverModel {
public:
    WindowsDriverModel();
    ~WindowsDriverModel();
    WindowsDriverModel(const WindowsDriverModel&) = delete;
    WindowsDriverModel& operator=(const WindowsDriverModel&) = delete;

    const SerialDeviceApi& api() const { return table; }
    // A driver that takes SetupComm's size as a recommendation, as the SetupComm page
    // allows (USB adapters commonly keep a few KiB), and keeps an input buffer of `bytes`.
    void keepBufferOf(DWORD bytes);
    // The options above; set before the port opens.
    void chargeRestsToTicks(bool charge);
    void failLate(bool late);
    void latencyTimer(DWORD milliseconds);  // 0: bytes reach the input buffer as they arrive
    void sendAtLineSpeed(bool paced);
    // A write that stalls, as an adapter can: the first write of exactly `bytes` stays
    // pending and unsent until releaseHeldWrite(), which sends it and completes it (unless
    // the port gave it up meanwhile). writeHeld() holds while the port still waits for it.
    void holdWrite(const std::string& bytes);
    bool writeHeld() const;
    void releaseHeldWrite();
    static constexpr DWORD LateFailureMs = 2;
    static constexpr size_t PacketBytes = 62;

    // Calls of one name made after the line vanished ("WaitCommEvent", "ReadFile", and each
    // rest as "Rest <milliseconds>").
    size_t callsAfterVanish(const std::string& name) const;

    // Operations the driver still holds: the caller's storage belongs to it until they
    // complete.
    size_t unfinishedOperations() const;
    size_t pendingWaits() const;
    size_t waitsCancelled() const;       // pending waits ended by CancelIo
    bool lineVanished() const;

private:
    enum class Kind { Wait, Read, Write };
    struct Operation {
        Kind kind;
        DWORD thread;
        bool done;
        BOOL succeeded;
        DWORD error;
        DWORD transferred;
        DWORD* eventMask;            // Wait: where the events go
        unsigned char* buffer;       // Read: the caller's buffer
        DWORD size;                  // Read: room in the buffer; Write: bytes to send
        ULONGLONG deadline;          // Read: when it gives up waiting for a first byte; late failure: when it fails
        bool failsLate;              // completes with the late-failing driver's error at `deadline`
        ULONGLONG sentAtUs;          // Write, sendAtLineSpeed: when the UART has sent its last bit
    };

    struct Calls;  // the table's functions
    friend struct Calls;
    // The model the table's plain function pointers reach: set by the constructor before the
    // port is handed the table, cleared by the destructor after the port has let it go.
    static WindowsDriverModel* active;

    // Each of these runs with the lock held.
    // Refuses a call on another handle or on a vanished line; sets `error`.
    bool refuses(HANDLE device, DWORD& error);
    // The late-failing driver after the vanish: the call goes pending to fail later.
    bool pendsToFail(HANDLE device, LPOVERLAPPED operation, Kind kind, DWORD& error);
    DWORD lateError();
    void noteAfterVanish(const std::string& name);
    // Hands what the adapter gathered to the driver in packets; returns when its latency
    // timer next runs out with bytes waiting, in microseconds (0: none wait).
    ULONGLONG releasePackets();
    void gather(const unsigned char* bytes, DWORD count);
    Operation& begin(LPOVERLAPPED operation, Kind kind);
    void complete(LPOVERLAPPED operation, BOOL succeeded, DWORD error, DWORD transferred);
    void raise(DWORD events);
    DWORD take(unsigned char* buffer, DWORD size);
    // Moves bytes from the line into the input buffer as far as there is room.
    void admit();
    void serveReads();
    void vanish();

    void closeLine();
    void pump();

    SerialDeviceApi table;
    mutable std::mutex lock;
    std::mutex writing;              // one write on the real line at a time
    // Written by the calls and the pump under the lock.
    std::map<LPOVERLAPPED, Operation> operations;
    std::deque<unsigned char> input;
    std::deque<unsigned char> wire;  // read from the line, waiting for room in the input buffer
    std::deque<unsigned char> adapter;  // latencyTimer: received by the adapter, not yet sent on to the driver
    DWORD latencyMs = 0;
    ULONGLONG lastPacketUs = 0;      // latencyTimer: when the adapter last sent a packet
    bool tickClock = false;
    bool lineSpeed = false;
    ULONGLONG lineFreeUs = 0;        // sendAtLineSpeed: when the UART has sent all it was given
    DWORD baud = CBR_115200, bitsPerByte = 10;
    bool lateFailure = false;
    unsigned lateTurn = 0;
    std::string holdBytes;           // holdWrite: the write to hold, until one is held
    std::string heldBytes;           // the held write's bytes
    LPOVERLAPPED heldOperation = nullptr;
    std::map<std::string, size_t> afterVanish;
    DWORD inputSize = 4096;
    DWORD ownBuffer = 0;             // keepBufferOf
    DWORD mask = 0;
    DWORD history = 0;               // events of the mask since the last wait completed
    COMMTIMEOUTS timeouts{};
    size_t cancelledWaits = 0;
    size_t abandoned = 0;            // unfinished operations whose storage was reused or dropped
    bool vanished = false;
    bool stopping = false;
    // Set by createFile and closeLine only, while no pump runs.
    UniqueFileHandle line;               // the real device: read by the pump, written by WriteFile's caller
    HANDLE standIn = nullptr;            // the handle the port holds: an event, which the port closes
    UniqueHandle wake;                   // auto-reset: tells the pump that the state changed
    std::thread pumpThread;
};

}  // namespace serialtest
