// The process's one throttling state from two threads, as the port's event thread and the
// window thread use it: a take() waits while a giveBack() tells Windows.
#include <gtest/gtest.h>

#include <windows.h>

#include "engine/ProcessThrottling.h"

namespace {

HANDLE otherUser = nullptr;      // a thread that takes the timer resolution, started by the call below
bool otherTookMeanwhile = false;  // it was done while the hand-back was telling Windows

DWORD WINAPI takeTimerResolution(void*);

// Windows taking every state; the hand-back of the execution speed (a control mask of 0) lets
// the other user start, and gives it a second to get through.
BOOL WINAPI tellWindows(HANDLE, int, LPVOID information, DWORD) {
    if (static_cast<const ULONG*>(information)[1] == 0 && otherUser == nullptr) {
        otherUser = CreateThread(nullptr, 0, takeTimerResolution, nullptr, 0, nullptr);
        otherTookMeanwhile = WaitForSingleObject(otherUser, 1000) == WAIT_OBJECT_0;
    }
    return TRUE;
}

DWORD WINAPI takeTimerResolution(void*) {
    return ProcessThrottling::take(ProcessThrottling::IgnoreTimerResolution, &tellWindows) ? 0 : 1;
}

TEST(ProcessThrottling, AnotherThreadsTakeWaitsWhileAGiveBackTellsWindows) {
    ASSERT_TRUE(ProcessThrottling::take(ProcessThrottling::ExecutionSpeed, &tellWindows));
    ProcessThrottling::giveBack(ProcessThrottling::ExecutionSpeed, &tellWindows);
    ASSERT_NE(otherUser, nullptr);
    EXPECT_FALSE(otherTookMeanwhile) << "the two threads changed the process's state at once";
    EXPECT_EQ(WaitForSingleObject(otherUser, INFINITE), WAIT_OBJECT_0);
    CloseHandle(otherUser);
    otherUser = nullptr;
    ProcessThrottling::giveBack(ProcessThrottling::IgnoreTimerResolution, &tellWindows);
}

}  // namespace
