// Commands and byte delivery: sendCommand's parser handling and timer request,
// the hand-over between parsers, the re-posting of the rest of a batch, the echo
// and line rules, and the whole connection dialogue fed in every split.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/Actions.h"
#include "loader/SignOnResponse.h"
#include "loader/VersionResponses.h"
#include "serial/SerialPort.h"
#include "tests/engine/EngineFixture.h"
#include "tests/support/TestActions.h"

namespace {

// What the test parsers saw, written on the worker and read by the test.
class ParserLog {
public:
    void add(const std::string& entry) {
        std::lock_guard<std::mutex> hold(guard);
        entries.push_back(entry);
    }
    std::vector<std::string> snapshot() const {
        std::lock_guard<std::mutex> hold(guard);
        return entries;
    }
    std::string bytesOf(const std::string& name) const {
        std::string bytes;
        for (const std::string& e : snapshot())
            if (e.size() == name.size() + 2 && e.compare(0, name.size() + 1, name + ":") == 0)
                bytes += e.back();
        return bytes;
    }
    bool has(const std::string& entry) const {
        for (const std::string& e : snapshot())
            if (e == entry) return true;
        return false;
    }

private:
    mutable std::mutex guard;
    std::vector<std::string> entries;
};

// Completes its reply at chosen byte counts and runs a hook when it does.
class ScriptedResponse : public ResponseBase {
public:
    ScriptedResponse(std::shared_ptr<ParserLog> journal, std::string parserName,
                     std::vector<size_t> completions, std::function<void()> hook = nullptr)
        : log(std::move(journal)), name(std::move(parserName)),
          completeAt(std::move(completions)), onComplete(std::move(hook)) {}
    ~ScriptedResponse() override { log->add(name + " destroyed"); }

    bool processByte(unsigned char byte) override {
        log->add(name + ":" + std::string(1, static_cast<char>(byte)));
        ++seen;
        for (size_t n : completeAt) {
            if (n == seen) {
                if (onComplete) onComplete();
                return true;
            }
        }
        return false;
    }
    void setCommand(const std::string& text) override {
        ResponseBase::setCommand(text);
        log->add(name + " armed with " + text);
    }

private:
    std::shared_ptr<ParserLog> log;
    std::string name;
    std::vector<size_t> completeAt;
    std::function<void()> onComplete;
    size_t seen = 0;
};

// The loader's side of a whole connection, as the parsers require it: the reply
// to the sign-on and to each of the four commands.
const std::string SignOnLine = "KQ7750 Loader V2.07 (c) 2009";
const std::vector<std::string> Replies = {
    "###\r\n" + SignOnLine + "\r\n",
    "VERSION\r\nBoot loader build 118\r\nSPI EPROM V1.30\r\n",
    "PIC_VERS 2\r\nPIC2 V4.10\r\n",
    "PIC_VERS 3\r\nPIC3 V4.20\r\n",
    "PIC_VERS 4\r\nPIC4 \"V4.30\"\r\n",
};
const std::string Transcript = Replies[0] + Replies[1] + Replies[2] + Replies[3] + Replies[4];
const std::string FinishedSummary =
    "KQ7750 Connected: \"" + SignOnLine + "\", SPI EPROM \"SPI EPROM V1.30\", PIC2 \"PIC2 V4.10\", "
    "PIC3 \"PIC3 V4.20\", PIC4 \"PIC4 \"V4.30\"\"";
const std::vector<std::string> ConnectionTexts = {
    "KQ7750 Connected: \"" + SignOnLine + "\"",
    "Getting SPI EPROM versions...",
    "Getting PIC versions...",
    FinishedSummary,
};

}  // namespace

class ResponseTest : public EngineTest {
protected:
    std::shared_ptr<ParserLog> log = std::make_shared<ParserLog>();

    // Installs a parser the way a command does, on the worker.
    void install(ResponseBase* parser, const std::string& command = "X") {
        UpdateEngine* e = engine;
        ASSERT_TRUE(controller->runOnWorker([e, parser, command] { e->sendCommand(parser, command); }));
    }

    // Holds the worker in an action, so the test can run worker operations
    // itself and look at what they queue.
    void holdWorker() {
        started = std::make_shared<DoneSignal>();
        release = std::make_shared<DoneSignal>();
        engine->postWork(new BlockingAction(started, release));
        ASSERT_TRUE(started->wait(10000));
    }
    void releaseWorker() { release->set(); }

