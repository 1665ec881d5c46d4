// Connection attempts over a real pseudo-terminal on COM3: a scripted peer that
// answers as the loader does, a silent one, one that vanishes mid-query, a
// missing device, and a retry while the port is open.
#include "tests/support/RigClient.h"  // winsock2.h must come before windows.h

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "engine/Actions.h"
#include "serial/SerialPort.h"
#include "tests/engine/EngineFixture.h"
#include <nlohmann/json.hpp>

namespace {

const int Com = 3;

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

std::string lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

const std::string SignOnLine = "KQ7750 Loader V2.07";
const std::string SpiVersion = "SPI EPROM V1.30";
const std::string PicVersions[3] = {"PIC2 V4.10", "PIC3 V4.20", "PIC4 V4.30"};

std::string composedSummary() {
    return "KQ7750 Connected: \"" + SignOnLine + "\", SPI EPROM \"" + SpiVersion + "\", PIC2 \"" +
           PicVersions[0] + "\", PIC3 \"" + PicVersions[1] + "\", PIC4 \"" + PicVersions[2] + "\"";
}

// Peer steps answering the sign-on and the four queries the way the loader
// does: each answer only after the whole command has arrived.
std::string loaderDialogue() {
    std::string s;
    s += "send:" + hex("###\r\n" + SignOnLine + "\r\n") + ";";
    s += "read:9:5000;send:" + hex("VERSION\r\nKQ7750 boot loader\r\n" + SpiVersion + "\r\n") + ";";
    for (int pic = 2; pic <= 4; ++pic) {
        const std::string command = "PIC_VERS " + std::to_string(pic);
        s += "read:12:5000;send:" + hex(command + "\r\n" + PicVersions[pic - 2] + "\r\n") + ";";
    }
    return s;
}

}  // namespace

class ConnectionTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        ASSERT_TRUE(rig.connected()) << rig.lastError();
    }

    int startLoader(const std::string& options) {
        const int id = rig.start(Com, "loader --idle-timeout 60000 " + options);
        EXPECT_GE(id, 0) << rig.lastError();
        return id;
    }

    nlohmann::json summaryOf(int id) {
        const std::string text = rig.stop(id);
        const nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
        EXPECT_FALSE(json.is_discarded()) << "bad summary:\n" << text;
        return json;
    }

    std::vector<std::string> commandsOf(const nlohmann::json& summary) {
        std::vector<std::string> commands;
        for (const nlohmann::json& c : summary.at("commands")) commands.push_back(c.get<std::string>());
        return commands;
    }

    int startPeer(const std::string& script) {
        const int id = rig.start(Com, "peer --idle-timeout 60000 --script \"" + script + "\"");
        EXPECT_GE(id, 0) << rig.lastError();
        return id;
    }

    // The bytes the peer received, from its summary.
    std::string receivedHex(int id) {
        const std::string summary = rig.stop(id);
        const nlohmann::json json = nlohmann::json::parse(summary, nullptr, false);
        if (json.is_discarded()) {
            ADD_FAILURE() << "bad summary:\n" << summary;
            return std::string();
        }
        return lower(json.at("received_hex").get<std::string>());
    }

    bool portOpen() {
        auto held = engine->lock.lock();
        return engine->port && engine->port->isOpen();
    }

    RigClient rig;
};

TEST_F(ConnectionTest, AttemptEndsConnectedWithTheExactTextsInOrder) {
    const int id = startPeer("read:3:5000;" + loaderDialogue());
    ASSERT_GE(id, 0);
    engine->postWork(new ActionFindPort(Com));
    ASSERT_TRUE(controller->waitForCalls("OnConnected", 1, 20000)) << controller->describe();
    settle();

    const std::vector<std::string> expected = {
        "KQ7750 Connected: \"" + SignOnLine + "\"",
        "Getting SPI EPROM versions...",
        "Getting PIC versions...",
        composedSummary(),
    };
    EXPECT_EQ(controller->statusTexts(), expected);
    ASSERT_EQ(controller->count("OnConnected"), 1u);
    EXPECT_TRUE(controller->last("OnConnected")->flag);
    EXPECT_EQ(controller->calls.back().slot, "OnConnected");
    EXPECT_EQ(controller->count("OnFailed"), 0u);
    {
        auto held = engine->lock.lock();
        EXPECT_EQ(connectionSummary, composedSummary());
        EXPECT_EQ(engine->mode, static_cast<uint32_t>(Connecting));
    }
    EXPECT_TRUE(portOpen());
    EXPECT_EQ(controller->timerRequests.size(), 4u);

    // On the wire: "###" bare, every command with CR LF, nothing else.
    controller->closePort(true);
    EXPECT_EQ(receivedHex(id), hex("###VERSION\r\nPIC_VERS 2\r\nPIC_VERS 3\r\nPIC_VERS 4\r\n"));
}

