// kqsim loader over a real pseudo-terminal: the answers the installer relies on, the
// echo of commands and records, the erase report, and every selectable fault.
#include "SimProcess.h"

#include <gtest/gtest.h>

using kqtest::Json;
using kqtest::SimProcess;

namespace {

using Args = std::vector<std::string>;

Args loader(Args extra = {}) {
    Args a{"loader", "--expect-dir", kqtest::imageDir()};
    a.insert(a.end(), extra.begin(), extra.end());
    return a;
}

// Signs on and returns the bytes up to and including the sign-on line.
std::string signOn(SimProcess& sim) {
    sim.write("###");
    return sim.readUntil("Loader V2.04\r\n");
}

std::vector<std::string> smallPicImage() {
    return {":020000040000FA", ":0400200001020304D2", ":060FC000313430343234FC", ":00000001FF"};
}

}  // namespace

TEST(LoaderAnswers, SignOnVersionsAndCommandEcho) {
    SimProcess sim(loader());
    ASSERT_TRUE(sim.ok());
    // Before the sign-on only "###" is heard: commands get no answer at all.
    sim.write("VERSION\r\n");
    EXPECT_EQ(sim.readFor(200), "");
    sim.write("###");
    EXPECT_EQ(sim.readUntil("\r\n"), "###KQ7750 Loader V2.04\r\n");
    sim.write("VERSION\r\n");
    EXPECT_EQ(sim.readUntil("V3.21\r\n"), "VERSION\r\nLoader V2.04\r\nV3.21\r\n");
    for (const char* pic : {"2", "3", "4"}) {
        const std::string command = std::string("PIC_VERS ") + pic;
        sim.write(command + "\r\n");
        const std::string version = pic[0] == '2' ? "V1.04" : pic[0] == '3' ? "V1.10" : "V1.01";
        EXPECT_EQ(sim.readUntil(version + "\r\n"), command + "\r\n" + version + "\r\n");
    }
    sim.write("PIC_VERS 7\r\nBOGUS\r\n");
    EXPECT_EQ(sim.readUntil("Unknown command\r\n"), "PIC_VERS 7\r\nError: no PIC 7\r\nBOGUS\r\nUnknown command\r\n");
    // Bytes the loader does not understand are dropped from the command line.
    sim.write(std::string("VER\x01\x80SION\r\n"));
    EXPECT_EQ(sim.readUntil("V3.21\r\n"), "VERSION\r\nLoader V2.04\r\nV3.21\r\n");
    // LF alone ends a command too.
    sim.write("PIC_VERS 2\n");
    EXPECT_EQ(sim.readUntil("V1.04\r\n"), "PIC_VERS 2\nV1.04\r\n");
    const Json s = sim.stop();
    ASSERT_EQ(s.at("commands").size(), 9u);
    EXPECT_EQ(s.at("commands").at(0).get<std::string>(), "###");
    EXPECT_EQ(s.at("commands").at(1).get<std::string>(), "VERSION");
    EXPECT_EQ(s.at("sign_ons").get<long long>(), 1);
    EXPECT_EQ(s.at("end").get<std::string>(), "signal");
}

TEST(LoaderAnswers, SignOnVariantsAndLineEnds) {
    {
        SimProcess sim(loader({"--m418", "--loader-version", "3.1", "--signon-prefix", "Boot: ",
                               "--signon-extra-lines", "2", "--lf-only"}));
        ASSERT_TRUE(sim.ok());
        sim.write("###");
        EXPECT_EQ(sim.readUntil("V3.1\n"),
                  "###Power-on self test 1 passed\nPower-on self test 2 passed\nBoot: M418 Loader V3.1\n");
        sim.write("VERSION\r\n");
        EXPECT_EQ(sim.readUntil("V3.21\n"), "VERSION\r\nLoader V3.1\nV3.21\n");
    }
    {
        SimProcess sim(loader({"--version-line1", "BL 9", "--spi-version", "SPI 7.7", "--pic-version", "3=X 1"}));
        ASSERT_TRUE(sim.ok());
        signOn(sim);
        sim.write("VERSION\r\nPIC_VERS 3\r\n");
        EXPECT_EQ(sim.readUntil("X 1\r\n"), "VERSION\r\nBL 9\r\nSPI 7.7\r\nPIC_VERS 3\r\nX 1\r\n");
    }
}

