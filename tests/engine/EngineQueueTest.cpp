// The worker and its two action queues: capacities, refused pushes, the order of
// execution, the thread that runs each action, and the window side's one action
// per WM_ENGINE_ACTION.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "engine/Actions.h"
#include "tests/engine/EngineFixture.h"
#include "tests/support/TestActions.h"

namespace {

std::vector<int> range(int first, int last) {
    std::vector<int> ids;
    for (int i = first; i <= last; ++i) ids.push_back(i);
    return ids;
}

}  // namespace

TEST_F(EngineTest, WorkQueueTakesThirtyAndRefusesTheThirtyFirst) {
    auto started = std::make_shared<DoneSignal>();
    auto release = std::make_shared<DoneSignal>();
    engine->postWork(new BlockingAction(started, release));
    ASSERT_TRUE(started->wait(10000));

    auto journal = std::make_shared<ActionJournal>();
    for (int id = 1; id <= 30; ++id) engine->postWork(new TrackedAction(journal, id));
    EXPECT_TRUE(journal->snapshot().empty()) << "queued actions must wait for the worker";
    EXPECT_TRUE(engine->workQueue.isFull());

    // Take the signal the thirty posts left, so the refused post is seen alone.
    EXPECT_EQ(WaitForSingleObject(engine->workEvent, 0), WAIT_OBJECT_0);
    engine->postWork(new TrackedAction(journal, 31));
    EXPECT_TRUE(journal->wasDestroyed(31));
    EXPECT_FALSE(journal->wasExecuted(31));
    EXPECT_EQ(journal->snapshot().front().threadId, GetCurrentThreadId())
        << "a refused action is destroyed by the poster, at once";
    EXPECT_EQ(WaitForSingleObject(engine->workEvent, 0), WAIT_OBJECT_0)
        << "a refused push still signals the work event";

    release->set();
    ASSERT_TRUE(controller->pumpUntil([&] { return journal->snapshot().size() == 61; }, 10000));
    EXPECT_EQ(journal->executedIds(), range(1, 30));
    EXPECT_EQ(journal->destroyedCount(), 31);
    for (const ActionJournal::Entry& e : journal->snapshot()) {
        if (e.id == 31) continue;
        EXPECT_NE(e.threadId, GetCurrentThreadId()) << "action " << e.id;
    }
}

TEST_F(EngineTest, ActionPostedByAWorkerActionRunsInTheSamePassAfterEarlierOnes) {
    auto started = std::make_shared<DoneSignal>();
    auto release = std::make_shared<DoneSignal>();
    engine->postWork(new BlockingAction(started, release));
    ASSERT_TRUE(started->wait(10000));

    auto journal = std::make_shared<ActionJournal>();
    UpdateEngine* e = engine;
    engine->postWork(new CallAction([e, journal] { e->postWork(new TrackedAction(journal, 3)); }));
    engine->postWork(new TrackedAction(journal, 1));
    engine->postWork(new TrackedAction(journal, 2));
    release->set();
    ASSERT_TRUE(controller->pumpUntil([&] { return journal->executedIds().size() == 3; }, 10000));
    EXPECT_EQ(journal->executedIds(), range(1, 3));
}

TEST_F(EngineTest, WindowQueueTakesFifteenAndEachMessageRunsOneAction) {
    // From the window thread itself, without pumping meanwhile.
    for (int i = 1; i <= 16; ++i) engine->postStatus("status " + std::to_string(i));
    EXPECT_TRUE(engine->windowQueue.isFull());
    ASSERT_TRUE(controller->pumpUntil([&] { return controller->actionMessages == 16; }, 10000));
    controller->pumpFor(100);
    std::vector<std::string> expected;
    for (int i = 1; i <= 15; ++i) expected.push_back("status " + std::to_string(i));
    EXPECT_EQ(controller->statusTexts(), expected);
    EXPECT_EQ(controller->actionMessages, 16u) << "one WM_ENGINE_ACTION per push, refused or not";
    for (size_t i = 0; i < controller->calls.size(); ++i) {
        EXPECT_EQ(controller->calls[i].message, i + 1) << "action " << i + 1 << " ran in another message";
        EXPECT_EQ(controller->calls[i].kind, 0);
    }
}