TEST_F(ConnectionTest, SilentLoaderGivesNoConnection) {
    const int id = startPeer("read:3:20000");
    ASSERT_GE(id, 0);
    engine->postWork(new ActionFindPort(Com));
    ASSERT_TRUE(controller->pumpUntil([&] { return portOpen(); }, 10000));
    controller->pumpFor(3000);
    EXPECT_TRUE(controller->calls.empty()) << controller->describe();
    EXPECT_TRUE(controller->timerRequests.empty()) << "the sign-on arms no response timer";
    controller->closePort(true);
    EXPECT_EQ(receivedHex(id), hex("###"));
}

TEST_F(ConnectionTest, LoaderVanishingMidQueryEndsInFailure) {
    controller->closePortOnFailed = true;
    const int id = startPeer("read:3:5000;send:" + hex("###\r\n" + SignOnLine + "\r\n") + ";read:9:5000;close");
    ASSERT_GE(id, 0);
    engine->postWork(new ActionFindPort(Com));
    ASSERT_TRUE(controller->waitForCalls("OnFailed", 1, 20000)) << controller->describe();
    settle();
    controller->pumpFor(200);

    EXPECT_EQ(controller->count("OnConnected"), 0u);
    const std::vector<std::string> texts = controller->statusTexts();
    ASSERT_GE(texts.size(), 3u) << controller->describe();
    EXPECT_EQ(texts[0], "KQ7750 Connected: \"" + SignOnLine + "\"");
    EXPECT_EQ(texts[1], "Getting SPI EPROM versions...");
    // The failure is announced by its text before the failure action.
    size_t firstFailed = 0;
    while (controller->calls[firstFailed].slot != "OnFailed") ++firstFailed;
    ASSERT_GE(firstFailed, 1u);
    const auto& before = controller->calls[firstFailed - 1];
    EXPECT_EQ(before.slot, "OnStatus");
    EXPECT_EQ(before.text.rfind("Communications failed - ", 0), 0u) << before.text;
    EXPECT_FALSE(portOpen());
    auto held = engine->lock.lock();
    EXPECT_EQ(engine->mode, static_cast<uint32_t>(Idle));
    (void)id;  // the simulator ended itself; the rig collects it when we disconnect
}

TEST_F(ConnectionTest, MissingDeviceIsReportedAndNotRetried) {
    ASSERT_TRUE(rig.unlink(Com)) << rig.lastError();
    engine->postWork(new ActionFindPort(Com));
    ASSERT_TRUE(controller->waitForCalls("OnPortNotFound", 1, 10000));
    settle();
    ASSERT_EQ(controller->calls.size(), 2u) << controller->describe();
    EXPECT_EQ(controller->calls[0].text, "Connection failed - Device handle allocation failed.");
    EXPECT_FALSE(portOpen());
}

TEST_F(ConnectionTest, RetryWhileOpenReportsTheClosingAndSignsOnAgain) {
    const int id = startPeer("read:3:5000;read:3:10000;" + loaderDialogue());
    ASSERT_GE(id, 0);
    engine->postWork(new ActionFindPort(Com));
    ASSERT_TRUE(controller->pumpUntil([&] { return portOpen(); }, 10000));
    controller->pumpFor(500);  // lets the first "###" go out
    engine->reconnect();
    ASSERT_TRUE(controller->waitForCalls("OnConnected", 1, 20000)) << controller->describe();
    settle();
    // The reopen closed the open port while connecting: one failure, before the connection.
    ASSERT_EQ(controller->count("OnFailed"), 1u) << controller->describe();
    EXPECT_LT(controller->last("OnFailed")->sequence, controller->last("OnConnected")->sequence);
    EXPECT_EQ(controller->statusTexts().back(), composedSummary());
    {
        auto held = engine->lock.lock();
        EXPECT_EQ(engine->port->getPortNumber(), static_cast<uint32_t>(Com));
    }
    controller->closePort(true);
    EXPECT_EQ(receivedHex(id).rfind(hex("######VERSION\r\n"), 0), 0u);
}

// ---- Against the loader simulator ----

