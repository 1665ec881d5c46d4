// The port against a scripted device: the cases a pseudo-terminal cannot produce
// (line errors, breaks, failing or never-completing calls, refused settings) and the
// exact calls the port makes to open a device.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "serial/SerialPort.h"
#include "tests/serial/SerialTestKit.h"

using namespace serialtest;

namespace {

constexpr DWORD Generous = 20000;

std::vector<std::pair<uint32_t, int32_t>> typesAndValues(const std::vector<Report>& reports) {
    std::vector<std::pair<uint32_t, int32_t>> out;
    for (const Report& r : reports) out.emplace_back(r.type, r.value);
    return out;
}

// Calls `action` on another thread; a hang would otherwise stall the whole program.
void mustReturnWithin(DWORD limitMs, const char* what, const std::function<void()>& action) {
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, done);
    std::thread runner([&] {
        action();
        SetEvent(done);
    });
    if (WaitForSingleObject(done, limitMs) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "FATAL: %s did not return within %lu ms\n", what, static_cast<unsigned long>(limitMs));
        std::fflush(stderr);
        std::_Exit(3);
    }
    runner.join();
    CloseHandle(done);
}

Reply lineEvent(DWORD eventMask, DWORD lineErrors = 0) {
    Reply r;
    r.answer = Answer::AtOnce;
    r.eventMask = eventMask;
    r.lineErrors = lineErrors;
    return r;
}

Reply reply(Answer answer, const std::string& bytes = std::string(), DWORD lineErrors = 0) {
    Reply r;
    r.answer = answer;
    r.bytes = bytes;
    r.lineErrors = lineErrors;
    if (answer == Answer::CompletesFailed) r.error = ERROR_OPERATION_ABORTED;
    return r;
}

class ScriptedPort : public testing::Test {
protected:
    void SetUp() override {
        EventRecorder::clear();
        port.setDeviceApi(device.api());
    }

    void openAndWaitForThread() {
        ASSERT_EQ(0, port.open(2));
        ASSERT_TRUE(EventRecorder::waitForCount(PortOpened, 1, Generous));
    }

    // The event thread has taken its n-th WaitCommEvent: everything before it is handled.
    void waitForWaitCall(size_t n) {
        ASSERT_TRUE(waitUntil([&] { return device.count("WaitCommEvent") >= n; }, Generous))
            << "only " << device.count("WaitCommEvent") << " waits";
    }

    void closeAndCheckSettled() {
        mustReturnWithin(Generous, "close", [&] { port.close(); });
        EXPECT_FALSE(port.isOpen());
        EXPECT_TRUE(device.unsettledOperations().empty())
            << "an operation was left to the driver after its storage was released";
    }

    DWORD eventThread() {
        const std::vector<Report> opened = EventRecorder::reportsOf(PortOpened);
        return opened.empty() ? 0 : opened.back().thread;
    }

    RecordingDevice device{true};
    SerialPort port{&EventRecorder::sink};  // destroyed before the device it calls
};

