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
                            &underWine,   &rest};
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

bool RecordingDevice::rest(RestTimer& timer, HANDLE stop, DWORD milliseconds) {
    RecordingDevice& d = *active;
    {
        std::lock_guard<std::mutex> guard(d.lock);
        d.record("Rest", milliseconds, 0);
    }
    return timer.rest(stop, milliseconds);
}

bool RecordingDevice::underWine() {
    RecordingDevice& d = *active;
    if (!d.scripted) return SerialPort::runningUnderWine();
    std::lock_guard<std::mutex> guard(d.lock);
    return d.wine;
}


// ---- WindowsDriverModel ----

WindowsDriverModel* WindowsDriverModel::active = nullptr;

WindowsDriverModel::~WindowsDriverModel() {
    closeLine();
    if (active == this) active = nullptr;
}

size_t WindowsDriverModel::unfinishedOperations() const {
    std::lock_guard<std::mutex> guard(lock);
    size_t n = abandoned;
    for (const auto& entry : operations) n += entry.second.done ? 0 : 1;
    return n;
}

size_t WindowsDriverModel::pendingWaits() const {
    std::lock_guard<std::mutex> guard(lock);
    size_t n = 0;
    for (const auto& entry : operations) n += entry.second.kind == Kind::Wait && !entry.second.done ? 1 : 0;
    return n;
}

void WindowsDriverModel::keepBufferOf(DWORD bytes) {
    std::lock_guard<std::mutex> guard(lock);
    ownBuffer = bytes;
}

void WindowsDriverModel::chargeRestsToTicks(bool charge) { std::lock_guard<std::mutex> g(lock); tickClock = charge; }
void WindowsDriverModel::failLate(bool late) { std::lock_guard<std::mutex> g(lock); lateFailure = late; }
void WindowsDriverModel::latencyTimer(DWORD milliseconds) { std::lock_guard<std::mutex> g(lock); latencyMs = milliseconds; }
void WindowsDriverModel::sendAtLineSpeed(bool paced) { std::lock_guard<std::mutex> g(lock); lineSpeed = paced; }

size_t WindowsDriverModel::callsAfterVanish(const std::string& name) const {
    std::lock_guard<std::mutex> guard(lock);
    auto found = afterVanish.find(name);
    return found == afterVanish.end() ? 0 : found->second;
}

void WindowsDriverModel::holdWrite(const std::string& bytes) {
    std::lock_guard<std::mutex> guard(lock);
    holdBytes = bytes;
}

bool WindowsDriverModel::writeHeld() const {
    std::lock_guard<std::mutex> guard(lock);
    auto found = operations.find(heldOperation);
    return heldOperation != nullptr && found != operations.end() && !found->second.done;
}

size_t WindowsDriverModel::waitsCancelled() const { std::lock_guard<std::mutex> g(lock); return cancelledWaits; }
bool WindowsDriverModel::lineVanished() const { std::lock_guard<std::mutex> g(lock); return vanished; }

bool WindowsDriverModel::refuses(HANDLE device, DWORD& error) {
    if (device != standIn || standIn == nullptr)
        error = ERROR_INVALID_HANDLE;
    else if (vanished)
        error = lateFailure ? lateError() : ERROR_ACCESS_DENIED;  // what a removed USB adapter mostly answers
    else
        return false;
    return true;
}

bool WindowsDriverModel::pendsToFail(HANDLE device, LPOVERLAPPED operation, Kind kind, DWORD& error) {
    if (!lateFailure || !vanished || device != standIn || standIn == nullptr) return false;
    Operation& op = begin(operation, kind);
    op.failsLate = true;
    op.deadline = GetTickCount64() + LateFailureMs;
    SetEvent(wake.get());  // the pump keeps the time
    error = ERROR_IO_PENDING;
    return true;
}

DWORD WindowsDriverModel::lateError() {
    static const DWORD errors[] = {ERROR_BAD_COMMAND, ERROR_GEN_FAILURE, ERROR_OPERATION_ABORTED};
    return errors[lateTurn++ % 3];
}

