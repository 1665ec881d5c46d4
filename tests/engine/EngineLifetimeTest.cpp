// Starting and stopping the engine many times: no handle or thread may be left
// behind, and no stop may hang, also with work and window actions in flight.
#include <gtest/gtest.h>

#include <windows.h>

#include <tlhelp32.h>

#include <memory>

#include "engine/Actions.h"
#include "engine/UpdateEngine.h"
#include "tests/support/TestActions.h"
#include "tests/support/TestController.h"

namespace {

// Wine 8 answers GetProcessHandleCount with success and a count of 0; there the
// handle table is walked instead (Wine hands out handle values 4, 8, 12, ...).
DWORD handleCount() {
    DWORD count = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0) return count;
    count = 0;
    for (ULONG_PTR value = 4; value < (1u << 18); value += 4) {
        DWORD flags = 0;
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
    }
    return count;
}

int threadCount() {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return -1;
    int count = 0;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
    CloseHandle(snapshot);
    return count;
}

}  // namespace

TEST(EngineLifetime, AThousandStartsAndStopsLeaveNoHandleOrThread) {
    TestController controller;
    ASSERT_NE(controller.window(), nullptr) << "run inside the rig (DISPLAY from Xvfb)";
    // One round first, so that lazily created process state is not counted.
    controller.startEngine();
    ASSERT_TRUE(controller.waitForPort());
    controller.stopEngine();
    controller.pumpPending();

    const DWORD handlesBefore = handleCount();
    const int threadsBefore = threadCount();
    ASSERT_NE(handlesBefore, 0u);
    ASSERT_GT(threadsBefore, 0);

    auto journal = std::make_shared<ActionJournal>();
    for (int round = 0; round < 1000; ++round) {
        UpdateEngine* engine = controller.startEngine();
        ASSERT_NE(engine, nullptr);
        // Vary what is in flight at the stop: nothing, work for the worker, a
        // command (parser and timer request), window actions never drained.
        switch (round % 4) {
        case 0:
            break;
        case 1:
            engine->postWork(new TrackedAction(journal, round));
            break;
        case 2:
            engine->postWork(new ActionSendCommand(nullptr, "VERSION"));
            engine->postWork(new ActionSerialEvent(4, 3));
            break;
        case 3:
            engine->postToWindow(new TrackedAction(journal, round));
            engine->postStatus("in flight");
            ASSERT_TRUE(controller.waitForPort());
            break;
        }
        controller.stopEngine();
        if (round % 50 == 0) controller.pumpPending();
    }
    controller.pumpPending();

    // Every tracked action ended exactly once: run and destroyed, or destroyed.
    int destroyed = 0;
    for (const auto& entry : journal->snapshot())
        if (!entry.executed) ++destroyed;
    EXPECT_EQ(destroyed, 500);

    EXPECT_LE(handleCount(), handlesBefore) << "handles leaked over 1000 engine lifetimes";
    EXPECT_EQ(threadCount(), threadsBefore) << "threads left behind";
}
