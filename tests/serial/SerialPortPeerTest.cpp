// The port on a real pseudo-terminal (COM2) against the peer simulator: opening,
// closing and reopening, a missing device, bytes both ways across batch and queue
// limits, the peer vanishing, and an idle line (under Wine one read stays pending).
// Winsock's header must come before windows.h.
#include "tests/support/RigClient.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "serial/SerialPort.h"
#include "tests/serial/SerialTestKit.h"
#include <nlohmann/json.hpp>

using namespace serialtest;

namespace {

constexpr uint32_t Com = 2;
constexpr DWORD Generous = 30000;

std::string pattern(size_t n) {
    std::string out(n, '\0');
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<char>(i % 251);
    return out;
}

std::string toHex(const std::string& bytes) {
    static const char digits[] = "0123456789ABCDEF";  // as the simulator writes it
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 15]);
    }
    return out;
}

// Index of the first difference, for messages; npos when equal.
size_t firstDifference(const std::string& a, const std::string& b) {
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return i;
    return a.size() == b.size() ? std::string::npos : n;
}

class PeerPort : public testing::Test {
protected:
    void SetUp() override {
        EventRecorder::clear();
        ASSERT_TRUE(rig.connected()) << rig.lastError();
    }

    int startPeer(const std::string& script, const std::string& options = std::string()) {
        const int id = rig.start(Com, "peer --script \"" + script + "\"" + (options.empty() ? "" : " " + options));
        EXPECT_GE(id, 0) << rig.lastError();
        return id;
    }

    nlohmann::json stopPeer(int id) {
        nlohmann::json summary;
        const std::string text = rig.stop(id);
        summary = nlohmann::json::parse(text, nullptr, false);
        EXPECT_FALSE(summary.is_discarded()) << "bad summary: " << text << rig.lastError();
        return summary;
    }

    void openAndWaitForThread() {
        ASSERT_EQ(0, port.open(Com));
        ASSERT_TRUE(EventRecorder::waitForCount(PortOpened, 1, Generous));
    }

    // Takes bytes from the receive queue until `count` have come or the deadline passes.
    std::string collect(size_t count, DWORD limitMs = Generous) {
        std::string got;
        waitUntil([&] {
            unsigned char byte = 0;
            while (got.size() < count && port.getReceiveQueue().pop(byte)) got.push_back(static_cast<char>(byte));
            return got.size() >= count;
        }, limitMs);
        return got;
    }

    // The peer waits for one byte from the port before it sends, so that nothing it
    // sends can be purged by the event thread's start. The test takes bytes out
    // while they arrive.
    void checkBytesFromPeer(size_t count, const std::string& options) {
        const int peer = startPeer("read:1:30000;pattern:" + std::to_string(count), options);
        ASSERT_EQ(0, port.open(Com));
        ASSERT_TRUE(EventRecorder::waitForCount(PortOpened, 1, Generous));
        ASSERT_TRUE(port.write("!"));
        const std::string got = collect(count);
        const std::string want = pattern(count);
        EXPECT_EQ(want.size(), got.size());
        EXPECT_EQ(std::string::npos, firstDifference(want, got)) << "first difference at " << firstDifference(want, got);
        ASSERT_TRUE(EventRecorder::waitFor([&](const std::vector<Report>&) {
            return EventRecorder::bytesReported() >= static_cast<int64_t>(count); }, Generous));
        EXPECT_EQ(static_cast<int64_t>(count), EventRecorder::bytesReported());
        const std::vector<Report> batches = EventRecorder::reportsOf(BytesReceived);
        EXPECT_GE(batches.size(), (count + 511) / 512);
        for (const Report& r : batches) {
            EXPECT_GE(r.value, 1);
            EXPECT_LE(r.value, 512);
            EXPECT_EQ(eventThread(), r.thread);
        }
        EXPECT_TRUE(EventRecorder::reportsOf(LineError).empty());
        EXPECT_TRUE(EventRecorder::reportsOf(IoFailure).empty());
        port.close();
        stopPeer(peer);
    }

