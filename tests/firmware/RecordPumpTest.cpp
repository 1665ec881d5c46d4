// The record pump: how an attached image is cut into records, how each record is
// released by the loader's echo of the one before, and how "Complete." ends it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/UpdateEngine.h"
#include "firmware/FirmwareResource.h"
#include "tests/firmware/FirmwareFixture.h"

namespace {

class RecordPumpTest : public FirmwareTest {
protected:
    // Attaches a copy of `text` as PIC `pic`'s and sends "LOAD_PIC n" as the controller does.
    void startPic(const std::string& text, uint32_t pic = 2)
    {
        picImage = text;  // the engine points into it until the next attach
        const size_t before = controller->count("OnPicProgram");
        engine->PreparePicImage(pic, static_cast<uint32_t>(picImage.size()), picImage.data());
        ASSERT_TRUE(controller->waitForCalls("OnPicProgram", before + 1, 10000)) << controller->describe();
        engine->ProgramPic();
        controller->pumpPending();
    }
    size_t verifiesStarted() const
    {
        size_t n = 0;
        for (const std::string& t : controller->statusTexts())
            if (t.rfind("Verify transfered version for PIC", 0) == 0) ++n;
        return n;
    }

    std::string picImage;
};

TEST_F(RecordPumpTest, AttachCountsLinesInOnePassAndReadsInPlace)
{
    const std::string image = "A\r\n\n\r\nxyz";
    engine->attachImage(image.data(), static_cast<uint32_t>(image.size()));
    {
        auto held = engine->lock.lock();
        EXPECT_EQ(engine->imageLinesLeft, 3u);
        EXPECT_EQ(engine->imageBytesLeft, image.size());
        EXPECT_EQ(engine->imageCursor, image.data()) << "the image must be read where it lies";
    }
    const std::string none = "no line end";
    engine->attachImage(none.data(), static_cast<uint32_t>(none.size()));
    EXPECT_EQ(linesLeft(), 0u);
    engine->attachImage(none.data(), 0);
    EXPECT_EQ(linesLeft(), 0u);
}

TEST_F(RecordPumpTest, ReadNextLineDropsCrAndKeepsAPartialLastLineUncounted)
{
    const std::string image = "\rA\rB\r\n\r\nC\x01\xff\nDE";
    engine->attachImage(image.data(), static_cast<uint32_t>(image.size()));
    auto held = engine->lock.lock();
    std::vector<std::string> lines;
    std::vector<uint32_t> left;
    while (engine->imageBytesLeft > 0) {
        engine->ReadNextLine();
        lines.push_back(engine->imageLine);
        left.push_back(engine->imageLinesLeft);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"AB", "", "C\x01\xff", "DE"}));
    EXPECT_EQ(left, (std::vector<uint32_t>{2, 1, 0, 0}));
    EXPECT_EQ(engine->imageCursor, image.data() + image.size());
}

TEST_F(RecordPumpTest, FirstRecordOfImage301IsSeventeenBytesAndEveryRecordIsOneStep)
{
    FirmwareResource image;
    ASSERT_TRUE(image.LoadFirmwareResource(301, "TALVOR_HEX"));
    engine->PreparePicImage(2, image.resourceSize, image.resourceData);
    ASSERT_TRUE(controller->waitForCalls("OnPicProgram", 1, 10000));
    ASSERT_EQ(linesLeft(), 142u);
    engine->ProgramPic();
    controller->pumpPending();

    EXPECT_EQ(controller->statusTexts(), std::vector<std::string>{"Programming PIC2..."});
    EXPECT_EQ(expectedEcho(), "LOAD_PIC 2");
    EXPECT_EQ(expectedEchoLength(), 10u);
    EXPECT_EQ(timerStarts(), 1u);

    feed("LOAD_PIC 2");
    EXPECT_EQ(sentLine(), ":020000040000FA\r\n");
    EXPECT_EQ(sentLine().size(), 17u);
    EXPECT_EQ(expectedEcho(), ":020000040000FA\r\n");
    EXPECT_EQ(expectedEchoLength(), 17u);
    EXPECT_EQ(linesLeft(), 141u);
    {
        auto held = engine->lock.lock();
        EXPECT_EQ(engine->imageCursor, image.resourceData + 17) << "the cursor walks the resource itself";
    }

    const int records = echoUntilDone();
    EXPECT_EQ(records, 142);
    EXPECT_EQ(sentLine(), ":00000001FF\r\n");
    EXPECT_EQ(linesLeft(), 0u);
    EXPECT_FALSE(echoPending()) << "after the last record the parser waits for the loader's text";
    EXPECT_EQ(progressCount(), 142u);
    EXPECT_EQ(verifiesStarted(), 0u);

    feed("Complete.\r\n");
    EXPECT_EQ(progressCount(), 143u) << "N records and the completion";
    EXPECT_EQ(verifiesStarted(), 1u) << controller->describe();
    EXPECT_EQ(expectedEcho(), "PIC_VERS 2");
    // The command and every record restart the timer; only the completion stops it;
    // the read-back command starts it again.
    EXPECT_EQ(timerStarts(), 1u + 142u + 1u);
    EXPECT_EQ(timerStops(), 1u);
}

