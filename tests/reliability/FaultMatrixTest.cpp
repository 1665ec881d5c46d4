// The loader's faults at each phase of an update, worked through the real installer window:
// where each one leaves the window, how long it takes to get there, that the window still
// answers, and that "Update Complete" is only ever shown for an instrument whose every target
// holds its whole image. One installer process serves every scenario, so each Connect after a
// failure is also a retry on the same window; the scenarios marked for recovery then run a
// whole update against a healthy loader.
#include "tests/reliability/MatrixRig.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace {

struct Scenario {
    const char* name;
    const char* phase;    // where the fault strikes
    const char* options;  // kqsim loader options; null: the COM device is missing
    Phase expected;       // the phase the window ends in
    bool recover;         // then a whole update against a healthy loader
    // Also accepted: a vanished line may fail the read twice. The first report, with the
    // engine Connecting, is a failed connection and sets it Idle; the second then reads
    // as a failure otherwise.
    Phase alternative = Phase::Unknown;
};

// Deadlines for waiting only: the design's own limits are 2 s of silence after a command or
// record and 18 s for a connection; these leave room for a loaded machine.
constexpr DWORD kConnectDeadlineMs = 90000;
constexpr DWORD kUpdateDeadlineMs = 300000;
// Past the 2000 ms response timer that a failure while connecting leaves running.
constexpr DWORD kSettleMs = 2500;