    DWORD eventThread() {
        const std::vector<Report> opened = EventRecorder::reportsOf(PortOpened);
        return opened.empty() ? 0 : opened.back().thread;
    }

    RigClient rig;
    SerialPort port{&EventRecorder::sink};  // closed before the rig connection ends the peers
};

TEST_F(PeerPort, OpenCloseAndReopenReportExactlyTheirEventsInOrder) {
    const int peer = startPeer("sleep:1");
    const DWORD self = GetCurrentThreadId();

    openAndWaitForThread();
    EXPECT_TRUE(port.isOpen());
    EXPECT_EQ(Com, port.getPortNumber());
    HANDLE first = EventRecorder::lastOpenedThread();
    port.close();
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(first, 0)) << "close returned before the event thread ended";
    port.close();  // a closed port: nothing

    ASSERT_EQ(0, port.open(Com));
    ASSERT_TRUE(EventRecorder::waitForCount(PortOpened, 2, Generous));
    HANDLE second = EventRecorder::lastOpenedThread();
    ASSERT_EQ(0, port.open(Com));  // reopen while open
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(second, 0)) << "reopen left the old event thread running";
    ASSERT_TRUE(EventRecorder::waitForCount(PortOpened, 3, Generous));
    port.close();

    const std::vector<Report> reports = EventRecorder::reports();
    const std::vector<uint32_t> expectedTypes = {PortOpened, PortClosing, PortOpened, PortClosing, PortOpened, PortClosing};
    std::vector<uint32_t> types;
    for (const Report& r : reports) {
        types.push_back(r.type);
        EXPECT_EQ(0, r.value);
        if (r.type == PortOpened) {
            EXPECT_NE(self, r.thread) << "PortOpened comes from the event thread";
        } else if (r.type == PortClosing) {
            EXPECT_EQ(self, r.thread) << "PortClosing comes from the closing thread";
        }
    }
    EXPECT_EQ(expectedTypes, types);
    stopPeer(peer);
}

TEST_F(PeerPort, ARefusedSettingReleasesTheRealDevice) {
    const int peer = startPeer("sleep:1");
    RecordingDevice device(false);
    port.setDeviceApi(device.api());
    device.failNext("SetCommState");
    EXPECT_EQ(SerialSettings, port.open(Com));
    EXPECT_FALSE(port.isOpen());
    // Wine does not enforce exclusive opens of a pseudo-terminal, so look at the
    // handle itself: it must be closed.
    DWORD info = 0;
    EXPECT_FALSE(GetHandleInformation(device.openedHandle(), &info)) << "the failed open kept the device handle";
    Sleep(100);
    EXPECT_TRUE(EventRecorder::reports().empty());
    port.setDeviceApi(SerialDeviceApi::win32());
    stopPeer(peer);
}

TEST_F(PeerPort, TheRealDeviceHoldsTheLineSettingsAndReadTimeouts) {
    const int peer = startPeer("sleep:1");
    RecordingDevice device(false);
    port.setDeviceApi(device.api());
    openAndWaitForThread();
    const HANDLE handle = device.openedHandle();
    ASSERT_NE(INVALID_HANDLE_VALUE, handle);

    DCB state;
    ZeroMemory(&state, sizeof state);
    state.DCBlength = sizeof state;
    ASSERT_TRUE(GetCommState(handle, &state)) << GetLastError();
    EXPECT_EQ(115200u, state.BaudRate);
    EXPECT_EQ(8, state.ByteSize);
    EXPECT_EQ(NOPARITY, state.Parity);
    EXPECT_EQ(ONESTOPBIT, state.StopBits);
    EXPECT_EQ(0u, state.fOutxCtsFlow);
    EXPECT_EQ(0u, state.fOutX);
    EXPECT_EQ(0u, state.fInX);

    COMMTIMEOUTS timeouts;
    ASSERT_TRUE(GetCommTimeouts(handle, &timeouts)) << GetLastError();
    EXPECT_EQ(MAXDWORD, timeouts.ReadIntervalTimeout);
    EXPECT_EQ(0u, timeouts.ReadTotalTimeoutMultiplier);
    EXPECT_EQ(0u, timeouts.ReadTotalTimeoutConstant);
    EXPECT_EQ(0u, timeouts.WriteTotalTimeoutMultiplier);
    EXPECT_EQ(0u, timeouts.WriteTotalTimeoutConstant);
    port.close();
    port.setDeviceApi(SerialDeviceApi::win32());
    stopPeer(peer);
}

