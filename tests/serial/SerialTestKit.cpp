// The serial test kit: the recording sink and the recording/scripted device table.
#include "tests/serial/SerialTestKit.h"

#include <algorithm>
#include <atomic>
#include <cstring>

namespace serialtest {

uint64_t nextSequence() {
    static std::atomic<uint64_t> counter(0);
    return ++counter;
}

bool waitUntil(const std::function<bool()>& done, DWORD limitMs) {
    const ULONGLONG deadline = GetTickCount64() + limitMs;
    for (;;) {
        if (done()) return true;
        if (GetTickCount64() >= deadline) return false;
        Sleep(5);
    }
}

// ---- EventRecorder ----

std::mutex EventRecorder::lock;
std::vector<Report> EventRecorder::log;
std::vector<HANDLE> EventRecorder::openedThreads;

void EventRecorder::sink(uint32_t type, int32_t value) {
    Report report{type, value, GetCurrentThreadId(), nextSequence()};
    HANDLE self = nullptr;
    if (type == PortOpened &&
        !DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self,
                         SYNCHRONIZE, FALSE, 0))
        self = nullptr;
    std::lock_guard<std::mutex> guard(lock);
    log.push_back(report);
    if (type == PortOpened) openedThreads.push_back(self);
}

void EventRecorder::clear() {
    std::lock_guard<std::mutex> guard(lock);
    log.clear();
    for (HANDLE h : openedThreads)
        if (h) CloseHandle(h);
    openedThreads.clear();
}

std::vector<Report> EventRecorder::reports() {
    std::lock_guard<std::mutex> guard(lock);
    return log;
}

std::vector<Report> EventRecorder::reportsOf(uint32_t type) {
    std::vector<Report> out;
    for (const Report& r : reports())
        if (r.type == type) out.push_back(r);
    return out;
}

int64_t EventRecorder::bytesReported() {
    int64_t total = 0;
    for (const Report& r : reportsOf(BytesReceived)) total += r.value;
    return total;
}

bool EventRecorder::waitFor(const std::function<bool(const std::vector<Report>&)>& done, DWORD limitMs) {
    return waitUntil([&] { return done(reports()); }, limitMs);
}

bool EventRecorder::waitForCount(uint32_t type, size_t count, DWORD limitMs) {
    return waitUntil([&] { return reportsOf(type).size() >= count; }, limitMs);
}

HANDLE EventRecorder::lastOpenedThread() {
    std::lock_guard<std::mutex> guard(lock);
    return openedThreads.empty() ? nullptr : openedThreads.back();
}

// ---- RecordingDevice ----

RecordingDevice* RecordingDevice::active = nullptr;

RecordingDevice::RecordingDevice(bool scripted) : scripted(scripted) {
    table = SerialDeviceApi{&createFile, &setupComm,    &setCommState,        &setCommTimeouts,
                            &setCommMask, &purgeComm,   &waitCommEvent,       &readFile,
                            &writeFile,   &getOverlappedResult, &clearCommError, &cancelIo,
                            &underWine};
    waitDefault.answer = Answer::Hangs;
    readDefault.answer = Answer::Hangs;
    active = this;
}

RecordingDevice::~RecordingDevice() {
    if (active == this) active = nullptr;
}

void RecordingDevice::queueWait(const Reply& reply) {
    std::lock_guard<std::mutex> guard(lock);
    waits.push_back(reply);
}

void RecordingDevice::queueRead(const Reply& reply) {
    std::lock_guard<std::mutex> guard(lock);
    reads.push_back(reply);
}

void RecordingDevice::queueWrite(const Reply& reply) {
    std::lock_guard<std::mutex> guard(lock);
    writes.push_back(reply);
}

void RecordingDevice::setWaitDefault(const Reply& reply) {
    std::lock_guard<std::mutex> guard(lock);
    waitDefault = reply;
}

void RecordingDevice::setReadDefault(const Reply& reply) {
    std::lock_guard<std::mutex> guard(lock);
    readDefault = reply;
}

void RecordingDevice::failNext(const std::string& callName) {
    std::lock_guard<std::mutex> guard(lock);
    failures.insert(callName);
}

void RecordingDevice::standForWine(bool standsForWine) {
    std::lock_guard<std::mutex> guard(lock);
    wine = standsForWine;
}

std::vector<Call> RecordingDevice::calls() const {
    std::lock_guard<std::mutex> guard(lock);
    return log;
}

