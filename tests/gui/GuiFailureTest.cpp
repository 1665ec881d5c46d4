// Failures as the engineer sees them: a loader that never answers, a missing COM device,
// a line that vanishes while connecting or while a PIC or the Blackfin is programmed, an
// echo that stalls, and a program whose firmware images are missing or damaged.
#include "tests/gui/GuiTest.h"

#include "tests/support/TestEnvironment.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace {

using Texts = std::vector<std::pair<int, std::string>>;

// Record of the Blackfin image after which the loader misbehaves: a few seconds into
// the programming at the line's real speed.
constexpr int kFaultRecord = 300;

// The texts shown after the last "Programming application..." of an update.
Texts afterProgrammingStarted(const Texts& texts) {
    auto last = std::find_if(texts.rbegin(), texts.rend(), [](const std::pair<int, std::string>& t) {
        return t.first == installer::kUpdateBox && t.second == installer::kProgrammingUpdate;
    });
    return last == texts.rend() ? Texts() : Texts(last.base(), texts.end());
}

void expectFailedOtherwise(const WindowState& s) {
    EXPECT_EQ(s.connection, installer::kFailedUpdateConnection);
    EXPECT_EQ(s.status, installer::kFailedStatus);
    EXPECT_TRUE(s.portListEnabled);
    EXPECT_TRUE(s.connectEnabled);
    EXPECT_FALSE(s.updateEnabled);
}

// For each line of the log, whether the log was flushed after it before the next line was
// written, from Wine's relay trace of WriteFile and FlushFileBuffers: the log is the file
// that is flushed, and it takes one write per line.
std::vector<bool> flushedAfterEachLine(const std::string& traceFile) {
    std::ifstream in(testenv::windowsPath(traceFile), std::ios::binary);
    std::vector<std::pair<bool, unsigned long long>> calls;  // (a flush, the file's handle)
    for (std::string line; std::getline(in, line);) {
        for (const char* name : {".WriteFile(", ".FlushFileBuffers("}) {
            const size_t at = line.find(name);
            if (at != std::string::npos && line.find(":Call ") != std::string::npos)
                calls.emplace_back(name[1] == 'F', std::strtoull(line.c_str() + at + std::strlen(name), nullptr, 16));
        }
    }
    const auto firstFlush = std::find_if(calls.begin(), calls.end(), [](const auto& c) { return c.first; });
    std::vector<bool> flushed;
    for (const auto& call : calls) {
        if (firstFlush == calls.end() || call.second != firstFlush->second) continue;
        if (!call.first) flushed.push_back(false);
        else if (!flushed.empty()) flushed.back() = true;
    }
    return flushed;
}

// Normal for each PIC, the erase and the programming; then only the error state.
void expectBarEndsInError(const std::vector<int>& states) {
    ASSERT_GT(states.size(), 5u);
    EXPECT_EQ(std::vector<int>(states.begin(), states.begin() + 5), std::vector<int>(5, PBST_NORMAL));
    for (size_t i = 5; i < states.size(); ++i) EXPECT_EQ(states[i], PBST_ERROR) << "state " << i;
}

bool isRefill(const TappedRecord& r) { return r.message == CB_RESETCONTENT; }

bool isPortFailureText(const std::pair<int, std::string>& t) {
    return t.second.rfind("Communications failed - ", 0) == 0;
}

