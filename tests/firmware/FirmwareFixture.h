// Shared set-up of the firmware unit tests: a TestController with its window and a
// running engine whose port stays closed, so that the test plays the loader by
// putting bytes into the receive queue and reads what the engine would have written.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "engine/UpdateEngine.h"
#include "tests/support/TestController.h"

class FirmwareTest : public ::testing::Test {
protected:
    void SetUp() override;
    // The controller the engine reports to; a test may bring one that reacts.
    virtual std::unique_ptr<TestController> makeController() { return std::make_unique<TestController>(); }
    void TearDown() override;

    // Puts `bytes` into the receive queue (in batches the queue can hold) and waits
    // until the worker has taken all of them and run what the parsers queued.
    void feed(const std::string& bytes);
    // Lets every action queued so far run on the worker, then dispatches the
    // window messages it produced.
    void settle();

    // Snapshots taken under the engine lock.
    std::string expectedEcho();      // the current parser's `command`, "<none>" without one
    uint32_t expectedEchoLength();
    bool echoPending();
    std::string parserLine();
    std::string sentLine();
    uint32_t linesLeft();
    uint32_t mode();

    // The test as the loader: echoes what the parser waits for, as long as it waits.
    // Returns the number of echoes fed.
    int echoUntilDone(int limit = 100000);

    size_t progressCount() const { return controller->count("OnProgressed"); }
    size_t timerStarts() const;
    size_t timerStops() const;

    std::unique_ptr<TestController> controller;
    UpdateEngine* engine = nullptr;
};

// Bytes as printable text for failure messages (\r, \n and \xNN spelled out).
std::string printable(const std::string& bytes);
