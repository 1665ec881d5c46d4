// The window queue under a flood of progress steps, as an unpaced transfer produces them
// while the window thread is busy: the outcome that ends the phase must still get through
// (a refused one left the update waiting for ever, with the response timer stopped).
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "engine/Actions.h"
#include "engine/UpdateEngine.h"
#include "tests/support/TestController.h"

namespace {

class WindowQueueFlood : public ::testing::Test {
protected:
    void SetUp() override {
        controller = std::make_unique<TestController>();
        ASSERT_NE(controller->window(), nullptr) << "no window: run inside the rig (DISPLAY from Xvfb)";
        engine = controller->startEngine();
        ASSERT_NE(engine, nullptr);
        ASSERT_TRUE(controller->waitForPort());
        controller->clearRecord();
    }
    void TearDown() override { controller.reset(); }

    // Posted from the window thread without pumping, so nothing is taken meanwhile: the
    // window is as far behind as it can get.
    void flood(int steps) {
        for (int i = 0; i < steps; ++i) engine->postProgressStep();
    }
    // Runs every announced action, then whatever those actions announce in turn.
    void drain() {
        controller->pumpFor(300);
        EXPECT_TRUE(engine->windowQueue.isEmpty());
    }

    std::unique_ptr<TestController> controller;
    UpdateEngine* engine = nullptr;
};

TEST_F(WindowQueueFlood, BlackfinCompletionSurvives) {
    flood(40);
    // As the Blackfin record parser ends the transfer.
    engine->postStatus("Application firmware data transfer complete.");
    engine->postProgressed();
    engine->postToWindow(new ActionComplete());
    drain();
    EXPECT_EQ(controller->count("OnComplete"), 1u) << controller->describe();
    EXPECT_EQ(controller->statusTexts(), std::vector<std::string>{"Application firmware data transfer complete."});
    EXPECT_GE(controller->count("OnProgressed"), 1u);
    EXPECT_LT(controller->count("OnProgressed"), 15u) << "progress steps took every place";
}

TEST_F(WindowQueueFlood, PicPostambleSurvives) {
    flood(40);
    // As the PIC record parser ends the transfer; the postamble starts the read-back,
    // which announces itself with a status text.
    engine->postProgressed();
    engine->postToWindow(new ActionPicProgramPostamble());
    drain();
    const std::vector<std::string> texts = controller->statusTexts();
    EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                            [](const std::string& t) { return t.rfind("Verify transfered version for PIC", 0) == 0; }),
              1)
        << controller->describe();
}

TEST_F(WindowQueueFlood, FailureReportSurvives) {
    flood(40);
    // A line that vanished right after a record: the port's text, then the failure.
    engine->postStatus("Communications failed - Unable to read from port.");
    engine->postFailed();
    drain();
    EXPECT_EQ(controller->statusTexts(), std::vector<std::string>{"Communications failed - Unable to read from port."});
    EXPECT_EQ(controller->count("OnFailed"), 1u) << controller->describe();
}

}  // namespace
