// The order of a whole update with the shipped images: three PICs with their
// read-backs, the erase and the Blackfin, with the test answering as the loader.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/UpdateEngine.h"
#include "tests/firmware/ChainController.h"
#include "tests/firmware/FirmwareFixture.h"

namespace {

class UpdateOrderTest : public FirmwareTest {
protected:
    std::unique_ptr<TestController> makeController() override
    {
        auto c = std::make_unique<ChainController>();
        // Only the order is under test here; the test answers at once.
        c->realResponseTimer = false;
        chain = c.get();
        return c;
    }
    void awaitCommand(const std::string& command)
    {
        ASSERT_TRUE(controller->pumpUntil([&] { return expectedEcho() == command; }, 10000))
            << "waiting for " << command << ", the parser expects " << printable(expectedEcho()) << "\n"
            << controller->describe();
    }
    void answerTransfer(const std::string& command)
    {
        awaitCommand(command);
        feed(command + "\r\n");
        echoUntilDone();
        feed("Complete.\r\n");
    }

    ChainController* chain = nullptr;
};

TEST_F(UpdateOrderTest, ThreePicsThenEraseThenBlackfinEachWithItsStepsAndTexts)
{
    ASSERT_TRUE(chain->startUpdate());
    for (int pic = 2; pic <= 4; ++pic) {
        const std::string n = std::to_string(pic);
        answerTransfer("LOAD_PIC " + n);
        awaitCommand("PIC_VERS " + n);
        feed("PIC_VERS " + n + "\r\nV2.0" + n + "\r\n");
    }
    awaitCommand("ERASE_PROGRAM");
    EXPECT_EQ(mode(), Updating);
    feed("ERASE_PROGRAM\r\nErasing all program blocks\r\n");
    for (int block = 0; block < 11; ++block) feed(".");
    feed("\r\nComplete.\r\n");
    answerTransfer("LOAD_PROGRAM");
    ASSERT_TRUE(controller->waitForCalls("OnComplete", 1, 10000)) << controller->describe();

    EXPECT_EQ(chain->chainSlots,
              (std::vector<std::string>{"Update", "OnPicProgram", "OnNextPic", "OnPicProgram", "OnNextPic",
                                        "OnPicProgram", "OnBlackfinProgramPreamble", "OnBlackfinErasePreamble",
                                        "OnBlackfinErasePostamble", "OnComplete"}));
    EXPECT_EQ(controller->statusTexts(),
              (std::vector<std::string>{
                  "Programming PIC2...", "Verify transfered version for PIC2.", "PIC2 version is now \"V2.02\"",
                  "Programming PIC3...", "Verify transfered version for PIC3.", "PIC3 version is now \"V2.03\"",
                  "Programming PIC4...", "Verify transfered version for PIC4.", "PIC4 version is now \"V2.04\"",
                  "Erasing application memory...", "Erasing program blocks...", "Application erased.",
                  "Programming application...", "Application firmware data transfer complete."}));

    // Every phase: its records and one completion step; the erase: banner and dots.
    ASSERT_EQ(chain->phases.size(), 5u);
    const std::vector<std::string> names{"PIC2", "PIC3", "PIC4", "erase", "Blackfin"};
    const std::vector<uint32_t> ranges{142, 175, 120, 12, 8584};
    const std::vector<size_t> steps{143, 176, 121, 12, 8586};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(chain->phases[i].name, names[i]);
        EXPECT_EQ(chain->phases[i].range, ranges[i]) << names[i];
        EXPECT_EQ(chain->phases[i].steps, steps[i]) << names[i];
    }
    EXPECT_EQ(controller->count("OnFailed"), 0u);
    EXPECT_EQ(mode(), Idle);
    EXPECT_EQ(chain->resource.resourceHandle, nullptr) << "the image is released at the end";
}

}  // namespace