TEST_F(PeerPort, AMissingDeviceGivesDeviceHandleAndLeavesThePortClosed) {
    ASSERT_TRUE(rig.unlink(Com)) << rig.lastError();
    EXPECT_EQ(DeviceHandle, port.open(Com));
    EXPECT_FALSE(port.isOpen());
    port.close();
    EXPECT_TRUE(EventRecorder::reports().empty());

    // The same port object opens the device once it is there.
    const int peer = startPeer("sleep:1");
    openAndWaitForThread();
    port.close();
    stopPeer(peer);
}

TEST_F(PeerPort, PortNumberAbove256ClosesAnOpenPortAndTouchesNoDevice) {
    const int peer = startPeer("sleep:1");
    RecordingDevice device(false);
    port.setDeviceApi(device.api());
    openAndWaitForThread();
    HANDLE thread = EventRecorder::lastOpenedThread();
    EXPECT_EQ(PortId, port.open(257));
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, 0));
    EXPECT_EQ(1u, device.count("CreateFileA"));
    ASSERT_EQ(2u, EventRecorder::reports().size());
    EXPECT_EQ(PortClosing, EventRecorder::reports()[1].type);
    port.setDeviceApi(SerialDeviceApi::win32());
    stopPeer(peer);
}

TEST_F(PeerPort, BytesFromThePeerArriveIntactAndInOrderAcrossBatches) {
    // Fewer bytes than the receive queue holds, so nothing can be dropped however
    // slowly the test takes them out (the echo test below moves more than the queue
    // holds, paced by the echoes).
    {
        SCOPED_TRACE("as fast as the pseudo-terminal goes");
        checkBytesFromPeer(8000, "");
    }
    EventRecorder::clear();
    {
        SCOPED_TRACE("paced like a 115200 baud line");
        checkBytesFromPeer(8000, "--baud 115200");
    }
}

TEST_F(PeerPort, BytesToThePeerArriveIntactAndInOrder) {
    // Writes of every size from 1 to 150 bytes carrying every byte value.
    std::string sent;
    std::vector<std::string> writes;
    for (size_t size = 1; size <= 150; ++size) {
        std::string chunk;
        for (size_t i = 0; i < size; ++i) chunk.push_back(static_cast<char>((sent.size() + i) * 13 % 256));
        sent += chunk;
        writes.push_back(chunk);
    }
    // The peer answers "OK" once it has everything, so the test knows when to look.
    const int peer = startPeer("read:" + std::to_string(sent.size()) + ":30000;send:4f4b");
    openAndWaitForThread();
    for (const std::string& chunk : writes) ASSERT_TRUE(port.write(chunk));
    EXPECT_EQ("OK", collect(2));
    EXPECT_TRUE(EventRecorder::reportsOf(LineError).empty());
    EXPECT_TRUE(EventRecorder::reportsOf(IoFailure).empty());
    port.close();
    const nlohmann::json summary = stopPeer(peer);
    EXPECT_EQ(static_cast<long long>(sent.size()), summary.at("received_count").get<long long>());
    EXPECT_EQ(toHex(sent), summary.at("received_hex").get<std::string>());
}