// The line vanishes once the loader has echoed `step` of the connection; the device is back
// (a fresh loader on COM1) before the first retry, 4.5 s after Connect. A vanished device
// fails every call the port makes, and a window thread that is busy for a moment (held
// here by the tap) finds several reports waiting: only the first may count. The window
// shows "Failed while connecting" and no more, and the retry that is still due signs on.
class GuiVanishTest : public GuiTest {
protected:
    void vanishWhileConnectingThenRetry(const std::string& step) {
        ASSERT_NO_FATAL_FAILURE(registerComOne());
        ASSERT_NO_FATAL_FAILURE(startLoader("--vanish-after-echo " + step));
        ASSERT_NO_FATAL_FAILURE(launch());
        tap.holdWindowOnPortFailure(500);

        PhaseWatcher watcher(window);
        window.click(installer::kConnectButton);
        ASSERT_TRUE(watcher.watch([](const Observation& o) { return o.phase == Phase::FailedWhileConnecting; },
                                  10000))
            << watcher.describe() << describeTexts(tapped());
        // Connect is free again, but the attempt goes on: a device change now waits for its end.
        const size_t changed = tap.recorded();
        window.postDevicesChanged();
        const nlohmann::json vanished = stopLoader();
        EXPECT_TRUE(vanished.at("vanished").get<bool>());
        EXPECT_EQ(vanished.at("faults_fired").at(0).get<std::string>(), "vanish-after-echo " + step);
        ASSERT_NO_FATAL_FAILURE(startLoader());

        const bool connected =
            watcher.watch([](const Observation& o) { return o.phase == Phase::Connected; }, 30000);
        ASSERT_TRUE(connected) << watcher.describe() << describeTexts(tapped());
        for (const Phase p : watcher.phases()) EXPECT_NE(p, Phase::FailedOtherwise) << watcher.describe();
        EXPECT_EQ(watcher.last().state.connection, expectedSummary());
        const std::vector<TappedRecord> records = tap.records(changed);
        const auto ended = std::find_if(records.begin(), records.end(), [](const TappedRecord& r) {
            return r.isText && r.text == installer::kConnectedStatus;
        });
        EXPECT_EQ(std::count_if(records.begin(), ended, isRefill), 0) << "the list was filled under the attempt";
        const ULONGLONG end = GetTickCount64() + 5000;
        while (tap.portListRefills(changed) == 0 && GetTickCount64() < end) Sleep(50);
        EXPECT_EQ(tap.portListRefills(changed), 1u) << "the change was lost";

        // From the port's report on: its text, the window's own two, then the retry.
        const Texts texts = tapped();
        const auto first = std::find_if(texts.begin(), texts.end(), isPortFailureText);
        ASSERT_NE(first, texts.end()) << describeTexts(texts);
        ASSERT_GE(texts.end() - first, 4) << describeTexts(texts);
        const Texts afterVanish(first + 1, first + 4);
        const Texts expected = {
            {installer::kStatusBox, installer::kFailedStatus},
            {installer::kConnectionBox, installer::kFailedConnectingConnection},
            {installer::kConnectionBox, installer::kRetryingConnection},
        };
        EXPECT_EQ(afterVanish, expected) << describeTexts(texts);
        EXPECT_EQ(std::count_if(texts.begin(), texts.end(), isPortFailureText), 1) << describeTexts(texts);
        for (const int state : tap.barStates()) EXPECT_EQ(state, PBST_NORMAL);

        EXPECT_EQ(closeWithoutQuestion(), 0u);
        EXPECT_EQ(stopLoader().at("sign_ons").get<long long>(), 1);
    }
};

}  // namespace

TEST_F(GuiVanishTest, LineVanishingDuringTheSignOnFailsWhileConnectingAndTheRetrySignsOn) {
    vanishWhileConnectingThenRetry("###");
}

TEST_F(GuiVanishTest, LineVanishingDuringTheVersionQueriesFailsWhileConnectingAndTheRetrySignsOn) {
    vanishWhileConnectingThenRetry("PIC_VERS");
}

