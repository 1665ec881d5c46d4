// Connect and a whole update through the window (the update on a USB adapter's COM12, by an
// engineer whose profile and program folder are named outside the ANSI code page):
// every phase in turn as the boxes, the buttons and the progress bar show it, the
// completion box, and the simulator's word that every target now holds exactly its image.
#include "tests/gui/GuiTest.h"

#include "tests/support/TestEnvironment.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

namespace {

// Lines of the four images (records sent) as the installer carries them.
constexpr int kPic2Lines = 142;
constexpr int kPic3Lines = 175;
constexpr int kPic4Lines = 120;
constexpr int kBlackfinLines = 8585;

int picLines(Phase phase) {
    return phase == Phase::Pic2 ? kPic2Lines : phase == Phase::Pic3 ? kPic3Lines : kPic4Lines;
}

char picDigit(Phase phase) { return phase == Phase::Pic2 ? '2' : phase == Phase::Pic3 ? '3' : '4'; }

bool startsWith(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

void expectAllOff(const WindowState& s) {
    EXPECT_FALSE(s.portListEnabled);
    EXPECT_FALSE(s.connectEnabled);
    EXPECT_FALSE(s.updateEnabled);
}

void expectBarRunning(const WindowState& s, int high) {
    EXPECT_TRUE(s.progressEnabled);
    EXPECT_EQ(s.progressLow, 0);
    EXPECT_EQ(s.progressHigh, high);
    EXPECT_GE(s.progressPosition, 0);
    EXPECT_LE(s.progressPosition, high);
}

// A phase in which an update has ended short of its completion.
bool stoppedShort(Phase phase) {
    return phase == Phase::FailedWhileConnecting || phase == Phase::FailedOtherwise || phase == Phase::ResponseLost ||
           phase == Phase::Unknown;
}

// One sample of the update against its row of the phase table.
void expectUpdateRow(const Observation& o, const std::string& summary) {
    SCOPED_TRACE(std::string("phase ") + phaseName(o.phase) + " at " + std::to_string(o.atMs) + " ms:\n" +
                 o.state.describe());
    const WindowState& s = o.state;
    switch (o.phase) {
        case Phase::Connected:
            // Sampled before the click was handled.
            EXPECT_TRUE(s.updateEnabled);
            break;
        case Phase::Pic2:
        case Phase::Pic3:
        case Phase::Pic4: {
            EXPECT_EQ(s.connection, summary);
            expectAllOff(s);
            const std::string n(1, picDigit(o.phase));
            if (s.update == installer::kConnectedUpdate) {
                // Update Instrument pressed, the first PIC not yet set up: the bar is as
                // "Connected" left it, or already sized for PIC 2.
                EXPECT_EQ(o.phase, Phase::Pic2);
                EXPECT_TRUE(s.progressHigh == 23 || s.progressHigh == kPic2Lines) << s.progressHigh;
            } else if (s.update == "Programming PIC" + n + "..." || s.update == "Verify transfered version for PIC" + n + ".") {
                expectBarRunning(s, picLines(o.phase));
            } else {
                // "PICn version is now ..." stands until the next PIC has set up its bar.
                EXPECT_TRUE(startsWith(s.update, "PIC" + n + " version is now \"")) << s.update;
                const int next = o.phase == Phase::Pic2 ? kPic3Lines : o.phase == Phase::Pic3 ? kPic4Lines : -1;
                EXPECT_TRUE(s.progressHigh == picLines(o.phase) || s.progressHigh == next) << s.progressHigh;
            }
            break;
        }
        case Phase::Erasing:
            EXPECT_EQ(s.connection, summary);
            EXPECT_TRUE(s.update == installer::kErasingUpdate || s.update == "Erasing program blocks..." ||
                        s.update == "Application erased.")
                << s.update;
            expectAllOff(s);
            expectBarRunning(s, 12);
            break;
        case Phase::Programming:
            EXPECT_EQ(s.connection, summary);
            EXPECT_TRUE(s.update == installer::kProgrammingUpdate ||
                        s.update == "Application firmware data transfer complete.")
                << s.update;
            expectAllOff(s);
            expectBarRunning(s, kBlackfinLines - 1);
            break;
        case Phase::Complete:
            EXPECT_EQ(s.connection, summary);
            EXPECT_EQ(s.update, "Application firmware data transfer complete.");
            EXPECT_FALSE(s.progressEnabled);
            EXPECT_EQ(s.progressPosition, 0);
            EXPECT_FALSE(s.updateEnabled);
            // Off while the completion box is open, on once it is dismissed.
            EXPECT_EQ(s.portListEnabled, s.connectEnabled);
            break;
        default:
            ADD_FAILURE() << "a phase that has no place in an update";
    }
}

// The bar never runs backwards within one transfer.
void expectBarMonotonic(const std::vector<Observation>& history) {
    for (size_t i = 1; i < history.size(); ++i) {
        const WindowState& a = history[i - 1].state;
        const WindowState& b = history[i].state;
        // The completion shows its status text before it resets the bar: a sample can fall between.
        if (history[i - 1].phase == history[i].phase && a.progressHigh == b.progressHigh && b.progressEnabled &&
            a.update == b.update && a.status == b.status) {
            EXPECT_GE(b.progressPosition, a.progressPosition) << "at " << history[i].atMs << " ms";
        }
    }
}

void expectTargetHoldsImage(const nlohmann::json& summary, const std::string& target, const std::string& image,
                            int records) {
    SCOPED_TRACE("target " + target + ", image " + image);
    ASSERT_TRUE(summary.contains("targets") && summary.at("targets").contains(target))
        << "the loader reports nothing for this target";
    const nlohmann::json& t = summary.at("targets").at(target);
    EXPECT_EQ(t.at("image").get<std::string>(), image);
    EXPECT_EQ(t.at("records").get<long long>(), records);
    EXPECT_TRUE(t.at("bad_records").empty());
}

// Every text an update shows, in order, from Update Instrument to the completion.
std::vector<std::pair<int, std::string>> updateTexts() {
    std::vector<std::pair<int, std::string>> expected = {{installer::kStatusBox, installer::kPicStatus}};
    const char* readBack[] = {loaderid::kPic2Programmed, loaderid::kPic3Programmed, loaderid::kPic4Programmed};
    for (int pic = 2; pic <= 4; ++pic) {
        const std::string n = std::to_string(pic);
        expected.push_back({installer::kUpdateBox, "Programming PIC" + n + "..."});
        expected.push_back({installer::kUpdateBox, "Verify transfered version for PIC" + n + "."});
        expected.push_back({installer::kUpdateBox, "PIC" + n + " version is now \"" + readBack[pic - 2] + "\""});
    }
    expected.insert(expected.end(), {
        {installer::kStatusBox, installer::kErasingStatus},
        {installer::kUpdateBox, installer::kErasingUpdate},
        {installer::kUpdateBox, installer::kErasingUpdate},
        {installer::kUpdateBox, "Erasing program blocks..."},
        {installer::kUpdateBox, "Application erased."},
        {installer::kStatusBox, installer::kProgrammingStatus},
        {installer::kUpdateBox, installer::kProgrammingUpdate},
        {installer::kUpdateBox, installer::kProgrammingUpdate},
        {installer::kUpdateBox, installer::kTransferCompleteUpdate},
        {installer::kStatusBox, installer::kCompleteStatus},
    });
    return expected;
}

// The loader's word that each target holds exactly its image, and the PICs their new versions.
void expectEveryTargetExact(const nlohmann::json& result) {
    expectTargetHoldsImage(result, "pic2", "301", kPic2Lines);
    expectTargetHoldsImage(result, "pic3", "302", kPic3Lines);
    expectTargetHoldsImage(result, "pic4", "303", kPic4Lines);
    expectTargetHoldsImage(result, "blackfin", "300", kBlackfinLines);
    EXPECT_EQ(result.at("targets").at("pic2").at("version").get<std::string>(), loaderid::kPic2Programmed);
    EXPECT_EQ(result.at("targets").at("pic3").at("version").get<std::string>(), loaderid::kPic3Programmed);
    EXPECT_EQ(result.at("targets").at("pic4").at("version").get<std::string>(), loaderid::kPic4Programmed);
    EXPECT_EQ(result.at("expected_images_from").get<std::string>(), "dir+json");
}

// The log's lines for the Blackfin transfer: one at each tenth of its records, with the count
// sent when that tenth was reached (the window may learn of a few records at once), the last
// at all of them.
void expectBlackfinProgress(const std::vector<std::string>& logged) {
    std::vector<int> counts;
    for (const std::string& line : logged) {
        if (line.rfind("Blackfin: ", 0) != 0) continue;
        std::string count = line.substr(10, line.find(" of ") - 10);
        count.erase(std::remove(count.begin(), count.end(), ','), count.end());
        counts.push_back(std::atoi(count.c_str()));
        EXPECT_EQ(line.substr(line.find(" of ")), " of 8,585 records") << line;
    }
    ASSERT_EQ(counts.size(), 10u) << ::testing::PrintToString(counts);
    for (int tenth = 1; tenth <= 10; ++tenth) {
        const int first = (tenth * kBlackfinLines + 9) / 10;
        const int next = ((tenth + 1) * kBlackfinLines + 9) / 10;
        EXPECT_GE(counts[tenth - 1], first) << "tenth " << tenth;
        EXPECT_LT(counts[tenth - 1], tenth < 10 ? next : kBlackfinLines + 1) << "tenth " << tenth;
    }
}

struct BoxSearch {
    DWORD processId;
    HWND mainWindow;
    std::vector<std::string> captions;
};

BOOL CALLBACK noteBox(HWND window, LPARAM search) {
    BoxSearch& s = *reinterpret_cast<BoxSearch*>(search);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char kind[32] = {};
    GetClassNameA(window, kind, sizeof kind);
    if (owner == s.processId && window != s.mainWindow && IsWindowVisible(window) && std::string(kind) == "#32770") {
        char caption[256] = {};
        GetWindowTextA(window, caption, sizeof caption);
        s.captions.push_back(caption);
    }
    return TRUE;
}

// The captions of the installer's dialogs and message boxes that show now, besides its window.
std::vector<std::string> openBoxes(DWORD processId, HWND mainWindow) {
    BoxSearch search{processId, mainWindow, {}};
    EnumWindows(noteBox, reinterpret_cast<LPARAM>(&search));
    return search.captions;
}

// The power calls in a relay trace, in order, each as "Name(argument) = result": the
// argument that tells the call apart (SetThreadExecutionState's flags, SetProcessInformation's
// class), the result as the number Wine printed.
std::vector<std::string> powerCalls(const std::string& traceFile) {
    std::vector<std::string> calls;
    std::ifstream in(testenv::windowsPath(traceFile), std::ios::binary);
    const char* const names[] = {".PowerCreateRequest(", ".PowerSetRequest(", ".PowerClearRequest(",
                                 ".SetThreadExecutionState(", ".SetProcessInformation("};
    for (std::string line; std::getline(in, line);) {
        for (const char* name : names) {
            const size_t at = line.find(name);
            if (at == std::string::npos) continue;
            const std::string bare(name + 1, std::strlen(name) - 2);
            const size_t open = at + std::strlen(name);
            if (line.find(":Call ") != std::string::npos) {
                std::vector<unsigned long long> args;
                for (const char* p = line.c_str() + open; *p && *p != ')';) {
                    char* end = nullptr;
                    args.push_back(std::strtoull(p, &end, 16));
                    if (end == p) break;  // not a number: the arguments that matter came before
                    p = *end == ',' ? end + 1 : end;
                }
                char shown[64] = "";
                if (bare == "SetThreadExecutionState" && !args.empty())
                    std::snprintf(shown, sizeof shown, "0x%08llx", args[0]);
                else if (bare == "SetProcessInformation" && args.size() > 1)
                    std::snprintf(shown, sizeof shown, "class %llu", args[1]);
                calls.push_back(bare + "(" + shown + ")");
            } else if (line.find(":Ret  ") != std::string::npos && !calls.empty()) {
                const size_t value = line.find("retval=");
                if (value == std::string::npos) continue;
                const unsigned long long result = std::strtoull(line.c_str() + value + 7, nullptr, 16);
                char shown[64];
                std::snprintf(shown, sizeof shown, " = 0x%llx", result);
                calls.back() += result == reinterpret_cast<uintptr_t>(INVALID_HANDLE_VALUE) ? " = INVALID_HANDLE_VALUE"
                                                                                           : std::string(shown);
            }
        }
    }
    return calls;
}

// A power notice of Windows (by default that it is about to sleep), as the installer's window gets it.
void sendPowerNotice(HWND window, WPARAM event = PBT_APMSUSPEND) {
    DWORD_PTR result = 0;
    EXPECT_NE(SendMessageTimeoutA(window, WM_POWERBROADCAST, event, 0, SMTO_ABORTIFHUNG, 10000, &result), 0);
}

}  // namespace

TEST_F(GuiTest, ConnectShowsThePhaseConnectedExactly) {
    ASSERT_NO_FATAL_FAILURE(registerComOne());
    ASSERT_NO_FATAL_FAILURE(startLoader());
    ASSERT_NO_FATAL_FAILURE(launch());

    // From the keyboard alone: the port list has the focus from the start, Tab goes to
    // Connect and (past the disabled Update Instrument) back, and Enter on Connect connects.
    ASSERT_TRUE(window.waitForFocus(installer::kPortList)) << "the focus is on " << window.focusedControl();
    EXPECT_EQ(window.tabCycle(2), (std::vector<int>{installer::kConnectButton, installer::kPortList}));
    window.postKey(VK_TAB);
    ASSERT_TRUE(window.waitForFocus(installer::kConnectButton)) << "the focus is on " << window.focusedControl();
    PhaseWatcher watcher(window);
    window.postKey(VK_RETURN);
    ASSERT_TRUE(watcher.watch([](const Observation& o) { return o.phase == Phase::Connected; }, 60000))
        << watcher.describe();
    // Connected: the focus on an enabled control, and Tab reaches Update Instrument too.
    const int focus = window.focusedControl();
    EXPECT_TRUE(focus == installer::kPortList || focus == installer::kConnectButton) << "the focus is on " << focus;
    const std::vector<int> cycle = window.tabCycle(3);
    EXPECT_EQ(std::count(cycle.begin(), cycle.end(), installer::kUpdateButton), 1) << ::testing::PrintToString(cycle);
    EXPECT_EQ(cycle.back(), focus) << ::testing::PrintToString(cycle);

    const WindowState& s = watcher.last().state;
    EXPECT_EQ(s.connection, expectedSummary());
    EXPECT_EQ(s.update, installer::kConnectedUpdate);
    EXPECT_EQ(s.status, installer::kConnectedStatus);
    EXPECT_TRUE(s.portListEnabled);
    EXPECT_TRUE(s.connectEnabled);
    EXPECT_TRUE(s.updateEnabled);
    EXPECT_TRUE(s.progressEnabled);
    EXPECT_EQ(s.progressPosition, 0);
    // Normal when Connect set the bar up, normal again when connected.
    EXPECT_EQ(tap.barStates(), (std::vector<int>{PBST_NORMAL, PBST_NORMAL}));

    // The connection takes a few tens of milliseconds: sampling sees "Connecting" only
    // by luck, the tap every text of it.
    for (const Observation& o : watcher.history())
        EXPECT_TRUE(o.phase == Phase::Connecting || o.phase == Phase::Connected) << phaseName(o.phase);
    const std::vector<std::pair<int, std::string>> expected = {
        {installer::kStatusBox, installer::kConnectingStatus},
        {installer::kConnectionBox, std::string("KQ7750 Connected: \"") + loaderid::kSignOn + "\""},
        {installer::kConnectionBox, "Getting SPI EPROM versions..."},
        {installer::kConnectionBox, "Getting PIC versions..."},
        {installer::kConnectionBox, expectedSummary()},
        {installer::kStatusBox, installer::kConnectedStatus},
        {installer::kUpdateBox, installer::kConnectedUpdate},
    };
    EXPECT_EQ(tapped(), expected) << describeTexts(tapped());

    // Connected leaves the engine connecting, not updating: closing does not ask.
    EXPECT_EQ(closeWithoutQuestion(), 0u);
    const nlohmann::json summary = stopLoader();
    std::vector<std::string> commands;
    for (const nlohmann::json& c : summary.at("commands")) commands.push_back(c.get<std::string>());
    EXPECT_EQ(commands, (std::vector<std::string>{"###", "VERSION", "PIC_VERS 2", "PIC_VERS 3", "PIC_VERS 4"}));
}

TEST_F(GuiTest, UpdateShowsEveryPhaseInTurnAndEveryTargetHoldsExactlyItsImage) {
    // An engineer whose profile, and the Downloads folder the program runs from, are named
    // in letters the ANSI code page lacks.
    const std::string program = useUnicodeProfile();
    ASSERT_FALSE(program.empty());
    // A laptop's USB adapter, on a number above the ten a PC's own ports have; beside it a
    // number no Windows port can have.
    ASSERT_NO_FATAL_FAILURE(registerPorts({{"COM257", kUsbDescription}, {"COM12", kUsbDescription}}));
    // The line at its real speed, and a slow erase, so the erase is seen for a while.
    ASSERT_NO_FATAL_FAILURE(startLoader("--paced --erase-dot-ms 150", 12));
    ASSERT_NO_FATAL_FAILURE(launch(program));
    ASSERT_EQ(window.portRows(), (std::vector<std::string>{usbRow("COM257"), usbRow("COM12")}));
    EXPECT_EQ(window.stableState().release, "v1.01");
    PhaseWatcher refused(window);
    window.click(installer::kConnectButton);
    ASSERT_TRUE(refused.watch([](const Observation& o) { return o.phase == Phase::PortNotFound; }, 30000))
        << refused.describe();
    EXPECT_EQ(refused.last().state.connection, "Connection failed - Illegal com port id.");
    window.selectRow(1);
    PhaseWatcher connecting(window);
    ASSERT_NO_FATAL_FAILURE(connect(connecting));
    const std::string summary = connecting.last().state.connection;
    ASSERT_EQ(summary, expectedSummary());
    const size_t updateTextsFrom = tap.recorded();

    PhaseWatcher watcher(window);
    CompletionBox box;
    bool aboutOpened = false;
    window.click(installer::kUpdateButton);
    const bool ended = watcher.watch(
        [&](const Observation& o) {
            if (stoppedShort(o.phase)) return true;
            if (o.phase == Phase::Programming && !aboutOpened) {
                aboutOpened = true;
                expectAboutBoxKeepsTheUpdateGoing();
            }
            answerCompletionBox(box);
            return box.seen && o.phase == Phase::Complete && o.state.connectEnabled;
        },
        600000);
    ASSERT_TRUE(ended) << watcher.describe() << describeTexts(tapped(updateTextsFrom));
    std::printf("[          ] %s\n", watcher.timeline().c_str());

    std::vector<Phase> phases = watcher.phases();
    if (!phases.empty() && phases.front() == Phase::Connected) phases.erase(phases.begin());
    EXPECT_EQ(phases, (std::vector<Phase>{Phase::Pic2, Phase::Pic3, Phase::Pic4, Phase::Erasing,
                                          Phase::Programming, Phase::Complete}))
        << watcher.describe();
    for (const Observation& o : watcher.history()) expectUpdateRow(o, summary);
    expectBarMonotonic(watcher.history());

    // The completion box: its caption found it; its text is the status box's.
    EXPECT_TRUE(aboutOpened);
    EXPECT_TRUE(box.seen);
    EXPECT_EQ(box.text, installer::kCompleteStatus);
    EXPECT_TRUE(box.hasOk);
    EXPECT_FALSE(box.hasCancel);

    // After it: phase "Complete" with Connect and the port list on, Update off.
    const WindowState done = window.stableState();
    EXPECT_EQ(classifyPhase(done), Phase::Complete);
    EXPECT_TRUE(done.portListEnabled);
    EXPECT_TRUE(done.connectEnabled);
    EXPECT_FALSE(done.updateEnabled);
    EXPECT_FALSE(done.progressEnabled);
    EXPECT_EQ(done.progressPosition, 0);
    // The keyboard is on Connect again: the read-only connection box has not taken the
    // focus (with its whole text selected) while no button could have it. The dialog gets
    // its focus back when it is activated again after the box, which a loaded machine delays.
    EXPECT_TRUE(window.waitForFocus(installer::kConnectButton)) << "the focus is on " << window.focusedControl();

    // Every text the update showed, in order, whatever the sampling missed.
    const std::vector<std::pair<int, std::string>> expected = updateTexts();
    const auto texts = tapped(updateTextsFrom);
    EXPECT_EQ(texts, expected) << describeTexts(texts);
    // The bar set up for each PIC, the erase and the programming, and reset at the end:
    // never in its error state.
    EXPECT_EQ(tap.barStates(updateTextsFrom), std::vector<int>(6, PBST_NORMAL));

    // The log's folder, in that profile, opens from the menu.
    ASSERT_NO_FATAL_FAILURE(expectShowLogsOpensTheLogsFolder());

    // Idle again: closing does not ask.
    EXPECT_EQ(closeWithoutQuestion(), 0u);

    // The log keeps it all, in order: both ports tried, the connection summary, every text
    // of the update with the Blackfin's progress at each tenth, the completion and its box,
    // the closing line, and the program's end.
    const std::vector<std::string> lines = ownLog();
    ASSERT_NO_FATAL_FAILURE(expectLogHeader(lines, program));
    const std::vector<std::string> logged = loggedTexts(lines);
    std::vector<std::string> wanted = {"Connect: " + usbRow("COM257"),
                                       "connection line: Connection failed - Illegal com port id.",
                                       "Connect: " + usbRow("COM12"), "connection line: " + summary};
    for (const auto& t : expected) wanted.push_back(logLine(t));
    wanted.push_back("message box \"Update Complete\": " + std::string(installer::kCompleteStatus));
    wanted.push_back("Program closed.");
    EXPECT_TRUE(holdsInOrder(logged, wanted));
    // The progress between the programming's start and the completion.
    const auto programming =
        std::find(logged.begin(), logged.end(), logLine({installer::kStatusBox, installer::kProgrammingStatus}));
    const auto completion =
        std::find(logged.begin(), logged.end(), logLine({installer::kStatusBox, installer::kCompleteStatus}));
    ASSERT_TRUE(programming < completion);
    expectBlackfinProgress(std::vector<std::string>(programming, completion));
    EXPECT_EQ(std::count_if(logged.begin(), logged.end(),
                            [](const std::string& l) { return l.rfind("Blackfin: ", 0) == 0; }),
              10);
    // Closing line: complete, with the time of each phase from Connect on.
    const auto closing = std::find_if(logged.begin(), logged.end(),
                                      [](const std::string& l) { return l.rfind("Update complete", 0) == 0; });
    ASSERT_NE(closing, logged.end()) << "no closing line saying complete";
    EXPECT_EQ(closing->rfind("Update complete. Phase times: connect ", 0), 0u) << *closing;
    for (const char* phase : {", PIC 2 ", ", PIC 3 ", ", PIC 4 ", ", erase ", ", Blackfin "})
        EXPECT_NE(closing->find(phase), std::string::npos) << phase << " in: " << *closing;
    EXPECT_TRUE(holdsInOrder(logged, {logLine({installer::kStatusBox, installer::kCompleteStatus}), *closing,
                                      "message box \"Update Complete\": " + std::string(installer::kCompleteStatus)}));
    // Before it, the Blackfin's pace beside the line's own. The simulator passes each echo on
    // as it comes, yet the pace is this machine's: on a rig loaded by other runs it can pass
    // twice the line's own, and then the word about an adapter holding bytes must follow it.
    const auto pace = std::find_if(logged.begin(), closing,
                                   [](const std::string& l) { return l.rfind("Blackfin pace: ", 0) == 0; });
    ASSERT_NE(pace, closing) << "no pace line before the closing line";
    std::printf("[          ] %s\n", pace->c_str());
    double measured = 0;
    expectPaceLine(*pace, kBlackfinLines, kBlackfinLines, &measured);
    const long adapterLines = std::count_if(logged.begin(), logged.end(), isAdapterLine);
    const double twiceOwn = 2 * 6.3;  // the pace line gives tenths: a figure within one of it decides nothing
    if (measured < twiceOwn - 0.1 || measured > twiceOwn + 0.1) {
        EXPECT_EQ(adapterLines, measured > twiceOwn ? 1 : 0) << *pace;
        EXPECT_EQ(closing - pace, measured > twiceOwn ? 2 : 1) << "the pace and adapter lines lead to the closing line";
    }

    const nlohmann::json result = stopLoader();
    expectEveryTargetExact(result);
    std::vector<std::string> commands;
    for (const nlohmann::json& c : result.at("commands")) commands.push_back(c.get<std::string>());
    EXPECT_EQ(commands, (std::vector<std::string>{"###", "VERSION", "PIC_VERS 2", "PIC_VERS 3", "PIC_VERS 4",
                                                  "LOAD_PIC 2", "PIC_VERS 2", "LOAD_PIC 3", "PIC_VERS 3",
                                                  "LOAD_PIC 4", "PIC_VERS 4", "ERASE_PROGRAM", "LOAD_PROGRAM"}));
}

// A PC where no log can be written (here a plain file stands where the logs' folder belongs)
// updates as any other, showing the same texts, and says nothing about the log.
TEST_F(GuiTest, UpdateWithoutAWritableLogFolderShowsTheSameTextsAndNoMessage) {
    ASSERT_NO_FATAL_FAILURE(clearLogsFolder());
    const std::string folder = logsFolder();
    ASSERT_TRUE(RemoveDirectoryA(folder.c_str())) << "error " << GetLastError();
    {
        UniqueFileHandle plain(CreateFileA(folder.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));
        ASSERT_TRUE(plain.valid()) << "error " << GetLastError();
    }
    ASSERT_NO_FATAL_FAILURE(registerComOne());
    ASSERT_NO_FATAL_FAILURE(startLoader());
    ASSERT_NO_FATAL_FAILURE(launch());
    std::vector<std::string> boxes = openBoxes(installer.id(), window.handle());
    PhaseWatcher connecting(window);
    ASSERT_NO_FATAL_FAILURE(connect(connecting));
    const size_t from = tap.recorded();

    PhaseWatcher watcher(window);
    CompletionBox box;
    window.click(installer::kUpdateButton);
    const bool ended = watcher.watch(
        [&](const Observation& o) {
            for (const std::string& caption : openBoxes(installer.id(), window.handle()))
                if (caption != installer::kCompleteCaption) boxes.push_back(caption);
            answerCompletionBox(box);
            return (box.seen && o.phase == Phase::Complete && o.state.connectEnabled) ||
                   o.phase == Phase::FailedWhileConnecting || o.phase == Phase::FailedOtherwise;
        },
        300000);
    ASSERT_TRUE(ended) << watcher.describe() << describeTexts(tapped(from));
    EXPECT_TRUE(box.seen);
    EXPECT_EQ(tapped(from), updateTexts()) << describeTexts(tapped(from));
    EXPECT_EQ(closeWithoutQuestion(), 0u);
    EXPECT_TRUE(boxes.empty()) << "the installer showed \"" << boxes.front() << "\"";
    expectEveryTargetExact(stopLoader());

    // The plain file is as it was; there is no log anywhere.
    const DWORD attributes = GetFileAttributesA(folder.c_str());
    EXPECT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0);
    EXPECT_TRUE(DeleteFileA(folder.c_str())) << "error " << GetLastError();
}

