// The PIC steps: preparing, "LOAD_PIC n", the hand-over to the read-back, the
// version line and the chaining to the next PIC or to the Blackfin.
#include <gtest/gtest.h>

#include <string>
#include <typeinfo>
#include <vector>

#include "engine/UpdateEngine.h"
#include "firmware/PicProgramVerifyResponse.h"
#include "firmware/RecordResponses.h"
#include "tests/firmware/FirmwareFixture.h"

namespace {

class PicStepsTest : public FirmwareTest {
protected:
    void preparePic(uint32_t pic)
    {
        const size_t before = controller->count("OnPicProgram");
        engine->PreparePicImage(pic, static_cast<uint32_t>(image.size()), image.data());
        ASSERT_TRUE(controller->waitForCalls("OnPicProgram", before + 1, 10000));
    }
    // Programs PIC `pic` with the small image up to the start of its read-back.
    void programPic(uint32_t pic)
    {
        preparePic(pic);
        engine->ProgramPic();
        feed("LOAD_PIC " + std::to_string(pic) + "\r\n");
        echoUntilDone();
        feed("Complete.\r\n");
    }
    std::string summary()
    {
        auto held = engine->lock.lock();
        return connectionSummary;
    }
    void setSummary(const std::string& text)
    {
        auto held = engine->lock.lock();
        connectionSummary = text;
    }
    template <typename T>
    bool currentIs()
    {
        auto held = engine->lock.lock();
        return engine->currentResponse && typeid(*engine->currentResponse) == typeid(T);
    }

    const std::string image = ":020000040000FA\r\n:00000001FF\r\n";
};

TEST_F(PicStepsTest, PreparingSetsThePicAndOnlyPic2EmptiesTheConnectionSummary)
{
    setSummary("KQ7750 Loader V2.04");
    preparePic(3);
    EXPECT_EQ(summary(), "KQ7750 Loader V2.04");
    {
        auto held = engine->lock.lock();
        EXPECT_EQ(engine->picIndex, 3u);
        EXPECT_EQ(engine->imageLinesLeft, 2u);
    }
    preparePic(2);
    EXPECT_EQ(summary(), "");
    EXPECT_EQ(controller->count("OnFailed"), 0u);
    EXPECT_TRUE(controller->statusTexts().empty()) << "preparing shows nothing";
}

TEST_F(PicStepsTest, ProgramPicAnnouncesAndSendsLoadPicWithTheNumber)
{
    for (uint32_t pic = 2; pic <= 4; ++pic) {
        preparePic(pic);
        engine->ProgramPic();
        controller->pumpPending();
        const std::string n = std::to_string(pic);
        EXPECT_EQ(controller->statusTexts().back(), "Programming PIC" + n + "...");
        EXPECT_EQ(expectedEcho(), "LOAD_PIC " + n);
        EXPECT_EQ(expectedEchoLength(), 10u);
        EXPECT_TRUE(currentIs<PicProgramRecordResponse>());
    }
    EXPECT_EQ(timerStarts(), 3u);
}

TEST_F(PicStepsTest, CompletionStartsTheReadBackFromTheWindowThread)
{
    setSummary("old summary");
    programPic(3);
    const std::vector<std::string> texts = controller->statusTexts();
    ASSERT_EQ(texts.size(), 2u) << controller->describe();
    EXPECT_EQ(texts[0], "Programming PIC3...");
    EXPECT_EQ(texts[1], "Verify transfered version for PIC3.");
    EXPECT_EQ(summary(), "");
    EXPECT_EQ(expectedEcho(), "PIC_VERS 3");
    EXPECT_EQ(expectedEchoLength(), 10u);
    EXPECT_TRUE(currentIs<PicProgramVerifyResponse>()) << "the record parser is replaced";
    EXPECT_TRUE(controller->responseTimerRunning) << "the read-back command starts the timer again";
    EXPECT_EQ(progressCount(), 3u) << "two records and the completion";
}

TEST_F(PicStepsTest, TheFirstNonEmptyLineIsTheVersionWithOnlyPrintableBytes)
{
    programPic(2);
    feed("PIC_VERS 2\r\n\r\n");
    EXPECT_EQ(controller->count("OnNextPic"), 0u) << "an empty line after the echo is passed over";
    feed("V\x01" "1.\xff" "05\tb\r");
    EXPECT_EQ(controller->count("OnNextPic"), 0u);
    feed("\n");
    ASSERT_EQ(controller->count("OnNextPic"), 1u) << controller->describe();
    EXPECT_EQ(controller->statusTexts().back(), "PIC2 version is now \"V1.05b\"");
    EXPECT_LT(controller->last("OnStatus")->sequence, controller->last("OnNextPic")->sequence);
    EXPECT_EQ(controller->count("OnBlackfinProgramPreamble"), 0u);
    EXPECT_EQ(progressCount(), 3u) << "the read-back brings no step";
}

TEST_F(PicStepsTest, EveryByteValueOfTheVersionLineIsKeptOrDroppedByTheLineRule)
{
    programPic(3);
    std::string reply, kept;
    for (int b = 0; b < 256; ++b) {
        if (b == '\n') continue;
        reply.push_back(static_cast<char>(b));
        if (b >= 0x20 && b <= 0x7F) kept.push_back(static_cast<char>(b));
    }
    feed("PIC_VERS 3" + reply + "\n");
    ASSERT_EQ(controller->count("OnNextPic"), 1u);
    EXPECT_EQ(controller->statusTexts().back(), "PIC3 version is now \"" + kept + "\"");
}

TEST_F(PicStepsTest, AfterPic4TheChainGoesToTheBlackfinWhateverTheReply)
{
    programPic(4);
    feed("xxPIC_VERS 4\r\nError: PIC not responding\r\n");
    EXPECT_EQ(controller->count("OnBlackfinProgramPreamble"), 1u) << controller->describe();
    EXPECT_EQ(controller->count("OnNextPic"), 0u);
    EXPECT_EQ(controller->statusTexts().back(), "PIC4 version is now \"Error: PIC not responding\"");
    EXPECT_EQ(controller->count("OnFailed"), 0u);
}

TEST_F(PicStepsTest, ALineAfterTheVersionDoesNotMoveOnASecondTime)
{
    // The read-back parser stays current until the window sends the next PIC's command;
    // a loader's prompt meanwhile would otherwise skip a PIC.
    programPic(2);
    feed("PIC_VERS 2\r\nV1.07\r\nOK\r\n");
    EXPECT_EQ(controller->count("OnNextPic"), 1u) << controller->describe();
    EXPECT_EQ(controller->statusTexts().back(), "PIC2 version is now \"V1.07\"");
}

TEST_F(PicStepsTest, AVersionLineBeforeTheEchoIsNotTaken)
{
    programPic(2);
    feed("V1.00\r\n");
    EXPECT_EQ(controller->count("OnNextPic"), 0u);
    feed("PIC_VERS 2\r\nV1.07\r\n");
    EXPECT_EQ(controller->statusTexts().back(), "PIC2 version is now \"V1.07\"");
}

}  // namespace