TEST_F(ScriptedPort, EachLineErrorAndEveryBreakIsReportedWithItsMask) {
    const DWORD masks[] = {CE_RXOVER, CE_OVERRUN, CE_RXPARITY, CE_FRAME, CE_BREAK,
                           CE_RXPARITY | CE_FRAME, 0x1F};
    for (DWORD mask : masks) device.queueWait(lineEvent(EV_ERR, mask));
    device.queueWait(lineEvent(EV_BREAK, 0));            // a break with no error flags still reports
    device.queueWait(lineEvent(EV_ERR, 0));              // EV_ERR without flags: nothing to report
    device.queueWait(lineEvent(EV_TXEMPTY, 0));          // nothing to report
    device.queueWait(lineEvent(0x0100 | EV_BREAK, 0));   // bits above the low byte do not hide a break
    device.queueWait(lineEvent(0x4100, 0));              // only high bits: nothing, and no read
    openAndWaitForThread();
    waitForWaitCall(13);  // the twelve scripted events, then one that hangs

    std::vector<std::pair<uint32_t, int32_t>> expected = {{PortOpened, 0}};
    for (DWORD mask : masks) expected.emplace_back(LineError, static_cast<int32_t>(mask));
    expected.emplace_back(LineError, 0);
    expected.emplace_back(LineError, 0);
    EXPECT_EQ(expected, typesAndValues(EventRecorder::reports()));
    for (const Report& r : EventRecorder::reportsOf(LineError)) EXPECT_EQ(eventThread(), r.thread);
    EXPECT_EQ(0u, device.count("ReadFile"));

    closeAndCheckSettled();
    // The hanging wait was cancelled and waited for by the thread that issued it.
    const std::vector<Call> waits = device.callsNamed("WaitCommEvent");
    bool settledByIssuer = false;
    for (const Call& c : device.callsNamed("GetOverlappedResult"))
        settledByIssuer |= c.operation == waits.back().operation && c.argument == TRUE && c.thread == waits.back().thread;
    EXPECT_TRUE(settledByIssuer);
    EXPECT_EQ(PortClosing, EventRecorder::reports().back().type);
}

