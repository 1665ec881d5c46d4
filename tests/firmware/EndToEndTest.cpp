// Whole updates through the engine against the loader simulator on COM4, over a real
// pseudo-terminal: connection, three PICs, erase and Blackfin, and the same run with
// the loader misbehaving part-way; and the port's Windows path over a model of the
// Windows serial driver on the same line.
#include <gtest/gtest.h>

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/Actions.h"
#include "engine/UpdateEngine.h"
#include "firmware/FirmwareResource.h"
#include "tests/firmware/ChainController.h"
#include "tests/firmware/ImageDigest.h"
#include "tests/serial/SerialTestKit.h"
#include <nlohmann/json.hpp>
#include "tests/support/RigClient.h"
#include "tests/support/TestEnvironment.h"

namespace {

// COM4, as the suite locks it; the benchmark may run both widths at once on two ports.
const int Com = std::getenv("KQ_END_TO_END_COM") ? std::atoi(std::getenv("KQ_END_TO_END_COM")) : 4;

struct ImageFacts {
    std::string target;   // the simulator's name for it
    std::string id;       // the image it must hold
    std::string sha256;   // of the image's data, worked out here
    std::string version;  // PICs: the version the image carries
    uint32_t lines = 0;
};

std::vector<ImageFacts> shippedImageFacts()
{
    const struct { const char* target; WORD id; const char* type; } list[] = {
        {"pic2", 301, "TALVOR_HEX"}, {"pic3", 302, "TALVOR_HEX"}, {"pic4", 303, "TALVOR_HEX"},
        {"blackfin", 300, "TALVOR_LDR"}};
    std::vector<ImageFacts> facts;
    for (const auto& entry : list) {
        FirmwareResource r;
        ImageFacts f;
        f.target = entry.target;
        f.id = std::to_string(entry.id);
        if (r.LoadFirmwareResource(entry.id, entry.type)) {
            const std::string text(r.resourceData, r.resourceSize);
            std::map<uint32_t, uint8_t> memory;
            std::string error;
            if (decodeIntelHex(text, memory, error)) {
                f.sha256 = sha256Hex(canonicalData(memory));
                if (entry.id != 300) f.version = picVersionOf(memory);
            }
            for (char c : text) f.lines += c == '\n';
        }
        facts.push_back(f);
    }
    return facts;
}

class EndToEndTest : public ::testing::Test {
protected:
    struct Run {
        nlohmann::json summary;
        std::string summaryText;
        double updateSeconds = 0;  // Update Instrument to OnComplete or OnFailed
        size_t driverHeld = 0;     // driver model: operations it held once the port had closed
    };

    void SetUp() override
    {
        ASSERT_TRUE(rig.connected()) << rig.lastError();
        controller = std::make_unique<ChainController>();
        ASSERT_NE(controller->window(), nullptr) << "no window: run inside the rig";
        controller->updateOnConnect = true;
        engine = controller->startEngine();
        ASSERT_NE(engine, nullptr);
        ASSERT_TRUE(controller->waitForPort());
    }

    void TearDown() override
    {
        if (controller) {
            EXPECT_TRUE(controller->allOnWindowThread());
        }
        controller.reset();
    }