    void pushReceived(const std::string& bytes) {
        auto held = engine->lock.lock();
        for (char c : bytes) engine->port->getReceiveQueue().push(static_cast<unsigned char>(c));
    }
    size_t receivedWaiting() {
        auto held = engine->lock.lock();
        return engine->port->getReceiveQueue().getCount();
    }
    // Pops the work queue while the worker is held: what the worker would run next.
    std::vector<std::unique_ptr<ActionBase>> takeQueuedWork() {
        std::vector<std::unique_ptr<ActionBase>> taken;
        ActionBase* action = nullptr;
        while (engine->workQueue.pop(action)) taken.emplace_back(action);
        return taken;
    }

    std::shared_ptr<DoneSignal> started, release;
};

TEST_F(ResponseTest, SendCommandReArmsTheCurrentParserWithoutDestroyingIt) {
    auto* parser = new ScriptedResponse(log, "p", {});
    install(parser, "PIC_VERS 2");
    EXPECT_EQ(parser->echoLength, 10u);
    EXPECT_TRUE(parser->echoPending);
    install(parser, "VERSION");
    EXPECT_FALSE(log->has("p destroyed"));
    EXPECT_TRUE(log->has("p armed with VERSION"));
    EXPECT_EQ(parser->command, "VERSION");
    EXPECT_EQ(parser->echoLength, 7u);
    {
        auto held = engine->lock.lock();
        EXPECT_EQ(engine->currentResponse.get(), parser);
    }
    // A command with a timer request each, also while the port is closed.
    controller->pumpPending();
    ASSERT_EQ(controller->timerRequests.size(), 2u);
    for (const auto& t : controller->timerRequests) {
        EXPECT_EQ(t.id, ResponseTimerId);
        EXPECT_TRUE(t.start);
    }
}

TEST_F(ResponseTest, SendCommandWithoutParserDropsTheCurrentOneAndLaterBytes) {
    install(new ScriptedResponse(log, "p", {}));
    install(nullptr, "VERSION");
    EXPECT_TRUE(log->has("p destroyed"));
    ASSERT_TRUE(controller->feedBytes("abc"));
    settle();
    EXPECT_EQ(receivedWaiting(), 0u) << "bytes without a parser are consumed";
    EXPECT_EQ(log->bytesOf("p"), "");
}

TEST_F(ResponseTest, CompletionMidBatchRepostsTheRestBehindWhatTheParserPosted) {
    auto journal = std::make_shared<ActionJournal>();
    UpdateEngine* e = engine;
    install(new ScriptedResponse(log, "p", {3}, [e, journal] { e->postWork(new TrackedAction(journal, 1)); }));
    holdWorker();
    pushReceived("0123456789");
    engine->feedReceivedBytes(10);  // as the worker would, on the test thread
    EXPECT_EQ(log->bytesOf("p"), "012");
    EXPECT_EQ(receivedWaiting(), 7u) << "the rest waits in the receive queue";

    auto queued = takeQueuedWork();
    ASSERT_EQ(queued.size(), 2u);
    EXPECT_NE(dynamic_cast<TrackedAction*>(queued[0].get()), nullptr) << "the parser's action comes first";
    auto* rest = dynamic_cast<ActionSerialEvent*>(queued[1].get());
    ASSERT_NE(rest, nullptr);
    EXPECT_EQ(rest->type, static_cast<uint32_t>(BytesReceived));
    EXPECT_EQ(rest->value, 7);

    // Hand the re-post back to the worker: the parser stayed current and gets the rest.
    engine->postWork(queued[1].release());
    releaseWorker();
    ASSERT_TRUE(controller->pumpUntil([&] { return log->bytesOf("p").size() == 10; }, 10000));
    EXPECT_EQ(log->bytesOf("p"), "0123456789");
}

TEST_F(ResponseTest, CompletionOnTheLastAnnouncedByteRepostsNothing) {
    install(new ScriptedResponse(log, "p", {5}));
    holdWorker();
    pushReceived("abcde");
    engine->feedReceivedBytes(5);
    EXPECT_TRUE(takeQueuedWork().empty());
    releaseWorker();
}

TEST_F(ResponseTest, TheLoopTakesBytesBeyondTheAnnouncedCount) {
    // An event's count does not bound the loop: bytes of a later batch are taken
    // too, and that batch's own event later finds nothing left.
    install(new ScriptedResponse(log, "p", {}));
    holdWorker();
    pushReceived("abcdef");
    engine->feedReceivedBytes(2);
    EXPECT_EQ(log->bytesOf("p"), "abcdef");
    EXPECT_TRUE(takeQueuedWork().empty());
    engine->feedReceivedBytes(4);
    EXPECT_EQ(log->bytesOf("p"), "abcdef");
    releaseWorker();
}