std::vector<Call> RecordingDevice::callsNamed(const std::string& callName) const {
    std::vector<Call> out;
    for (const Call& c : calls())
        if (c.name == callName) out.push_back(c);
    return out;
}

size_t RecordingDevice::count(const std::string& callName) const { return callsNamed(callName).size(); }

std::vector<const OVERLAPPED*> RecordingDevice::unsettledOperations() const {
    std::lock_guard<std::mutex> guard(lock);
    std::vector<const OVERLAPPED*> out = abandoned;
    for (const auto& entry : operations)
        if (entry.second.answer == Answer::Hangs && !entry.second.settled) out.push_back(entry.first);
    return out;
}

DCB RecordingDevice::lastState() const {
    std::lock_guard<std::mutex> guard(lock);
    return state;
}

COMMTIMEOUTS RecordingDevice::lastTimeouts() const {
    std::lock_guard<std::mutex> guard(lock);
    return timeouts;
}

std::string RecordingDevice::openedName() const {
    std::lock_guard<std::mutex> guard(lock);
    return name;
}
DWORD RecordingDevice::openedAccess() const { std::lock_guard<std::mutex> g(lock); return access; }
DWORD RecordingDevice::openedShare() const { std::lock_guard<std::mutex> g(lock); return share; }
DWORD RecordingDevice::openedDisposition() const { std::lock_guard<std::mutex> g(lock); return disposition; }
DWORD RecordingDevice::openedFlags() const { std::lock_guard<std::mutex> g(lock); return flags; }
HANDLE RecordingDevice::openedHandle() const { std::lock_guard<std::mutex> g(lock); return handle; }
DWORD RecordingDevice::inputQueueSize() const { std::lock_guard<std::mutex> g(lock); return setupIn; }
DWORD RecordingDevice::outputQueueSize() const { std::lock_guard<std::mutex> g(lock); return setupOut; }

void RecordingDevice::record(const std::string& callName, DWORD argument, DWORD outcome,
                             const OVERLAPPED* operation) {
    log.push_back(Call{callName, argument, outcome, operation, GetCurrentThreadId(), nextSequence()});
}

void RecordingDevice::track(const OVERLAPPED* operation, const Operation& next) {
    auto found = operations.find(operation);
    if (found != operations.end() && found->second.answer == Answer::Hangs && !found->second.settled)
        abandoned.push_back(operation);
    operations[operation] = next;
}

bool RecordingDevice::takeFailure(const std::string& callName) {
    return failures.erase(callName) != 0;
}

BOOL RecordingDevice::answer(const Reply& reply, LPOVERLAPPED operation, DWORD transferred, DWORD& error) {
    pendingLineErrors = reply.lineErrors;
    error = 0;
    switch (reply.answer) {
    case Answer::AtOnce:
        return TRUE;
    case Answer::FailAtOnce:
        error = reply.error;
        return FALSE;
    case Answer::Completes:
    case Answer::CompletesFailed:
        track(operation, Operation{reply.answer, transferred, reply.error, GetCurrentThreadId(), false, false});
        SetEvent(operation->hEvent);
        error = ERROR_IO_PENDING;
        return FALSE;
    case Answer::Hangs:
        track(operation, Operation{reply.answer, 0, ERROR_OPERATION_ABORTED, GetCurrentThreadId(), false, false});
        error = ERROR_IO_PENDING;
        return FALSE;
    }
    return FALSE;
}

// The table's functions. Each records itself; the last error is set only after the
// lock is released, since unlocking may itself change it.

HANDLE WINAPI RecordingDevice::createFile(LPCSTR path, DWORD accessMode, DWORD shareMode,
                                          LPSECURITY_ATTRIBUTES security, DWORD creation,
                                          DWORD attributes, HANDLE templateFile) {
    RecordingDevice& d = *active;
    bool fail;
    {
        std::lock_guard<std::mutex> guard(d.lock);
        d.record("CreateFileA", 0, 0);
        d.name = path;
        d.access = accessMode;
        d.share = shareMode;
        d.disposition = creation;
        d.flags = attributes;
        fail = d.takeFailure("CreateFileA");
    }
    if (fail) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE opened = d.scripted ? CreateEventA(nullptr, TRUE, FALSE, nullptr)
                                     : CreateFileA(path, accessMode, shareMode, security, creation, attributes, templateFile);
    const DWORD error = GetLastError();
    {
        std::lock_guard<std::mutex> guard(d.lock);
        d.handle = opened;
    }
    SetLastError(error);
    return opened;
}

