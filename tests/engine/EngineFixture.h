// Shared set-up of the engine tests: a TestController with its window and a
// running engine, and the checks every test ends with.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "engine/UpdateEngine.h"
#include "tests/support/TestController.h"

class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        controller = std::make_unique<TestController>();
        ASSERT_NE(controller->window(), nullptr)
            << "no window could be created: run inside the rig (DISPLAY from Xvfb)";
        engine = controller->startEngine();
        ASSERT_NE(engine, nullptr);
        ASSERT_TRUE(controller->waitForPort()) << "the worker never created its port";
        controller->clearRecord();
    }

    void TearDown() override {
        if (!controller) return;
        // Slots run only on the window thread, and one action per WM_ENGINE_ACTION.
        EXPECT_TRUE(controller->allOnWindowThread()) << controller->describe();
        EXPECT_LE(controller->maxSlotsPerMessage, 1u) << controller->describe();
        controller.reset();
        EXPECT_EQ(g_engine.load(), nullptr);
    }

    void setMode(uint32_t value) {
        auto held = engine->lock.lock();
        engine->mode = value;
    }

    // Lets every action queued so far reach its end on the worker, then
    // dispatches the window messages it produced.
    void settle() {
        ASSERT_TRUE(controller->runOnWorker([] {})) << "the worker did not answer";
        controller->pumpPending();
    }

    std::unique_ptr<TestController> controller;
    UpdateEngine* engine = nullptr;
};
