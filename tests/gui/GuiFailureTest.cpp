// Failures as the engineer sees them: a loader that never answers, a missing COM device,
// a line that vanishes while the Blackfin is programmed, and an echo that stalls.
#include "tests/gui/GuiTest.h"

#include <commctrl.h>

#include <algorithm>

namespace {

using Texts = std::vector<std::pair<int, std::string>>;

// Record at which the loader misbehaves, well inside the Blackfin image.
constexpr int kFaultRecord = 3000;

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
    EXPECT_EQ(s.progressState, PBST_ERROR);
}

}  // namespace

TEST_F(GuiTest, SilentLoaderIsRetriedThreeTimesThenGivenUp) {
    ASSERT_NO_FATAL_FAILURE(registerComOne());
    ASSERT_NO_FATAL_FAILURE(startLoader("--silent"));
    ASSERT_NO_FATAL_FAILURE(launch());

    PhaseWatcher watcher(window);
    window.click(installer::kConnectButton);
    const bool ended = watcher.watch([](const Observation& o) { return o.phase == Phase::GivenUp; }, 60000);
    ASSERT_TRUE(ended) << watcher.describe() << describeTexts(tapped());
    std::printf("[          ] given up %.1f s after Connect\n", watcher.last().atMs / 1000.0);

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
    EXPECT_EQ(s.progressState, PBST_ERROR);
    EXPECT_EQ(s.progressPosition, 23);
    EXPECT_TRUE(s.portListEnabled);
    EXPECT_TRUE(s.connectEnabled);
    EXPECT_FALSE(s.updateEnabled);

    // The connect timer has stopped: nothing more is shown.
    const size_t shown = tap.texts().size();
    Sleep(1500);
    EXPECT_EQ(tap.texts().size(), shown) << describeTexts(tapped(shown));

    const JsonValue summary = stopLoader();
    int signOns = 0;
    for (const JsonValue& c : summary["commands"].items()) signOns += c.asString() == "###";
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

    // No retry follows a port that cannot be opened.
    const size_t shown = tap.texts().size();
    Sleep(5000);
    EXPECT_EQ(tap.texts().size(), shown) << describeTexts(tapped(shown));
}

TEST_F(GuiTest, LineVanishingDuringBlackfinProgrammingAbortsTheUpdate) {
    ASSERT_NO_FATAL_FAILURE(registerComOne());
    ASSERT_NO_FATAL_FAILURE(startLoader("--vanish-after-record " + std::to_string(kFaultRecord)));
    ASSERT_NO_FATAL_FAILURE(launch());
    PhaseWatcher connecting(window);
    ASSERT_NO_FATAL_FAILURE(connect(connecting));

    PhaseWatcher watcher(window);
    window.click(installer::kUpdateButton);
    const bool ended = watcher.watch(
        [](const Observation& o) { return o.phase == Phase::FailedOtherwise || o.phase == Phase::Complete; },
        300000);
    ASSERT_TRUE(ended) << watcher.describe() << describeTexts(tapped());
    ASSERT_EQ(watcher.last().phase, Phase::FailedOtherwise) << watcher.describe();
    const std::vector<Phase> phases = watcher.phases();
    EXPECT_NE(std::find(phases.begin(), phases.end(), Phase::Programming), phases.end()) << watcher.describe();

    // After the programming began: the port's failure texts, each followed by the
    // window's own; nothing else.
    const Texts tail = afterProgrammingStarted(tapped());
    ASSERT_FALSE(tail.empty()) << describeTexts(tapped());
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

    // Wait for the window to settle: every failure report has been handled.
    Sleep(1000);
    expectFailedOtherwise(window.stableState());

    const JsonValue summary = waitLoader(30000);
    EXPECT_LT(summary["targets"]["blackfin"]["records"].asInt(), 8585);
    // Idle after the failure: closing does not ask.
    EXPECT_EQ(closeWithoutQuestion(), 0u);
}

TEST_F(GuiTest, StalledEchoEndsInTheResponseTimeout) {
    ASSERT_NO_FATAL_FAILURE(registerComOne());
    ASSERT_NO_FATAL_FAILURE(startLoader("--stall-after-record " + std::to_string(kFaultRecord)));
    ASSERT_NO_FATAL_FAILURE(launch());
    PhaseWatcher connecting(window);
    ASSERT_NO_FATAL_FAILURE(connect(connecting));

    PhaseWatcher watcher(window);
    window.click(installer::kUpdateButton);
    const bool ended = watcher.watch(
        [](const Observation& o) { return o.phase == Phase::FailedOtherwise || o.phase == Phase::Complete; },
        300000);
    ASSERT_TRUE(ended) << watcher.describe() << describeTexts(tapped());
    ASSERT_EQ(watcher.last().phase, Phase::FailedOtherwise) << watcher.describe();

    // "Response lost" stands only until the port's closing comes back as a failure.
    const Texts expectedTail = {
        {installer::kConnectionBox, installer::kResponseLostConnection},
        {installer::kStatusBox, installer::kResponseLostStatus},
        {installer::kStatusBox, installer::kFailedStatus},
        {installer::kConnectionBox, installer::kFailedUpdateConnection},
    };
    Sleep(1000);
    EXPECT_EQ(afterProgrammingStarted(tapped()), expectedTail) << describeTexts(tapped());
    expectFailedOtherwise(window.stableState());
    EXPECT_EQ(closeWithoutQuestion(), 0u);
    stopLoader();
}