    // Starts the simulator with `options`, connects, and lets the update run until it
    // completes or fails; then stops the simulator and reads its summary.
    void runUpdate(const std::string& options, Run& run, DWORD limitMs = 300000)
    {
        const std::string images = testenv::variable("KQ_SOURCE_DIR") + "/resources/firmware";
        const int id = rig.start(Com, "loader --expect-dir " + images + " " + options);
        ASSERT_GE(id, 0) << rig.lastError();

        LARGE_INTEGER frequency, begin, end;
        QueryPerformanceFrequency(&frequency);
        engine->postWork(new ActionFindPort(Com));
        ASSERT_TRUE(controller->waitForCalls("OnConnected", 1, 30000)) << controller->describe();
        QueryPerformanceCounter(&begin);
        const bool ended = controller->pumpUntil([this] { return controller->endings > 0; }, limitMs);
        QueryPerformanceCounter(&end);
        run.updateSeconds = static_cast<double>(end.QuadPart - begin.QuadPart) / frequency.QuadPart;
        // Whatever else is still on its way is let in before judging.
        controller->pumpFor(300);
        // Before the simulator ends: its vanishing line would complete what the port left.
        if (driver) run.driverHeld = driver->unfinishedOperations();

        run.summaryText = rig.stop(id);
        run.summary = nlohmann::json::parse(run.summaryText, nullptr, false);
        ASSERT_FALSE(run.summary.is_discarded()) << "bad summary:\n" << run.summaryText;
        ASSERT_TRUE(ended) << "the update neither completed nor failed\n" << tail();
    }

    std::string tail() const
    {
        std::string text = controller->describe();
        if (text.size() > 6000) text = "..." + text.substr(text.size() - 6000);
        // A window queue that filled up has had actions refused and destroyed by the
        // engine: lost progress steps, or a lost hand-over that leaves the update stuck.
        return text + "window queue peak: " + std::to_string(engine->windowQueue.getPeak()) + " of " +
               std::to_string(UpdateEngine::WindowQueueSlots - 1) + "\n";
    }

    // The commands the loader received from the update on, in order.
    static std::vector<std::string> updateCommands(const nlohmann::json& summary)
    {
        std::vector<std::string> list;
        bool started = false;
        for (const nlohmann::json& c : summary.at("commands")) {
            if (c.get<std::string>() == "LOAD_PIC 2") started = true;
            if (started) list.push_back(c.get<std::string>());
        }
        return list;
    }

    size_t phaseSteps(const std::string& name) const
    {
        for (const auto& p : controller->phases)
            if (p.name == name) return p.steps;
        return 0;
    }

    // The window saw exactly `steps` progress steps in `phase`. The engine leaves a
    // step out rather than let progress fill the window queue's last slots, which
    // belong to the results that end a phase; so the count is exact whenever the
    // queue never got that full, and may only fall short when it did.
    void expectSteps(const std::string& phase, size_t steps)
    {
        const uint32_t peak = engine->windowQueue.getPeak();
        const uint32_t stepsRefusedFrom =
            UpdateEngine::WindowQueueSlots - 1 - UpdateEngine::WindowQueueReserve;
        if (peak < stepsRefusedFrom) {
            EXPECT_EQ(phaseSteps(phase), steps) << phase;
        } else {
            EXPECT_LE(phaseSteps(phase), steps) << phase << ", window queue peak " << peak;
            EXPECT_GT(phaseSteps(phase), 0u) << phase;
        }
    }

    // The update ended on the failure path in `lastPhase` and never completed. A line
    // that vanishes may be reported more than once (read and write both fail); a
    // response time-out closes the port, which comes back as exactly one failure.
    void expectFailureEnding(const std::string& lastPhase, bool byTimeout)
    {
        EXPECT_EQ(controller->count("OnComplete"), 0u) << tail();
        if (byTimeout) {
            EXPECT_EQ(controller->responseTimeouts, 1u) << tail();
            EXPECT_EQ(controller->count("OnFailed"), 1u) << tail();
            EXPECT_EQ(controller->chainSlots.back(), "OnFailed");
        } else {
            EXPECT_GE(controller->count("OnFailed"), 1u) << tail();
        }
        ASSERT_FALSE(controller->phases.empty());
        EXPECT_EQ(controller->phases.back().name, lastPhase) << tail();
        EXPECT_EQ(engineMode(), Idle);
    }
    static bool holdsAnImage(const Run& run, const std::string& target)
    {
        return run.summary.at("targets").at(target).at("image").is_string();
    }

    uint32_t engineMode()
    {
        auto held = engine->lock.lock();
        return engine->mode;
    }