TEST_F(ResponseTest, NextParserTakesOverAtTheCompletingByte) {
    UpdateEngine* e = engine;
    auto* second = new ScriptedResponse(log, "b", {});
    install(new ScriptedResponse(log, "a", {2}, [e, second] { e->nextResponse.reset(second); }));
    ASSERT_TRUE(controller->feedBytes("xyz123"));
    ASSERT_TRUE(controller->pumpUntil([&] { return log->bytesOf("b").size() == 4; }, 10000));
    EXPECT_EQ(log->bytesOf("a"), "xy");
    EXPECT_EQ(log->bytesOf("b"), "z123");
    EXPECT_TRUE(log->has("a destroyed"));
    auto held = engine->lock.lock();
    EXPECT_EQ(engine->currentResponse.get(), second);
    EXPECT_TRUE(engine->nextResponse == nullptr);
}

TEST_F(ResponseTest, ParserThatCompletesOnEveryByteTakesOneBytePerTurn) {
    install(new ScriptedResponse(log, "p", {1, 2, 3, 4, 5, 6, 7, 8}));
    holdWorker();
    pushReceived("abcdefgh");
    engine->feedReceivedBytes(8);
    EXPECT_EQ(log->bytesOf("p"), "a");
    auto queued = takeQueuedWork();
    ASSERT_EQ(queued.size(), 1u);
    auto* rest = dynamic_cast<ActionSerialEvent*>(queued[0].get());
    ASSERT_NE(rest, nullptr);
    EXPECT_EQ(rest->value, 7);
    engine->postWork(queued[0].release());
    releaseWorker();
    ASSERT_TRUE(controller->pumpUntil([&] { return log->bytesOf("p").size() == 8; }, 10000));
    EXPECT_EQ(log->bytesOf("p"), "abcdefgh");
    EXPECT_FALSE(log->has("p destroyed"));
}

TEST_F(ResponseTest, SendCommandActionOwnsItsParserUntilExecuted) {
    delete new ActionSendCommand(new ScriptedResponse(log, "never", {}), "status", "VERSION");
    EXPECT_TRUE(log->has("never destroyed"));

    auto* parser = new ScriptedResponse(log, "p", {});
    engine->postWork(new ActionSendCommand(parser, "Getting things...", "PIC_VERS 3"));
    settle();
    ASSERT_TRUE(controller->waitForCalls("OnStatus", 1, 5000));
    EXPECT_FALSE(log->has("p destroyed"));
    EXPECT_TRUE(log->has("p armed with PIC_VERS 3"));
    ASSERT_EQ(controller->timerRequests.size(), 1u);
    EXPECT_EQ(controller->last("OnStatus")->text, "Getting things...");
    EXPECT_LT(controller->last("OnStatus")->sequence, controller->timerRequests[0].sequence)
        << "the status text is posted before the command";

    // Without a status text nothing is shown.
    engine->postWork(new ActionSendCommand(nullptr, "VERSION"));
    settle();
    EXPECT_EQ(controller->count("OnStatus"), 1u);
    EXPECT_TRUE(log->has("p destroyed"));
}

TEST_F(ResponseTest, UnknownSerialEventsChangeNothing) {
    auto* parser = new ScriptedResponse(log, "p", {});
    install(parser);
    setMode(Connecting);
    pushReceived("ab");
    for (uint32_t type : {2u, 3u, 7u, 1000u}) engine->postWork(new ActionSerialEvent(type, 2));
    settle();
    controller->pumpFor(50);
    EXPECT_TRUE(controller->calls.empty()) << controller->describe();
    EXPECT_EQ(log->bytesOf("p"), "");
    EXPECT_EQ(receivedWaiting(), 2u);
    auto held = engine->lock.lock();
    EXPECT_EQ(engine->currentResponse.get(), parser);
}

// ---- The echo and line rules, on the real parsers ----

TEST(EchoRule, MismatchRestartsWithTheNextByte) {
    VersionPart1Response parser;
    parser.setCommand("VERSION");
    const std::string received = "VEXVERSION";
    for (size_t i = 0; i < received.size(); ++i) {
        EXPECT_TRUE(parser.echoPending) << "before byte " << i;
        EXPECT_FALSE(parser.processByte(static_cast<unsigned char>(received[i])));
    }
    EXPECT_FALSE(parser.echoPending) << "the echo completes on the final N";
    EXPECT_EQ(parser.echoPos, 7u);
}

TEST(EchoRule, AStrayFirstCharacterBeforeTheEchoHidesIt) {
    VersionPart1Response parser;
    parser.setCommand("VERSION");
    for (char c : std::string("VVERSION\r\nfirst\r\n")) parser.processByte(static_cast<unsigned char>(c));
    EXPECT_TRUE(parser.echoPending) << "the second V is not tried again as a start";
}