const Scenario kScenarios[] = {
    // Sign-on.
    {"SignOnSilent", "sign-on", "--silent", Phase::GivenUp, true},
    {"SignOnEchoOnly", "sign-on", "--no-signon", Phase::GivenUp, false},
    {"SignOnDeviceMissing", "sign-on", nullptr, Phase::PortNotFound, true},
    {"SignOnGarbageLine", "sign-on", "--garbage-before-signon", Phase::Connected, false},
    {"NoiseOnEveryLine", "all", "--noise", Phase::Complete, false},
    // Version queries: the connect timer is still running, so its retry signs on again and
    // the fault (which fires once) is not met a second time.
    {"VersionStrayEchoByte", "versions", "--stray-byte VERSION", Phase::Connected, false},
    {"VersionChangedEcho", "versions", "--change-echo-byte VERSION", Phase::Connected, false},
    // A stray byte that is not the echo's first character is passed over by the echo match.
    {"VersionStrayHighByte", "versions", "--stray-byte VERSION:9B", Phase::Connected, false},
    {"VersionDroppedEcho", "versions", "--drop-echo-byte VERSION:7", Phase::Connected, false},
    {"PicVersChangedEcho", "versions", "--change-echo-byte PIC_VERS", Phase::Connected, false},
    {"PicVersStrayEchoByte", "versions", "--stray-byte PIC_VERS", Phase::Connected, false},
    {"PicVersErrorText", "versions", "--pic-vers-error 2", Phase::Connected, false},
    // PIC 2: the engine is still Connecting, so a failure reads as a failed connection.
    {"Pic2Silent", "PIC 2", "--fault-target pic2 --silent-after-record 3", Phase::FailedWhileConnecting, false},
    {"Pic2Vanishes", "PIC 2", "--fault-target pic2 --vanish-after-record 3", Phase::FailedWhileConnecting, false, Phase::FailedOtherwise},
    {"Pic2ChangedEcho", "PIC 2", "--fault-target pic2 --change-echo-byte 3", Phase::FailedWhileConnecting, false},
    {"Pic2StrayEchoByte", "PIC 2", "--fault-target pic2 --stray-byte 3", Phase::FailedWhileConnecting, false},
    {"Pic2LoadCommandEcho", "PIC 2", "--change-echo-byte LOAD_PIC", Phase::FailedWhileConnecting, false},
    {"Pic2NoComplete", "PIC 2", "--no-complete pic2", Phase::FailedWhileConnecting, false},
    // PIC 3.
    {"Pic3Silent", "PIC 3", "--fault-target pic3 --silent-after-record 40", Phase::FailedWhileConnecting, false},
    {"Pic3Vanishes", "PIC 3", "--fault-target pic3 --vanish-after-record 40", Phase::FailedWhileConnecting, true, Phase::FailedOtherwise},
    {"Pic3DroppedEcho", "PIC 3", "--fault-target pic3 --drop-echo-byte 40:20", Phase::FailedWhileConnecting, false},
    {"Pic3NoComplete", "PIC 3", "--no-complete pic3", Phase::FailedWhileConnecting, false},
    // The read-back is shown, not judged: an error text there does not stop the update.
    {"Pic3ReadBackErrorText", "PIC 3", "--pic-vers-error 3", Phase::Complete, false},
    // PIC 4.
    {"Pic4Silent", "PIC 4", "--fault-target pic4 --silent-after-record 1", Phase::FailedWhileConnecting, false},
    {"Pic4Vanishes", "PIC 4", "--fault-target pic4 --vanish-after-record 60", Phase::FailedWhileConnecting, false, Phase::FailedOtherwise},
    {"Pic4LastRecordEcho", "PIC 4", "--fault-target pic4 --change-echo-byte 120", Phase::FailedWhileConnecting, false},
    {"Pic4NoComplete", "PIC 4", "--no-complete pic4", Phase::FailedWhileConnecting, true},
    // Erase: the engine is Updating from "ERASE_PROGRAM" on.
    {"EraseChangedEcho", "erase", "--change-echo-byte ERASE_PROGRAM", Phase::FailedOtherwise, true},
    {"EraseStrayEchoByte", "erase", "--stray-byte ERASE_PROGRAM", Phase::FailedOtherwise, false},
    // The erase report's progress steps stop the response timer, and nothing restarts it
    // before "Complete.": without it the window waits for ever with every control off.
    // Only the line vanishing (the loader ended below) releases it.
    {"EraseNoCompleteHangs", "erase", "--no-complete erase", Phase::Erasing, true},
    // Each dot is a progress step, which stops the response timer: a slow erase is no fault.
    {"EraseSlowerThanResponseTimer", "erase", "--erase-blocks 3 --erase-dot-ms 3000", Phase::Complete, false},
    // Blackfin programming.
    {"BlackfinSilent", "Blackfin", "--fault-target blackfin --silent-after-record 5", Phase::FailedOtherwise, false},
    {"BlackfinVanishes", "Blackfin", "--fault-target blackfin --vanish-after-record 5", Phase::FailedOtherwise, true},
    {"BlackfinChangedEcho", "Blackfin", "--fault-target blackfin --change-echo-byte 5", Phase::FailedOtherwise, false},
    {"BlackfinDroppedEcho", "Blackfin", "--fault-target blackfin --drop-echo-byte 5:30", Phase::FailedOtherwise, false},
    {"BlackfinStrayEchoByte", "Blackfin", "--fault-target blackfin --stray-byte 5", Phase::FailedOtherwise, false},
    {"BlackfinLoadCommandEcho", "Blackfin", "--stray-byte LOAD_PROGRAM", Phase::FailedOtherwise, false},
    {"BlackfinNoComplete", "Blackfin", "--no-complete blackfin", Phase::FailedOtherwise, false},
    // Habits the protocol allows: a line after every reply (sign-on, versions, read-backs,
    // each "Complete.") and every "Complete." twice. A reply that has completed stays with
    // its parser until the next command; a further line there must not move the update on
    // again (a second read-back would skip a PIC, a second "Complete." verify one twice).
    {"ExtraLineAndCompleteTwice", "all", "--extra-line OK --repeat-complete", Phase::Complete, false},
    // The repeated "Complete." alone, so that it is met at every transfer and the erase
    // even where the extra line would have derailed the update first.
    {"CompleteTwiceLfOnly", "all", "--repeat-complete --lf-only", Phase::Complete, false},
};

struct Row {
    std::string name, phase, expected, reached, result;
    double seconds = 0;  // from the click that started the step to the end state
    double recoverySeconds = -1;
};

std::vector<Row>& rows() {
    static std::vector<Row> all;
    return all;
}