TEST_F(GuiTest, SilentLoaderIsRetriedThreeTimesThenGivenUp) {
    ASSERT_NO_FATAL_FAILURE(registerComOne());
    ASSERT_NO_FATAL_FAILURE(startLoader("--silent"));
    ASSERT_NO_FATAL_FAILURE(launch());

    PhaseWatcher watcher(window);
    window.click(installer::kConnectButton);
    const bool ended = watcher.watch([](const Observation& o) { return o.phase == Phase::GivenUp; }, 60000);
    ASSERT_TRUE(ended) << watcher.describe() << describeTexts(tapped());
    std::printf("[          ] given up %.1f s after Connect\n", watcher.last().atMs / 1000.0);

    // Until the first retry, 4.5 s in: every control off, the bar counting the ticks.
    int connectingSamples = 0;
    for (const Observation& o : watcher.history()) {
        if (o.phase != Phase::Connecting) continue;
        SCOPED_TRACE(o.state.describe());
        ++connectingSamples;
        EXPECT_FALSE(o.state.portListEnabled);
        EXPECT_FALSE(o.state.connectEnabled);
        EXPECT_FALSE(o.state.updateEnabled);
        EXPECT_TRUE(o.state.progressEnabled);
        EXPECT_EQ(o.state.progressLow, 0);
        EXPECT_EQ(o.state.progressHigh, 23);
    }
    EXPECT_GT(connectingSamples, 1) << watcher.describe();

    // A retry that finds the port open closes it first, and that closing is a failure
    // while connecting; the retry after it finds the port closed and signs on quietly.
    const Texts expected = {
        {installer::kStatusBox, installer::kConnectingStatus},
        {installer::kConnectionBox, installer::kRetryingConnection},
        {installer::kStatusBox, installer::kFailedStatus},
        {installer::kConnectionBox, installer::kFailedConnectingConnection},
        {installer::kConnectionBox, installer::kRetryingConnection},
        {installer::kConnectionBox, installer::kRetryingConnection},
        {installer::kStatusBox, installer::kFailedStatus},
        {installer::kConnectionBox, installer::kFailedConnectingConnection},
        {installer::kConnectionBox, installer::kGivenUpConnection},
    };
    EXPECT_EQ(tapped(), expected) << describeTexts(tapped());

    // The give-up changes the connection box and the bar only; the failure before it
    // had already given Connect back.
    const WindowState s = window.stableState();
    EXPECT_EQ(s.connection, installer::kGivenUpConnection);
    EXPECT_EQ(s.status, installer::kFailedStatus);
    EXPECT_EQ(s.progressPosition, 23);
    EXPECT_EQ(tap.barStates(), (std::vector<int>{PBST_NORMAL, PBST_ERROR}));
    EXPECT_TRUE(s.portListEnabled);
    EXPECT_TRUE(s.connectEnabled);
    EXPECT_FALSE(s.updateEnabled);

    // The connect timer has stopped: nothing more is shown.
    const size_t shown = tap.recorded();
    Sleep(1500);
    EXPECT_EQ(tap.recorded(), shown) << describeTexts(tapped(shown));

    const nlohmann::json summary = stopLoader();
    int signOns = 0;
    for (const nlohmann::json& c : summary.at("commands")) signOns += c.get<std::string>() == "###";
    // The first attempt and the quiet retry write "###" for certain; the two retries that
    // close the port may or may not get theirs out before the window closes it.
    EXPECT_GE(signOns, 2);
    EXPECT_LE(signOns, 4);
}

TEST_F(GuiTest, MissingComDeviceGivesTheConnectionFailureAndPortNotFound) {
    ASSERT_NO_FATAL_FAILURE(registerComOne());
    ASSERT_NO_FATAL_FAILURE(unlinkComOne());
    ASSERT_NO_FATAL_FAILURE(launch());

    PhaseWatcher watcher(window);
    window.click(installer::kConnectButton);
    ASSERT_TRUE(watcher.watch([](const Observation& o) { return o.phase == Phase::PortNotFound; }, 30000))
        << watcher.describe();

    const Texts expected = {
        {installer::kStatusBox, installer::kConnectingStatus},
        {installer::kConnectionBox, "Connection failed - Device handle allocation failed."},
        {installer::kStatusBox, installer::kPortNotFoundStatus},
    };
    EXPECT_EQ(tapped(), expected) << describeTexts(tapped());

    const WindowState s = window.stableState();
    EXPECT_EQ(s.connection, "Connection failed - Device handle allocation failed.");
    EXPECT_EQ(s.update, installer::kNotConnectedUpdate);
    EXPECT_TRUE(s.portListEnabled);
    EXPECT_TRUE(s.connectEnabled);
    EXPECT_FALSE(s.updateEnabled);
    EXPECT_FALSE(s.progressEnabled);
    EXPECT_EQ(s.progressPosition, 0);
    EXPECT_EQ(tap.barStates(), std::vector<int>{PBST_NORMAL});

    // No retry follows a port that cannot be opened: the first would come 4.5 s after Connect.
    const size_t shown = tap.recorded();
    Sleep(5000);
    EXPECT_EQ(tap.recorded(), shown) << describeTexts(tapped(shown));
}