BOOL WINAPI RecordingDevice::setupComm(HANDLE device, DWORD inQueue, DWORD outQueue) {
    RecordingDevice& d = *active;
    bool fail;
    {
        std::lock_guard<std::mutex> guard(d.lock);
        d.record("SetupComm", inQueue, 0);
        d.setupIn = inQueue;
        d.setupOut = outQueue;
        fail = d.takeFailure("SetupComm");
    }
    if (fail) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return d.scripted ? TRUE : SetupComm(device, inQueue, outQueue);
}

BOOL WINAPI RecordingDevice::setCommState(HANDLE device, LPDCB settings) {
    RecordingDevice& d = *active;
    bool fail;
    {
        std::lock_guard<std::mutex> guard(d.lock);
        d.record("SetCommState", 0, 0);
        d.state = *settings;
        fail = d.takeFailure("SetCommState");
    }
    if (fail) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return d.scripted ? TRUE : SetCommState(device, settings);
}

BOOL WINAPI RecordingDevice::setCommTimeouts(HANDLE device, LPCOMMTIMEOUTS values) {
    RecordingDevice& d = *active;
    bool fail;
    {
        std::lock_guard<std::mutex> guard(d.lock);
        d.record("SetCommTimeouts", 0, 0);
        d.timeouts = *values;
        fail = d.takeFailure("SetCommTimeouts");
    }
    if (fail) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return d.scripted ? TRUE : SetCommTimeouts(device, values);
}

BOOL WINAPI RecordingDevice::setCommMask(HANDLE device, DWORD mask) {
    RecordingDevice& d = *active;
    bool fail;
    {
        std::lock_guard<std::mutex> guard(d.lock);
        d.record("SetCommMask", mask, 0);
        fail = d.takeFailure("SetCommMask");
    }
    if (fail) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return d.scripted ? TRUE : SetCommMask(device, mask);
}

BOOL WINAPI RecordingDevice::purgeComm(HANDLE device, DWORD purgeFlags) {
    RecordingDevice& d = *active;
    {
        std::lock_guard<std::mutex> guard(d.lock);
        d.record("PurgeComm", purgeFlags, 0);
    }
    return d.scripted ? TRUE : PurgeComm(device, purgeFlags);
}

BOOL WINAPI RecordingDevice::waitCommEvent(HANDLE device, LPDWORD mask, LPOVERLAPPED operation) {
    RecordingDevice& d = *active;
    std::unique_lock<std::mutex> guard(d.lock);
    if (d.waits.empty() && !d.scripted) {
        guard.unlock();
        const BOOL result = WaitCommEvent(device, mask, operation);
        const DWORD error = result ? 0 : GetLastError();
        guard.lock();
        d.record("WaitCommEvent", 0, error, operation);
        guard.unlock();
        SetLastError(error);
        return result;
    }
    Reply reply = d.waitDefault;
    if (!d.waits.empty()) {
        reply = d.waits.front();
        d.waits.pop_front();
    }
    if (reply.answer != Answer::FailAtOnce && reply.answer != Answer::Hangs) *mask = reply.eventMask;
    DWORD error = 0;
    const BOOL result = d.answer(reply, operation, 0, error);
    d.record("WaitCommEvent", reply.eventMask, error, operation);
    guard.unlock();
    SetLastError(error);
    return result;
}

BOOL WINAPI RecordingDevice::readFile(HANDLE device, LPVOID buffer, DWORD size, LPDWORD received,
                                      LPOVERLAPPED operation) {
    RecordingDevice& d = *active;
    std::unique_lock<std::mutex> guard(d.lock);
    if (d.reads.empty() && !d.scripted) {
        guard.unlock();
        const BOOL result = ReadFile(device, buffer, size, received, operation);
        const DWORD error = result ? 0 : GetLastError();
        guard.lock();
        d.record("ReadFile", size, error, operation);
        guard.unlock();
        SetLastError(error);
        return result;
    }
    Reply reply = d.readDefault;
    if (!d.reads.empty()) {
        reply = d.reads.front();
        d.reads.pop_front();
    }
    const DWORD n = static_cast<DWORD>(std::min<size_t>(reply.bytes.size(), size));
    if (reply.answer == Answer::AtOnce || reply.answer == Answer::Completes)
        std::memcpy(buffer, reply.bytes.data(), n);
    if (received) *received = reply.answer == Answer::AtOnce ? n : 0;
    DWORD error = 0;
    const BOOL result = d.answer(reply, operation, n, error);
    d.record("ReadFile", size, error, operation);
    guard.unlock();
    SetLastError(error);
    return result;
}