TEST(TransferProgress, CountsTheRecordsFromTheBarWithRateAndTimeLeft) {
    WindowState s;
    s.progressEnabled = true;
    s.progressHigh = kBlackfinLines - 1;
    s.progressPosition = 15;
    EXPECT_EQ(TransferProgress::fromBar(s, 500).describe(), "   15 of 8,585 records    0 %  -- records/s  -:-- left");
    s.progressPosition = 4213;
    const TransferProgress half = TransferProgress::fromBar(s, 44000);
    EXPECT_EQ(half.records, 4213);
    EXPECT_EQ(half.total, kBlackfinLines);
    EXPECT_EQ(half.describe(), "4,213 of 8,585 records   49 %  96 records/s  0:46 left");
    const TransferProgress whole{kBlackfinLines, kBlackfinLines, 60000};
    EXPECT_EQ(whole.describe(), "8,585 of 8,585 records  100 %  143 records/s  0:00 left");
    const TransferProgress slow{100, kBlackfinLines, 10000};
    EXPECT_EQ(slow.describe(), "  100 of 8,585 records    1 %  10 records/s  14:09 left");
}

// The update asks Windows itself to keep the PC awake, as Wine's relay trace of the installer
// shows, in one of two ways: a power request (Wine 10 makes one), or where PowerCreateRequest
// gives none (Wine 8 answers INVALID_HANDLE_VALUE) the window thread's execution state. The
// one that ran is checked whole: set after Update Instrument, cleared before the completion
// box. The throttling opt-out is handed back when it was taken (Wine 10 takes it) and left at
// that when refused (Wine 8). A connection alone asks for nothing. A suspend notice is logged
// during the update only, and no other power notice is taken for one.
TEST_F(GuiTest, UpdateKeepsThePcAwakeThroughWindowsOwnCalls) {
    ASSERT_NO_FATAL_FAILURE(registerComOne());
    ASSERT_NO_FATAL_FAILURE(startLoader());
    const std::string trace =
        testenv::variable("KQ_BUILD_DIR") + "/gui-power-trace-" + std::to_string(GetCurrentProcessId()) + ".txt";
    ASSERT_NO_FATAL_FAILURE(launchTraced("kernel32.PowerCreateRequest;kernel32.PowerSetRequest;"
                                         "kernel32.PowerClearRequest;kernel32.SetThreadExecutionState;"
                                         "kernel32.SetProcessInformation;kernelbase.SetProcessInformation",
                                         trace));
    sendPowerNotice(window.handle());
    PhaseWatcher connecting(window);
    ASSERT_NO_FATAL_FAILURE(connect(connecting));
    EXPECT_EQ(powerCalls(trace), std::vector<std::string>()) << "a connection asked for power";

    PhaseWatcher watcher(window);
    CompletionBox box;
    bool suspended = false;
    std::vector<std::string> underBox;
    window.click(installer::kUpdateButton);
    const bool ended = watcher.watch(
        [&](const Observation& o) {
            if (stoppedShort(o.phase)) return true;
            if (o.phase == Phase::Programming && !suspended) {
                suspended = true;
                sendPowerNotice(window.handle(), PBT_APMPOWERSTATUSCHANGE);  // unplugged: no suspend
                sendPowerNotice(window.handle());
            }
            if (!box.seen && ModalBox::find(installer::kCompleteCaption, installer.id())) underBox = powerCalls(trace);
            answerCompletionBox(box);
            return box.seen && o.phase == Phase::Complete && o.state.connectEnabled;
        },
        300000);
    ASSERT_TRUE(ended) << watcher.describe();
    EXPECT_TRUE(suspended);
    ASSERT_GE(underBox.size(), 2u) << ::testing::PrintToString(underBox);
    const bool byRequest = underBox[0] != "PowerCreateRequest() = INVALID_HANDLE_VALUE";
    const std::string throttling = "SetProcessInformation(class 4) = 0x";
    const bool optedOut = std::count(underBox.begin(), underBox.end(), throttling + "1") != 0;
    std::vector<std::string> expected{underBox[0]};
    if (byRequest) {
        EXPECT_NE(underBox[0], "PowerCreateRequest() = 0x0");
        expected.insert(expected.end(), 3, "PowerSetRequest() = 0x1");  // system, display, execution
        expected.push_back(throttling + (optedOut ? "1" : "0"));
        expected.insert(expected.end(), 3, "PowerClearRequest() = 0x1");
    } else {
        EXPECT_EQ(underBox[1].rfind("SetThreadExecutionState(0x80000003) = 0x", 0), 0u) << underBox[1];
        EXPECT_NE(underBox[1], "SetThreadExecutionState(0x80000003) = 0x0") << "refused";
        // The answer to a call is the state before it: the update's held until handed back.
        expected.insert(expected.end(), {underBox[1], throttling + (optedOut ? "1" : "0"),
                                         "SetThreadExecutionState(0x80000000) = 0x80000003"});
    }
    if (optedOut) expected.push_back(throttling + "1");
    EXPECT_EQ(underBox, expected);
    EXPECT_EQ(closeWithoutQuestion(), 0u);
    EXPECT_EQ(powerCalls(trace), underBox) << "power calls after the update";
    expectEveryTargetExact(stopLoader());

    // One suspend line, the update's.
    const std::vector<std::string> logged = loggedTexts(ownLog());
    const std::string suspendLine = "Windows is suspending the PC: the update will stop";
    EXPECT_EQ(std::count(logged.begin(), logged.end(), suspendLine), 1);
    EXPECT_TRUE(holdsInOrder(logged, {"Update started", logLine({installer::kStatusBox, installer::kProgrammingStatus}),
                                      suspendLine, logLine({installer::kStatusBox, installer::kCompleteStatus})}));
    EXPECT_TRUE(DeleteFileA(testenv::windowsPath(trace).c_str())) << "error " << GetLastError();
}
