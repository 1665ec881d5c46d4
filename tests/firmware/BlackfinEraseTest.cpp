// The Blackfin erase: the command, the echo and banner, the block dots in both of
// the loader's layouts, the completion text, the progress steps and the timer.
#include <gtest/gtest.h>

#include <string>
#include <typeinfo>
#include <vector>

#include "engine/UpdateEngine.h"
#include "firmware/BlackfinEraseResponses.h"
#include "tests/firmware/FirmwareFixture.h"

namespace {

const std::string Banner = "Erasing all program blocks";

std::string dots(size_t n) { return std::string(n, '.'); }

class BlackfinEraseTest : public FirmwareTest {
protected:
    // Attaches a small image as the Blackfin's and sends "ERASE_PROGRAM" as the
    // controller's erase preamble does.
    void startErase()
    {
        const size_t before = controller->count("OnBlackfinErasePreamble");
        engine->PrepareBlackfinImage(static_cast<uint32_t>(image.size()), image.data());
        ASSERT_TRUE(controller->waitForCalls("OnBlackfinErasePreamble", before + 1, 10000));
        engine->EraseBlackfin();
        settle();
    }
    // One dot per batch, as the loader sends one per erased block. A burst of them
    // would outrun the window, and the engine then leaves progress steps out.
    void feedDots(int n)
    {
        for (int i = 0; i < n; ++i) feed(".");
    }
    size_t erased() const { return controller->count("OnBlackfinErasePostamble"); }
    size_t statusCount(const std::string& text) const
    {
        size_t n = 0;
        for (const std::string& t : controller->statusTexts())
            if (t == text) ++n;
        return n;
    }
    // The dynamic type of the current parser.
    std::string parserKind()
    {
        auto held = engine->lock.lock();
        if (!engine->currentResponse) return "none";
        const ResponseBase& r = *engine->currentResponse;
        if (typeid(r) == typeid(BlackfinEraseStatusResponse)) return "status";
        if (typeid(r) == typeid(BlackfinEraseProgressResponse)) return "progress";
        if (typeid(r) == typeid(BlackfinEraseCompleteResponse)) return "complete";
        return "other";
    }

