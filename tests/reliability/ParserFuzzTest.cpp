// The reply parsers under hostile input, driven through the engine's own byte delivery:
// seeded random streams of every byte value, long runs without a line feed, and the
// connection dialogue split at every position with noise between its lines. Nothing may
// crash or hang, and no parser's line may grow without bound.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine/UpdateEngine.h"
#include "firmware/BlackfinEraseResponses.h"
#include "firmware/PicProgramVerifyResponse.h"
#include "firmware/RecordResponses.h"
#include "loader/SignOnResponse.h"
#include "loader/VersionResponses.h"
#include "serial/SerialPort.h"
#include "tests/support/TestController.h"

namespace {

// The receive queue holds 8192 bytes; a test feeds at most that much at once.
constexpr size_t kChunk = 8000;
constexpr DWORD kDeadlineMs = 30000;

struct ParserKind {
    const char* name;
    std::function<ResponseBase*()> make;
    const char* command;  // the echo it is armed with; null: none
};

std::vector<ParserKind> parserKinds() {
    return {
        {"SignOnResponse", [] { return new SignOnResponse(); }, "###"},
        {"VersionPart1Response", [] { return new VersionPart1Response(); }, "VERSION"},
        {"VersionPart2Response", [] { return new VersionPart2Response(); }, nullptr},
        {"PicVersionPart1Response", [] { return new PicVersionPart1Response(); }, "PIC_VERS 2"},
        {"PicVersionPart3Response", [] { return new PicVersionPart3Response(); }, "PIC_VERS 4"},
        {"PicProgramVerifyResponse", [] { return new PicProgramVerifyResponse(); }, "PIC_VERS 3"},
        {"BlackfinEraseStatusResponse", [] { return new BlackfinEraseStatusResponse(); }, "ERASE_PROGRAM"},
        {"BlackfinEraseCompleteResponse", [] { return new BlackfinEraseCompleteResponse(); }, nullptr},
        {"PicProgramRecordResponse", [] { return new PicProgramRecordResponse(); }, "LOAD_PIC 2"},
        {"BlackfinProgramRecordResponse", [] { return new BlackfinProgramRecordResponse(); }, "LOAD_PROGRAM"},
    };
}

class ParserFuzz : public ::testing::Test {
protected:
    void SetUp() override {
        controller = std::make_unique<TestController>();
        ASSERT_NE(controller->window(), nullptr) << "no window: run inside the rig (DISPLAY from Xvfb)";
        engine = controller->startEngine();
        ASSERT_NE(engine, nullptr);
        ASSERT_TRUE(controller->waitForPort());
        ASSERT_TRUE(controller->runOnWorker([this] {
            auto held = engine->lock.lock();
            engine->mode = Connecting;
        }));
    }

    void TearDown() override {
        if (controller) controller.reset();
        EXPECT_EQ(g_engine.load(), nullptr);
    }

    // Installs `parser` as the engine's current one, armed as its command would arm it.
    void install(ResponseBase* parser, const char* command) {
        ASSERT_TRUE(controller->runOnWorker([this, parser, command] {
            auto held = engine->lock.lock();
            engine->nextResponse.reset();
            engine->currentResponse.reset(parser);
            if (command) parser->setCommand(command);
        }));
    }

    // Hands `bytes` to the engine through the closed port's receive queue, chunk by chunk,
    // each chunk taken whole before the next goes in; false when the worker stalls.
    bool feed(const std::string& bytes) {
        for (size_t at = 0; at < bytes.size(); at += kChunk) {
            if (!controller->feedBytes(bytes.substr(at, kChunk))) return false;
            if (!controller->pumpUntil([this] { return receiveQueueEmpty(); }, kDeadlineMs)) return false;
        }
        // Every action the bytes caused has run, and the window has seen its share.
        if (!controller->runOnWorker([] {}, kDeadlineMs)) return false;
        controller->pumpPending();
        return true;
    }

    bool receiveQueueEmpty() {
        auto held = engine->lock.lock();
        return !engine->port || engine->port->getReceiveQueue().isEmpty();
    }

    // The current parser's line: its length and the room it holds.
    void currentLine(size_t& length, size_t& room, std::string* tail = nullptr) {
        length = room = 0;
        ASSERT_TRUE(controller->runOnWorker([&] {
            auto held = engine->lock.lock();
            if (!engine->currentResponse) return;
            length = engine->currentResponse->line.size();
            room = engine->currentResponse->line.capacity();
            if (tail) *tail = engine->currentResponse->line.substr(length > 32 ? length - 32 : 0);
        }));
    }