TEST(LoaderTransfer, EchoesEveryRecordAndProgramsThePic) {
    SimProcess sim(loader());
    ASSERT_TRUE(sim.ok());
    signOn(sim);
    sim.write("LOAD_PIC 3\r\n");
    EXPECT_EQ(sim.readUntil("LOAD_PIC 3\r\n"), "LOAD_PIC 3\r\n");
    for (const std::string& record : smallPicImage()) {
        sim.write(record + "\r\n");
        EXPECT_EQ(sim.readUntil("\n"), record + "\r\n");
    }
    EXPECT_EQ(sim.readUntil("Complete.\r\n"), "Complete.\r\n");
    // The version now comes from the image just programmed: RETLW '1' '0' '2'.
    sim.write("PIC_VERS 3\r\n");
    EXPECT_EQ(sim.readUntil("\r\nV"), "PIC_VERS 3\r\nV");
    EXPECT_EQ(sim.readUntil("\r\n"), "1.02\r\n");
    const Json s = sim.stop();
    const Json& pic3 = s.at("targets").at("pic3");
    EXPECT_EQ(pic3.at("byte_count").get<long long>(), 10);
    EXPECT_EQ(pic3.at("data_records").get<long long>(), 2);
    ASSERT_EQ(pic3.at("ranges").size(), 2u);
    EXPECT_EQ(pic3.at("ranges").at(0).at(0).get<std::string>(), "0x0020");
    EXPECT_EQ(pic3.at("ranges").at(0).at(1).get<std::string>(), "0x0023");
    EXPECT_EQ(pic3.at("version").get<std::string>(), "V1.02");
    EXPECT_TRUE(pic3.at("image").is_null());
    EXPECT_EQ(s.at("targets").at("pic2").at("byte_count").get<long long>(), 0);
    EXPECT_EQ(s.at("transfers").at(0).at("target").get<std::string>(), "pic3");
    EXPECT_TRUE(s.at("transfers").at(0).at("complete_sent").get<bool>());
}

TEST(LoaderTransfer, BadRecordsAreEchoedListedAndNotWritten) {
    SimProcess sim(loader());
    ASSERT_TRUE(sim.ok());
    signOn(sim);
    const std::vector<std::string> records{":020000040000FA", ":0400200001020304D3", "garbage", "",
                                           ":0400240005060708BE", ":00000001FF"};
    ASSERT_TRUE(sim.sendImage("LOAD_PIC 2", records));
    EXPECT_EQ(sim.readUntil("Complete.\r\n"), "Complete.\r\n");
    const Json s = sim.stop();
    const Json& pic2 = s.at("targets").at("pic2");
    ASSERT_EQ(pic2.at("bad_records").size(), 2u);
    EXPECT_EQ(pic2.at("bad_records").at(0).at("record").get<long long>(), 2);
    EXPECT_EQ(pic2.at("bad_records").at(0).at("reason").get<std::string>(), "checksum");
    EXPECT_EQ(pic2.at("bad_records").at(1).at("line").get<std::string>(), "garbage");
    EXPECT_EQ(pic2.at("empty_lines").get<long long>(), 1);
    EXPECT_EQ(pic2.at("byte_count").get<long long>(), 4);
    EXPECT_EQ(pic2.at("ranges").at(0).at(0).get<std::string>(), "0x0024");
    // A PIC programmed with bad records keeps reporting its old version.
    EXPECT_EQ(pic2.at("version").get<std::string>(), "V1.04");
    EXPECT_EQ(s.at("transfers").at(0).at("bad_records").get<long long>(), 2);
}