TEST_F(RecordPumpTest, RecordsDropCrKeepEmptyLinesAndNeverSendTextAfterTheLastLf)
{
    const std::string image = "A1\r\nB\rC\r\n\r\nD\nE-tail";
    startPic(image);
    ASSERT_EQ(linesLeft(), 4u);
    feed("LOAD_PIC 2");

    std::vector<std::string> sent;
    while (echoPending()) {
        const std::string record = sentLine();
        EXPECT_EQ(expectedEcho(), record) << "the echo awaited is the record as written";
        sent.push_back(record);
        feed(record);
    }
    EXPECT_EQ(sent, (std::vector<std::string>{"A1\r\n", "BC\r\n", "\r\n", "D\r\n"}));
    EXPECT_EQ(progressCount(), 4u);
    EXPECT_EQ(sentLine(), "D\r\n");
    feed("Complete.\n");
    EXPECT_EQ(progressCount(), 5u);
    EXPECT_EQ(verifiesStarted(), 1u);
    // Each step carries the records left once its own has gone; the completion's, none.
    std::vector<uint32_t> left;
    for (const auto& call : controller->calls)
        if (call.slot == "OnProgressed") left.push_back(call.recordsLeft);
    EXPECT_EQ(left, (std::vector<uint32_t>{3, 2, 1, 0, 0}));
}

TEST_F(RecordPumpTest, SentLineReusesItsRoomFromRecordToRecord)
{
    // Records longer than a short string's inline room, so that a record built in a
    // temporary would bring its own buffer.
    startPic(":10000000AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA40\r\n:020000040000FA\r\n:00000001FF----------\r\n");
    const char* room;
    {
        auto held = engine->lock.lock();
        room = engine->sentLine.data();
    }
    for (int record = 0; record < 3; ++record) {
        if (record == 0)
            feed("LOAD_PIC 2");
        else
            feed(sentLine());
        auto held = engine->lock.lock();
        EXPECT_GE(engine->sentLine.size(), 17u);
        EXPECT_EQ(engine->sentLine.data(), room) << "record " << record << " must be built in the reserved room";
        EXPECT_GE(engine->sentLine.capacity(), 80u);
        EXPECT_GE(engine->imageLine.capacity(), 80u);
    }
}

TEST_F(RecordPumpTest, EveryByteValueButCrAndLfGoesOutAndIsEchoedUnchanged)
{
    std::string line;
    for (int b = 0; b < 256; ++b)
        if (b != '\r' && b != '\n') line.push_back(static_cast<char>(b));
    const std::string image = line + "\r\n";
    startPic(image);
    feed("LOAD_PIC 2");
    EXPECT_EQ(sentLine(), image);
    EXPECT_EQ(expectedEchoLength(), 256u);
    feed(image);
    EXPECT_FALSE(echoPending()) << "an echo with every byte value must match";
    EXPECT_EQ(progressCount(), 1u);
}