TEST(EchoRule, SignOnEchoCompletesOnlyAtAnUnbrokenRunOfThree) {
    SignOnResponse parser;
    parser.setCommand("###");
    const std::string received = "xy##z###";
    for (size_t i = 0; i < received.size(); ++i) {
        EXPECT_TRUE(parser.echoPending) << "before byte " << i;
        parser.processByte(static_cast<unsigned char>(received[i]));
    }
    EXPECT_FALSE(parser.echoPending);
    // Printable bytes before the echo ended are not part of any line.
    EXPECT_TRUE(parser.line.empty());
}

TEST(LineRule, EveryByteValueIsKeptOrDroppedAsTheRuleSays) {
    for (int value = 0; value < 256; ++value) {
        const unsigned char b = static_cast<unsigned char>(value);
        SignOnResponse parser;
        parser.setCommand("###");
        const std::string input = "###KQ7750 Loader V1" + std::string(1, static_cast<char>(b)) + "Z\n";
        std::string expectedLine = "KQ7750 Loader V1";
        size_t expectedEnd = input.size() - 1;
        if (b == '\n') {
            expectedEnd = 3 + expectedLine.size();  // the byte itself ends the line
        } else {
            if (b >= 0x20 && b <= 0x7F) expectedLine += static_cast<char>(b);
            expectedLine += 'Z';
        }
        size_t completedAt = input.size();
        for (size_t i = 0; i < input.size(); ++i) {
            if (parser.processByte(static_cast<unsigned char>(input[i]))) {
                completedAt = i;
                break;
            }
        }
        EXPECT_EQ(completedAt, expectedEnd) << "byte value " << value;
        EXPECT_EQ(connectionSummary, "KQ7750 Connected: \"" + expectedLine + "\"") << "byte value " << value;
    }
}

TEST(LineRule, SignOnSkipsEmptyAndForeignLinesAndFindsEitherText) {
    struct Case {
        std::string received;
        std::string line;  // the recognised line; empty: none
    } cases[] = {
        {"###\r\n\r\n\n\rKQ7750 Loader V3\r\n", "KQ7750 Loader V3"},
        {"###\r\nBooting...\r\nnoise KQ7750 Loader V3.1 extra\r\n", "noise KQ7750 Loader V3.1 extra"},
        {"###\nM418 Loader V1.9\n", "M418 Loader V1.9"},
        {"###\r\nKQ7750 Loader v3\r\nKQ7750 Loader\r\n", ""},
        {"###\r\nKQ7750 Lo\x80" "ader V3\r\n", "KQ7750 Loader V3"},
    };
    for (const Case& c : cases) {
        SignOnResponse parser;
        parser.setCommand("###");
        connectionSummary = "untouched";
        bool recognised = false;
        for (char ch : c.received) recognised = parser.processByte(static_cast<unsigned char>(ch)) || recognised;
        EXPECT_EQ(recognised, !c.line.empty()) << c.received;
        if (!c.line.empty()) {
            EXPECT_EQ(connectionSummary, "KQ7750 Connected: \"" + c.line + "\"") << c.received;
        } else {
            EXPECT_EQ(connectionSummary, "untouched") << c.received;
            EXPECT_TRUE(parser.line.empty()) << "a foreign line is discarded: " << c.received;
        }
    }
}

// ---- The whole connection dialogue through the engine ----

class DialogueTest : public ResponseTest {
protected:
    // Starts a sign-on as PortOpened does, then plays the loader: each reply is
    // given only after its command was sent (the timer request of the command
    // has arrived), in the batches `cut` makes of it, each batch let through
    // the worker before the next arrives.
    void run(const std::function<std::vector<std::string>(size_t reply)>& cut) {
        controller->clearRecord();
        setMode(Connecting);
        engine->postWork(new ActionSerialEvent(PortOpened, 0));
        for (size_t reply = 0; reply < Replies.size(); ++reply) {
            ASSERT_TRUE(controller->pumpUntil([&] { return controller->timerRequests.size() >= reply; }, 5000))
                << "command " << reply << " was never sent\n" << controller->describe();
            for (const std::string& batch : cut(reply)) {
                if (batch.empty()) continue;
                ASSERT_TRUE(controller->feedBytes(batch));
                ASSERT_TRUE(controller->runOnWorker([] {}));
            }
        }
        ASSERT_TRUE(controller->pumpUntil([&] { return controller->count("OnConnected") > 0; }, 5000))
            << controller->describe();
        settle();
    }

