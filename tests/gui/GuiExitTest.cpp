// Closing the window: during the erase it asks first, and Cancel leaves the update
// running to its end; once connected (not updating) File, Exit closes without a word.
#include "tests/gui/GuiTest.h"

TEST_F(GuiTest, ClosingDuringTheEraseAsksAndCancelKeepsTheUpdateRunning) {
    ASSERT_NO_FATAL_FAILURE(registerComOne());
    // An erase of about six seconds: time enough to ask and answer.
    ASSERT_NO_FATAL_FAILURE(startLoader("--erase-dot-ms 500"));
    ASSERT_NO_FATAL_FAILURE(launch());
    PhaseWatcher connecting(window);
    ASSERT_NO_FATAL_FAILURE(connect(connecting));

    PhaseWatcher watcher(window);
    window.click(installer::kUpdateButton);
    ASSERT_TRUE(watcher.watch([](const Observation& o) { return o.phase == Phase::Erasing; }, 120000))
        << watcher.describe();

    window.postClose();
    ModalBox ask(ModalBox::waitFor(installer::kExitCaption, 10000, installer.id()));
    ASSERT_TRUE(ask.exists()) << "closing during the erase did not ask";
    EXPECT_EQ(ask.messageText(), installer::kExitText);
    EXPECT_TRUE(ask.hasButton(IDOK));
    EXPECT_TRUE(ask.hasButton(IDCANCEL));
    ask.press(IDCANCEL);

    // Still there, still erasing or already programming, and on to the end.
    EXPECT_TRUE(window.exists());
    CompletionBox box;
    const bool ended = watcher.watch(
        [&](const Observation& o) {
            if (o.phase == Phase::FailedOtherwise || o.phase == Phase::ResponseLost) return true;
            answerCompletionBox(box);
            return box.seen && o.phase == Phase::Complete && o.state.connectEnabled;
        },
        300000);
    ASSERT_TRUE(ended) << watcher.describe();
    EXPECT_EQ(watcher.last().phase, Phase::Complete) << watcher.describe();
    EXPECT_TRUE(box.seen);

    EXPECT_EQ(closeWithoutQuestion(), 0u);
    const JsonValue result = stopLoader();
    for (const char* target : {"pic2", "pic3", "pic4", "blackfin"})
        EXPECT_TRUE(result["targets"][target]["matches_image"].asBool()) << target;
}

TEST_F(GuiTest, FileExitWhenConnectedDoesNotAskAndExitsWithZero) {
    ASSERT_NO_FATAL_FAILURE(registerComOne());
    ASSERT_NO_FATAL_FAILURE(startLoader());
    ASSERT_NO_FATAL_FAILURE(launch());
    PhaseWatcher watcher(window);
    ASSERT_NO_FATAL_FAILURE(connect(watcher));
    EXPECT_EQ(closeWithoutQuestion(Closing::ThroughFileExit), 0u);
}
