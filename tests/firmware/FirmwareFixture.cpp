// The firmware unit tests' fixture: engine and test controller, feeding and snapshots.
#include "tests/firmware/FirmwareFixture.h"

#include <cstdio>

#include "serial/SerialPort.h"

void FirmwareTest::SetUp()
{
    controller = makeController();
    ASSERT_NE(controller->window(), nullptr)
        << "no window could be created: run inside the rig (DISPLAY from Xvfb)";
    engine = controller->startEngine();
    ASSERT_NE(engine, nullptr);
    ASSERT_TRUE(controller->waitForPort()) << "the worker never created its port";
}

void FirmwareTest::TearDown()
{
    if (!controller) return;
    EXPECT_TRUE(controller->allOnWindowThread()) << controller->describe();
    EXPECT_LE(controller->maxSlotsPerMessage, 1u) << controller->describe();
    controller.reset();
}

void FirmwareTest::feed(const std::string& bytes)
{
    // The receive queue holds 8192 bytes; the loader's side of a test is smaller
    // than that in one go except for whole images.
    const size_t batch = 4096;
    for (size_t at = 0; at < bytes.size(); at += batch) {
        ASSERT_TRUE(controller->feedBytes(bytes.substr(at, batch)));
        UpdateEngine* e = engine;
        // A parser that completes at every byte takes one byte per worker turn, so
        // wait for the queue itself rather than for one turn.
        ASSERT_TRUE(controller->pumpUntil(
            [e] {
                auto held = e->lock.lock();
                return e->port->getReceiveQueue().isEmpty();
            },
            30000))
            << "the worker left bytes in the receive queue";
    }
    settle();
}

void FirmwareTest::settle()
{
    ASSERT_TRUE(controller->runOnWorker([] {})) << "the worker did not answer";
    controller->pumpPending();
}

std::string FirmwareTest::expectedEcho()
{
    auto held = engine->lock.lock();
    return engine->currentResponse ? engine->currentResponse->command : std::string("<none>");
}

uint32_t FirmwareTest::expectedEchoLength()
{
    auto held = engine->lock.lock();
    return engine->currentResponse ? engine->currentResponse->echoLength : 0;
}

bool FirmwareTest::echoPending()
{
    auto held = engine->lock.lock();
    return engine->currentResponse && engine->currentResponse->echoPending;
}

std::string FirmwareTest::parserLine()
{
    auto held = engine->lock.lock();
    return engine->currentResponse ? engine->currentResponse->line : std::string();
}

std::string FirmwareTest::sentLine()
{
    auto held = engine->lock.lock();
    return engine->sentLine;
}

uint32_t FirmwareTest::linesLeft()
{
    auto held = engine->lock.lock();
    return engine->imageLinesLeft;
}

uint32_t FirmwareTest::mode()
{
    auto held = engine->lock.lock();
    return engine->mode;
}

int FirmwareTest::echoUntilDone(int limit)
{
    int echoes = 0;
    while (echoPending() && echoes < limit) {
        const std::string echo = expectedEcho();
        feed(echo);
        if (::testing::Test::HasFatalFailure()) return echoes;
        ++echoes;
    }
    return echoes;
}

size_t FirmwareTest::timerStarts() const
{
    size_t n = 0;
    for (const auto& r : controller->timerRequests)
        if (r.start && r.id == ResponseTimerId) ++n;
    return n;
}

size_t FirmwareTest::timerStops() const
{
    size_t n = 0;
    for (const auto& r : controller->timerRequests)
        if (!r.start) ++n;
    return n;
}

std::string printable(const std::string& bytes)
{
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c >= 0x20 && c < 0x7F) out += static_cast<char>(c);
        else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}