    void expectConnected(const std::string& what) {
        EXPECT_EQ(controller->statusTexts(), ConnectionTexts) << what;
        ASSERT_EQ(controller->count("OnConnected"), 1u) << what;
        EXPECT_TRUE(controller->last("OnConnected")->flag) << what;
        EXPECT_EQ(controller->calls.back().slot, "OnConnected") << what;
        // One timer start per command; the sign-on starts none.
        EXPECT_EQ(controller->timerRequests.size(), 4u) << what;
        {
            auto held = engine->lock.lock();
            EXPECT_EQ(connectionSummary, FinishedSummary) << what;
            EXPECT_EQ(engine->mode, static_cast<uint32_t>(Connecting)) << what;
        }
        EXPECT_EQ(receivedWaiting(), 0u) << what;
    }
};

TEST_F(DialogueTest, WholeTranscriptInOneBatch) {
    // Sent at once the replies would precede their commands; the echoes still
    // sort it out, since each command is sent before the rest is parsed.
    controller->clearRecord();
    engine->postWork(new ActionSerialEvent(PortOpened, 0));
    setMode(Connecting);
    ASSERT_TRUE(controller->feedBytes(Transcript));
    ASSERT_TRUE(controller->pumpUntil([&] { return controller->count("OnConnected") > 0; }, 5000))
        << controller->describe();
    settle();
    expectConnected("one batch");
}

TEST_F(DialogueTest, EveryReplySplitInTwoAtEveryPosition) {
    for (size_t reply = 0; reply < Replies.size(); ++reply) {
        for (size_t at = 1; at < Replies[reply].size(); ++at) {
            run([&](size_t r) {
                if (r != reply) return std::vector<std::string>{Replies[r]};
                return std::vector<std::string>{Replies[r].substr(0, at), Replies[r].substr(at)};
            });
            expectConnected("reply " + std::to_string(reply) + " split at " + std::to_string(at));
            if (HasFailure()) return;
        }
    }
}

TEST_F(DialogueTest, EveryReplyByteByByte) {
    run([](size_t r) {
        std::vector<std::string> batches;
        for (char c : Replies[r]) batches.emplace_back(1, c);
        return batches;
    });
    expectConnected("byte by byte");
}

TEST_F(DialogueTest, VersionReplyWithOneLineNeverCompletes) {
    controller->clearRecord();
    setMode(Connecting);
    engine->postWork(new ActionSerialEvent(PortOpened, 0));
    ASSERT_TRUE(controller->feedBytes("###\r\n" + SignOnLine + "\r\n"));
    settle();
    ASSERT_TRUE(controller->feedBytes("VERSION\r\nBoot loader build 118\r\n\r\n"));
    settle();
    controller->pumpFor(100);
    EXPECT_EQ(controller->statusTexts(),
              std::vector<std::string>(ConnectionTexts.begin(), ConnectionTexts.begin() + 2));
    EXPECT_EQ(controller->timerRequests.size(), 1u) << "only VERSION was sent";
    EXPECT_EQ(controller->count("OnConnected"), 0u);
    auto held = engine->lock.lock();
    EXPECT_NE(dynamic_cast<VersionPart2Response*>(engine->currentResponse.get()), nullptr);
}

TEST_F(DialogueTest, ACompletedParserTakesNoFurtherLine) {
    // A second sign-on line that an event queued before the send still feeds to the
    // sign-on parser asks for VERSION only once.
    controller->clearRecord();
    engine->postWork(new ActionSerialEvent(PortOpened, 0));
    holdWorker();
    pushReceived("###\r\n" + SignOnLine + "\r\n" + SignOnLine + "\r\n");
    engine->feedReceivedBytes(5);
    engine->feedReceivedBytes(0);  // an event queued before the send still feeds the old parser
    EXPECT_EQ(receivedWaiting(), 0u) << "the completed parser consumes what follows";
    auto queued = takeQueuedWork();
    releaseWorker();
    ASSERT_EQ(queued.size(), 1u);
    auto* send = dynamic_cast<ActionSendCommand*>(queued[0].get());
    ASSERT_NE(send, nullptr);
    EXPECT_EQ(send->command, "VERSION");
    EXPECT_EQ(send->statusText, "Getting SPI EPROM versions...");
    EXPECT_NE(dynamic_cast<VersionPart1Response*>(send->response.get()), nullptr);
}

TEST_F(DialogueTest, ALoaderPromptAfterEveryReplyChangesNothing) {
    // The last parser stays current while connected: the prompt after its line must
    // neither join the summary nor report the connection again.
    run([](size_t r) { return std::vector<std::string>{Replies[r], "OK\r\n"}; });
    expectConnected("a prompt after every reply");
}