BOOL WINAPI RecordingDevice::writeFile(HANDLE device, LPCVOID bytes, DWORD size, LPDWORD written,
                                       LPOVERLAPPED operation) {
    RecordingDevice& d = *active;
    std::unique_lock<std::mutex> guard(d.lock);
    if (d.writes.empty() && !d.scripted) {
        guard.unlock();
        const BOOL result = WriteFile(device, bytes, size, written, operation);
        const DWORD error = result ? 0 : GetLastError();
        guard.lock();
        d.record("WriteFile", size, error, operation);
        guard.unlock();
        SetLastError(error);
        return result;
    }
    Reply reply;  // a scripted device takes every write at once unless told otherwise
    if (!d.writes.empty()) {
        reply = d.writes.front();
        d.writes.pop_front();
    }
    if (written) *written = reply.answer == Answer::AtOnce ? size : 0;
    DWORD error = 0;
    const BOOL result = d.answer(reply, operation, size, error);
    d.record("WriteFile", size, error, operation);
    guard.unlock();
    SetLastError(error);
    return result;
}

BOOL WINAPI RecordingDevice::getOverlappedResult(HANDLE device, LPOVERLAPPED operation, LPDWORD transferred,
                                                 BOOL wait) {
    RecordingDevice& d = *active;
    std::unique_lock<std::mutex> guard(d.lock);
    auto found = d.operations.find(operation);
    const bool known = found != d.operations.end() && !found->second.settled;
    if (!known && !d.scripted) {
        guard.unlock();
        const BOOL result = GetOverlappedResult(device, operation, transferred, wait);
        const DWORD error = result ? 0 : GetLastError();
        guard.lock();
        d.record("GetOverlappedResult", wait, error, operation);
        guard.unlock();
        SetLastError(error);
        return result;
    }
    if (!known) {
        d.record("GetOverlappedResult", wait, ERROR_INVALID_PARAMETER, operation);
        guard.unlock();
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (found->second.answer == Answer::Hangs && !found->second.cancelled && wait) {
        // A waiting call on an operation nobody cancelled: the driver would block
        // here. Give up after a while and leave it unsettled, so the test fails.
        guard.unlock();
        WaitForSingleObject(operation->hEvent, 20000);
        guard.lock();
        found = d.operations.find(operation);
    }
    Operation& op = found->second;
    BOOL result = FALSE;
    DWORD error = 0;
    if (op.answer == Answer::Hangs && !op.cancelled) {
        error = ERROR_IO_INCOMPLETE;
    } else {
        op.settled = true;
        if (op.answer == Answer::Completes) {
            if (transferred) *transferred = op.transferred;
            result = TRUE;
        } else {
            error = op.error;
        }
    }
    d.record("GetOverlappedResult", wait, error, operation);
    guard.unlock();
    SetLastError(error);
    return result;
}

BOOL WINAPI RecordingDevice::clearCommError(HANDLE device, LPDWORD errors, LPCOMSTAT status) {
    RecordingDevice& d = *active;
    std::unique_lock<std::mutex> guard(d.lock);
    if (!d.scripted) {
        guard.unlock();
        const BOOL result = ClearCommError(device, errors, status);
        const DWORD error = result ? 0 : GetLastError();
        guard.lock();
        d.record("ClearCommError", result && errors ? *errors : 0, error);
        guard.unlock();
        SetLastError(error);
        return result;
    }
    if (errors) *errors = d.pendingLineErrors;
    if (status) std::memset(status, 0, sizeof *status);
    d.record("ClearCommError", d.pendingLineErrors, 0);
    d.pendingLineErrors = 0;
    return TRUE;
}

BOOL WINAPI RecordingDevice::cancelIo(HANDLE device) {
    RecordingDevice& d = *active;
    std::unique_lock<std::mutex> guard(d.lock);
    d.record("CancelIo", 0, 0);
    // Like the driver: only this thread's calls are cancelled, and they complete.
    for (auto& entry : d.operations) {
        Operation& op = entry.second;
        if (op.answer == Answer::Hangs && !op.settled && !op.cancelled && op.thread == GetCurrentThreadId()) {
            op.cancelled = true;
            SetEvent(entry.first->hEvent);
        }
    }
    if (d.scripted) return TRUE;
    guard.unlock();
    return CancelIo(device);
}

bool RecordingDevice::underWine() {
    RecordingDevice& d = *active;
    if (!d.scripted) return SerialPort::runningUnderWine();
    std::lock_guard<std::mutex> guard(d.lock);
    return d.wine;
}

}  // namespace serialtest