// Update Instrument in a copy of the installer whose images are not what it was built with:
// the internal error, the controls as connected, and nothing sent after the connection's
// commands.
class GuiBrokenImageTest : public GuiTest {
protected:
    void expectUpdateRefused(WORD id, const char* type, ImageDamage how) {
        ASSERT_NO_FATAL_FAILURE(registerComOne());
        ASSERT_NO_FATAL_FAILURE(startLoader());
        const std::string broken = installerWithDamagedImage(id, type, how);
        ASSERT_FALSE(broken.empty());
        ASSERT_NO_FATAL_FAILURE(launch(broken));
        PhaseWatcher watcher(window);
        ASSERT_NO_FATAL_FAILURE(connect(watcher));
        const WindowState connected = window.stableState();
        const size_t mark = tap.recorded();

        window.click(installer::kUpdateButton);
        // Whatever the click started would have reached the loader by now.
        Sleep(1500);
        const Texts expected = {{installer::kUpdateBox, "Internal error - unable to update instrument..."}};
        EXPECT_EQ(tapped(mark), expected) << describeTexts(tapped(mark));
        WindowState after = window.stableState();
        EXPECT_EQ(after.update, expected[0].second);
        after.update = connected.update;
        EXPECT_EQ(after, connected) << "before:\n" << connected.describe() << "after:\n" << after.describe();
        EXPECT_TRUE(tap.barStates(mark).empty());

        // Update Instrument stays enabled, so closing does not ask.
        EXPECT_EQ(closeWithoutQuestion(), 0u);
        const nlohmann::json summary = stopLoader();
        std::vector<std::string> commands;
        for (const nlohmann::json& c : summary.at("commands")) commands.push_back(c.get<std::string>());
        EXPECT_EQ(commands, (std::vector<std::string>{"###", "VERSION", "PIC_VERS 2", "PIC_VERS 3", "PIC_VERS 4"}))
            << "the loader was sent more than the connection's commands";
        DeleteFileA(broken.c_str());
    }
};

TEST_F(GuiBrokenImageTest, UpdateWithoutTheFirstPicImageShowsTheInternalErrorAndLeavesTheControlsAsConnected) {
    expectUpdateRefused(301, "TALVOR_HEX", ImageDamage::Missing);
}

// The program sends records as they stand: without the check before the first command, the
// changed record would reach the Blackfin after its memory had been erased.
TEST_F(GuiBrokenImageTest, UpdateWithOneDigitOfTheBlackfinImageChangedRefusesBeforeAnyCommand) {
    expectUpdateRefused(300, "TALVOR_LDR", ImageDamage::OneByteChanged);
}

TEST_F(GuiBrokenImageTest, UpdateWithTheLastPicImageCutShortRefusesBeforeAnyCommand) {
    expectUpdateRefused(303, "TALVOR_HEX", ImageDamage::CutShort);
}

// Every remaining record is sound: only the image's record count tells it from the one the
// program was built with, and without it the Blackfin would be left with a hole in its program.
TEST_F(GuiBrokenImageTest, UpdateWithOneWholeRecordMissingFromTheBlackfinImageRefusesBeforeAnyCommand) {
    expectUpdateRefused(300, "TALVOR_LDR", ImageDamage::RecordMissing);
}

// An update that the loader, started with `options`, makes fail: connected, Update Instrument
// pressed (the tap's record then is `mark`) and the window watched until it shows `failure`;
// an update that completes instead fails the test. Pressed from the keyboard, Update
// Instrument has the focus when the update disables it.
class GuiUpdateFailureTest : public GuiTest {
protected:
    enum class Pressed { WithTheMouse, FromKeyboard };
    void updateUntil(Phase failure, const std::string& options, PhaseWatcher& watcher,
                     Pressed how = Pressed::WithTheMouse) {
        ASSERT_NO_FATAL_FAILURE(registerComOne());
        ASSERT_NO_FATAL_FAILURE(startLoader(options));
        if (trace.empty()) {
            ASSERT_NO_FATAL_FAILURE(launch());
        } else {
            ASSERT_NO_FATAL_FAILURE(launchTraced("kernel32.WriteFile;kernelbase.WriteFile;kernel32.FlushFileBuffers;"
                                                 "kernelbase.FlushFileBuffers",
                                                 trace));
        }
        PhaseWatcher connecting(window);
        ASSERT_NO_FATAL_FAILURE(connect(connecting));
        mark = tap.recorded();
        if (how == Pressed::FromKeyboard) {
            ASSERT_EQ(window.tabCycle(2).back(), installer::kUpdateButton)
                << "the focus is on " << window.focusedControl();
            window.postKey(VK_RETURN);
        } else {
            window.click(installer::kUpdateButton);
        }
        const bool ended = watcher.watch(
            [failure](const Observation& o) { return o.phase == failure || o.phase == Phase::Complete; }, 300000);
        ASSERT_TRUE(ended) << watcher.describe() << describeTexts(tapped(mark));
        ASSERT_EQ(watcher.last().phase, failure) << watcher.describe();
    }

    size_t mark = 0;
    std::string trace;  // when set, the installer runs with Wine's relay trace of its writes in this file
};

