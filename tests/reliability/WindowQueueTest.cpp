// The window queue under a flood of progress steps, as an unpaced transfer produces them
// while the window thread is busy: the outcome of the transfer must still get through.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

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

    std::unique_ptr<TestController> controller;
    UpdateEngine* engine = nullptr;
};

// Posted from the window thread without pumping, so nothing is taken meanwhile: the window
// is as far behind as it can get.
TEST_F(WindowQueueFlood, TransferOutcomesSurviveAQueueFullOfProgressSteps) {
    for (int i = 0; i < 40; ++i) engine->postToWindow(new ActionProgressed());
    // The Blackfin's completion, as its record parser posts it.
    engine->postStatus("Application firmware data transfer complete.");
    engine->postProgressed();
    engine->postToWindow(new ActionComplete());
    ASSERT_TRUE(controller->pumpUntil([&] { return controller->actionMessages == 43; }, 10000));
    controller->pumpFor(100);
    EXPECT_EQ(controller->count("OnComplete"), 1u) << controller->describe();
    EXPECT_EQ(controller->statusTexts(), std::vector<std::string>{"Application firmware data transfer complete."});
    EXPECT_GE(controller->count("OnProgressed"), 1u);
    EXPECT_LT(controller->count("OnProgressed"), 15u) << "progress steps took every slot";
    EXPECT_TRUE(engine->windowQueue.isEmpty());
}

TEST_F(WindowQueueFlood, PicPostambleAndFailuresSurviveToo) {
    for (int i = 0; i < 20; ++i) engine->postToWindow(new ActionProgressed());
    engine->postProgressed();
    engine->postToWindow(new ActionPicProgramPostamble());
    // A failed read can bring two failure reports, each with its text.
    engine->postStatus("Communications failed - Unable to read from port.");
    engine->postFailed();
    ASSERT_TRUE(controller->pumpUntil([&] { return controller->actionMessages >= 24; }, 10000));
    // The read-back's own status text comes one message later.
    controller->pumpFor(300);
    // The postamble starts the read-back, which announces itself with a status text.
    const std::vector<std::string> texts = controller->statusTexts();
    EXPECT_EQ(std::count_if(texts.begin(), texts.end(),
                            [](const std::string& t) { return t.rfind("Verify transfered version for PIC", 0) == 0; }),
              1)
        << controller->describe();
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "Communications failed - Unable to read from port."), 1);
    EXPECT_EQ(controller->count("OnFailed"), 1u) << controller->describe();
}

}  // namespace