TEST(LoaderTransfer, SignOnInTheMiddleOfATransferAbandonsIt) {
    SimProcess sim(loader());
    ASSERT_TRUE(sim.ok());
    signOn(sim);
    ASSERT_TRUE(sim.sendImage("LOAD_PROGRAM", {":020000040000FA"}));
    sim.write("###");
    EXPECT_EQ(sim.readUntil("Loader V2.04\r\n"), "###KQ7750 Loader V2.04\r\n");
    sim.write("PIC_VERS 4\r\n");
    EXPECT_EQ(sim.readUntil("V1.01\r\n"), "PIC_VERS 4\r\nV1.01\r\n");
    const Json s = sim.stop();
    EXPECT_TRUE(s.at("transfers").at(0).at("aborted").get<bool>());
    EXPECT_FALSE(s.at("transfers").at(0).at("eof").get<bool>());
    EXPECT_EQ(s.at("sign_ons").get<long long>(), 2);
}

TEST(LoaderErase, BannerDotsAndCompleteInBothLayouts) {
    {
        SimProcess sim(loader({"--erase-blocks", "3", "--erase-dot-ms", "20"}));
        ASSERT_TRUE(sim.ok());
        signOn(sim);
        sim.write("ERASE_PROGRAM\r\n");
        EXPECT_EQ(sim.readUntil("Complete.\r\n"),
                  "ERASE_PROGRAM\r\nErasing all program blocks\r\n...\r\nComplete.\r\n");
        const Json s = sim.stop();
        EXPECT_EQ(s.at("targets").at("blackfin").at("erases").get<long long>(), 1);
    }
    {
        SimProcess sim(loader({"--erase-dot-after-banner", "--pre-complete-line", "Flash verified", "--lf-only"}));
        ASSERT_TRUE(sim.ok());
        sim.write("###");
        sim.readUntil("V2.04\n");
        sim.write("ERASE_PROGRAM\r\n");
        EXPECT_EQ(sim.readUntil("Complete.\n"),
                  "ERASE_PROGRAM\r\nErasing all program blocks...........\nFlash verified\nComplete.\n");
    }
}

TEST(LoaderHabits, ExtraLineAfterEveryReplyAndCompleteTwice) {
    SimProcess sim(loader({"--extra-line", "OK", "--repeat-complete", "--erase-blocks", "2", "--erase-dot-ms", "1"}));
    ASSERT_TRUE(sim.ok());
    sim.write("###");
    EXPECT_EQ(sim.readUntil("OK\r\n"), "###KQ7750 Loader V2.04\r\nOK\r\n");
    sim.write("VERSION\r\n");
    EXPECT_EQ(sim.readUntil("OK\r\n"), "VERSION\r\nLoader V2.04\r\nV3.21\r\nOK\r\n");
    sim.write("PIC_VERS 2\r\n");
    EXPECT_EQ(sim.readUntil("OK\r\n"), "PIC_VERS 2\r\nV1.04\r\nOK\r\n");
    // The transfer's reply ends with its "Complete.": nothing extra after the command's echo.
    ASSERT_TRUE(sim.sendImage("LOAD_PIC 2", smallPicImage()));
    EXPECT_EQ(sim.readUntil("OK\r\n"), "Complete.\r\nComplete.\r\nOK\r\n");
    sim.write("ERASE_PROGRAM\r\n");
    EXPECT_EQ(sim.readUntil("OK\r\n"),
              "ERASE_PROGRAM\r\nErasing all program blocks\r\n..\r\nComplete.\r\nComplete.\r\nOK\r\n");
    sim.write("BOGUS\r\n");
    EXPECT_EQ(sim.readUntil("OK\r\n"), "BOGUS\r\nUnknown command\r\nOK\r\n");
    const Json s = sim.stop();
    EXPECT_EQ(s.at("extra_lines").get<long long>(), 6);
    EXPECT_EQ(s.at("repeated_completes").get<long long>(), 2);
    ASSERT_EQ(s.at("commands").size(), 6u);
    EXPECT_EQ(s.at("commands").at(3).get<std::string>(), "LOAD_PIC 2");
}