TEST_F(RecordPumpTest, ReplyTextKeepsOnlyPrintableBytesUntilCompleteIsFound)
{
    startPic("R\r\n");
    feed("LOAD_PIC 2");
    feed("R\r\n");
    ASSERT_FALSE(echoPending());

    std::string noise, kept;
    for (int b = 0; b < 256; ++b) {
        if (b == '\n') continue;
        noise.push_back(static_cast<char>(b));
        if (b >= 0x20 && b <= 0x7F) kept.push_back(static_cast<char>(b));
    }
    feed(noise);
    EXPECT_EQ(parserLine(), kept);
    EXPECT_EQ(verifiesStarted(), 0u);
    feed("\n");
    EXPECT_EQ(verifiesStarted(), 0u) << "a line without the marker must not complete";
    EXPECT_EQ(parserLine(), kept) << "the line is kept and the next one joined to it";
    feed("Complete.\n");
    EXPECT_EQ(verifiesStarted(), 1u) << controller->describe();
}

TEST_F(RecordPumpTest, SplittingTheLoaderStreamAnywhereGivesTheSameTransfer)
{
    const std::string image = "AB\r\n\r\nC\r\n";
    const std::string stream = std::string("LOAD_PIC 2") + "\r\n" + "AB\r\n" + "\r\n" + "C\r\n" +
                               "Done\r\n" + "Comp" + "lete.\r\n";
    for (size_t split = 0; split <= stream.size(); ++split) {
        startPic(image);
        const size_t steps = progressCount();
        const size_t verifies = verifiesStarted();
        feed(stream.substr(0, split));
        feed(stream.substr(split));
        ASSERT_EQ(progressCount(), steps + 4) << "split at " << split << ": " << printable(stream);
        ASSERT_EQ(verifiesStarted(), verifies + 1) << "split at " << split;
        ASSERT_EQ(sentLine(), "C\r\n") << "split at " << split;
    }
}

TEST_F(RecordPumpTest, UnrelatedBytesBeforeAnEchoAreSkipped)
{
    startPic("AA\r\nB\r\n");
    feed("\r\n>ok LOAD_PIC 1LOAD_PIC 2\r\n");
    EXPECT_EQ(sentLine(), "AA\r\n");
    feed("xyzAA\r\n");
    EXPECT_EQ(sentLine(), "B\r\n");
    EXPECT_EQ(progressCount(), 2u);
}

TEST_F(RecordPumpTest, AStrayCopyOfTheFirstByteBreaksTheEchoAndTheTimerEndsIt)
{
    controller->realResponseTimer = true;
    startPic(":0A\r\n:0B\r\n");
    feed("LOAD_PIC 2");
    ASSERT_EQ(sentLine(), ":0A\r\n");
    feed("::0A\r\n");
    EXPECT_TRUE(echoPending());
    EXPECT_EQ(sentLine(), ":0A\r\n") << "the echo must not be recognised";
    EXPECT_EQ(progressCount(), 1u);
    EXPECT_TRUE(controller->responseTimerRunning);
    EXPECT_TRUE(controller->pumpUntil([this] { return controller->responseTimeouts > 0; }, 15000))
        << "the response timer must end a stalled transfer";
    EXPECT_EQ(progressCount(), 1u);
}

TEST_F(RecordPumpTest, AnEchoWithAnyOneByteChangedOrMissingReleasesNothing)
{
    const std::string record = ":020000040000FA\r\n";
    for (size_t at = 0; at < record.size(); ++at) {
        for (int variant = 0; variant < 2; ++variant) {
            startPic(record + ":00000001FF\r\n");
            feed("LOAD_PIC 2");
            ASSERT_EQ(sentLine(), record);
            std::string broken = record;
            if (variant == 0)
                broken[at] = broken[at] == 'X' ? 'Y' : 'X';
            else
                broken.erase(at, 1);
            const size_t steps = progressCount();
            feed(broken);
            ASSERT_TRUE(echoPending()) << (variant ? "missing" : "changed") << " byte " << at << ": "
                                       << printable(broken);
            ASSERT_EQ(sentLine(), record) << printable(broken);
            ASSERT_EQ(progressCount(), steps) << printable(broken);
        }
    }
}

