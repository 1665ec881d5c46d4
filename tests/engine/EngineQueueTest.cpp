// The worker and its two action queues: capacities, refused pushes, the order of
// execution, the thread that runs each action, and the window side's one action
// per WM_ENGINE_ACTION.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
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

// What became of the actions of three posters, each numbering its own from 0. The
// worker alone executes, so `runs` and `next` need no guard.
struct PosterTally {
    static constexpr int kPosters = 3;
    static constexpr int kEach = 10000;
    DWORD workerId = 0;
    std::vector<int> runs[kPosters] = {std::vector<int>(kEach), std::vector<int>(kEach), std::vector<int>(kEach)};
    int next[kPosters] = {};
    int outOfOrder = 0;
    int elsewhere = 0;  // executed on a thread other than the worker
    std::atomic<int> executed[kPosters] = {};
    std::atomic<int> destroyed{0};
    std::atomic<int> refused{0};  // destroyed without having run
};

// An action of one poster. The worker's poster is a relay: each of its actions posts
// the next from inside its execution, on the worker.
class PostedAction : public ActionBase {
public:
    PostedAction(std::shared_ptr<PosterTally> shared, UpdateEngine* target, int by, int ordinal, bool relays)
        : tally(std::move(shared)), engine(target), poster(by), number(ordinal), relay(relays) {}
    ~PostedAction() override {
        ++tally->destroyed;
        if (!ran) ++tally->refused;
    }
    void execute() override {
        ran = true;
        PosterTally& t = *tally;
        ++t.runs[poster][number];
        if (number != t.next[poster]) ++t.outOfOrder;
        t.next[poster] = number + 1;
        if (GetCurrentThreadId() != t.workerId) ++t.elsewhere;
        ++t.executed[poster];
        if (relay && number + 1 < PosterTally::kEach)
            engine->postWork(new PostedAction(tally, engine, poster, number + 1, true));
    }

private:
    std::shared_ptr<PosterTally> tally;
    UpdateEngine* engine;
    int poster;
    int number;
    bool relay;
    bool ran = false;
};

// Posts every action of `poster`, never more than a few ahead of the worker, so that the
// queue has room for each (14 + 14 + the relay's one stay within its 30 places).
// False when the worker stopped taking them.
bool postAll(UpdateEngine* engine, const std::shared_ptr<PosterTally>& tally, int poster) {
    constexpr int kInFlight = 14;
    for (int number = 0; number < PosterTally::kEach; ++number) {
        const ULONGLONG end = GetTickCount64() + 10000;
        while (number - tally->executed[poster] >= kInFlight) {
            if (GetTickCount64() > end) return false;
            SwitchToThread();
        }
        engine->postWork(new PostedAction(tally, engine, poster, number, false));
    }
    return true;
}

}  // namespace

TEST_F(EngineTest, WorkQueuePushedFromThreeThreadsAtOnceRunsEveryActionOnceInOrder) {
    auto tally = std::make_shared<PosterTally>();
    tally->workerId = GetThreadId(engine->workerThread.get());
    ASSERT_NE(tally->workerId, 0u);
    UpdateEngine* e = engine;
    constexpr int kWindow = 0, kWorker = 1, kEventThread = 2;
    // The port's event thread posts only through postWork (onSerialEvent); a thread of
    // the test stands in for it.
    bool eventThreadPosted = false;
    std::thread eventThread([&] { eventThreadPosted = postAll(e, tally, kEventThread); });
    engine->postWork(new PostedAction(tally, e, kWorker, 0, true));
    const bool windowPosted = postAll(e, tally, kWindow);
    eventThread.join();
    ASSERT_TRUE(windowPosted && eventThreadPosted) << "the worker stopped taking actions";
    // The relay goes on until its last action has run (a lost one would end it early).
    const ULONGLONG end = GetTickCount64() + 30000;
    while (tally->executed[kWorker] < PosterTally::kEach && GetTickCount64() < end) Sleep(10);
    settle();

    for (int poster = 0; poster < PosterTally::kPosters; ++poster) {
        SCOPED_TRACE("poster " + std::to_string(poster));
        EXPECT_EQ(tally->executed[poster], PosterTally::kEach);
        int wrong = 0;
        for (int runs : tally->runs[poster]) wrong += runs != 1;
        EXPECT_EQ(wrong, 0) << "actions executed never or more than once";
    }
    EXPECT_EQ(tally->refused, 0);
    EXPECT_EQ(tally->outOfOrder, 0);
    EXPECT_EQ(tally->elsewhere, 0);
    EXPECT_EQ(tally->destroyed, PosterTally::kPosters * PosterTally::kEach);
}

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
    engine->postToWindow(new ActionProgressed(0));
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
