// A whole update as the installer performs it, over a real pseudo-terminal: sign-on,
// version queries, the three PICs (command, then one record per echo, "Complete.",
// read-back), the Blackfin erase and programming. The summary must show that each
// target holds exactly its image. Run unpaced and, as a separate test, at 115200 baud.
#include "SimProcess.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
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
    const Json digests = Json::parse(kqtest::readFile(kqtest::expectedImagesJson()));
    return digests.at(id).at("sha256").get<std::string>();
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
        const Json& t = s.at("targets").at(targets[i]);
        EXPECT_EQ(t.at("sha256").get<std::string>(), srecordDigest(ids[i])) << targets[i];
        EXPECT_EQ(t.at("image").get<std::string>(), ids[i]) << targets[i];
        EXPECT_EQ(t.at("bad_records").size(), 0u) << targets[i];
        EXPECT_EQ(t.at("overwritten_bytes").get<long long>(), 0) << targets[i];
        EXPECT_EQ(t.at("loads").get<long long>(), 1) << targets[i];
    }
    const Json& bf = s.at("targets").at("blackfin");
    EXPECT_EQ(bf.at("records").get<long long>(), 8585);
    EXPECT_EQ(bf.at("byte_count").get<long long>(), 252348);
    EXPECT_EQ(bf.at("erases").get<long long>(), 1);
    const Json& walk = bf.at("boot_stream");
    EXPECT_EQ(walk.at("blocks").get<long long>(), 1157);
    EXPECT_EQ(walk.at("first_flags").get<std::string>(), "0x0010");
    EXPECT_EQ(walk.at("first_value").get<std::string>(), "0x3D9AE");
    EXPECT_EQ(walk.at("last_flags").get<std::string>(), "0x8000");
    EXPECT_TRUE(walk.at("final_seen").get<bool>());
    EXPECT_EQ(walk.at("trailing_bytes").get<long long>(), 0);
    const char* const order[] = {"###", "VERSION", "PIC_VERS 2", "PIC_VERS 3", "PIC_VERS 4", "LOAD_PIC 2",
                                 "PIC_VERS 2", "LOAD_PIC 3", "PIC_VERS 3", "LOAD_PIC 4", "PIC_VERS 4",
                                 "ERASE_PROGRAM", "LOAD_PROGRAM"};
    ASSERT_EQ(s.at("commands").size(), 13u);
    for (size_t i = 0; i < 13; ++i) EXPECT_EQ(s.at("commands").at(i).get<std::string>(), order[i]);
    // Every byte the host wrote came back as an echo: 616,317 bytes of image 300 alone.
    EXPECT_GT(s.at("bytes_received").get<long long>(), 616317 + 6138 + 7599 + 5132);
    EXPECT_EQ(s.at("baud").get<long long>(), pacedRun() ? 115200 : 0);
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
    Json actual = sim.stop();
    ASSERT_EQ(sim.exitStatus, 0);
    Json recorded = Json::parse(kqtest::readFile(KQ_RECORDED_SUMMARY), nullptr, false);
    ASSERT_TRUE(recorded.is_object()) << KQ_RECORDED_SUMMARY;
    // The pseudo-terminal's name is the one value that differs from run to run.
    ASSERT_TRUE(actual.contains("pty"));
    actual.erase("pty");
    recorded.erase("pty");
    EXPECT_EQ(actual.size(), recorded.size());
    for (const auto& member : recorded.items()) {
        ASSERT_TRUE(actual.contains(member.key())) << member.key();
        EXPECT_EQ(actual.at(member.key()), member.value()) << member.key();
    }
    if (actual != recorded) {
        // Where they differ, as a JSON patch, and the whole new summary for a closer look.
        ADD_FAILURE() << Json::diff(recorded, actual).dump(1);
        std::ofstream(::testing::TempDir() + "whole_update_summary.json") << actual.dump() << "\n";
    }
}
