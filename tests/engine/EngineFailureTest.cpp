// Failure reports: the exact texts for every line-error mask, transfer direction
// and open result, the order of text and failure action, and PortClosing in
// each engine mode.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/Actions.h"
#include "serial/FailureReports.h"
#include "serial/SerialPort.h"
#include "tests/engine/EngineFixture.h"

namespace {

struct MaskCase {
    int32_t mask;
    const char* text;
};

const MaskCase LineErrorCases[] = {
    {1, "Communications failed - An input buffer overflow has occurred."},
    {2, "Communications failed - A character-buffer over-run has occurred."},
    {4, "Communications failed - The hardware detected a parity error."},
    {8, "Communications failed - The hardware detected a framing error."},
    {16, "Communications failed - The hardware detected a break condition."},
    {0, "Communications failed - Reason undetermined."},
    {3, "Communications failed - Reason undetermined."},
    {12, "Communications failed - Reason undetermined."},
    {17, "Communications failed - Reason undetermined."},
    {32, "Communications failed - Reason undetermined."},
    {0x100, "Communications failed - Reason undetermined."},
    {-1, "Communications failed - Reason undetermined."},
    {-16, "Communications failed - Reason undetermined."},
};

const MaskCase TransferCases[] = {
    {1, "Communications failed - Unable to read from port."},
    {0, "Communications failed - Unable to write to port."},
    {2, "Communications failed - Unable to read from port."},
    {-1, "Communications failed - Unable to read from port."},
};

const MaskCase ConnectionCases[] = {
    {1, "Connection failed - Device handle allocation failed."},
    {2, "Connection failed - Illegal serial port configuration settings."},
    {3, "Connection failed - Illegal comm timeout settings."},
    {4, "Connection failed - Illegal com port id."},
    {5, "Connection failed - Illegal parity setting."},
    {6, "Connection failed - Illegal baud rate setting."},
    {7, "Connection failed - Illegal Rx/Tx word size."},
    {8, "Connection failed - Illegal com mask setting."},
    {0, "Connection failed - Reason undetermined."},
    {9, "Connection failed - Reason undetermined."},
    {-1, "Connection failed - Reason undetermined."},
};

}  // namespace

TEST(FailureTexts, EveryMaskDirectionAndOpenResult) {
    for (const MaskCase& c : LineErrorCases) EXPECT_EQ(lineErrorText(c.mask), c.text) << "mask " << c.mask;
    for (const MaskCase& c : TransferCases)
        EXPECT_EQ(transferFailureText(c.mask), c.text) << "direction " << c.mask;
    for (const MaskCase& c : ConnectionCases)
        EXPECT_EQ(connectionFailureText(c.mask), c.text) << "open result " << c.mask;
}

class FailureTest : public EngineTest {
protected:
    // Posts one serial event and waits until the window has run what it produced.
    void deliver(uint32_t type, int32_t value) {
        engine->postWork(new ActionSerialEvent(type, value));
        settle();
        controller->pumpFor(20);
    }
    std::vector<std::string> slotsCalled() const {
        std::vector<std::string> slots;
        for (const auto& c : controller->calls) slots.push_back(c.slot);
        return slots;
    }
};

TEST_F(FailureTest, LineErrorShowsItsTextThenFails) {
    for (const MaskCase& c : LineErrorCases) {
        controller->clearRecord();
        deliver(LineError, c.mask);
        ASSERT_EQ(slotsCalled(), (std::vector<std::string>{"OnStatus", "OnFailed"})) << "mask " << c.mask;
        EXPECT_EQ(controller->calls[0].text, c.text) << "mask " << c.mask;
        EXPECT_EQ(controller->calls[0].kind, 0);
    }
}

TEST_F(FailureTest, TransferFailureShowsItsTextThenFails) {
    for (const MaskCase& c : TransferCases) {
        controller->clearRecord();
        deliver(IoFailure, c.mask);
        ASSERT_EQ(slotsCalled(), (std::vector<std::string>{"OnStatus", "OnFailed"})) << "direction " << c.mask;
        EXPECT_EQ(controller->calls[0].text, c.text) << "direction " << c.mask;
    }
}

TEST_F(FailureTest, FailedPendingReadGivesTwoReportsInOrder) {
    engine->postWork(new ActionSerialEvent(LineError, 0));
    engine->postWork(new ActionSerialEvent(IoFailure, 1));
    settle();
    ASSERT_TRUE(controller->pumpUntil([&] { return controller->calls.size() == 4; }, 5000));
    EXPECT_EQ(slotsCalled(), (std::vector<std::string>{"OnStatus", "OnFailed", "OnStatus", "OnFailed"}));
    EXPECT_EQ(controller->calls[0].text, "Communications failed - Reason undetermined.");
    EXPECT_EQ(controller->calls[2].text, "Communications failed - Unable to read from port.");
}

TEST_F(FailureTest, ConnectionFailureShowsOnlyItsText) {
    for (const MaskCase& c : ConnectionCases) {
        controller->clearRecord();
        UpdateEngine* e = engine;
        const int code = c.mask;
        ASSERT_TRUE(controller->runOnWorker([e, code] { e->reportConnectionFailure(code); }));
        controller->pumpFor(20);
        ASSERT_EQ(slotsCalled(), std::vector<std::string>{"OnStatus"}) << "open result " << code;
        EXPECT_EQ(controller->calls[0].text, c.text);
    }
}

TEST_F(FailureTest, PortNumberAbove256IsRefusedWithoutRetry) {
    engine->postWork(new ActionFindPort(257));
    ASSERT_TRUE(controller->waitForCalls("OnPortNotFound", 1, 5000));
    settle();
    EXPECT_EQ(slotsCalled(), (std::vector<std::string>{"OnStatus", "OnPortNotFound"}));
    EXPECT_EQ(controller->calls[0].text, "Connection failed - Illegal com port id.");
    auto held = engine->lock.lock();
    EXPECT_EQ(engine->mode, static_cast<uint32_t>(Connecting)) << "the attempt leaves the mode to the window";
    EXPECT_FALSE(engine->port->isOpen());
}

TEST_F(FailureTest, PortClosingFailsOnlyWhileBusy) {
    const struct {
        uint32_t mode;
        size_t failures;
    } cases[] = {{Idle, 0}, {Connecting, 1}, {Updating, 1}, {Idle, 0}};
    for (const auto& c : cases) {
        controller->clearRecord();
        setMode(c.mode);
        deliver(PortClosing, 0);
        EXPECT_EQ(controller->count("OnFailed"), c.failures) << "mode " << c.mode;
        EXPECT_EQ(controller->count("OnStatus"), 0u) << "a closing port shows no text; mode " << c.mode;
        auto held = engine->lock.lock();
        EXPECT_EQ(engine->mode, c.mode) << "the worker never changes the mode here";
    }
}