void WindowsDriverModel::noteAfterVanish(const std::string& name) {
    if (vanished) ++afterVanish[name];
}

namespace {
ULONGLONG microseconds() {
    static const LONGLONG frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<ULONGLONG>(now.QuadPart / frequency * 1000000 + now.QuadPart % frequency * 1000000 / frequency);
}
}  // namespace

void WindowsDriverModel::gather(const unsigned char* bytes, DWORD count) {
    if (latencyMs == 0) {
        wire.insert(wire.end(), bytes, bytes + count);
        return;
    }
    // While the adapter held nothing its timer kept running out and starting again
    // (status-only packets): the first byte waits for the next time it runs out.
    const ULONGLONG now = microseconds(), period = latencyMs * 1000ULL;
    if (adapter.empty() && now - lastPacketUs >= period) lastPacketUs = now - (now - lastPacketUs) % period;
    adapter.insert(adapter.end(), bytes, bytes + count);
}

ULONGLONG WindowsDriverModel::releasePackets() {
    if (adapter.empty()) return 0;
    const ULONGLONG now = microseconds(), period = latencyMs * 1000ULL;
    while (adapter.size() >= PacketBytes) {
        wire.insert(wire.end(), adapter.begin(), adapter.begin() + PacketBytes);
        adapter.erase(adapter.begin(), adapter.begin() + PacketBytes);
        lastPacketUs = now;
    }
    if (!adapter.empty() && now - lastPacketUs >= period) {
        wire.insert(wire.end(), adapter.begin(), adapter.end());
        adapter.clear();
        lastPacketUs = now;
    }
    return adapter.empty() ? 0 : lastPacketUs + period;
}

WindowsDriverModel::Operation& WindowsDriverModel::begin(LPOVERLAPPED operation, Kind kind) {
    auto found = operations.find(operation);
    if (found != operations.end() && !found->second.done) ++abandoned;  // reused while the driver held it
    Operation& op = operations[operation];
    op = Operation{kind, GetCurrentThreadId(), false, FALSE, 0, 0, nullptr, nullptr, 0, 0, false, 0};
    ResetEvent(operation->hEvent);  // as the call itself does on a pending start
    return op;
}

void WindowsDriverModel::complete(LPOVERLAPPED operation, BOOL succeeded, DWORD error, DWORD transferred) {
    Operation& op = operations.at(operation);
    op.done = true;
    op.succeeded = succeeded;
    op.error = error;
    op.transferred = transferred;
    SetEvent(operation->hEvent);
}

void WindowsDriverModel::raise(DWORD events) {
    events &= mask;
    if (events == 0) return;
    for (auto& entry : operations) {
        Operation& op = entry.second;
        if (op.kind == Kind::Wait && !op.done) {
            *op.eventMask = events;
            complete(entry.first, TRUE, 0, 0);
            return;
        }
    }
    history |= events;
}

DWORD WindowsDriverModel::take(unsigned char* buffer, DWORD size) {
    DWORD n = 0;
    while (n < size && !input.empty()) {
        buffer[n++] = input.front();
        input.pop_front();
    }
    SetEvent(wake.get());  // room for the pump
    return n;
}

void WindowsDriverModel::admit() {
    const size_t room = inputSize > input.size() ? inputSize - input.size() : 0;
    const size_t n = std::min(room, wire.size());
    if (n == 0) return;
    input.insert(input.end(), wire.begin(), wire.begin() + static_cast<std::ptrdiff_t>(n));
    wire.erase(wire.begin(), wire.begin() + static_cast<std::ptrdiff_t>(n));
    serveReads();
    raise(EV_RXCHAR);
}

void WindowsDriverModel::serveReads() {
    for (auto& entry : operations) {
        Operation& op = entry.second;
        if (op.kind == Kind::Read && !op.done && !input.empty())
            complete(entry.first, TRUE, 0, take(op.buffer, op.size));
    }
}