    std::unique_ptr<TestController> controller;
    UpdateEngine* engine = nullptr;
};

std::string printableRun(size_t n, std::mt19937& random) {
    std::uniform_int_distribution<int> printable(0x20, 0x7F);
    std::string run(n, ' ');
    for (char& c : run) c = static_cast<char>(printable(random));
    return run;
}

TEST_F(ParserFuzz, LongRunsWithoutLineFeedKeepEveryLineBounded) {
    std::mt19937 random(7750);
    for (const ParserKind& kind : parserKinds()) {
        SCOPED_TRACE(kind.name);
        ASSERT_NO_FATAL_FAILURE(install(kind.make(), kind.command));
        std::string bytes = kind.command ? kind.command : "";
        // A megabyte of printable text and no line feed: far beyond any reply.
        bytes += printableRun(1 << 20, random);
        ASSERT_TRUE(feed(bytes)) << "the worker stalled";
        size_t length = 0, room = 0;
        ASSERT_NO_FATAL_FAILURE(currentLine(length, room));
        EXPECT_LE(length, ResponseBase::LineLimit);
        EXPECT_LE(room, 2 * ResponseBase::LineLimit) << "the line's storage kept growing";
    }
}

// A loader that babbles without line ends before it signs on is still recognised, and the
// completion marker at the end of an overlong line is still found.
TEST_F(ParserFuzz, MarkersAfterAnOverlongLineAreStillFound) {
    std::mt19937 random(418);
    ASSERT_NO_FATAL_FAILURE(install(new SignOnResponse(), "###"));
    ASSERT_TRUE(feed("###" + printableRun(200000, random) + "KQ7750 Loader V2.04\r\n"));
    std::string summary;
    for (const TestController::SlotCall& c : controller->calls)
        if (c.slot == "OnStatus" && c.text.rfind("KQ7750 Connected: \"", 0) == 0) summary = c.text;
    ASSERT_FALSE(summary.empty()) << controller->describe();
    const std::string end = "KQ7750 Loader V2.04\"";
    EXPECT_EQ(summary.substr(summary.size() - end.size()), end) << summary.substr(summary.size() - 40);
    EXPECT_LE(summary.size(), ResponseBase::LineLimit + 32);

    controller->clearRecord();
    ASSERT_NO_FATAL_FAILURE(install(new BlackfinEraseCompleteResponse(), nullptr));
    ASSERT_TRUE(feed(printableRun(100000, random) + "Complete.\r\n"));
    EXPECT_EQ(controller->count("OnBlackfinErasePostamble"), 1u) << controller->describe();
}

// Every byte value at random, line feeds included, into each parser in turn; whatever the
// parsers chain to (commands go nowhere: the port is closed) takes the rest of the stream.
TEST_F(ParserFuzz, RandomStreamsOfEveryByteValue) {
    const unsigned seeds[] = {1, 0x7750, 0xC0FFEE};
    for (unsigned seed : seeds) {
        for (const ParserKind& kind : parserKinds()) {
            SCOPED_TRACE(std::string(kind.name) + ", seed " + std::to_string(seed));
            std::mt19937 random(seed);
            std::uniform_int_distribution<int> byte(0, 255);
            std::uniform_int_distribution<int> shape(0, 99);
            ASSERT_NO_FATAL_FAILURE(install(kind.make(), kind.command));
            std::string bytes = kind.command && shape(random) < 50 ? kind.command : "";
            for (int i = 0; i < 60000; ++i) {
                const int s = shape(random);
                if (s < 2) {
                    bytes += "Complete.\n";
                } else if (s < 4) {
                    bytes += "KQ7750 Loader V9.99\r\n";
                } else if (s < 5) {
                    bytes += printableRun(6000, random);  // now and then a line past the limit
                } else {
                    bytes += static_cast<char>(byte(random));
                }
            }
            ASSERT_TRUE(feed(bytes)) << "the worker stalled";
            size_t length = 0, room = 0;
            ASSERT_NO_FATAL_FAILURE(currentLine(length, room));
            EXPECT_LE(length, ResponseBase::LineLimit);
            EXPECT_LE(room, 2 * ResponseBase::LineLimit);
            // Sign-on and four version lines at most, however many lines follow the last reply.
            size_t summary = 0;
            ASSERT_TRUE(controller->runOnWorker([&] {
                auto held = engine->lock.lock();
                summary = connectionSummary.size();
            }));
            EXPECT_LE(summary, 5 * ResponseBase::LineLimit + 128);
            controller->clearRecord();
        }
    }
}

// The whole connection dialogue, split into two deliveries at every position, with
// carriage returns, empty lines and bytes from 0x80 up between its lines: it always ends in
// one OnConnected with the same summary.
TEST_F(ParserFuzz, ConnectionDialogueSplitAtEveryPositionWithNoise) {
    const std::string noise = "\r\x80\xFE\x01\r\n\x9B";
    const std::vector<std::string> parts = {
        "###",         "KQ7750 Loader V2.04\r\n", "VERSION",      "Loader V2.04\r\n", "V3.21\r\n",
        "PIC_VERS 2",  "V1.04\r\n",               "PIC_VERS 3",   "V1.10\r\n",        "PIC_VERS 4",
        "V1.01\r\n",
    };
    std::string dialogue;
    for (size_t i = 0; i < parts.size(); ++i) {
        dialogue += parts[i];
        // Noise only where the loader's own text may stand: after a reply line.
        if (parts[i].back() == '\n') dialogue += noise;
    }
    const std::string expected =
        "KQ7750 Connected: \"KQ7750 Loader V2.04\", SPI EPROM \"V3.21\", PIC2 \"V1.04\", PIC3 \"V1.10\", "
        "PIC4 \"V1.01\"";
    for (size_t split = 0; split <= dialogue.size(); ++split) {
        SCOPED_TRACE("split at " + std::to_string(split));
        controller->clearRecord();
        ASSERT_TRUE(controller->runOnWorker([this] { engine->startSignOn(); }));
        ASSERT_TRUE(feed(dialogue.substr(0, split)));
        ASSERT_TRUE(feed(dialogue.substr(split)));
        ASSERT_TRUE(controller->pumpUntil([this] { return controller->count("OnConnected") > 0; }, kDeadlineMs))
            << controller->describe();
        EXPECT_EQ(controller->count("OnConnected"), 1u);
        ASSERT_NE(controller->last("OnStatus"), nullptr);
        EXPECT_EQ(controller->last("OnStatus")->text, expected);
    }
}

}  // namespace