    const std::string image = ":020000040000FA\r\n:00000001FF\r\n";
};

TEST_F(BlackfinEraseTest, EraseCommandSetsUpdatingAndTheEchoThenArmsTheBanner)
{
    ASSERT_EQ(mode(), Idle);
    startErase();
    EXPECT_EQ(mode(), Updating);
    EXPECT_EQ(controller->statusTexts(), std::vector<std::string>{"Erasing application memory..."});
    EXPECT_EQ(expectedEcho(), "ERASE_PROGRAM");
    EXPECT_EQ(expectedEchoLength(), 13u);
    EXPECT_EQ(timerStarts(), 1u);

    feed("ERASE_PROGRA");
    EXPECT_EQ(expectedEcho(), "ERASE_PROGRAM");
    feed("M");
    EXPECT_EQ(expectedEcho(), Banner);
    EXPECT_EQ(expectedEchoLength(), 26u);
    EXPECT_TRUE(echoPending());
    EXPECT_EQ(progressCount(), 0u);
    EXPECT_EQ(linesLeft(), 2u) << "the erase leaves the attached image alone";
}

TEST_F(BlackfinEraseTest, BannerFollowedByCrLfGivesTwelveStepsForElevenDots)
{
    startErase();
    feed("ERASE_PROGRAM\r\n" + Banner);
    EXPECT_EQ(parserKind(), "status");
    feed("\r");
    EXPECT_EQ(progressCount(), 1u) << "the CR after the banner ends the banner phase";
    EXPECT_EQ(parserKind(), "progress");
    feed("\n");
    EXPECT_EQ(parserKind(), "progress") << "the LF before any dot changes nothing";
    feedDots(11);
    feed("\r\n");
    EXPECT_EQ(progressCount(), 12u);
    EXPECT_EQ(parserKind(), "complete");
    EXPECT_EQ(erased(), 0u);
    feed("Complete.\r\n");
    ASSERT_EQ(erased(), 1u) << controller->describe();
    EXPECT_EQ(progressCount(), 12u) << "\"Application erased.\" brings no step";
    EXPECT_EQ(controller->statusTexts(),
              (std::vector<std::string>{"Erasing application memory...", "Erasing program blocks...",
                                        "Application erased."}));
    // The command started the timer; the banner step and every dot stopped it;
    // nothing in the erase starts it again.
    EXPECT_EQ(timerStarts(), 1u);
    EXPECT_EQ(timerStops(), 12u);
    EXPECT_FALSE(controller->responseTimerRunning);
    EXPECT_EQ(linesLeft(), 2u);
}

TEST_F(BlackfinEraseTest, AFirstDotRightAfterTheBannerIsTheBannerStep)
{
    startErase();
    feed("ERASE_PROGRAM\r\n" + Banner + ".");
    feedDots(10);
    EXPECT_EQ(progressCount(), 11u) << "the first dot ends the banner phase and is not counted again";
    feed("\r\n");
    EXPECT_EQ(parserKind(), "complete");
    feed("Complete.\r\n");
    EXPECT_EQ(erased(), 1u);
    EXPECT_EQ(progressCount(), 11u);
}

TEST_F(BlackfinEraseTest, MoreThanElevenDotsEachBringAStep)
{
    startErase();
    feed("ERASE_PROGRAM\r\n" + Banner + "\r\n");
    feedDots(40);
    feed("\r\nComplete.\r\n");
    EXPECT_EQ(progressCount(), 41u);
    EXPECT_EQ(erased(), 1u);
}

TEST_F(BlackfinEraseTest, ACrBeforeTheDotsCountsAndAnLfBeforeTheFirstDotNeverEnds)
{
    startErase();
    feed("ERASE_PROGRAM" + Banner + "x");
    ASSERT_EQ(parserKind(), "progress");
    feed("\r\n\n\r\nDone\r\n");
    EXPECT_EQ(parserKind(), "progress") << "no dot yet: LFs and text change nothing";
    EXPECT_EQ(erased(), 0u);
    EXPECT_EQ(progressCount(), 1u);
    feed("..\n");
    EXPECT_EQ(parserKind(), "complete") << "the CR came before the dots; the LF after them ends the report";
    EXPECT_EQ(progressCount(), 3u);
    feed("Complete.\n");
    EXPECT_EQ(erased(), 1u);
}

TEST_F(BlackfinEraseTest, TextBetweenEchoAndBannerIsPassedOver)
{
    startErase();
    feed("ERASE_PROGRAM\r\nLoader busy\r\nErasing all\r\n" + Banner + "\r\n.\r\nComplete.\r\n");
    EXPECT_EQ(erased(), 1u) << controller->describe();
    EXPECT_EQ(progressCount(), 2u);
}

TEST_F(BlackfinEraseTest, ABannerWithAnyCharacterChangedIsNeverRecognised)
{
    for (size_t at = 0; at < Banner.size(); ++at) {
        startErase();
        std::string wrong = Banner;
        wrong[at] = wrong[at] == 'X' ? 'Y' : 'X';
        const size_t steps = progressCount();
        feed("ERASE_PROGRAM\r\n" + wrong + "\r\n" + dots(11) + "\r\nComplete.\r\n");
        ASSERT_EQ(parserKind(), "status") << wrong;
        ASSERT_EQ(progressCount(), steps) << wrong;
        ASSERT_EQ(statusCount("Erasing program blocks..."), 0u) << wrong;
        ASSERT_EQ(erased(), 0u) << wrong;
    }
}

TEST_F(BlackfinEraseTest, AMissingBannerLeavesTheTimerToEndTheUpdate)
{
    controller->realResponseTimer = true;
    startErase();
    feed("ERASE_PROGRAM\r\nErasing all program Blocks\r\n...");
    EXPECT_TRUE(controller->responseTimerRunning);
    EXPECT_TRUE(controller->pumpUntil([this] { return controller->responseTimeouts > 0; }, 15000));
    EXPECT_EQ(progressCount(), 0u);
}

TEST_F(BlackfinEraseTest, AnyByteValueEndsTheBannerPhase)
{
    for (int b = 0; b < 256; ++b) {
        startErase();
        const size_t steps = progressCount();
        feed("ERASE_PROGRAM" + Banner + std::string(1, static_cast<char>(b)));
        ASSERT_EQ(progressCount(), steps + 1) << "byte " << b;
        ASSERT_EQ(parserKind(), "progress") << "byte " << b;
    }
    EXPECT_EQ(statusCount("Erasing program blocks..."), 256u);
}

TEST_F(BlackfinEraseTest, OnlyDotsStepTheBlockReport)
{
    startErase();
    feed("ERASE_PROGRAM" + Banner + "x");
    std::string others;
    for (int b = 0; b < 256; ++b)
        if (b != '.' && b != '\r' && b != '\n') others.push_back(static_cast<char>(b));
    feed(others);
    EXPECT_EQ(progressCount(), 1u);
    feed(".");
    EXPECT_EQ(progressCount(), 2u);
    EXPECT_EQ(parserKind(), "progress");
    feed("\r\n");
    EXPECT_EQ(parserKind(), "complete");
}

TEST_F(BlackfinEraseTest, LfOnlyLoaderEndsTheBlockReportAfterTheDots)
{
    startErase();
    feed("ERASE_PROGRAM" + Banner + "\n");
    EXPECT_EQ(parserKind(), "progress") << "the LF after the banner ends the banner phase only";
    feed("\n");
    EXPECT_EQ(parserKind(), "progress") << "an LF before the first dot never ends the report";
    feed(dots(11) + "\n");
    EXPECT_EQ(parserKind(), "complete");
    feed("Complete.\n");
    EXPECT_EQ(erased(), 1u);
}

TEST_F(BlackfinEraseTest, CompletionIsFoundInTextJoinedOverLines)
{
    startErase();
    feed("ERASE_PROGRAM" + Banner + "\r\n" + dots(11) + "\r\n");
    feed("\r\nErase verified\r\n");
    EXPECT_EQ(erased(), 0u);
    feed("Compl\r\nete.");
    EXPECT_EQ(erased(), 0u) << "no LF after the marker yet";
    feed("\r\n");
    EXPECT_EQ(erased(), 1u);
    EXPECT_EQ(controller->statusTexts().back(), "Application erased.");
    // Until the programming command replaces it, a repeated "Complete." starts nothing.
    feed("Complete.\r\n");
    EXPECT_EQ(erased(), 1u);
    EXPECT_EQ(statusCount("Application erased."), 1u);
}

TEST_F(BlackfinEraseTest, SplittingTheEraseReportAnywhereGivesTheSameSteps)
{
    // Few dots: a whole report in one batch must not fill the window queue.
    const std::string report =
        "ERASE_PROGRAM\r\n" + Banner + "\r\n" + dots(3) + "\r\n" + "Comp" + "lete.\r\n";
    for (size_t split = 0; split <= report.size(); ++split) {
        startErase();
        const size_t steps = progressCount();
        const size_t done = erased();
        feed(report.substr(0, split));
        feed(report.substr(split));
        ASSERT_EQ(progressCount(), steps + 4) << "split at " << split;
        ASSERT_EQ(erased(), done + 1) << "split at " << split;
    }
}

}  // namespace