void WindowsDriverModel::vanish() {
    vanished = true;
    SetEvent(wake.get());  // the pump keeps the late failures' time
    for (auto& entry : operations) {
        Operation& op = entry.second;
        // A write ends in its own call, by what the real line made of it, unless the line
        // took it and the UART is still sending.
        if (op.done || (op.kind == Kind::Write && op.sentAtUs == 0)) continue;
        if (op.kind == Kind::Wait) *op.eventMask = 0;
        if (lateFailure) {
            op.failsLate = true;
            op.deadline = GetTickCount64() + LateFailureMs;
        } else {
            complete(entry.first, FALSE, ERROR_ACCESS_DENIED, 0);
        }
    }
}

void WindowsDriverModel::closeLine() {
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
    }
    SetEvent(wake.get());
    if (pumpThread.joinable()) pumpThread.join();
    line.reset();
}

// The pump keeps one real read pending while nothing it read waits for room in the
// input buffer, and moves what it read into the buffer as room appears. Under Wine the
// real read has the {MAXDWORD, 0, 0} time-outs: it completes at the first bytes.
void WindowsDriverModel::pump() {
    unsigned char chunk[4096];
    UniqueHandle readDone(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED readOp{};
    readOp.hEvent = readDone.get();
    bool reading = false;
    // Times to the microsecond what must not wait for the next millisecond: a write the
    // UART has sent, a packet the adapter's timer lets go.
    UniqueHandle timer(CreateWaitableTimerExW(nullptr, nullptr, 0x2, SYNCHRONIZE | TIMER_MODIFY_STATE));
    if (!timer) timer.reset(CreateWaitableTimerA(nullptr, FALSE, nullptr));

    std::unique_lock<std::mutex> guard(lock);
    while (!stopping) {
        ULONGLONG dueUs = releasePackets();
        DWORD limit = INFINITE;
        admit();
        if (!vanished && !reading && wire.empty()) {
            DWORD got = 0;
            if (ReadFile(line.get(), chunk, sizeof chunk, &got, &readOp)) {
                gather(chunk, got);
                limit = got == 0 ? 5 : 0;  // nothing there after all: look again shortly
            } else if (GetLastError() == ERROR_IO_PENDING) {
                reading = true;
            } else {
                vanish();
            }
        }
        const ULONGLONG now = GetTickCount64(), nowUs = microseconds();
        for (auto& entry : operations) {
            Operation& op = entry.second;
            if (op.kind == Kind::Write && op.sentAtUs != 0 && !op.done && !op.failsLate) {
                if (op.sentAtUs > nowUs) {
                    dueUs = dueUs == 0 ? op.sentAtUs : std::min(dueUs, op.sentAtUs);
                } else {
                    complete(entry.first, TRUE, 0, op.transferred);
                    raise(EV_TXEMPTY);
                }
                continue;
            }
            if ((op.kind != Kind::Read && !op.failsLate) || op.done) continue;
            if (op.deadline > now) {
                limit = std::min<DWORD>(limit, static_cast<DWORD>(op.deadline - now));
            } else if (op.failsLate) {
                if (op.kind == Kind::Wait) *op.eventMask = 0;
                complete(entry.first, FALSE, lateError(), 0);
            } else {
                complete(entry.first, TRUE, 0, 0);  // no byte within the constant: a read of nothing
            }
        }

        if (dueUs != 0) {
            LARGE_INTEGER due;  // relative, in 100 ns units
            due.QuadPart = -static_cast<LONGLONG>(dueUs > nowUs ? (dueUs - nowUs) * 10 : 1);
            SetWaitableTimer(timer.get(), &due, 0, nullptr, nullptr, FALSE);  // result ignored: a timer of ours
        }
        guard.unlock();
        const HANDLE handles[3] = {wake.get(), readDone.get(), timer.get()};
        WaitForMultipleObjects(dueUs != 0 ? 3 : 2, handles, FALSE, limit);  // result ignored: every source is looked at below
        guard.lock();

        if (reading && WaitForSingleObject(readDone.get(), 0) == WAIT_OBJECT_0) {
            DWORD count = 0;
            reading = false;
            if (GetOverlappedResult(line.get(), &readOp, &count, FALSE))
                gather(chunk, count);
            else
                vanish();  // Wine: ERROR_BROKEN_PIPE once the simulator has closed its side
            ResetEvent(readDone.get());
        }
    }
    // The pump's real read is settled before its storage goes.
    if (reading) {
        CancelIo(line.get());  // result ignored: a read not cancelled completes by itself
        DWORD ignored = 0;
        GetOverlappedResult(line.get(), &readOp, &ignored, TRUE);
    }
}

// The table's functions, reached through `active`.
struct WindowsDriverModel::Calls {
    // Runs `body` under the model's lock; the last error is set after the lock is
    // released, since unlocking may itself change it.
    template <typename Body>
    static BOOL locked(Body body) {
        WindowsDriverModel& m = *active;
        DWORD error = 0;
        BOOL result;
        {
            std::lock_guard<std::mutex> guard(m.lock);
            result = body(m, error);
        }
        SetLastError(error);
        return result;
    }

    static HANDLE WINAPI createFile(LPCSTR path, DWORD accessMode, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                                    DWORD creation, DWORD attributes, HANDLE templateFile) {
        WindowsDriverModel& m = *active;
        m.closeLine();  // a reopen: the earlier session's pump ends first
        HANDLE real = CreateFileA(path, accessMode, shareMode, security, creation,
                                  attributes | FILE_FLAG_OVERLAPPED, templateFile);
        if (real == INVALID_HANDLE_VALUE) return real;  // the last error is CreateFileA's
        COMMTIMEOUTS wine = {MAXDWORD, 0, 0, 0, 0};
        SetCommTimeouts(real, &wine);  // result ignored: a line that refuses it fails the pump's first read
        std::lock_guard<std::mutex> guard(m.lock);
        for (const auto& entry : m.operations) m.abandoned += entry.second.done ? 0 : 1;
        m.operations.clear();
        m.input.clear();
        m.wire.clear();
        m.inputSize = m.ownBuffer != 0 ? m.ownBuffer : 4096;
        m.adapter.clear();
        m.afterVanish.clear();
        m.lastPacketUs = m.lineFreeUs = 0;
        m.mask = m.history = 0;
        m.timeouts = COMMTIMEOUTS{};
        m.vanished = m.stopping = false;
        m.line.reset(real);
        m.standIn = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        m.pumpThread = std::thread(&WindowsDriverModel::pump, &m);
        return m.standIn;
    }

    // SetupComm page: the sizes are a recommendation to the driver.
    static BOOL WINAPI setupComm(HANDLE device, DWORD inQueue, DWORD) {
        return locked([&](WindowsDriverModel& m, DWORD& error) {
            if (m.refuses(device, error)) return FALSE;
            m.inputSize = m.ownBuffer != 0 ? m.ownBuffer : inQueue;
            SetEvent(m.wake.get());
            return TRUE;
        });
    }

    static BOOL WINAPI setCommState(HANDLE device, LPDCB settings) {
        return locked([&](WindowsDriverModel& m, DWORD& error) {
            if (m.refuses(device, error)) return FALSE;
            if (settings->BaudRate != 0) m.baud = settings->BaudRate;
            m.bitsPerByte = 1 + settings->ByteSize + (settings->Parity != NOPARITY ? 1 : 0) +
                            (settings->StopBits == ONESTOPBIT ? 1 : 2);
            if (SetCommState(m.line.get(), settings)) return TRUE;  // the real line takes the settings too
            error = GetLastError();
            return FALSE;
        });
    }

    static BOOL WINAPI setCommTimeouts(HANDLE device, LPCOMMTIMEOUTS values) {
        return locked([&](WindowsDriverModel& m, DWORD& error) {
            if (m.refuses(device, error)) return FALSE;
            m.timeouts = *values;
            return TRUE;
        });
    }

    // SetCommMask and WaitCommEvent pages: a pending wait ends with an empty mask.
    static BOOL WINAPI setCommMask(HANDLE device, DWORD events) {
        return locked([&](WindowsDriverModel& m, DWORD& error) {
            if (m.refuses(device, error)) return FALSE;
            m.mask = events;
            for (auto& entry : m.operations) {  // a pending wait ends at once, with no events
                Operation& op = entry.second;
                if (op.kind != Kind::Wait || op.done) continue;
                *op.eventMask = 0;
                m.complete(entry.first, TRUE, 0, 0);
            }
            return TRUE;
        });
    }

    // PurgeComm page.
    static BOOL WINAPI purgeComm(HANDLE device, DWORD purgeFlags) {
        return locked([&](WindowsDriverModel& m, DWORD& error) {
            if (m.refuses(device, error)) return FALSE;
            if (purgeFlags & PURGE_RXCLEAR) {
                m.input.clear();
                SetEvent(m.wake.get());
            }
            for (auto& entry : m.operations) {
                Operation& op = entry.second;
                if (op.kind == Kind::Read && !op.done && (purgeFlags & PURGE_RXABORT))
                    m.complete(entry.first, FALSE, ERROR_OPERATION_ABORTED, 0);
            }
            return TRUE;
        });
    }

    // WaitCommEvent page and IOCTL_SERIAL_WAIT_ON_MASK page: events since the last wait
    // completed end a wait at once; one wait at a time; an empty mask is refused.
    static BOOL WINAPI waitCommEvent(HANDLE device, LPDWORD events, LPOVERLAPPED operation) {
        return locked([&](WindowsDriverModel& m, DWORD& error) {
            *events = 0;
            m.noteAfterVanish("WaitCommEvent");
            if (m.pendsToFail(device, operation, Kind::Wait, error)) {
                m.operations.at(operation).eventMask = events;
                return FALSE;
            }
            if (m.refuses(device, error)) return FALSE;
            bool waiting = false;
            for (const auto& entry : m.operations) waiting |= entry.second.kind == Kind::Wait && !entry.second.done;
            if (m.mask == 0 || waiting) {
                error = ERROR_INVALID_PARAMETER;
                return FALSE;
            }
            if (m.history != 0) {
                *events = m.history;
                m.history = 0;
                SetEvent(operation->hEvent);
                return TRUE;
            }
            m.begin(operation, Kind::Wait).eventMask = events;
            error = ERROR_IO_PENDING;
            return FALSE;
        });
    }

    // ReadFile page with the COMMTIMEOUTS page's two MAXDWORD combinations.
    static BOOL WINAPI readFile(HANDLE device, LPVOID buffer, DWORD size, LPDWORD received, LPOVERLAPPED operation) {
        return locked([&](WindowsDriverModel& m, DWORD& error) {
            if (received) *received = 0;
            m.noteAfterVanish("ReadFile");
            if (m.pendsToFail(device, operation, Kind::Read, error)) return FALSE;
            if (m.refuses(device, error)) return FALSE;
            const COMMTIMEOUTS& t = m.timeouts;
            const bool atOnce = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                                t.ReadTotalTimeoutConstant == 0;
            const bool firstByte = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
                                   t.ReadTotalTimeoutConstant > 0 && t.ReadTotalTimeoutConstant < MAXDWORD;
            if (!atOnce && !firstByte) {
                error = ERROR_NOT_SUPPORTED;
                return FALSE;
            }
            if (!m.input.empty() || atOnce) {
                const DWORD n = m.take(static_cast<unsigned char*>(buffer), size);
                if (received) *received = n;
                SetEvent(operation->hEvent);
                return TRUE;
            }
            Operation& op = m.begin(operation, Kind::Read);
            op.buffer = static_cast<unsigned char*>(buffer);
            op.size = size;
            op.deadline = GetTickCount64() + t.ReadTotalTimeoutConstant;
            SetEvent(m.wake.get());  // the pump keeps the time
            error = ERROR_IO_PENDING;
            return FALSE;
        });
    }

    // WriteFile page. The write goes to the real line in the caller's thread (a
    // pseudo-terminal takes it at once), outside the model's lock; the port sees it
    // pending, then completed, and the driver raises EV_TXEMPTY.
    static BOOL WINAPI writeFile(HANDLE device, LPCVOID bytes, DWORD size, LPDWORD written, LPOVERLAPPED operation) {
        if (written) *written = 0;
        bool pendsHere = false;
        const BOOL accepted = locked([&](WindowsDriverModel& m, DWORD& error) {
            pendsHere = m.pendsToFail(device, operation, Kind::Write, error);
            if (pendsHere || m.refuses(device, error)) return FALSE;
            m.begin(operation, Kind::Write).size = size;
            const std::string text(static_cast<const char*>(bytes), size);
            if (!m.holdBytes.empty() && text == m.holdBytes) {
                m.holdBytes.clear();
                m.heldBytes = text;
                m.heldOperation = operation;
                pendsHere = true;
            }
            return TRUE;
        });
        if (pendsHere) {
            SetLastError(ERROR_IO_PENDING);
            return FALSE;
        }
        if (!accepted) return FALSE;
        return send(operation, bytes, size);
    }

    // The write on the real line and its completion, as the driver would report them.
    static BOOL send(LPOVERLAPPED operation, LPCVOID bytes, DWORD size) {
        WindowsDriverModel& m = *active;
        std::lock_guard<std::mutex> oneAtATime(m.writing);
        UniqueHandle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        OVERLAPPED real{};
        real.hEvent = done.get();
        DWORD put = 0;
        const bool sent = WriteFile(m.line.get(), bytes, size, &put, &real) ||
                          (GetLastError() == ERROR_IO_PENDING && GetOverlappedResult(m.line.get(), &real, &put, TRUE));
        return locked([&](WindowsDriverModel& model, DWORD& error) {
            auto found = model.operations.find(operation);
            const bool live = found != model.operations.end() && !found->second.done;  // not cancelled meanwhile
            if (live && sent && model.lineSpeed) {
                // The UART sends the bytes after those it holds; the pump completes the write.
                const ULONGLONG start = std::max(microseconds(), model.lineFreeUs);
                model.lineFreeUs = start + static_cast<ULONGLONG>(put) * model.bitsPerByte * 1000000ULL / model.baud;
                found->second.sentAtUs = model.lineFreeUs;
                found->second.transferred = put;
                SetEvent(model.wake.get());
            } else if (live && sent) {
                model.complete(operation, TRUE, 0, put);
                model.raise(EV_TXEMPTY);
            } else if (live) {
                // Wine: ERROR_NOT_READY once the simulator has closed its side.
                model.complete(operation, FALSE, ERROR_ACCESS_DENIED, 0);
                model.vanish();
            }
            error = ERROR_IO_PENDING;
            return FALSE;
        });
    }

    static void releaseHeld(WindowsDriverModel& m) {
        LPOVERLAPPED operation = nullptr;
        std::string bytes;
        {
            std::lock_guard<std::mutex> guard(m.lock);
            auto found = m.operations.find(m.heldOperation);
            if (found != m.operations.end() && !found->second.done) operation = m.heldOperation;
            m.heldOperation = nullptr;
            bytes.swap(m.heldBytes);
        }
        // Given up (cancelled) meanwhile: a cancelled write was never sent.
        if (operation != nullptr) send(operation, bytes.data(), static_cast<DWORD>(bytes.size()));
    }

    // GetOverlappedResult page.
    static BOOL WINAPI getOverlappedResult(HANDLE, LPOVERLAPPED operation, LPDWORD transferred, BOOL wait) {
        const auto pending = [&](WindowsDriverModel& m, DWORD&) {
            auto found = m.operations.find(operation);
            return found != m.operations.end() && !found->second.done ? TRUE : FALSE;
        };
        // Bounded, so a test whose operation never completes fails instead of hanging.
        if (wait && locked(pending)) WaitForSingleObject(operation->hEvent, 20000);
        return locked([&](WindowsDriverModel& m, DWORD& error) {
            auto found = m.operations.find(operation);
            if (found == m.operations.end()) {
                error = ERROR_INVALID_PARAMETER;
                return FALSE;
            }
            if (!found->second.done) {
                error = ERROR_IO_INCOMPLETE;
                return FALSE;
            }
            if (transferred) *transferred = found->second.transferred;
            error = found->second.error;
            const BOOL succeeded = found->second.succeeded;
            m.operations.erase(found);
            return succeeded;
        });
    }

    // ClearCommError and COMSTAT pages.
    static BOOL WINAPI clearCommError(HANDLE device, LPDWORD errors, LPCOMSTAT status) {
        return locked([&](WindowsDriverModel& m, DWORD& error) {
            if (errors) *errors = 0;  // a pseudo-terminal brings no framing, parity or overrun errors
            if (status) std::memset(status, 0, sizeof *status);
            if (m.refuses(device, error)) return FALSE;
            if (status) {
                status->cbInQue = static_cast<DWORD>(m.input.size());
                for (const auto& entry : m.operations)
                    if (entry.second.kind == Kind::Write && !entry.second.done) status->cbOutQue += entry.second.size;
            }
            return TRUE;
        });
    }

    // CancelIo page: only the calling thread's operations.
    static BOOL WINAPI cancelIo(HANDLE device) {
        return locked([&](WindowsDriverModel& m, DWORD& error) {
            if (device != m.standIn) {
                error = ERROR_INVALID_HANDLE;
                return FALSE;
            }
            for (auto& entry : m.operations) {
                Operation& op = entry.second;
                if (op.done || op.thread != GetCurrentThreadId()) continue;
                if (op.kind == Kind::Wait) {
                    *op.eventMask = 0;
                    ++m.cancelledWaits;
                }
                m.complete(entry.first, FALSE, ERROR_OPERATION_ABORTED, 0);
            }
            return TRUE;
        });
    }

    static bool underWine() { return false; }

    static bool rest(RestTimer& timer, HANDLE stop, DWORD milliseconds) {
        WindowsDriverModel& m = *active;
        bool ticks;
        {
            std::lock_guard<std::mutex> guard(m.lock);
            m.noteAfterVanish("Rest " + std::to_string(milliseconds));
            ticks = m.tickClock;
        }
        if (!ticks) return timer.rest(stop, milliseconds);
        // The first tick of the 15.625 ms clock at or after the rest's end.
        const ULONGLONG tickUs = 15625;
        const ULONGLONG due = (microseconds() + milliseconds * 1000ULL + tickUs - 1) / tickUs * tickUs;
        for (;;) {
            const ULONGLONG now = microseconds();
            if (now >= due) return true;
            if (!timer.rest(stop, static_cast<DWORD>((due - now + 999) / 1000))) return false;
        }
    }
};

void WindowsDriverModel::releaseHeldWrite() { Calls::releaseHeld(*this); }

WindowsDriverModel::WindowsDriverModel() : wake(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
    table = SerialDeviceApi{&Calls::createFile,  &Calls::setupComm,    &Calls::setCommState,
                            &Calls::setCommTimeouts, &Calls::setCommMask, &Calls::purgeComm,
                            &Calls::waitCommEvent, &Calls::readFile,    &Calls::writeFile,
                            &Calls::getOverlappedResult, &Calls::clearCommError, &Calls::cancelIo,
                            &Calls::underWine, &Calls::rest};
    active = this;
}

}  // namespace serialtest
