// Closing the window: during an update (the PIC steps included) it asks first, Cancel
// leaves the update running and OK ends the program; once connected (not updating)
// File, Exit closes without a word. The menu is worked through its own items.
#include "tests/gui/GuiTest.h"

TEST_F(GuiTest, ClosingDuringTheEraseAsksCancelKeepsTheUpdateRunningAndOkEndsIt) {
    ASSERT_NO_FATAL_FAILURE(registerComOne());
    // An erase of about six seconds: time enough to ask and answer.
    ASSERT_NO_FATAL_FAILURE(startLoader("--paced --erase-dot-ms 500"));
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

    // Still there, and the update goes on: the erase ends and the programming moves the bar.
    const bool programming = watcher.watch(
        [](const Observation& o) {
            return o.phase == Phase::Programming && o.state.progressPosition >= 100;
        },
        120000);
    ASSERT_TRUE(programming) << watcher.describe();
    EXPECT_TRUE(installer.running());

    // Asked again, and OK ends the program with exit code 0.
    window.postClose();
    ModalBox again(ModalBox::waitFor(installer::kExitCaption, 10000, installer.id()));
    ASSERT_TRUE(again.exists()) << "closing during the programming did not ask";
    again.press(IDOK);
    DWORD code = 0xDEAD;
    ASSERT_TRUE(installer.waitExit(15000, code)) << "OK did not end the installer";
    EXPECT_EQ(code, 0u);

    // The loader saw the erase out and the programming begin.
    const nlohmann::json result = stopLoader();
    std::vector<std::string> commands;
    for (const nlohmann::json& c : result.at("commands")) commands.push_back(c.get<std::string>());
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(commands.end() - 2, commands.end()),
              (std::vector<std::string>{"ERASE_PROGRAM", "LOAD_PROGRAM"}));
    EXPECT_GE(result.at("targets").at("blackfin").at("records").get<long long>(), 100);
}

TEST_F(GuiTest, FileExitDuringAPicStepAsksAndCancelKeepsTheUpdateRunning) {
    ASSERT_NO_FATAL_FAILURE(registerComOne());
    ASSERT_NO_FATAL_FAILURE(startLoader("--paced"));
    ASSERT_NO_FATAL_FAILURE(launch());
    PhaseWatcher connecting(window);
    ASSERT_NO_FATAL_FAILURE(connect(connecting));

    // PIC 3: the engine still Connecting, Update Instrument disabled.
    PhaseWatcher watcher(window);
    window.click(installer::kUpdateButton);
    ASSERT_TRUE(watcher.watch([](const Observation& o) { return o.phase == Phase::Pic3; }, 60000))
        << watcher.describe();
    chooseMenuItem(installer::kFileMenu, installer::kExitItem);
    ModalBox ask(ModalBox::waitFor(installer::kExitCaption, 10000, installer.id()));
    ASSERT_TRUE(ask.exists()) << "File, Exit during PIC 3 did not ask";
    EXPECT_EQ(ask.messageText(), installer::kExitText);
    ask.press(IDCANCEL);

    const bool programming = watcher.watch(
        [](const Observation& o) { return o.phase == Phase::Programming && o.state.progressPosition >= 100; },
        120000);
    ASSERT_TRUE(programming) << watcher.describe();
    EXPECT_TRUE(installer.running());
}

TEST_F(GuiTest, FileExitWhenConnectedDoesNotAskAndExitsWithZero) {
    ASSERT_NO_FATAL_FAILURE(registerComOne());
    ASSERT_NO_FATAL_FAILURE(startLoader());
    ASSERT_NO_FATAL_FAILURE(launch());
    PhaseWatcher watcher(window);
    ASSERT_NO_FATAL_FAILURE(connect(watcher));
    EXPECT_EQ(closeWithoutQuestion(Closing::ThroughFileExit), 0u);
}