    // Each target holds exactly its image's data, and the PICs report the version it carries.
    void expectEveryTargetExact(const Run& run, const std::vector<ImageFacts>& facts)
    {
        for (const ImageFacts& f : facts) {
            const nlohmann::json& t = run.summary.at("targets").at(f.target);
            EXPECT_EQ(t.at("sha256").get<std::string>(), f.sha256) << f.target;
            EXPECT_EQ(t.at("image").get<std::string>(), f.id) << f.target;
            EXPECT_EQ(t.at("loads").get<long long>(), 1) << f.target;
            EXPECT_EQ(static_cast<uint32_t>(t.at("records").get<long long>()), f.lines) << f.target;
            EXPECT_TRUE(t.at("bad_records").empty()) << f.target;
            if (f.target != "blackfin") {
                ASSERT_FALSE(f.version.empty()) << f.target;
                EXPECT_EQ(t.at("version").get<std::string>(), f.version) << f.target;
            }
        }
    }

    // The port takes the path every Windows user runs (waiting for line events, then
    // reading with the 1 ms time-outs) over a model of the Windows serial driver on the
    // simulator's line. Set while the port is closed, before connecting.
    void useWindowsDriverModel()
    {
        driver = std::make_unique<serialtest::WindowsDriverModel>();
        auto held = engine->lock.lock();
        engine->port->setDeviceApi(driver->api());
    }

    // After the port has closed, the driver holds none of its operations: each wait,
    // read and write ended before the storage the port gave it went away.
    static void expectDriverLetGo(const Run& run)
    {
        EXPECT_EQ(run.driverHeld, 0u) << "operations still held by the driver after the port closed";
    }

    // The line vanishes at Blackfin record 40 under the driver model, failing its calls at
    // once or late.
    void expectVanishReportedByThePort(bool late)
    {
        useWindowsDriverModel();
        driver->failLate(late);
        Run run;
        runUpdate("--vanish-after-record 40 --fault-target blackfin", run);
        expectFailureEnding("Blackfin", false);
        // The failed calls end the update within milliseconds; only a port that overlooked
        // them would leave it to the response timer's 2 s of silence.
        EXPECT_EQ(controller->responseTimeouts, 0u) << tail();
        EXPECT_TRUE(driver->lineVanished());
        EXPECT_TRUE(run.summary.at("vanished").get<bool>());
        EXPECT_FALSE(holdsAnImage(run, "blackfin"));
        expectDriverLetGo(run);
        // Until the port closed, each wait or read the event thread made on the vanished
        // line was followed by the pause: a few dozen calls a second, not a spin.
        const size_t pauses = driver->callsAfterVanish("Rest " + std::to_string(SerialPort::ImmediateFailurePauseMs));
        EXPECT_LE(driver->callsAfterVanish("WaitCommEvent"), pauses + 1) << tail();
        EXPECT_LE(driver->callsAfterVanish("ReadFile"), pauses + 1) << tail();
    }