TEST_F(EngineTest, WindowActionsPostedByTheWorkerRunOnTheWindowThreadInOrder) {
    auto journal = std::make_shared<ActionJournal>();
    UpdateEngine* e = engine;
    auto done = std::make_shared<DoneSignal>();
    engine->postWork(new CallAction(
        [e, journal] {
            for (int id = 1; id <= 16; ++id) e->postToWindow(new TrackedAction(journal, id));
        },
        done));
    // Not pumping: the window queue fills while the window thread is busy.
    ASSERT_TRUE(done->wait(10000));
    EXPECT_TRUE(journal->wasDestroyed(16));
    EXPECT_NE(journal->snapshot().front().threadId, GetCurrentThreadId())
        << "the refused action is destroyed on the worker that posted it";

    ASSERT_TRUE(controller->pumpUntil([&] { return controller->actionMessages == 16; }, 10000));
    EXPECT_EQ(journal->executedIds(), range(1, 15));
    for (const ActionJournal::Entry& entry : journal->snapshot()) {
        if (!entry.executed) continue;
        EXPECT_EQ(entry.threadId, GetCurrentThreadId()) << "action " << entry.id;
    }
}

TEST_F(EngineTest, EveryWindowActionCallsItsOwnSlotWithItsFields) {
    engine->postToWindow(new ActionStatus("text with \"quotes\"", 7));
    engine->postToWindow(new ActionPortNotFound());
    engine->postToWindow(new ActionConnected(true));
    engine->postToWindow(new ActionConnected(false));
    engine->postToWindow(new ActionPicProgram());
    engine->postToWindow(new ActionBlackfinErasePreamble());
    engine->postToWindow(new ActionBlackfinErasePostamble());
    engine->postToWindow(new ActionProgressed());
    engine->postToWindow(new ActionComplete());
    engine->postToWindow(new ActionFailed());
    engine->postToWindow(new ActionNextPic());
    engine->postToWindow(new ActionBlackfinProgramPreamble());
    ASSERT_TRUE(controller->pumpUntil([&] { return controller->actionMessages == 12; }, 10000));
    const std::vector<std::string> expected = {
        "OnStatus", "OnPortNotFound", "OnConnected", "OnConnected", "OnPicProgram",
        "OnBlackfinErasePreamble", "OnBlackfinErasePostamble", "OnProgressed", "OnComplete",
        "OnFailed", "OnNextPic", "OnBlackfinProgramPreamble"};
    std::vector<std::string> slots;
    for (const auto& c : controller->calls) slots.push_back(c.slot);
    EXPECT_EQ(slots, expected);
    EXPECT_EQ(controller->calls[0].text, "text with \"quotes\"");
    EXPECT_EQ(controller->calls[0].kind, 7);
    EXPECT_TRUE(controller->calls[2].flag);
    EXPECT_FALSE(controller->calls[3].flag);
    EXPECT_TRUE(controller->timerRequests.empty());
}

TEST_F(EngineTest, DrainingAnEmptyWindowQueueDoesNothing) {
    EXPECT_EQ(engine->drainWindowQueue(), TRUE);
    ASSERT_NE(PostMessageA(controller->window(), WM_ENGINE_ACTION, 0, 0), 0);
    ASSERT_TRUE(controller->pumpUntil([&] { return controller->actionMessages == 1; }, 5000));
    EXPECT_TRUE(controller->calls.empty());
}

TEST_F(EngineTest, ProgressStopsTheResponseTimerBeforeItsActionArrives) {
    engine->postProgressed();
    ASSERT_TRUE(controller->waitForCalls("OnProgressed", 1, 5000));
    ASSERT_EQ(controller->timerRequests.size(), 1u);
    EXPECT_EQ(controller->timerRequests[0].id, ResponseTimerId);
    EXPECT_FALSE(controller->timerRequests[0].start);
    EXPECT_LT(controller->timerRequests[0].sequence, controller->last("OnProgressed")->sequence);

    engine->postFailed();
    ASSERT_TRUE(controller->waitForCalls("OnFailed", 1, 5000));
    EXPECT_EQ(controller->timerRequests.size(), 1u) << "postFailed touches no timer";
}

TEST_F(EngineTest, ProgressStepsLeaveRoomForTheResultsThatEndAPhase) {
    // The window thread is busy (not pumping) while a fast transfer reports a
    // step per record and then completes.
    for (int i = 0; i < 20; ++i) engine->postProgressed();
    engine->postStatus("Application firmware data transfer complete.");
    engine->postToWindow(new ActionComplete());
    ASSERT_TRUE(controller->waitForCalls("OnComplete", 1, 10000)) << controller->describe();
    controller->pumpFor(100);
    EXPECT_EQ(controller->count("OnProgressed"),
              UpdateEngine::WindowQueueSlots - 1 - UpdateEngine::WindowQueueReserve);
    EXPECT_EQ(controller->statusTexts().back(), "Application firmware data transfer complete.");
    EXPECT_EQ(controller->timerRequests.size(), 20u) << "every step still stops the response timer";
    EXPECT_EQ(controller->actionMessages, 22u)
        << "every step is announced, left out or not, so a lost announcement never strands an action";
}