TEST(LoaderErase, EraseClearsTheBlackfinAndHoldsInputMeanwhile) {
    SimProcess sim(loader({"--erase-blocks", "2", "--erase-dot-ms", "300"}));
    ASSERT_TRUE(sim.ok());
    signOn(sim);
    ASSERT_TRUE(sim.sendImage("LOAD_PROGRAM", {":020000040000FA", ":0400000001020304F2", ":00000001FF"}));
    sim.readUntil("Complete.\r\n");
    // A command sent during the erase is answered only after it.
    sim.write("ERASE_PROGRAM\r\nPIC_VERS 2\r\n");
    EXPECT_EQ(sim.readUntil("V1.04\r\n", 10000),
              "ERASE_PROGRAM\r\nErasing all program blocks\r\n..\r\nComplete.\r\nPIC_VERS 2\r\nV1.04\r\n");
    const Json s = sim.stop();
    EXPECT_EQ(s.at("targets").at("blackfin").at("byte_count").get<long long>(), 0);
    EXPECT_EQ(s.at("targets").at("blackfin").at("erases").get<long long>(), 1);
}

TEST(LoaderFaults, SilenceAndMissingSignOn) {
    {
        SimProcess sim(loader({"--silent"}));
        ASSERT_TRUE(sim.ok());
        sim.write("###VERSION\r\n");
        EXPECT_EQ(sim.readFor(300), "");
        const Json s = sim.stop();
        EXPECT_EQ(s.at("commands").at(1).get<std::string>(), "VERSION");  // heard, not answered
        EXPECT_EQ(s.at("bytes_sent").get<long long>(), 0);
    }
    {
        SimProcess sim(loader({"--no-signon"}));
        ASSERT_TRUE(sim.ok());
        sim.write("###");
        // The echo may be late on a loaded machine; what must not follow it is the sign-on.
        EXPECT_EQ(sim.readUntil("###"), "###");
        EXPECT_EQ(sim.readFor(300), "");
        EXPECT_EQ(sim.stop().at("faults_fired").at(0).get<std::string>(), "no-signon");
    }
}

TEST(LoaderFaults, GarbageAndNoiseAroundAnswerLines) {
    SimProcess sim(loader({"--garbage-before-signon", "--noise"}));
    ASSERT_TRUE(sim.ok());
    sim.write("###");
    std::string got = sim.readUntil("\r\n", 3000);
    got += sim.readUntil("\r\n", 3000);
    EXPECT_EQ(got.substr(0, 4), "###\x80");
    EXPECT_NE(got.find(std::string("\x00\x80\xFE\x07KQ7750 Loader V2.04\xFF\x9B\x01\r\n", 27)), std::string::npos);
    bool high = false;
    for (unsigned char c : got) high |= c >= 0x80;
    EXPECT_TRUE(high);
    sim.write("PIC_VERS 2\r\n");
    EXPECT_EQ(sim.readUntil("\r\n", 3000), "PIC_VERS 2\r\n");  // echoes stay exact
    EXPECT_EQ(sim.readUntil("\r\n", 3000), std::string("\x00\x80\xFE\x07V1.04\xFF\x9B\x01\r\n", 14));
}