TEST_F(ScriptedPort, ReceivedBatchesGoIntoTheQueueAndAreCountedOncePerRead) {
    std::string big(512, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    device.queueWait(lineEvent(EV_RXCHAR));
    device.queueRead(reply(Answer::AtOnce, "hello"));
    device.queueWait(lineEvent(EV_RXCHAR));
    device.queueRead(reply(Answer::AtOnce, ""));       // an empty read reports nothing
    device.queueWait(lineEvent(EV_RXCHAR | EV_ERR, CE_FRAME));
    device.queueRead(reply(Answer::Completes, "world!"));
    device.queueWait(lineEvent(EV_RXCHAR | EV_TXEMPTY));
    device.queueRead(reply(Answer::AtOnce, big));
    device.queueRead(reply(Answer::AtOnce, ""));
    openAndWaitForThread();
    waitForWaitCall(5);

    const std::vector<std::pair<uint32_t, int32_t>> expected = {
        {PortOpened, 0}, {BytesReceived, 5}, {LineError, CE_FRAME}, {BytesReceived, 6}, {BytesReceived, 512}};
    EXPECT_EQ(expected, typesAndValues(EventRecorder::reports()));

    // Wait and read alternate, except that a read that filled its 512 bytes is followed
    // by another read: the driver may hold more than one read takes, and the event that
    // announced them has been consumed. Every read asks for at most 512 bytes. Only the
    // event with EV_TXEMPTY is followed by a rest (T), of TransmitRestMs.
    std::string order;
    for (const Call& c : device.calls()) {
        if (c.name == "WaitCommEvent") order += 'W';
        if (c.name == "Rest") order += c.argument == SerialPort::TransmitRestMs ? 'T' : 'P';
        if (c.name == "ReadFile") {
            order += 'R';
            EXPECT_EQ(512u, c.argument);
        }
    }
    EXPECT_EQ("WRWRWRWTRRW", order);

    std::string queued;
    unsigned char byte = 0;
    while (port.getReceiveQueue().pop(byte)) queued.push_back(static_cast<char>(byte));
    EXPECT_EQ("hello" "world!" + big, queued);
    closeAndCheckSettled();
}

TEST_F(ScriptedPort, FailedReadsReportLineErrorsAndFailedCompletionsATransferFailure) {
    for (int i = 0; i < 3; ++i) device.queueWait(lineEvent(EV_RXCHAR));
    device.queueRead(reply(Answer::FailAtOnce, "", CE_OVERRUN));
    device.queueRead(reply(Answer::CompletesFailed, "", 0));
    device.queueRead(reply(Answer::FailAtOnce, "", 0));
    openAndWaitForThread();
    waitForWaitCall(4);

    const std::vector<std::pair<uint32_t, int32_t>> expected = {
        {PortOpened, 0}, {LineError, CE_OVERRUN}, {LineError, 0}, {IoFailure, 1}, {LineError, 0}};
    EXPECT_EQ(expected, typesAndValues(EventRecorder::reports()));
    closeAndCheckSettled();
}

TEST_F(ScriptedPort, ReadThatNeverCompletesFailsAfterItsWaitLimitAndIsCancelledFirst) {
    device.queueWait(lineEvent(EV_RXCHAR));
    device.queueRead(reply(Answer::Hangs));
    openAndWaitForThread();
    // The limit is 10 s; allow plenty more before calling it lost.
    ASSERT_TRUE(EventRecorder::waitForCount(IoFailure, 1, SerialPort::PendingWaitLimitMs + Generous));
    waitForWaitCall(2);

    const std::vector<std::pair<uint32_t, int32_t>> expected = {{PortOpened, 0}, {IoFailure, 1}};
    EXPECT_EQ(expected, typesAndValues(EventRecorder::reports()));
    // Before the thread moved on, the read was cancelled and waited for.
    const Call read = device.callsNamed("ReadFile").at(0);
    const Call nextWait = device.callsNamed("WaitCommEvent").at(1);
    bool settledInTime = false;
    for (const Call& c : device.callsNamed("GetOverlappedResult"))
        settledInTime |= c.operation == read.operation && c.argument == TRUE && c.sequence < nextWait.sequence;
    EXPECT_TRUE(settledInTime);
    closeAndCheckSettled();
}

TEST_F(ScriptedPort, WriteOutcomes) {
    openAndWaitForThread();
    const DWORD self = GetCurrentThreadId();
    auto afterOpen = [] {
        std::vector<Report> all = EventRecorder::reports();
        all.erase(all.begin());
        return all;
    };

    device.queueWrite(reply(Answer::AtOnce));
    EXPECT_TRUE(port.write("VERSION\r\n"));
    device.queueWrite(reply(Answer::Completes));
    EXPECT_TRUE(port.write("###"));
    EXPECT_TRUE(afterOpen().empty());
    const std::vector<Call> writes = device.callsNamed("WriteFile");
    ASSERT_EQ(2u, writes.size());
    EXPECT_EQ(9u, writes[0].argument);
    EXPECT_EQ(3u, writes[1].argument);

    device.queueWrite(reply(Answer::FailAtOnce, "", CE_RXPARITY));
    EXPECT_TRUE(port.write("x"));
    device.queueWrite(reply(Answer::CompletesFailed));
    EXPECT_TRUE(port.write("y"));
    std::vector<std::pair<uint32_t, int32_t>> expected = {{LineError, CE_RXPARITY}, {LineError, 0}, {IoFailure, 0}};
    EXPECT_EQ(expected, typesAndValues(afterOpen()));
    for (const Report& r : afterOpen()) EXPECT_EQ(self, r.thread) << "write reports on the writing thread";

    // A write the device never finishes: reported when the wait limit passes, and
    // cancelled before write returns, since the bytes and OVERLAPPED are write's own.
    device.queueWrite(reply(Answer::Hangs));
    bool result = false;
    mustReturnWithin(SerialPort::PendingWaitLimitMs + Generous, "write", [&] { result = port.write("stuck"); });
    EXPECT_TRUE(result);
    expected.emplace_back(IoFailure, 0);
    EXPECT_EQ(expected, typesAndValues(afterOpen()));
    const Call stuck = device.callsNamed("WriteFile").back();
    bool settledByWriter = false;
    for (const Call& c : device.callsNamed("GetOverlappedResult"))
        settledByWriter |= c.operation == stuck.operation && c.argument == TRUE && c.thread == stuck.thread;
    EXPECT_TRUE(settledByWriter) << "the hanging write was left to the driver";
    closeAndCheckSettled();
}

TEST_F(ScriptedPort, EventThreadEndsPromptlyWhileEveryCallFailsAtOnce) {
    struct Variant {
        const char* what;
        Reply wait;
        Reply read;
    };
    Reply failing;
    failing.answer = Answer::FailAtOnce;
    failing.error = ERROR_ACCESS_DENIED;
    const Variant variants[] = {
        {"WaitCommEvent fails", failing, Reply{}},
        {"ReadFile fails", lineEvent(EV_RXCHAR), failing},
        {"WaitCommEvent completes at once with nothing", lineEvent(0), Reply{}},
    };
    for (const Variant& v : variants) {
        SCOPED_TRACE(v.what);
        EventRecorder::clear();
        RecordingDevice local(true);
        local.setWaitDefault(v.wait);
        local.setReadDefault(v.read);
        SerialPort failingPort(&EventRecorder::sink);
        failingPort.setDeviceApi(local.api());
        ASSERT_EQ(0, failingPort.open(2));
        ASSERT_TRUE(waitUntil([&] { return local.count("WaitCommEvent") >= 3; }, Generous));
        mustReturnWithin(Generous, "close", [&] { failingPort.close(); });
        const size_t callsAtClose = local.calls().size();
        Sleep(200);
        EXPECT_EQ(callsAtClose, local.calls().size()) << "the event thread went on after close";
        if (v.wait.answer == Answer::FailAtOnce || v.read.answer == Answer::FailAtOnce) {
            // Every immediate failure is reported, as a line error with the (empty) mask.
            EXPECT_GE(EventRecorder::reportsOf(LineError).size(), 2u);
            for (const Report& r : EventRecorder::reportsOf(LineError)) EXPECT_EQ(0, r.value);
        }
    }
}

TEST_F(ScriptedPort, CallsThatEndAtOnceWithNothingArePacedNotSpun) {
    Reply failing;
    failing.answer = Answer::FailAtOnce;
    // A pulled adapter's driver completing each wait with an error (usbser.sys: 31).
    Reply lateFailure = reply(Answer::CompletesFailed);
    lateFailure.error = ERROR_GEN_FAILURE;
    struct Variant {
        const char* what;
        bool wine;
        Reply wait;
        Reply read;
        const char* call;
    };
    const Variant variants[] = {
        {"WaitCommEvent fails at once", false, failing, Reply{}, "WaitCommEvent"},
        {"WaitCommEvent ends at once with an empty mask", false, lineEvent(0), Reply{}, "WaitCommEvent"},
        {"WaitCommEvent ends at once with an event not asked for", false, lineEvent(EV_RXFLAG), Reply{}, "WaitCommEvent"},
        {"WaitCommEvent completes later with an empty mask", false, reply(Answer::Completes), Reply{}, "WaitCommEvent"},
        {"WaitCommEvent completes later with an error", false, lateFailure, Reply{}, "WaitCommEvent"},
        {"Wine: ReadFile ends at once with no bytes", true, Reply{}, reply(Answer::AtOnce), "ReadFile"},
        {"Wine: ReadFile fails at once", true, Reply{}, failing, "ReadFile"},
    };
    for (const Variant& v : variants) {
        SCOPED_TRACE(v.what);
        EventRecorder::clear();
        RecordingDevice local(true);
        local.standForWine(v.wine);
        local.setWaitDefault(v.wait);
        local.setReadDefault(v.read);
        SerialPort paced(&EventRecorder::sink);
        paced.setDeviceApi(local.api());
        ASSERT_EQ(0, paced.open(2));
        ASSERT_TRUE(waitUntil([&] { return local.count(v.call) >= 2; }, Generous));
        const size_t before = local.count(v.call);
        Sleep(1000);
        const size_t during = local.count(v.call) - before;
        // A thread that spins makes hundreds of thousands of calls a second; a paced one
        // a few dozen at most.
        EXPECT_LE(during, 50u);
        EXPECT_GE(during, 1u) << "the thread stopped calling";
        mustReturnWithin(Generous, "close", [&] { paced.close(); });
        if (v.wait.answer == Answer::CompletesFailed) {
            // A failed completion is reported as a line error, with the flags of that
            // moment (none here), as a call that failed at once is.
            EXPECT_GE(EventRecorder::reportsOf(LineError).size(), 2u);
            for (const Report& r : EventRecorder::reportsOf(LineError)) EXPECT_EQ(0, r.value);
        }
    }
}

TEST_F(ScriptedPort, UnderWineOneReadIsKeptPendingAndWhatItReturnsIsDelivered) {
    device.standForWine(true);
    std::string full(2 * SerialPort::ReadChunk, '\0');
    for (size_t i = 0; i < full.size(); ++i) full[i] = static_cast<char>(i * 11 + 3);
    device.queueRead(reply(Answer::AtOnce, full.substr(0, SerialPort::ReadChunk)));
    device.queueRead(reply(Answer::AtOnce, full.substr(SerialPort::ReadChunk)));
    device.queueRead(reply(Answer::AtOnce, "hello"));
    device.queueRead(reply(Answer::Completes, "world!"));
    device.queueRead(reply(Answer::FailAtOnce, "", CE_OVERRUN));
    device.queueRead(reply(Answer::CompletesFailed));
    openAndWaitForThread();
    // The six scripted reads, then one that stays pending like an idle line.
    ASSERT_TRUE(waitUntil([&] { return device.count("ReadFile") >= 7; }, Generous));
    Sleep(100);

    const std::vector<std::pair<uint32_t, int32_t>> expected = {
        {PortOpened, 0}, {BytesReceived, 512}, {BytesReceived, 512}, {BytesReceived, 5}, {BytesReceived, 6},
        {LineError, CE_OVERRUN}, {LineError, 0}, {IoFailure, 1}};
    EXPECT_EQ(expected, typesAndValues(EventRecorder::reports()));
    for (const Report& r : EventRecorder::reports()) EXPECT_EQ(eventThread(), r.thread);
    EXPECT_EQ(0u, device.count("WaitCommEvent")) << "under Wine the thread waits for no line event";
    EXPECT_EQ(7u, device.count("ReadFile"));
    for (const Call& c : device.callsNamed("ReadFile")) EXPECT_EQ(512u, c.argument);
    // Only a failed read is followed by the pause: a backlog drains read after read, as
    // fast as the driver hands it over (a pause after each full read would let it drain
    // at 10 KB/s, slower than the line fills it).
    std::string order;
    for (const Call& c : device.calls()) {
        if (c.name == "ReadFile") order += 'R';
        if (c.name == "Rest") {
            order += 'P';
            EXPECT_EQ(SerialPort::ImmediateFailurePauseMs, c.argument);
        }
    }
    EXPECT_EQ("RRRRRPRPR", order);
    const COMMTIMEOUTS want = SerialPort::readTimeoutsFor(true), got = device.lastTimeouts();
    EXPECT_EQ(0, std::memcmp(&want, &got, sizeof want));

    std::string queued;
    unsigned char byte = 0;
    while (port.getReceiveQueue().pop(byte)) queued.push_back(static_cast<char>(byte));
    EXPECT_EQ(full + "helloworld!", queued);

    // Close cancels the pending read and waits for it on the thread that issued it.
    closeAndCheckSettled();
    const Call pending = device.callsNamed("ReadFile").back();
    bool settledByIssuer = false;
    for (const Call& c : device.callsNamed("GetOverlappedResult"))
        settledByIssuer |= c.operation == pending.operation && c.argument == TRUE && c.thread == pending.thread;
    EXPECT_TRUE(settledByIssuer);
    EXPECT_EQ(PortClosing, EventRecorder::reports().back().type);
}

TEST_F(ScriptedPort, OpenSetsTheFixedLineSettingsInOrder) {
    openAndWaitForThread();
    EXPECT_EQ("\\\\.\\COM2", device.openedName());
    EXPECT_EQ(static_cast<DWORD>(GENERIC_READ | GENERIC_WRITE), device.openedAccess());
    EXPECT_EQ(0u, device.openedShare());
    EXPECT_EQ(static_cast<DWORD>(OPEN_EXISTING), device.openedDisposition());
    EXPECT_EQ(static_cast<DWORD>(FILE_FLAG_OVERLAPPED), device.openedFlags());
    EXPECT_EQ(512u, device.inputQueueSize());
    EXPECT_EQ(512u, device.outputQueueSize());

    DCB expected;
    std::memset(&expected, 0, sizeof expected);
    expected.DCBlength = 28;
    expected.BaudRate = 115200;
    expected.fBinary = 1;
    expected.fAbortOnError = 1;
    expected.XonLim = 100;
    expected.XoffLim = 100;
    expected.ByteSize = 8;
    expected.Parity = 0;
    expected.StopBits = 0;
    expected.XonChar = 0x11;
    expected.XoffChar = 0x13;
    const DCB sent = device.lastState();
    EXPECT_EQ(28u, sent.DCBlength);
    EXPECT_EQ(115200u, sent.BaudRate);
    EXPECT_EQ(8, sent.ByteSize);
    EXPECT_EQ(0, sent.Parity);
    EXPECT_EQ(0, sent.StopBits);
    EXPECT_EQ(0u, sent.fDtrControl);
    EXPECT_EQ(0u, sent.fRtsControl);
    EXPECT_EQ(0u, sent.fOutxCtsFlow);
    EXPECT_EQ(0u, sent.fOutX);
    EXPECT_EQ(0u, sent.fInX);
    EXPECT_EQ(0, std::memcmp(&expected, &sent, sizeof expected)) << "some other DCB field or flag bit is set";

    // The scripted device stands for a Windows driver.
    const COMMTIMEOUTS want = SerialPort::readTimeoutsFor(false);
    const COMMTIMEOUTS got = device.lastTimeouts();
    EXPECT_EQ(0, std::memcmp(&want, &got, sizeof want));

    // Device settings in the order mask, time-outs, state; the event thread then sets
    // its mask and purges the receive side before it reports PortOpened.
    std::vector<std::string> names;
    std::vector<DWORD> arguments;
    for (const Call& c : device.calls()) {
        names.push_back(c.name);
        arguments.push_back(c.argument);
    }
    const std::vector<std::string> expectedNames = {"CreateFileA", "SetupComm", "SetCommMask", "SetCommTimeouts",
                                                    "SetCommState", "SetCommMask", "PurgeComm"};
    ASSERT_GE(names.size(), expectedNames.size());
    EXPECT_EQ(expectedNames, std::vector<std::string>(names.begin(), names.begin() + 7));
    EXPECT_EQ(0u, arguments[2]);
    EXPECT_EQ(0xC5u, arguments[5]);
    EXPECT_EQ(0x0Au, arguments[6]);
    const std::vector<Call> all = device.calls();
    const Report opened = EventRecorder::reportsOf(PortOpened).at(0);
    EXPECT_EQ(all[5].thread, opened.thread);
    EXPECT_EQ(all[6].thread, opened.thread);
    EXPECT_NE(GetCurrentThreadId(), opened.thread);
    EXPECT_LT(all[6].sequence, opened.sequence);
    closeAndCheckSettled();
}

TEST_F(ScriptedPort, DeviceNamesCoverPortsZeroTo256AndNothingAbove) {
    for (uint32_t n : {0u, 10u, 12u, 256u}) {
        ASSERT_EQ(0, port.open(n));
        EXPECT_EQ("\\\\.\\COM" + std::to_string(n), device.openedName());
        EXPECT_EQ(n, port.getPortNumber());
    }
    port.close();
    const size_t opens = device.count("CreateFileA");
    for (uint32_t n : {257u, 0x80000000u, 0xFFFFFFFFu}) EXPECT_EQ(PortId, port.open(n)) << n;
    EXPECT_EQ(opens, device.count("CreateFileA")) << "a refused port number touched a device";
    EXPECT_FALSE(port.isOpen());
}

TEST_F(ScriptedPort, EachRefusedSettingGivesItsCodeAndLeavesThePortClosed) {
    struct Case {
        const char* call;
        int code;
        const char* notReached;
    };
    const Case cases[] = {
        {"CreateFileA", DeviceHandle, "SetupComm"},
        {"SetupComm", DeviceHandle, "SetCommMask"},
        {"SetCommMask", EventMask, "SetCommTimeouts"},
        {"SetCommTimeouts", TimeoutSettings, "SetCommState"},
        {"SetCommState", SerialSettings, "PurgeComm"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        EventRecorder::clear();
        RecordingDevice local(true);
        SerialPort refused(&EventRecorder::sink);
        refused.setDeviceApi(local.api());
        local.failNext(c.call);
        EXPECT_EQ(c.code, refused.open(2));
        EXPECT_FALSE(refused.isOpen());
        DWORD info = 0;
        if (local.openedHandle() != INVALID_HANDLE_VALUE) {
            EXPECT_FALSE(GetHandleInformation(local.openedHandle(), &info)) << "the device handle was kept";
        }
        EXPECT_EQ(0u, local.count(c.notReached));
        Sleep(50);
        EXPECT_TRUE(EventRecorder::reports().empty()) << "no event thread may run after a failed open";
        // Closing after a failed open reports nothing: there is no device left.
        refused.close();
        EXPECT_TRUE(EventRecorder::reports().empty());
        // The failure leaves nothing behind that stops the next open.
        EXPECT_EQ(0, refused.open(2));
        EXPECT_TRUE(EventRecorder::waitForCount(PortOpened, 1, Generous));
        refused.close();
    }
}

TEST_F(ScriptedPort, ReopenClosesTheOldThreadFirstAndOpensFromANewOne) {
    openAndWaitForThread();
    HANDLE first = EventRecorder::lastOpenedThread();
    ASSERT_NE(nullptr, first);
    ASSERT_EQ(0, port.open(2));
    // The first event thread has ended by the time open returns.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(first, 0));
    ASSERT_TRUE(EventRecorder::waitForCount(PortOpened, 2, Generous));
    const std::vector<Report> reports = EventRecorder::reports();
    ASSERT_EQ(3u, reports.size());
    EXPECT_EQ(PortOpened, reports[0].type);
    EXPECT_EQ(PortClosing, reports[1].type);
    EXPECT_EQ(GetCurrentThreadId(), reports[1].thread);
    EXPECT_EQ(PortOpened, reports[2].type);
    EXPECT_NE(GetCurrentThreadId(), reports[2].thread);
    EXPECT_NE(WAIT_OBJECT_0, WaitForSingleObject(EventRecorder::lastOpenedThread(), 0));

    // open(257) on an open port closes it first, then refuses.
    EXPECT_EQ(PortId, port.open(257));
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(PortClosing, EventRecorder::reports().back().type);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(EventRecorder::lastOpenedThread(), 0));

    // Closing a closed port does nothing at all.
    const size_t reportsBefore = EventRecorder::reports().size(), callsBefore = device.calls().size();
    port.close();
    EXPECT_EQ(reportsBefore, EventRecorder::reports().size());
    EXPECT_EQ(callsBefore, device.calls().size());
    EXPECT_TRUE(device.unsettledOperations().empty());
}

TEST_F(ScriptedPort, DestructionEndsTheThreadSilentlyWithoutCancelling) {
    EventRecorder::clear();
    RecordingDevice local(true);
    HANDLE thread = nullptr;
    {
        SerialPort doomed(&EventRecorder::sink);
        doomed.setDeviceApi(local.api());
        ASSERT_EQ(0, doomed.open(2));
        ASSERT_TRUE(EventRecorder::waitForCount(PortOpened, 1, Generous));
        thread = EventRecorder::lastOpenedThread();
        ASSERT_TRUE(waitUntil([&] { return local.count("WaitCommEvent") >= 1; }, Generous));
    }
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 0));
    EXPECT_EQ(1u, EventRecorder::reports().size()) << "destruction reports nothing";
    for (const Call& c : local.callsNamed("CancelIo"))
        EXPECT_NE(GetCurrentThreadId(), c.thread) << "only the event thread cancels its own wait";
    EXPECT_TRUE(local.unsettledOperations().empty());
}