TEST_F(EngineTest, StoppingDestroysWindowActionsThatNeverRan) {
    auto journal = std::make_shared<ActionJournal>();
    for (int id = 1; id <= 5; ++id) engine->postToWindow(new TrackedAction(journal, id));
    controller->stopEngine();
    EXPECT_EQ(journal->destroyedCount(), 5);
    EXPECT_TRUE(journal->executedIds().empty());
    // Their messages still arrive and find no engine.
    ASSERT_TRUE(controller->pumpUntil([&] { return controller->actionMessages == 5; }, 5000));
    EXPECT_EQ(controller->actionMessagesNoEngine, 5u);
    EXPECT_TRUE(journal->executedIds().empty());
}

TEST_F(EngineTest, StopWinsOverQueuedWorkWhenBothAreSignalled) {
    // The worker must be caught inside its wait with both events signalled. It
    // is suspended there; if a busy machine caught it just before the wait, it
    // may legitimately still drain: then the attempt is repeated with a fresh
    // engine. Each attempt checks that every action ends exactly once.
    bool stopWon = false;
    for (int attempt = 0; attempt < 5 && !stopWon; ++attempt) {
        if (attempt > 0) {
            controller->stopEngine();
            engine = controller->startEngine();
            ASSERT_TRUE(controller->waitForPort());
        }
        ASSERT_TRUE(controller->runOnWorker([] {}));
        Sleep(50);  // lets the worker return to its wait
        ASSERT_NE(SuspendThread(engine->workerThread.get()), static_cast<DWORD>(-1));
        ASSERT_NE(SetEvent(engine->stopEvent), 0);
        auto journal = std::make_shared<ActionJournal>();
        for (int id = 1; id <= 3; ++id) engine->postWork(new TrackedAction(journal, id));
        ASSERT_NE(ResumeThread(engine->workerThread.get()), static_cast<DWORD>(-1));
        ASSERT_EQ(WaitForSingleObject(engine->workerThread.get(), 10000), WAIT_OBJECT_0);
        {
            auto held = engine->lock.lock();
            EXPECT_TRUE(engine->port == nullptr) << "the worker destroys the port as it ends";
        }
        EXPECT_EQ(engine->stopEvent, nullptr);
        EXPECT_EQ(engine->workEvent, nullptr);
        const size_t executed = journal->executedIds().size();
        controller->stopEngine();
        EXPECT_EQ(journal->destroyedCount(), 3) << "attempt " << attempt;
        stopWon = executed == 0;
    }
    EXPECT_TRUE(stopWon) << "the worker executed queued work although its stop event was set";
}

TEST_F(EngineTest, AfterTheWorkerStoppedPostWorkDestroysAndSignalsNothing) {
    ASSERT_NE(SetEvent(engine->stopEvent), 0);
    ASSERT_EQ(WaitForSingleObject(engine->workerThread.get(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(engine->workEvent, nullptr);
    auto journal = std::make_shared<ActionJournal>();
    engine->postWork(new TrackedAction(journal, 1));
    EXPECT_TRUE(journal->wasDestroyed(1));
    EXPECT_FALSE(journal->wasExecuted(1));
    EXPECT_TRUE(engine->workQueue.isEmpty());
    // Operations that need the port do nothing now.
    engine->reconnect();
    engine->sendCommand(nullptr, "VERSION");
    EXPECT_TRUE(engine->workQueue.isEmpty());
    controller->stopEngine();  // must not wait for a worker that has gone
}

TEST(EngineWithoutWindow, PostsNothingAndDestroysWhatItIsGiven) {
    UpdateEngine engine(nullptr);
    auto journal = std::make_shared<ActionJournal>();
    engine.postToWindow(new TrackedAction(journal, 1));
    EXPECT_TRUE(journal->wasDestroyed(1));
    engine.postStatus("dropped");
    engine.postProgressed();
    engine.postFailed();
    EXPECT_TRUE(engine.windowQueue.isEmpty());

    // The worker still runs work; a command's timer request has nowhere to go,
    // so nothing may land in the worker's own message queue instead.
    auto done = std::make_shared<DoneSignal>();
    bool strayMessage = true;
    UpdateEngine* e = &engine;
    engine.postWork(new CallAction(
        [e, &strayMessage] {
            e->sendCommand(nullptr, "VERSION");
            e->onPortClosing();
            MSG msg;
            strayMessage = PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE) != 0;
        },
        done));
    ASSERT_TRUE(done->wait(10000));
    EXPECT_FALSE(strayMessage);
    EXPECT_TRUE(engine.windowQueue.isEmpty());
}