// Through an adapter that holds each echo's last bytes for 16 ms, as an FTDI adapter at its
// default latency timer: the failed transfer's pace goes into the log with the adapter's part
// in it (a few hundred records show it as well as a whole transfer, in seconds, not minutes).
TEST_F(GuiUpdateFailureTest, LineVanishingDuringBlackfinProgrammingAbortsTheUpdate) {
    PhaseWatcher watcher(window);
    ASSERT_NO_FATAL_FAILURE(updateUntil(Phase::FailedOtherwise,
                                        "--paced --fault-target blackfin --hold-echo-ms 16 --vanish-after-record " +
                                            std::to_string(kFaultRecord),
                                        watcher, Pressed::FromKeyboard));
    const std::vector<Phase> phases = watcher.phases();
    EXPECT_NE(std::find(phases.begin(), phases.end(), Phase::Programming), phases.end()) << watcher.describe();

    // Every failure report the port makes (a failed read may bring two) is handled by now.
    Sleep(1000);
    // After the programming began: the port's failure texts, each followed by the
    // window's own; nothing else.
    const Texts tail = afterProgrammingStarted(tapped(mark));
    ASSERT_FALSE(tail.empty()) << describeTexts(tapped(mark));
    bool sawPortText = false;
    for (const auto& t : tail) {
        SCOPED_TRACE(describeTexts(tail));
        if (t.first == installer::kUpdateBox) {
            EXPECT_TRUE(t.second == "Communications failed - Unable to read from port." ||
                        t.second == "Communications failed - Unable to write to port." ||
                        t.second == "Communications failed - Reason undetermined.")
                << t.second;
            sawPortText = true;
        } else if (t.first == installer::kStatusBox) {
            EXPECT_TRUE(sawPortText) << "the window failed before the port said why";
            EXPECT_EQ(t.second, installer::kFailedStatus);
        } else {
            EXPECT_EQ(t.second, installer::kFailedUpdateConnection);
        }
    }
    expectFailedOtherwise(window.stableState());
    expectBarEndsInError(tap.barStates(mark));
    // The keyboard goes on from an enabled control, not from the disabled Update Instrument.
    const int focus = window.focusedControl();
    EXPECT_TRUE(focus == installer::kConnectButton || focus == installer::kPortList) << "the focus is on " << focus;

    // Idle after the failure: closing does not ask.
    EXPECT_EQ(closeWithoutQuestion(), 0u);

    // The log holds the same failure texts after the programming began, the transfer's pace
    // and the adapter's part in it, then the closing line that names the failure with the
    // phases' times, then the program's end.
    const std::vector<std::string> logged = loggedTexts(ownLog());
    const auto programming = std::find(logged.rbegin(), logged.rend(),
                                       logLine({installer::kUpdateBox, installer::kProgrammingUpdate}));
    ASSERT_NE(programming, logged.rend()) << "no programming in the log";
    std::vector<std::string> logTail(programming.base(), logged.end());
    std::vector<std::string> expected;
    for (const auto& t : tail) expected.push_back(logLine(t));
    ASSERT_EQ(logTail.size(), expected.size() + 4) << ::testing::PrintToString(logTail);
    EXPECT_EQ(std::vector<std::string>(logTail.begin(), logTail.end() - 4), expected);
    // Record 300's echo is the last; record 301 may have been written on it.
    expectPaceLine(logTail[logTail.size() - 4], kFaultRecord, kFaultRecord + 1);
    EXPECT_TRUE(isAdapterLine(logTail[logTail.size() - 3])) << logTail[logTail.size() - 3];
    const std::string& closing = logTail[logTail.size() - 2];
    const auto reason = std::find_if(tail.rbegin(), tail.rend(), [](const std::pair<int, std::string>& t) {
        return t.first == installer::kUpdateBox;
    });
    ASSERT_NE(reason, tail.rend());
    EXPECT_EQ(closing.rfind("Update failed: update line \"" + reason->second + "\"; connection line \"" +
                                installer::kFailedUpdateConnection + "\". Phase times: connect ",
                            0),
              0u)
        << closing;
    EXPECT_NE(closing.find(", erase "), std::string::npos) << closing;
    EXPECT_NE(closing.find(", Blackfin "), std::string::npos) << closing;
    EXPECT_EQ(logTail.back(), "Program closed.");
    const nlohmann::json summary = stopLoader();
    EXPECT_TRUE(summary.at("vanished").get<bool>());
    EXPECT_EQ(summary.at("targets").at("blackfin").at("records").get<long long>(), kFaultRecord);
}