TEST_F(RecordPumpTest, CompleteWhileAnEchoIsPendingIsPassedOver)
{
    startPic("A\r\nB\r\n");
    feed("LOAD_PIC 2");
    feed("Complete.\r\n");
    EXPECT_EQ(verifiesStarted(), 0u);
    EXPECT_EQ(sentLine(), "A\r\n");
    feed("A\r\nComplete.\r\n");
    EXPECT_EQ(verifiesStarted(), 0u) << "the second record's echo was still pending";
    EXPECT_EQ(sentLine(), "B\r\n");
    feed("B\r\n");
    EXPECT_EQ(verifiesStarted(), 0u);
    feed("\n\r\nComp\r\nlete.\r\n");
    EXPECT_EQ(verifiesStarted(), 1u) << "\"Complete.\" split over two lines is found in the joined text";
    EXPECT_EQ(progressCount(), 3u);
}

TEST_F(RecordPumpTest, ImagesWithoutALineEndAreRefusedBeforeAnythingIsSent)
{
    const std::string image = ":020000040000FA";
    engine->PreparePicImage(3, static_cast<uint32_t>(image.size()), image.data());
    ASSERT_TRUE(controller->waitForCalls("OnFailed", 1, 10000));
    EXPECT_EQ(controller->count("OnPicProgram"), 0u);
    EXPECT_TRUE(controller->statusTexts().empty()) << "a PIC image is refused without a text";

    engine->PrepareBlackfinImage(0, image.data());
    ASSERT_TRUE(controller->waitForCalls("OnFailed", 2, 10000));
    EXPECT_EQ(controller->count("OnBlackfinErasePreamble"), 0u);
    EXPECT_EQ(controller->statusTexts(), std::vector<std::string>{"Internal error - Cannot access LDR data."});
    EXPECT_LT(controller->last("OnStatus")->sequence, controller->last("OnFailed")->sequence);
    EXPECT_EQ(expectedEcho(), "<none>") << "nothing may have been sent";
}

TEST_F(RecordPumpTest, BlackfinTransferOfOneLineEndsInOnComplete)
{
    const std::string image = ":00000001FF\r\n";
    engine->PrepareBlackfinImage(static_cast<uint32_t>(image.size()), image.data());
    ASSERT_TRUE(controller->waitForCalls("OnBlackfinErasePreamble", 1, 10000));
    ASSERT_EQ(linesLeft(), 1u);
    engine->ProgramBlackfin();
    settle();
    EXPECT_EQ(controller->statusTexts(), std::vector<std::string>{"Programming application..."});
    EXPECT_EQ(expectedEcho(), "LOAD_PROGRAM");
    EXPECT_EQ(expectedEchoLength(), 12u);

    feed("LOAD_PROGRA");
    EXPECT_EQ(progressCount(), 0u);
    feed("M");
    EXPECT_EQ(sentLine(), image) << "the twelfth echoed character releases the first record";
    feed("Complete.\r\n");
    EXPECT_EQ(controller->count("OnComplete"), 0u) << "\"Complete.\" before the record's echo is passed over";
    feed(image);
    EXPECT_FALSE(echoPending());
    feed("Verifying\r\n");
    EXPECT_EQ(controller->count("OnComplete"), 0u);
    feed("... Complete.\r\n");
    ASSERT_EQ(controller->count("OnComplete"), 1u) << controller->describe();
    EXPECT_EQ(progressCount(), 2u) << "one record and the completion";
    EXPECT_EQ(controller->statusTexts().back(), "Application firmware data transfer complete.");
    // Status, then the step (which stops the timer), then OnComplete.
    const auto& calls = controller->calls;
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls[calls.size() - 3].slot, "OnStatus");
    EXPECT_EQ(calls[calls.size() - 2].slot, "OnProgressed");
    EXPECT_EQ(calls[calls.size() - 1].slot, "OnComplete");
    EXPECT_FALSE(controller->responseTimerRunning);
    EXPECT_EQ(timerStarts(), 2u) << "LOAD_PROGRAM and the one record";

    // A loader that repeats itself does not complete the update twice.
    feed("Complete.\r\nOK\r\n");
    EXPECT_EQ(controller->count("OnComplete"), 1u);
    EXPECT_EQ(progressCount(), 2u);
}

}  // namespace