    RigClient rig;
    std::unique_ptr<serialtest::WindowsDriverModel> driver;  // outlives the engine's port
    std::unique_ptr<ChainController> controller;
    UpdateEngine* engine = nullptr;
};

void report(const char* name, double seconds, const nlohmann::json& summary, uint32_t windowQueuePeak)
{
    const double toLoader = static_cast<double>(summary.at("bytes_received").get<long long>());
    const double fromLoader = static_cast<double>(summary.at("bytes_sent").get<long long>());
    std::printf("[ timing   ] %s: update %.1f s; bytes to loader %.0f (%.1f s at 115200 baud, 10 bits per byte), "
                "from loader %.0f (%.1f s)\n",
                name, seconds, toLoader, toLoader * 10 / 115200, fromLoader, fromLoader * 10 / 115200);
    std::printf("[ queue    ] %s: most window actions waiting at once %u of 15\n", name, windowQueuePeak);
    ::testing::Test::RecordProperty(std::string(name) + "_seconds", static_cast<int>(seconds * 1000));
}

TEST_F(EndToEndTest, WholeUpdateLeavesEveryTargetHoldingItsImage)
{
    const std::vector<ImageFacts> facts = shippedImageFacts();
    for (const ImageFacts& f : facts) ASSERT_EQ(f.sha256.size(), 64u) << "image " << f.id;

    Run run;
    runUpdate("", run);
    SCOPED_TRACE("window queue peak " + std::to_string(engine->windowQueue.getPeak()) +
                 " (at 15 the engine destroys window actions it cannot queue)");
    ASSERT_EQ(controller->count("OnComplete"), 1u) << tail() << run.summaryText;
    report("unpaced", run.updateSeconds, run.summary, engine->windowQueue.getPeak());

    EXPECT_EQ(controller->chainSlots,
              (std::vector<std::string>{"OnConnected", "Update", "OnPicProgram", "OnNextPic", "OnPicProgram",
                                        "OnNextPic", "OnPicProgram", "OnBlackfinProgramPreamble",
                                        "OnBlackfinErasePreamble", "OnBlackfinErasePostamble", "OnComplete"}));
    EXPECT_EQ(controller->count("OnFailed"), 0u);
    EXPECT_EQ(controller->responseTimeouts, 0u);

    expectEveryTargetExact(run, facts);
    EXPECT_EQ(run.summary.at("/targets/blackfin/erases"_json_pointer).get<long long>(), 1);
    EXPECT_TRUE(run.summary.at("/targets/blackfin/boot_stream/final_seen"_json_pointer).get<bool>());

    EXPECT_EQ(updateCommands(run.summary),
              (std::vector<std::string>{"LOAD_PIC 2", "PIC_VERS 2", "LOAD_PIC 3", "PIC_VERS 3", "LOAD_PIC 4",
                                        "PIC_VERS 4", "ERASE_PROGRAM", "LOAD_PROGRAM"}));

    // The texts of the update, from the first PIC on, in order.
    std::vector<std::string> texts = controller->statusTexts();
    size_t first = 0;
    while (first < texts.size() && texts[first] != "Programming PIC2...") ++first;
    texts.erase(texts.begin(), texts.begin() + static_cast<std::ptrdiff_t>(first));
    std::vector<std::string> expected;
    for (int pic = 2; pic <= 4; ++pic) {
        const std::string n = std::to_string(pic);
        expected.push_back("Programming PIC" + n + "...");
        expected.push_back("Verify transfered version for PIC" + n + ".");
        expected.push_back("PIC" + n + " version is now \"" + facts[static_cast<size_t>(pic - 2)].version + "\"");
    }
    for (const char* t : {"Erasing application memory...", "Erasing program blocks...", "Application erased.",
                          "Programming application...", "Application firmware data transfer complete."})
        expected.push_back(t);
    EXPECT_EQ(texts, expected);

    // Progress: N records and the completion per transfer; banner and eleven dots for the erase.
    ASSERT_EQ(controller->phases.size(), 5u);
    expectSteps("PIC2", 143);
    expectSteps("PIC3", 176);
    expectSteps("PIC4", 121);
    expectSteps("erase", 12);
    expectSteps("Blackfin", 8586);
    EXPECT_EQ(controller->phases.back().range, 8584u);
}

TEST_F(EndToEndTest, PacedAt115200BaudTheUpdateStillCompletes)
{
    Run run;
    runUpdate("--baud 115200", run, 600000);
    ASSERT_EQ(controller->count("OnComplete"), 1u) << tail();
    report("paced 115200", run.updateSeconds, run.summary, engine->windowQueue.getPeak());
    EXPECT_EQ(controller->responseTimeouts, 0u);
    EXPECT_EQ(run.summary.at("/targets/blackfin/image"_json_pointer).get<std::string>(), "300");
    expectSteps("Blackfin", 8586);
}

TEST_F(EndToEndTest, ABrokenRecordEchoStopsThePicTransferAndTheTimerEndsIt)
{
    Run run;
    runUpdate("--change-echo-byte 5 --fault-target pic3", run);
    expectFailureEnding("PIC3", true);
    expectSteps("PIC3", 5);  // records 1 to 5 were written; the fifth's echo never matched
    EXPECT_EQ(run.summary.at("/targets/pic3/records"_json_pointer).get<long long>(), 5);
    EXPECT_EQ(run.summary.at("/targets/pic4/loads"_json_pointer).get<long long>(), 0);
    EXPECT_EQ(run.summary.at("/targets/pic2/image"_json_pointer).get<std::string>(), "301");
}

TEST_F(EndToEndTest, AStrayByteBeforeAnEchoIsFatalToo)
{
    Run run;
    runUpdate("--stray-byte 7 --fault-target blackfin", run);
    expectFailureEnding("Blackfin", true);
    expectSteps("Blackfin", 7);
    EXPECT_FALSE(holdsAnImage(run, "blackfin"));
}

TEST_F(EndToEndTest, SilenceAfterARecordLetsTheResponseTimerEndTheUpdate)
{
    Run run;
    runUpdate("--silent-after-record 100 --fault-target blackfin", run);
    expectFailureEnding("Blackfin", true);
    EXPECT_FALSE(holdsAnImage(run, "blackfin"));
    expectSteps("Blackfin", 101);  // record 101 was written and never echoed
    EXPECT_EQ(run.summary.at("/targets/blackfin/erases"_json_pointer).get<long long>(), 1);
}

TEST_F(EndToEndTest, AMissingCompleteAfterTheLastRecordEndsInFailure)
{
    Run run;
    runUpdate("--no-complete pic4", run);
    expectFailureEnding("PIC4", true);
    expectSteps("PIC4", 120);  // every record, but no completion step
    EXPECT_TRUE(holdsAnImage(run, "pic4")) << "the data itself all arrived";
    EXPECT_EQ(controller->count("OnBlackfinProgramPreamble"), 0u);
}

TEST_F(EndToEndTest, TheLineVanishingMidTransferEndsInFailure)
{
    Run run;
    runUpdate("--vanish-after-record 40 --fault-target blackfin", run);
    expectFailureEnding("Blackfin", false);
    EXPECT_FALSE(holdsAnImage(run, "blackfin"));
    EXPECT_TRUE(run.summary.at("vanished").get<bool>());
    EXPECT_LE(phaseSteps("Blackfin"), 41u);
}

TEST_F(EndToEndTest, TheLineVanishingDuringAPicEndsInFailure)
{
    Run run;
    runUpdate("--vanish-after-record 20 --fault-target pic2", run);
    expectFailureEnding("PIC2", false);
    EXPECT_TRUE(run.summary.at("vanished").get<bool>());
    EXPECT_EQ(run.summary.at("/targets/pic3/loads"_json_pointer).get<long long>(), 0);
}

// The Windows path over the driver model. The names carry "WindowsDriver": the
// 64-bit build runs these cases alone (tests/firmware/CMakeLists.txt).

TEST_F(EndToEndTest, WindowsDriverWholeUpdateLeavesEveryTargetExact)
{
    const std::vector<ImageFacts> facts = shippedImageFacts();
    useWindowsDriverModel();
    Run run;
    runUpdate("", run);
    ASSERT_EQ(controller->count("OnComplete"), 1u) << tail() << run.summaryText;
    report("Windows driver model", run.updateSeconds, run.summary, engine->windowQueue.getPeak());
    EXPECT_EQ(controller->count("OnFailed"), 0u);
    EXPECT_EQ(controller->responseTimeouts, 0u);
    expectEveryTargetExact(run, facts);
    expectSteps("Blackfin", 8586);
    expectDriverLetGo(run);
}

TEST_F(EndToEndTest, WindowsDriverMoreThanOneReadOfTextBeforeTheSignOnLine)
{
    // "###" and 21 self-test lines, 624 bytes at once, then the sign-on line: more than
    // one 512-byte read takes, in a driver that keeps 4 KiB whatever SetupComm asked for.
    useWindowsDriverModel();
    driver->keepBufferOf(4096);
    controller->updateOnConnect = false;
    const int id = rig.start(Com, "loader --signon-extra-lines 21");
    ASSERT_GE(id, 0) << rig.lastError();
    engine->postWork(new ActionFindPort(Com));
    const bool connected = controller->waitForCalls("OnConnected", 1, 30000);
    controller->closePort(true);
    Run run;
    run.driverHeld = driver->unfinishedOperations();
    const nlohmann::json summary = nlohmann::json::parse(rig.stop(id), nullptr, false);
    ASSERT_TRUE(connected) << tail();
    const std::vector<std::string> texts = controller->statusTexts();
    EXPECT_NE(std::find(texts.begin(), texts.end(), "KQ7750 Connected: \"KQ7750 Loader V2.04\""), texts.end())
        << tail();
    ASSERT_FALSE(summary.is_discarded());
    EXPECT_GE(summary.at("bytes_sent").get<long long>(), 624 + 21);
    EXPECT_EQ(summary.at("commands"),
              nlohmann::json::parse(R"(["###", "VERSION", "PIC_VERS 2", "PIC_VERS 3", "PIC_VERS 4"])"));
    expectDriverLetGo(run);
}

TEST_F(EndToEndTest, WindowsDriverTheLineVanishingMidBlackfinIsReportedByThePort)
{
    expectVanishReportedByThePort(false);
}

TEST_F(EndToEndTest, WindowsDriverFailingLateTheLineVanishingIsReportedByThePortAndPaced)
{
    // The driver of a pulled adapter that completes each call a moment later with an
    // error, waits with an empty mask.
    expectVanishReportedByThePort(true);
}

TEST_F(EndToEndTest, WindowsDriverClosingWhileAWaitIsPendingEndsTheWait)
{
    // The loader falls silent; the response timer closes the port while the event
    // thread waits for a line event.
    useWindowsDriverModel();
    Run run;
    runUpdate("--silent-after-record 100 --fault-target blackfin", run);
    expectFailureEnding("Blackfin", true);
    EXPECT_GE(driver->waitsCancelled(), 1u) << "no line-event wait was cancelled when the port closed";
    expectDriverLetGo(run);
}

// The Windows path's speed, for scripts/bench.sh (never run by the suite): the whole update
// with the loader pacing at 115200 baud over the driver model, whose writes end when a UART
// would have sent them, as KQ_WINDOWS_PATH asks:
// "built" (the rest as built), "ticks" (rests charged as a default Windows timer charges
// them), "latency16" or "latency1" (an adapter's latency timer). Prints the Blackfin
// transfer's seconds; asserts only that the update completed.
TEST_F(EndToEndTest, DISABLED_WindowsPathBlackfinAt115200)
{
    const char* variant = std::getenv("KQ_WINDOWS_PATH");
    const std::string name = variant ? variant : "built";
    useWindowsDriverModel();
    driver->sendAtLineSpeed(true);
    if (name == "ticks") driver->chargeRestsToTicks(true);
    else if (name == "latency16") driver->latencyTimer(16);
    else if (name == "latency1") driver->latencyTimer(1);
    else ASSERT_EQ(name, "built");
    Run run;
    runUpdate("--baud 115200", run, 900000);
    ASSERT_EQ(controller->count("OnComplete"), 1u) << tail();
    ASSERT_EQ(controller->phases.back().name, "Blackfin");
    const double seconds = controller->endedAt - controller->phases.back().began;
    std::printf("RESULT windows_path_%s %.3f\n", name.c_str(), seconds);
    report(("Windows path " + name).c_str(), run.updateSeconds, run.summary, engine->windowQueue.getPeak());
}

}  // namespace