// While a PIC is programmed the engine still counts as connecting, so the window shows the
// failure as one while connecting; the update has ended all the same, and the log says so,
// in a line forced to the disk before any other is written.
TEST_F(GuiUpdateFailureTest, LineVanishingWhileAPicIsProgrammedEndsTheUpdateInTheLog) {
    trace = testenv::variable("KQ_BUILD_DIR") + "/gui-flush-trace-" + std::to_string(GetCurrentProcessId()) + ".txt";
    PhaseWatcher watcher(window);
    ASSERT_NO_FATAL_FAILURE(
        updateUntil(Phase::FailedWhileConnecting, "--fault-target pic3 --vanish-after-record 20", watcher));
    // Every failure report the port makes is handled by now.
    Sleep(1000);
    EXPECT_EQ(closeWithoutQuestion(), 0u);

    // The closing line quotes the port's reason, the last text of the update line before it.
    const std::vector<std::string> logged = loggedTexts(ownLog());
    const std::string updateLine = logLine({installer::kUpdateBox, ""});
    const auto closing = std::find_if(logged.begin(), logged.end(),
                                      [](const std::string& l) { return l.rfind("Update failed: ", 0) == 0; });
    ASSERT_NE(closing, logged.end()) << ::testing::PrintToString(logged);
    const auto reason = std::find_if(std::make_reverse_iterator(closing), logged.rend(),
                                     [&](const std::string& l) { return l.rfind(updateLine, 0) == 0; });
    ASSERT_NE(reason, logged.rend());
    EXPECT_EQ(reason->rfind(updateLine + "Communications failed - ", 0), 0u) << *reason;
    EXPECT_EQ(closing->rfind("Update failed: update line \"" + reason->substr(updateLine.size()) +
                                 "\"; connection line \"" + installer::kFailedConnectingConnection +
                                 "\". Phase times: connect ",
                             0),
              0u)
        << *closing;
    EXPECT_NE(closing->find(", PIC 3 "), std::string::npos) << *closing;
    EXPECT_EQ(closing->find(", PIC 4 "), std::string::npos) << *closing;
    EXPECT_EQ(logged.back(), "Program closed.");
    EXPECT_TRUE(stopLoader().at("vanished").get<bool>());

    const std::vector<std::string> lines = ownLog();
    const std::vector<bool> flushed = flushedAfterEachLine(trace);
    ASSERT_EQ(flushed.size(), lines.size()) << "not one write per line of the log";
    const auto failed = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find(" ms  Update failed: ") != std::string::npos;
    });
    ASSERT_NE(failed, lines.end());
    EXPECT_TRUE(flushed[static_cast<size_t>(failed - lines.begin())]) << "not forced to the disk: " << *failed;
    EXPECT_TRUE(DeleteFileA(testenv::windowsPath(trace).c_str())) << "error " << GetLastError();
}

TEST_F(GuiUpdateFailureTest, StalledEchoEndsInTheResponseTimeout) {
    PhaseWatcher watcher(window);
    ASSERT_NO_FATAL_FAILURE(updateUntil(
        Phase::FailedOtherwise, "--paced --fault-target blackfin --silent-after-record " + std::to_string(kFaultRecord),
        watcher));

    // "Response lost" stands only until the port's closing comes back as a failure.
    Sleep(1000);
    const Texts expectedTail = {
        {installer::kConnectionBox, installer::kResponseLostConnection},
        {installer::kStatusBox, installer::kResponseLostStatus},
        {installer::kStatusBox, installer::kFailedStatus},
        {installer::kConnectionBox, installer::kFailedUpdateConnection},
    };
    EXPECT_EQ(afterProgrammingStarted(tapped(mark)), expectedTail) << describeTexts(tapped(mark));
    expectFailedOtherwise(window.stableState());
    // Error from the time-out, error again from the failure.
    EXPECT_EQ(tap.barStates(mark), (std::vector<int>{PBST_NORMAL, PBST_NORMAL, PBST_NORMAL, PBST_NORMAL,
                                                     PBST_NORMAL, PBST_ERROR, PBST_ERROR}));
    EXPECT_EQ(closeWithoutQuestion(), 0u);
    const nlohmann::json summary = stopLoader();
    EXPECT_TRUE(summary.at("silenced").get<bool>());
}