TEST(LoaderFaults, EchoOfARecordDroppedChangedOrPreceded) {
    const std::vector<std::string> image = smallPicImage();
    const std::pair<Args, std::string> cases[] = {
        {{"--drop-echo-byte", "2:3"}, ":000200001020304D2"},
        {{"--change-echo-byte", "2"}, ":1400200001020304D2"},
        {{"--stray-byte", "2"}, "::0400200001020304D2"},
        {{"--stray-byte", "2:7E"}, "~:0400200001020304D2"},
    };
    for (const auto& c : cases) {
        Args args = c.first;
        args.insert(args.end(), {"--fault-target", "pic4"});
        SimProcess sim(loader(args));
        ASSERT_TRUE(sim.ok());
        signOn(sim);
        const std::string name = c.first[0] + " " + c.first[1];
        // The fault belongs to PIC 4's transfer: PIC 2's goes through untouched.
        ASSERT_TRUE(sim.sendImage("LOAD_PIC 2", image)) << name;
        sim.readUntil("Complete.\r\n");
        ASSERT_TRUE(sim.command("LOAD_PIC 4"));
        sim.readUntil("\r\n");
        sim.write(image[0] + "\r\n");
        ASSERT_EQ(sim.readUntil("\r\n"), image[0] + "\r\n");
        sim.write(image[1] + "\r\n");
        EXPECT_EQ(sim.readUntil("\r\n"), c.second + "\r\n") << name;
        // The next record is echoed exactly again: every fault fires once.
        sim.write(image[2] + "\r\n");
        EXPECT_EQ(sim.readUntil("\r\n"), image[2] + "\r\n") << name;
        const Json s = sim.stop();
        ASSERT_EQ(s.at("faults_fired").size(), 1u) << name;
        // What the loader received and wrote is unaffected by what it echoed.
        EXPECT_EQ(s.at("targets").at("pic4").at("bad_records").size(), 0u) << name;
        EXPECT_EQ(s.at("targets").at("pic4").at("byte_count").get<long long>(), 10) << name;
    }
}

TEST(LoaderFaults, EchoOfACommandDroppedOrPreceded) {
    SimProcess sim(loader({"--stray-byte", "VERSION", "--drop-echo-byte", "PIC_VERS:1"}));
    ASSERT_TRUE(sim.ok());
    signOn(sim);
    sim.write("VERSION\r\n");
    EXPECT_EQ(sim.readUntil("V3.21\r\n"), "VVERSION\r\nLoader V2.04\r\nV3.21\r\n");
    sim.write("PIC_VERS 2\r\n");
    EXPECT_EQ(sim.readUntil("V1.04\r\n"), "IC_VERS 2\r\nV1.04\r\n");
    sim.write("VERSION\r\n");
    EXPECT_EQ(sim.readUntil("V3.21\r\n"), "VERSION\r\nLoader V2.04\r\nV3.21\r\n");
}

TEST(LoaderFaults, StopsAnsweringAfterTheNthRecord) {
    SimProcess sim(loader({"--silent-after-record", "2"}));
    ASSERT_TRUE(sim.ok());
    signOn(sim);
    const std::vector<std::string> image = smallPicImage();
    ASSERT_TRUE(sim.sendImage("LOAD_PIC 2", {image[0], image[1]}));
    sim.write(image[2] + "\r\n" + image[3] + "\r\nPIC_VERS 2\r\n###");
    EXPECT_EQ(sim.readFor(400), "");
    const Json s = sim.stop();
    EXPECT_TRUE(s.at("silenced").get<bool>());
    // It still listened: the whole image arrived and was programmed.
    EXPECT_EQ(s.at("targets").at("pic2").at("byte_count").get<long long>(), 10);
    EXPECT_FALSE(s.at("transfers").at(0).at("complete_sent").get<bool>());
}

TEST(LoaderFaults, VanishesAfterTheNthRecord) {
    SimProcess sim(loader({"--vanish-after-record", "3", "--fault-target", "blackfin"}));
    ASSERT_TRUE(sim.ok());
    signOn(sim);
    const std::vector<std::string> image = smallPicImage();
    ASSERT_TRUE(sim.sendImage("LOAD_PIC 2", image));
    sim.readUntil("Complete.\r\n");
    ASSERT_TRUE(sim.sendImage("LOAD_PROGRAM", {image[0], image[1], image[2]}));
    EXPECT_TRUE(sim.hangsUpWithin(3000));
    const Json s = sim.stop();
    EXPECT_TRUE(s.at("vanished").get<bool>());
    EXPECT_EQ(s.at("faults_fired").at(0).get<std::string>(), "vanish-after-record 3");
}

