// Test kit for the serial port: a sink that records every report with its thread,
// and a device-call table that records every call the port makes and can answer in
// its place (line errors, breaks, calls that fail at once or never complete).
#pragma once

#include <windows.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

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

}  // namespace serialtest