// The rest timer's calls to winmm, in order: +period for each begin, -period for each end.
std::vector<int> periodCalls;
UINT beginPeriodNoted(UINT(WINAPI* found)(UINT), UINT period) {
    periodCalls.push_back(static_cast<int>(period));
    return found(period);
}
UINT endPeriodNoted(UINT(WINAPI* found)(UINT), UINT period) {
    periodCalls.push_back(-static_cast<int>(period));
    return found(period);
}
// Windows before 10 1803: CreateWaitableTimerExW refuses the high-resolution flag.
HANDLE WINAPI refuseHighResolution(LPSECURITY_ATTRIBUTES, LPCWSTR, DWORD, DWORD) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
}

TEST(RestTimer, EitherTimerRestsEndsAtOnceWhenStoppedAndTheFallbackEndsWhatItBegins) {
    for (const bool refused : {false, true}) {
        SCOPED_TRACE(refused ? "high-resolution timer refused" : "high-resolution timer");
        const RestTimerApi api = {refused ? &refuseHighResolution : &::CreateWaitableTimerExW, &beginPeriodNoted,
                                  &endPeriodNoted, ProcessThrottling::systemCall()};
        periodCalls.clear();
        UniqueHandle stop(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        ASSERT_TRUE(stop.valid());
        {
            RestTimer timer(api);
            EXPECT_TRUE(timer.rest(stop.get(), 1));
            // Ten minutes asked for: a stop set before the rest, or during it, ends it.
            const DWORD tenMinutes = 10 * 60 * 1000;
            bool rested = true;
            ASSERT_TRUE(SetEvent(stop.get()));
            mustReturnWithin(Generous, "a rest already stopped",
                             [&] { rested = timer.rest(stop.get(), tenMinutes); });
            EXPECT_FALSE(rested);
            ASSERT_TRUE(ResetEvent(stop.get()));
            std::thread stopper([&] {
                Sleep(100);
                SetEvent(stop.get());
            });
            rested = true;
            mustReturnWithin(Generous, "a rest stopped during it",
                             [&] { rested = timer.rest(stop.get(), tenMinutes); });
            stopper.join();
            EXPECT_FALSE(rested);
            // Only the fallback raises the system timer's resolution, to 1 ms.
            EXPECT_EQ(periodCalls, refused ? std::vector<int>{1} : std::vector<int>{});
        }
        EXPECT_EQ(periodCalls, refused ? (std::vector<int>{1, -1}) : std::vector<int>{})
            << "the raised resolution outlives the timer";
    }
}

TEST(SerialReadTimeouts, WindowsGetsTheSpecifiedValuesAndWineTheModeItImplements) {
    const COMMTIMEOUTS windows = SerialPort::readTimeoutsFor(false);
    EXPECT_EQ(MAXDWORD, windows.ReadIntervalTimeout);
    EXPECT_EQ(MAXDWORD, windows.ReadTotalTimeoutMultiplier);
    EXPECT_EQ(1u, windows.ReadTotalTimeoutConstant);
    EXPECT_EQ(0u, windows.WriteTotalTimeoutMultiplier);
    EXPECT_EQ(0u, windows.WriteTotalTimeoutConstant);

    const COMMTIMEOUTS wine = SerialPort::readTimeoutsFor(true);
    EXPECT_EQ(MAXDWORD, wine.ReadIntervalTimeout);
    EXPECT_EQ(0u, wine.ReadTotalTimeoutMultiplier);
    EXPECT_EQ(0u, wine.ReadTotalTimeoutConstant);
    EXPECT_EQ(0u, wine.WriteTotalTimeoutMultiplier);
    EXPECT_EQ(0u, wine.WriteTotalTimeoutConstant);

    // These tests only ever run under Wine.
    EXPECT_TRUE(SerialPort::runningUnderWine());
}

}  // namespace
