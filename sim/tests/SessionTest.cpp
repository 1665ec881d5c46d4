// A whole update as the installer performs it, over a real pseudo-terminal: sign-on,
// version queries, the three PICs (command, then one record per echo, "Complete.",
// read-back), the Blackfin erase and programming. The summary must show that each
// target holds exactly its image. Run unpaced and, as a separate test, at 115200 baud.
#include "SimProcess.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <gtest/gtest.h>

using kqtest::Json;
using kqtest::SimProcess;

namespace {

bool pacedRun() {
    const char* paced = std::getenv("KQSIM_SESSION_PACED");
    return paced && *paced == '1';
}

// srecord's digests, written at build time by tools/image_digests.sh.
std::string srecordDigest(const std::string& id) {
    std::string error;
    const Json digests = Json::parse(kqtest::readFile(kqtest::expectedImagesJson()), error);
    return digests[id]["sha256"].asString();
}

// The installer's whole update: sign-on, version queries, the three PICs (command, one
// record per echo, "Complete.", read-back), the Blackfin erase and programming.
void wholeUpdate(SimProcess& sim, int limit) {
    sim.write("###");
    ASSERT_FALSE(sim.readUntil("KQ7750 Loader V", limit).empty());
    sim.readUntil("\n", limit);
    ASSERT_TRUE(sim.command("VERSION", limit));
    sim.readUntil("\n", limit);
    sim.readUntil("\n", limit);
    sim.readUntil("\n", limit);
    for (int pic = 2; pic <= 4; ++pic) {
        ASSERT_TRUE(sim.command("PIC_VERS " + std::to_string(pic), limit));
        sim.readUntil("\n", limit);
        sim.readUntil("\n", limit);
    }
    const char* const versions[] = {"V1.07", "V1.12", "V1.03"};
    for (int pic = 2; pic <= 4; ++pic) {
        ASSERT_TRUE(sim.sendImage("LOAD_PIC " + std::to_string(pic), kqtest::imageLines(299 + pic), limit)) << pic;
        ASSERT_FALSE(sim.readUntil("Complete.", limit).empty()) << pic;
        ASSERT_TRUE(sim.command("PIC_VERS " + std::to_string(pic), limit));
        EXPECT_NE(sim.readUntil(std::string(versions[pic - 2]) + "\r\n", limit), "") << pic;
    }
    ASSERT_TRUE(sim.command("ERASE_PROGRAM", limit));
    ASSERT_FALSE(sim.readUntil("Complete.", limit).empty());
    ASSERT_TRUE(sim.sendImage("LOAD_PROGRAM", kqtest::imageLines(300), limit));
    ASSERT_FALSE(sim.readUntil("Complete.", limit).empty());
}

}  // namespace

TEST(Session, FourImagesReachTheirTargetsExactly) {
    std::vector<std::string> args{"loader", "--expect-json", kqtest::expectedImagesJson()};
    if (pacedRun()) args.push_back("--paced");
    SimProcess sim(args);
    ASSERT_TRUE(sim.ok());
    const int limit = 5000;  // per answer; generous even when paced
    const auto start = std::chrono::steady_clock::now();

    wholeUpdate(sim, limit);
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("session %s: %.2f s for the whole update\n", pacedRun() ? "paced at 115200" : "unpaced", seconds);

    const Json s = sim.stop();
    const char* const targets[] = {"pic2", "pic3", "pic4", "blackfin"};
    const char* const ids[] = {"301", "302", "303", "300"};
    for (int i = 0; i < 4; ++i) {
        const Json& t = s["targets"][targets[i]];
        EXPECT_EQ(t["sha256"].asString(), srecordDigest(ids[i])) << targets[i];
        EXPECT_EQ(t["image"].asString(), ids[i]) << targets[i];
        EXPECT_EQ(t["bad_records"].size(), 0u) << targets[i];
        EXPECT_EQ(t["overwritten_bytes"].asInt(), 0) << targets[i];
        EXPECT_EQ(t["loads"].asInt(), 1) << targets[i];
    }
    const Json& bf = s["targets"]["blackfin"];
    EXPECT_EQ(bf["records"].asInt(), 8585);
    EXPECT_EQ(bf["byte_count"].asInt(), 252348);
    EXPECT_EQ(bf["erases"].asInt(), 1);
    const Json& walk = bf["boot_stream"];
    EXPECT_EQ(walk["blocks"].asInt(), 1157);
    EXPECT_EQ(walk["first_flags"].asString(), "0x0010");
    EXPECT_EQ(walk["first_value"].asString(), "0x3D9AE");
    EXPECT_EQ(walk["last_flags"].asString(), "0x8000");
    EXPECT_TRUE(walk["final_seen"].asBool());
    EXPECT_EQ(walk["trailing_bytes"].asInt(), 0);
    const char* const order[] = {"###", "VERSION", "PIC_VERS 2", "PIC_VERS 3", "PIC_VERS 4", "LOAD_PIC 2",
                                 "PIC_VERS 2", "LOAD_PIC 3", "PIC_VERS 3", "LOAD_PIC 4", "PIC_VERS 4",
                                 "ERASE_PROGRAM", "LOAD_PROGRAM"};
    ASSERT_EQ(s["commands"].size(), 13u);
    for (size_t i = 0; i < 13; ++i) EXPECT_EQ(s["commands"][i].asString(), order[i]);
    // Every byte the host wrote came back as an echo: 616,317 bytes of image 300 alone.
    EXPECT_GT(s["bytes_received"].asInt(), 616317 + 6138 + 7599 + 5132);
    EXPECT_EQ(s["baud"].asInt(), pacedRun() ? 115200 : 0);
}

// A fixed session's summary, recorded once as whole_update_summary.json: the Windows tests,
// the demo, the benchmarks and the soak all read these keys, so whatever writes the summary
// must keep the document as it is. The session adds a PIC transfer whose bad records carry
// quotes, a backslash, control and 8-bit bytes and a NUL.
TEST(Session, SummaryKeepsTheRecordedDocument) {
    SimProcess sim({"loader", "--expect-dir", kqtest::imageDir(), "--expect-json", kqtest::expectedImagesJson()});
    ASSERT_TRUE(sim.ok());
    wholeUpdate(sim, 5000);
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    const std::vector<std::string> records{":020000040000FA", ":0400200001020304D4",
                                           std::string("\"q\\\t\x01\x7f\x80\xff\x00", 9), ":00000001FF"};
    ASSERT_TRUE(sim.sendImage("LOAD_PIC 2", records));
    ASSERT_FALSE(sim.readUntil("Complete.").empty());
    // Then its image again, so that every target's digest is part of the document.
    ASSERT_TRUE(sim.sendImage("LOAD_PIC 2", kqtest::imageLines(301)));
    ASSERT_FALSE(sim.readUntil("Complete.").empty());
    sim.stop();
    ASSERT_EQ(sim.exitStatus, 0);
    const std::string actual = kqtest::readFile(sim.summaryFile());
    const std::string recorded = kqtest::readFile(KQ_RECORDED_SUMMARY);
    ASSERT_FALSE(recorded.empty()) << KQ_RECORDED_SUMMARY;
    // The pseudo-terminal's name is the one value that differs from run to run.
    const std::regex pty("\"pty\":\"[^\"]*\"");
    if (std::regex_replace(actual, pty, "") != std::regex_replace(recorded, pty, "")) {
        std::ofstream(::testing::TempDir() + "whole_update_summary.json") << actual;
        FAIL() << "summary differs from " << KQ_RECORDED_SUMMARY << "; written to " << ::testing::TempDir()
               << "whole_update_summary.json";
    }
}