TEST_F(PeerPort, EchoedRecordsComeBackOneByOne) {
    // As the loader works: each record goes out, and the next waits for its echo.
    const int peer = startPeer("echo:10000");
    openAndWaitForThread();
    std::string all;
    for (int record = 0; record < 300; ++record) {
        std::string line = ":10";
        for (int i = 0; i < 74; ++i) line.push_back(static_cast<char>((record * 74 + i) % 256));
        line += "\r\n";
        all += line;
        ASSERT_TRUE(port.write(line));
        const std::string echo = collect(line.size());
        ASSERT_EQ(toHex(line), toHex(echo)) << "record " << record;
    }
    EXPECT_TRUE(EventRecorder::reportsOf(LineError).empty());
    EXPECT_TRUE(EventRecorder::reportsOf(IoFailure).empty());
    EXPECT_EQ(static_cast<int64_t>(all.size()), EventRecorder::bytesReported());
    port.close();
    const nlohmann::json summary = stopPeer(peer);
    EXPECT_EQ(static_cast<long long>(all.size()), summary.at("received_count").get<long long>());
}

TEST_F(PeerPort, ABurstBeyondTheQueueKeepsTheFirst8192BytesAndCountsEveryByte) {
    const size_t burst = 20000;
    const int peer = startPeer("read:1:30000;pattern:" + std::to_string(burst));
    openAndWaitForThread();
    ASSERT_TRUE(port.write("!"));
    // Nobody takes bytes out meanwhile.
    ASSERT_TRUE(EventRecorder::waitFor([&](const std::vector<Report>&) {
        return EventRecorder::bytesReported() >= static_cast<int64_t>(burst); }, Generous))
        << EventRecorder::bytesReported() << " reported";
    EXPECT_EQ(static_cast<int64_t>(burst), EventRecorder::bytesReported());
    EXPECT_TRUE(port.getReceiveQueue().isFull());
    EXPECT_EQ(8192u, port.getReceiveQueue().getPeak());

    std::string kept;
    unsigned char byte = 0;
    while (port.getReceiveQueue().pop(byte)) kept.push_back(static_cast<char>(byte));
    EXPECT_EQ(8192u, kept.size());
    EXPECT_EQ(toHex(pattern(8192)), toHex(kept)) << "the queue must keep the oldest bytes and drop the rest";
    port.close();
    stopPeer(peer);
}

TEST_F(PeerPort, PeerClosingTheLineIsReportedAndCloseStillReturns) {
    const int peer = startPeer("read:1:30000;close");
    openAndWaitForThread();
    ASSERT_TRUE(port.write("!"));
    // The device vanishes: the event thread's next call fails and says so.
    ASSERT_TRUE(EventRecorder::waitFor([](const std::vector<Report>& reports) {
        for (const Report& r : reports)
            if (r.type == LineError || r.type == IoFailure) return true;
        return false; }, Generous));
    Sleep(300);
    // The port does not close itself: that is its owner's decision.
    EXPECT_TRUE(port.isOpen());
    EXPECT_TRUE(EventRecorder::reportsOf(PortClosing).empty());
    for (const Report& r : EventRecorder::reports())
        if (r.type == LineError || r.type == IoFailure) {
            EXPECT_EQ(eventThread(), r.thread);
        }
    // Writing to the vanished device fails, is reported, and still returns true.
    const size_t before = EventRecorder::reports().size();
    EXPECT_TRUE(port.write("VERSION\r\n"));

    std::vector<Report> reports = EventRecorder::reports();
    bool writeReported = false;
    for (size_t i = before; i < reports.size(); ++i)
        writeReported |= reports[i].thread == GetCurrentThreadId() && (reports[i].type == LineError || reports[i].type == IoFailure);
    EXPECT_TRUE(writeReported);

    port.close();
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(PortClosing, EventRecorder::reports().back().type);
    EXPECT_TRUE(EventRecorder::reportsOf(BytesReceived).empty());
    EXPECT_TRUE(stopPeer(peer).at("closed").get<bool>());
}