TEST_F(ConnectionTest, LoaderSimulatorIdentifiesWithTheSummaryComposedFromItsLines) {
    // Loader text before the sign-on, text before the sign-on text on its line,
    // and noise bytes (controls, 0x80 and up) around every answer line.
    const int id = startLoader(
        "--loader-version 3.15 --signon-prefix \"Boot ROM \" --signon-extra-lines 2 "
        "--version-line1 \"Loader V3.15 build 7\" --spi-version \"SPI V9.87\" "
        "--pic-version 2=P2-A --pic-version 3=P3-B --pic-version \"4=P4 \\\"C\\\"\" --noise");
    ASSERT_GE(id, 0);
    engine->postWork(new ActionFindPort(Com));
    ASSERT_TRUE(controller->waitForCalls("OnConnected", 1, 20000)) << controller->describe();
    settle();

    const std::string signOn = "KQ7750 Connected: \"Boot ROM KQ7750 Loader V3.15\"";
    const std::string summary =
        signOn + ", SPI EPROM \"SPI V9.87\", PIC2 \"P2-A\", PIC3 \"P3-B\", PIC4 \"P4 \"C\"\"";
    EXPECT_EQ(controller->statusTexts(),
              (std::vector<std::string>{signOn, "Getting SPI EPROM versions...", "Getting PIC versions...", summary}));
    ASSERT_EQ(controller->count("OnConnected"), 1u);
    EXPECT_TRUE(controller->last("OnConnected")->flag);
    EXPECT_EQ(controller->calls.back().slot, "OnConnected");
    {
        auto held = engine->lock.lock();
        EXPECT_EQ(connectionSummary, summary);
    }
    controller->closePort(true);
    const nlohmann::json sim = summaryOf(id);
    EXPECT_EQ(commandsOf(sim),
              (std::vector<std::string>{"###", "VERSION", "PIC_VERS 2", "PIC_VERS 3", "PIC_VERS 4"}));
    EXPECT_EQ(sim.at("sign_ons").get<long long>(), 1);
}

TEST_F(ConnectionTest, LegacySignOnWithLineFeedsOnly) {
    const int id = startLoader("--m418 --lf-only");
    ASSERT_GE(id, 0);
    engine->postWork(new ActionFindPort(Com));
    ASSERT_TRUE(controller->waitForCalls("OnConnected", 1, 20000)) << controller->describe();
    settle();
    EXPECT_EQ(controller->statusTexts().back(),
              "KQ7750 Connected: \"M418 Loader V2.04\", SPI EPROM \"V3.21\", PIC2 \"V1.04\", "
              "PIC3 \"V1.10\", PIC4 \"V1.01\"");
    controller->closePort(true);
    summaryOf(id);
}

TEST_F(ConnectionTest, SilentOrSignOnlessLoaderGivesNoConnection) {
    for (const char* fault : {"--silent", "--no-signon --garbage-before-signon"}) {
        controller->clearRecord();
        const int id = startLoader(fault);
        ASSERT_GE(id, 0);
        engine->postWork(new ActionFindPort(Com));
        ASSERT_TRUE(controller->pumpUntil([&] { return portOpen(); }, 10000)) << fault;
        controller->pumpFor(2500);
        EXPECT_TRUE(controller->calls.empty()) << fault << "\n" << controller->describe();
        // Closed before the simulator ends, or its vanishing line is reported.
        controller->closePort(true);
        const nlohmann::json sim = summaryOf(id);
        EXPECT_EQ(commandsOf(sim), std::vector<std::string>{"###"}) << fault;
    }
}

TEST_F(ConnectionTest, StrayByteBeforeTheVersionEchoStallsTheQueryUntilTheResponseTimer) {
    controller->realResponseTimer = true;
    const int id = startLoader("--stray-byte VERSION");
    ASSERT_GE(id, 0);
    engine->postWork(new ActionFindPort(Com));
    // VERSION's timer request starts a real 2000 ms timer, which nothing stops.
    ASSERT_TRUE(controller->waitForCalls("OnResponseTimeout", 1, 20000)) << controller->describe();
    EXPECT_EQ(controller->statusTexts().size(), 2u) << controller->describe();
    EXPECT_EQ(controller->count("OnConnected"), 0u);
    EXPECT_EQ(controller->timerRequests.size(), 1u) << "no command follows VERSION";
    controller->closePort(true);
    summaryOf(id);
}

TEST_F(ConnectionTest, LoaderVanishingWhileAQueryWaitsEndsInFailure) {
    // The changed echo keeps VERSION waiting; then the device goes away.
    controller->closePortOnFailed = true;
    const int id = startLoader("--change-echo-byte VERSION");
    ASSERT_GE(id, 0);
    engine->postWork(new ActionFindPort(Com));
    ASSERT_TRUE(controller->pumpUntil([&] { return !controller->timerRequests.empty(); }, 10000))
        << controller->describe();
    controller->pumpFor(300);
    const nlohmann::json sim = summaryOf(id);  // ends the simulator: its line closes
    EXPECT_EQ(commandsOf(sim), (std::vector<std::string>{"###", "VERSION"}));
    ASSERT_TRUE(controller->waitForCalls("OnFailed", 1, 20000)) << controller->describe();
    settle();
    EXPECT_EQ(controller->count("OnConnected"), 0u);
    size_t firstFailed = 0;
    while (controller->calls[firstFailed].slot != "OnFailed") ++firstFailed;
    ASSERT_GE(firstFailed, 3u) << controller->describe();
    EXPECT_EQ(controller->calls[firstFailed - 1].text.rfind("Communications failed - ", 0), 0u)
        << controller->describe();
    EXPECT_FALSE(portOpen());
}