bool isFailurePhase(Phase p) {
    return p == Phase::GivenUp || p == Phase::PortNotFound || p == Phase::FailedWhileConnecting ||
           p == Phase::FailedOtherwise;
}

// The end state against its row of the window's phase table.
void expectEndState(Phase phase, const WindowState& s, const std::vector<int>& barStates) {
    SCOPED_TRACE(s.describe());
    // Every end state but the erase's hang gives Connect and the port list back and keeps
    // Update off.
    EXPECT_EQ(s.portListEnabled, phase != Phase::Erasing);
    EXPECT_EQ(s.connectEnabled, phase != Phase::Erasing);
    EXPECT_EQ(s.updateEnabled, phase == Phase::Connected);
    switch (phase) {
        case Phase::GivenUp:
            EXPECT_EQ(s.connection, installer::kGivenUpConnection);
            ASSERT_FALSE(barStates.empty());
            EXPECT_EQ(barStates.back(), PBST_ERROR);
            break;
        case Phase::PortNotFound:
            EXPECT_EQ(s.connection.rfind("Connection failed - ", 0), 0u) << s.connection;
            EXPECT_EQ(s.status, installer::kPortNotFoundStatus);
            EXPECT_FALSE(s.progressEnabled);
            EXPECT_EQ(s.progressPosition, 0);
            break;
        case Phase::Connected:
            EXPECT_EQ(s.status, installer::kConnectedStatus);
            EXPECT_EQ(s.update, installer::kConnectedUpdate);
            EXPECT_EQ(s.connection.rfind("KQ7750 Connected: \"", 0), 0u) << s.connection;
            EXPECT_TRUE(s.progressEnabled);
            EXPECT_EQ(s.progressPosition, 0);
            break;
        case Phase::FailedWhileConnecting:
            EXPECT_EQ(s.connection, installer::kFailedConnectingConnection);
            EXPECT_EQ(s.status, installer::kFailedStatus);
            break;
        case Phase::FailedOtherwise:
            EXPECT_EQ(s.connection, installer::kFailedUpdateConnection);
            EXPECT_EQ(s.status, installer::kFailedStatus);
            ASSERT_FALSE(barStates.empty());
            EXPECT_EQ(barStates.back(), PBST_ERROR);
            break;
        case Phase::Erasing:
            EXPECT_EQ(s.status, installer::kErasingStatus);
            EXPECT_TRUE(s.progressEnabled);
            EXPECT_EQ(s.progressHigh, 12);
            EXPECT_EQ(s.progressPosition, 12) << "banner and eleven dots";
            break;
        case Phase::Complete:
            EXPECT_EQ(s.status, installer::kCompleteStatus);
            EXPECT_EQ(s.update, "Application firmware data transfer complete.");
            EXPECT_FALSE(s.progressEnabled);
            EXPECT_EQ(s.progressPosition, 0);
            ASSERT_FALSE(barStates.empty());
            EXPECT_EQ(barStates.back(), PBST_NORMAL);
            break;
        default:
            ADD_FAILURE() << "no end state for phase " << phaseName(phase);
    }
}

// Every connection summary shown is whole: the sign-on alone, or every label with one
// quoted text (a loader's further line must never be joined to the last version).
void expectWellFormedSummaries(const TextTap& tap, size_t mark) {
    static const std::regex signOnOnly("KQ7750 Connected: \"[^\"]*\"");
    static const std::regex finished("KQ7750 Connected: \"[^\"]*\", SPI EPROM \"[^\"]*\", PIC2 \"[^\"]*\", "
                                     "PIC3 \"[^\"]*\", PIC4 \"[^\"]*\"");
    for (const TappedText& t : tap.texts(mark)) {
        if (t.controlId != installer::kConnectionBox || t.text.rfind("KQ7750 Connected: ", 0) != 0) continue;
        EXPECT_TRUE(std::regex_match(t.text, signOnOnly) || std::regex_match(t.text, finished)) << t.text;
    }
}

bool completeShownSince(const TextTap& tap, size_t mark) {
    for (const TappedText& t : tap.texts(mark))
        if (t.controlId == installer::kStatusBox && t.text == installer::kCompleteStatus) return true;
    return false;
}