TEST_F(PeerPort, AnIdleLineKeepsOneReadPendingSilentlyAndCloseCancelsIt) {
    // Under Wine the event thread keeps a read pending: idle for longer than the wait
    // limit of a read, the line stays silent, and the same read delivers the first bytes.
    const DWORD idleMs = SerialPort::PendingWaitLimitMs + 1000;
    const int peer = startPeer("read:1:30000;sleep:" + std::to_string(idleMs) + ";send:4f4b");
    RecordingDevice device(false);
    port.setDeviceApi(device.api());
    openAndWaitForThread();
    ASSERT_TRUE(waitUntil([&] { return device.count("ReadFile") >= 1; }, Generous));
    ASSERT_TRUE(port.write("!"));
    EXPECT_EQ("OK", collect(2, idleMs + Generous));
    // One read for each batch, and one more pending now.
    const size_t batches = EventRecorder::reportsOf(BytesReceived).size();
    ASSERT_TRUE(waitUntil([&] { return device.count("ReadFile") >= batches + 1; }, Generous));
    const std::vector<Call> reads = device.callsNamed("ReadFile");
    ASSERT_EQ(batches + 1, reads.size()) << "the idle line was read more than once";
    EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), reads[0].outcome);
    EXPECT_EQ(0u, device.count("WaitCommEvent"));
    EXPECT_EQ(2, EventRecorder::bytesReported());
    const std::vector<Report> beforeClose = EventRecorder::reports();
    ASSERT_EQ(batches + 1, beforeClose.size()) << "an idle line reported something";
    EXPECT_EQ(PortOpened, beforeClose[0].type);

    const Call read = reads.back();
    ASSERT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), read.outcome) << "the read did not go pending";

    HANDLE closer = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread closing([&] {
        port.close();
        SetEvent(closer);
    });
    const bool returned = WaitForSingleObject(closer, Generous) == WAIT_OBJECT_0;
    if (!returned) {
        std::fprintf(stderr, "FATAL: close did not return while a read was pending\n");
        std::_Exit(3);
    }
    closing.join();
    CloseHandle(closer);

    // The read was cancelled and waited for by the event thread before it ended.
    bool settled = false;
    for (const Call& c : device.callsNamed("GetOverlappedResult"))
        settled |= c.operation == read.operation && c.argument == TRUE && c.thread == read.thread;
    EXPECT_TRUE(settled);
    const std::vector<Report> reports = EventRecorder::reports();
    ASSERT_EQ(batches + 2, reports.size());
    EXPECT_EQ(PortClosing, reports.back().type);

    // A stop is not a failure: the port opens and works again at once.
    port.setDeviceApi(SerialDeviceApi::win32());
    stopPeer(peer);
    const int echo = startPeer("echo:5000");
    EventRecorder::clear();
    openAndWaitForThread();
    ASSERT_TRUE(port.write("PIC_VERS 2\r\n"));
    EXPECT_EQ("PIC_VERS 2\r\n", collect(12));
    port.close();
    stopPeer(echo);
}