TEST(LoaderFaults, VanishesAfterTheEchoOfTheChosenCommand) {
    {
        SimProcess sim(loader({"--vanish-after-echo", "###"}));
        ASSERT_TRUE(sim.ok());
        sim.write("###");
        EXPECT_EQ(sim.readUntil("###"), "###");
        EXPECT_TRUE(sim.hangsUpWithin(3000));
        const Json s = sim.stop();
        EXPECT_TRUE(s.at("vanished").get<bool>());
        EXPECT_EQ(s.at("faults_fired").at(0).get<std::string>(), "vanish-after-echo ###");
    }
    {
        SimProcess sim(loader({"--vanish-after-echo", "PIC_VERS"}));
        ASSERT_TRUE(sim.ok());
        signOn(sim);
        sim.write("VERSION\r\n");
        EXPECT_EQ(sim.readUntil("V3.21\r\n"), "VERSION\r\nLoader V2.04\r\nV3.21\r\n");
        sim.write("PIC_VERS 2\r\n");
        EXPECT_EQ(sim.readUntil("PIC_VERS 2\r\n"), "PIC_VERS 2\r\n");
        EXPECT_TRUE(sim.hangsUpWithin(3000));
        EXPECT_EQ(sim.stop().at("faults_fired").at(0).get<std::string>(), "vanish-after-echo PIC_VERS");
    }
}

TEST(LoaderFaults, PicVersionErrorText) {
    SimProcess sim(loader({"--pic-vers-error", "3", "--pic-vers-error-text", "ERR 17"}));
    ASSERT_TRUE(sim.ok());
    signOn(sim);
    sim.write("PIC_VERS 2\r\nPIC_VERS 3\r\nPIC_VERS 4\r\n");
    EXPECT_EQ(sim.readUntil("V1.01\r\n"), "PIC_VERS 2\r\nV1.04\r\nPIC_VERS 3\r\nERR 17\r\nPIC_VERS 4\r\nV1.01\r\n");
}

TEST(LoaderFaults, NoCompleteAfterTheChosenStep) {
    const std::vector<std::string> image = smallPicImage();
    {
        SimProcess sim(loader({"--no-complete", "pic3"}));
        ASSERT_TRUE(sim.ok());
        signOn(sim);
        ASSERT_TRUE(sim.sendImage("LOAD_PIC 2", image));
        EXPECT_EQ(sim.readUntil("\r\n"), "Complete.\r\n");
        ASSERT_TRUE(sim.sendImage("LOAD_PIC 3", image));
        EXPECT_EQ(sim.readFor(300), "");
        const Json s = sim.stop();
        EXPECT_FALSE(s.at("transfers").at(1).at("complete_sent").get<bool>());
        EXPECT_EQ(s.at("faults_fired").at(0).get<std::string>(), "no-complete pic3");
    }
    {
        SimProcess sim(loader({"--no-complete", "erase", "--erase-dot-ms", "1"}));
        ASSERT_TRUE(sim.ok());
        signOn(sim);
        sim.write("ERASE_PROGRAM\r\n");
        EXPECT_EQ(sim.readUntil("\r\n...........\r\n"),
                  "ERASE_PROGRAM\r\nErasing all program blocks\r\n...........\r\n");
        EXPECT_EQ(sim.readFor(300), "");
    }
}

TEST(LoaderLife, EndsByItselfAfterTheIdleTimeOut) {
    SimProcess sim(loader({"--idle-timeout", "300"}));
    ASSERT_TRUE(sim.ok());
    const Json s = sim.waitExit(10000);
    EXPECT_EQ(sim.exitStatus, 0);
    EXPECT_EQ(s.at("end").get<std::string>(), "idle");
}

TEST(LoaderLife, RefusesUnknownOptionsAndHelps) {
    SimProcess bad({"loader", "--no-such-fault"});
    EXPECT_FALSE(bad.ok());
    SimProcess badTarget({"loader", "--fault-target", "pic9"});
    EXPECT_FALSE(badTarget.ok());
}