class FaultMatrix : public ::testing::TestWithParam<Scenario> {
public:
    static void TearDownTestSuite() {
        if (session) session->closeInstaller();
        session.reset();
        std::printf("\n| scenario | fault phase | expected end state | reached | time to end state | "
                    "recovery update | result |\n|---|---|---|---|---|---|---|\n");
        for (const Row& r : rows()) {
            char recovery[32] = "-";
            if (r.recoverySeconds >= 0) std::snprintf(recovery, sizeof recovery, "%.1f s", r.recoverySeconds);
            std::printf("| %s | %s | %s | %s | %.1f s | %s | %s |\n", r.name.c_str(), r.phase.c_str(),
                        r.expected.c_str(), r.reached.c_str(), r.seconds, recovery, r.result.c_str());
        }
    }

protected:
    void SetUp() override {
        if (!session) session = std::make_unique<MatrixRig>();
        std::string error;
        ASSERT_TRUE(session->prepare(error)) << error;
    }

    void TearDown() override {
        nlohmann::json ignored;
        std::string error;
        session->stopLoader(ignored, error);
        // A scenario that failed may leave the window anywhere; the next one starts
        // from a fresh installer rather than inherit it.
        if (HasFailure()) session->closeInstaller();
    }

    // Connect and a whole update against a healthy loader, on the same window.
    void recoverWithHealthyLoader(Row& row) {
        MatrixRig& rig = *session;
        std::string error;
        ASSERT_TRUE(rig.startLoader("", error)) << error;
        const size_t mark = rig.tap.recorded();
        const StepResult connected = rig.connect(kConnectDeadlineMs);
        ASSERT_EQ(connected.phase, Phase::Connected) << "no recovery:\n" << connected.history
                                                     << describeTapped(rig.tap, mark);
        const StepResult done = rig.update(kUpdateDeadlineMs);
        ASSERT_EQ(done.phase, Phase::Complete) << done.history << describeTapped(rig.tap, mark);
        EXPECT_TRUE(done.completionBox);
        nlohmann::json summary;
        ASSERT_TRUE(rig.stopLoader(summary, error)) << error;
        std::string why;
        EXPECT_TRUE(MatrixRig::allTargetsExact(summary, &why)) << why;
        EXPECT_TRUE(MatrixRig::commandsOnceInOrder(summary, &why)) << why;
        row.recoverySeconds = (connected.ms + done.ms) / 1000.0;
    }

    static std::unique_ptr<MatrixRig> session;
};

std::unique_ptr<MatrixRig> FaultMatrix::session;