// The Windows driver model keeps the rules it stands for, over the real line: the test
// makes the calls itself, as the port's event thread would.
TEST_F(PeerPort, TheWindowsDriverModelKeepsTheDocumentedRules) {
    const int peer = startPeer("read:1:30000;pattern:600;read:1:30000;close");
    WindowsDriverModel model;
    const SerialDeviceApi& api = model.api();
    const HANDLE h = api.createFile("\\\\.\\COM2", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    COMMTIMEOUTS timeouts = SerialPort::readTimeoutsFor(false);
    ASSERT_TRUE(api.setupComm(h, 512, 512));
    ASSERT_TRUE(api.setCommTimeouts(h, &timeouts));
    ASSERT_TRUE(api.setCommMask(h, EV_RXCHAR | EV_TXEMPTY));
    UniqueHandle event(CreateEventA(nullptr, TRUE, FALSE, nullptr)), other(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED op{}, op2{};
    op.hEvent = event.get();
    op2.hEvent = other.get();
    unsigned char bytes[1024];
    DWORD n = 99, events = 99, events2 = 0, errors = 0;
    COMSTAT status;
    const auto buffered = [&](DWORD count) {
        return waitUntil([&] { return api.clearCommError(h, &errors, &status) && status.cbInQue == count; }, Generous);
    };

    // Nothing buffered: the read waits for a first byte, then ends with nothing.
    ASSERT_FALSE(api.readFile(h, bytes, 512, &n, &op));
    EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
    EXPECT_TRUE(api.getOverlappedResult(h, &op, &n, TRUE));
    EXPECT_EQ(0u, n);

    // One wait at a time; another thread's CancelIo leaves it; SetCommMask ends it empty.
    ASSERT_FALSE(api.waitCommEvent(h, &events, &op));
    EXPECT_EQ(static_cast<DWORD>(ERROR_IO_PENDING), GetLastError());
    EXPECT_FALSE(api.waitCommEvent(h, &events2, &op2));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    std::thread([&] { api.cancelIo(h); }).join();
    EXPECT_EQ(1u, model.pendingWaits());
    ASSERT_TRUE(api.setCommMask(h, EV_RXCHAR | EV_TXEMPTY));
    EXPECT_TRUE(api.getOverlappedResult(h, &op, &n, FALSE));
    EXPECT_EQ(0u, events);

    // The write's EV_TXEMPTY and the peer's bytes come while no wait is pending: the next
    // wait ends at once with both. The buffer holds 512 of the 600; the rest enter as
    // the read makes room, and raise EV_RXCHAR again.
    ASSERT_FALSE(api.writeFile(h, "!", 1, &n, &op2));
    ASSERT_TRUE(api.getOverlappedResult(h, &op2, &n, TRUE));
    EXPECT_EQ(1u, n);
    ASSERT_TRUE(buffered(512));
    ASSERT_TRUE(api.waitCommEvent(h, &events, &op));
    EXPECT_EQ(static_cast<DWORD>(EV_RXCHAR | EV_TXEMPTY), events);
    ASSERT_TRUE(api.readFile(h, bytes, sizeof bytes, &n, &op));
    EXPECT_EQ(512u, n);
    ASSERT_TRUE(buffered(88));
    ASSERT_TRUE(api.waitCommEvent(h, &events, &op));
    EXPECT_EQ(static_cast<DWORD>(EV_RXCHAR), events);
    ASSERT_TRUE(api.readFile(h, bytes + 512, sizeof bytes - 512, &n, &op));
    EXPECT_EQ(88u, n);
    EXPECT_EQ(pattern(600), std::string(reinterpret_cast<char*>(bytes), 600));

    // This thread's CancelIo ends its wait.
    ASSERT_FALSE(api.waitCommEvent(h, &events, &op));
    EXPECT_TRUE(api.cancelIo(h));
    EXPECT_FALSE(api.getOverlappedResult(h, &op, &n, TRUE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_OPERATION_ABORTED), GetLastError());

    // The peer closes after one more byte: the pending wait fails, and so does every call.
    ASSERT_TRUE(api.setCommMask(h, EV_RXCHAR));
    ASSERT_FALSE(api.waitCommEvent(h, &events, &op));
    ASSERT_FALSE(api.writeFile(h, "!", 1, &n, &op2));
    EXPECT_TRUE(api.getOverlappedResult(h, &op2, &n, TRUE));
    EXPECT_FALSE(api.getOverlappedResult(h, &op, &n, TRUE));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_FALSE(api.readFile(h, bytes, 512, &n, &op));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_FALSE(api.clearCommError(h, &errors, &status));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_EQ(0u, model.unfinishedOperations());
    CloseHandle(h);
    stopPeer(peer);
}

}  // namespace