TEST_P(FaultMatrix, EndsInItsPhaseAndRecovers) {
    const Scenario& sc = GetParam();
    MatrixRig& rig = *session;
    Row row;
    row.name = sc.name;
    row.phase = sc.phase;
    row.expected = phaseName(sc.expected);
    row.result = "FAIL";
    rows().push_back(row);
    Row& mine = rows().back();

    std::string error;
    if (sc.options) {
        ASSERT_TRUE(rig.startLoader(sc.options, error)) << error;
    } else {
        ASSERT_TRUE(rig.unlinkCom(error)) << error;
    }
    const size_t mark = rig.tap.recorded();
    const size_t barMark = rig.tap.barStates().size();

    StepResult end = rig.connect(kConnectDeadlineMs);
    ASSERT_TRUE(end.ended) << "no end to the connection attempt:\n" << end.history << describeTapped(rig.tap, mark);
    const bool wantsUpdate = sc.expected == Phase::FailedWhileConnecting || sc.expected == Phase::FailedOtherwise ||
                             sc.expected == Phase::Complete || sc.expected == Phase::Erasing;
    if (end.phase == Phase::Connected && wantsUpdate) end = rig.update(kUpdateDeadlineMs);
    mine.reached = phaseName(end.phase);
    mine.seconds = end.ms / 1000.0;
    std::printf("[  matrix  ] %-30s %-9s expected %-22s reached %-22s in %.1f s\n", sc.name, sc.phase,
                phaseName(sc.expected), phaseName(end.phase), end.ms / 1000.0);
    const Phase reached = end.phase == sc.alternative ? sc.alternative : sc.expected;
    ASSERT_EQ(end.phase, reached) << end.history << describeTapped(rig.tap, mark);

    // The end state holds: late reports (a second failure from one failed read, the response
    // timer a failure while connecting leaves running) change nothing that matters.
    if (isFailurePhase(reached)) Sleep(kSettleMs);
    if (reached == Phase::Erasing) {
        EXPECT_TRUE(end.quiet) << "the erase went on";
    }
    EXPECT_TRUE(rig.responsive()) << "the window does not answer";
    const WindowState last = rig.window.stableState();
    // A second failure report may still turn a failed connection into a failure otherwise.
    const Phase settled = classifyPhase(last);
    EXPECT_TRUE(settled == reached || settled == sc.alternative) << last.describe() << describeTapped(rig.tap, mark);
    const std::vector<int> bars = rig.tap.barStates(barMark);
    expectEndState(settled, last, bars);
    if (sc.expected == Phase::Complete) {
        EXPECT_TRUE(end.completionBox);
        EXPECT_EQ(end.completionText, installer::kCompleteStatus);
    } else {
        EXPECT_FALSE(end.completionBox);
    }
    EXPECT_FALSE(rig.tap.overflowed());
    expectWellFormedSummaries(rig.tap, mark);

    nlohmann::json summary;
    ASSERT_TRUE(rig.stopLoader(summary, error)) << error;
    if (sc.expected == Phase::Connected || sc.expected == Phase::Erasing) {
        // Connected: the connection may belong to a retry (the version faults fire once).
        // Erasing: the hang. Ending the loader ends either: the line vanishes.
        const Phase after = sc.expected == Phase::Connected ? Phase::FailedWhileConnecting : Phase::FailedOtherwise;
        PhaseWatcher gone(rig.window);
        EXPECT_TRUE(gone.watch([after](const Observation& o) { return o.phase == after; }, 30000)) << gone.describe();
        if (sc.expected == Phase::Erasing) {
            Sleep(kSettleMs);
            expectEndState(Phase::FailedOtherwise, rig.window.stableState(), rig.tap.barStates(barMark));
        }
    }

    // Never "Update Complete" for an instrument that did not get every image whole.
    const bool completeShown = completeShownSince(rig.tap, mark) || end.completionBox;
    EXPECT_EQ(completeShown, sc.expected == Phase::Complete);
    if (sc.options) {
        ASSERT_TRUE(summary.contains("targets")) << "no loader summary";
        std::string why;
        const bool exact = MatrixRig::allTargetsExact(summary, &why);
        if (completeShown) {
            EXPECT_TRUE(exact) << "\"Update Complete\" although " << why;
            EXPECT_TRUE(MatrixRig::commandsOnceInOrder(summary, &why)) << "\"Update Complete\" although " << why;
        }
        // A fault that the window survived or failed on must have been met at all.
        const std::string opts = sc.options;
        const bool firesOnce = opts.find("-byte") != std::string::npos || opts.find("-after-record") != std::string::npos ||
                               opts.find("--no-complete") != std::string::npos;
        if (firesOnce) {
            EXPECT_FALSE(summary.at("faults_fired").empty()) << "the fault never fired";
        }
        if (opts.find("--extra-line") != std::string::npos) {
            EXPECT_GT(summary.at("extra_lines").get<long long>(), 0) << "no extra line was sent";
        }
        if (opts.find("--repeat-complete") != std::string::npos) {
            EXPECT_GT(summary.at("repeated_completes").get<long long>(), 0) << "no \"Complete.\" was repeated";
        }
    }

    if (sc.recover) {
        ASSERT_NO_FATAL_FAILURE(recoverWithHealthyLoader(mine));
    }
    if (!HasFailure()) mine.result = "pass";
}

std::string scenarioName(const ::testing::TestParamInfo<Scenario>& info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(Loader, FaultMatrix, ::testing::ValuesIn(kScenarios), scenarioName);

}  // namespace
