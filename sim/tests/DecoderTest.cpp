// The simulator's own pieces without a line: Intel HEX decoding, target memory and its
// digest, the boot-stream walk and the PIC version table.
#include "BootStream.h"
#include "ImageCatalog.h"
#include "IntelHex.h"
#include "LoaderMode.h"
#include "SimProcess.h"
#include "TargetMemory.h"

#include <gtest/gtest.h>

using namespace kqsim;

namespace {

std::string withChecksum(const std::string& digits) {
    unsigned sum = 0;
    for (size_t i = 0; i < digits.size(); i += 2) sum += std::stoul(digits.substr(i, 2), nullptr, 16);
    char cc[3];
    std::snprintf(cc, sizeof cc, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    return ":" + digits + cc;
}

std::string le(uint32_t v, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += static_cast<char>(v >> (8 * i));
    return out;
}

std::string block(uint32_t address, uint32_t count, uint16_t flags, const std::string& payload) {
    return le(address, 4) + le(count, 4) + le(flags, 2) + payload;
}

}  // namespace

TEST(IntelHex, DecodesEachRecordKind) {
    HexRecord r;
    ASSERT_EQ(decodeHexRecord(":020000040003F7", r), HexError::None);
    EXPECT_EQ(r.type, 0x04);
    EXPECT_EQ(r.data, std::string("\x00\x03", 2));
    ASSERT_EQ(decodeHexRecord(withChecksum("04ABCD00DEADBEEF"), r), HexError::None);
    EXPECT_EQ(r.type, 0x00);
    EXPECT_EQ(r.offset, 0xABCD);
    EXPECT_EQ(r.data, "\xDE\xAD\xBE\xEF");
    ASSERT_EQ(decodeHexRecord(":00000001FF", r), HexError::None);
    EXPECT_EQ(r.type, 0x01);
    EXPECT_TRUE(r.data.empty());
    // Lower-case digits are as good as upper-case ones.
    EXPECT_EQ(decodeHexRecord(":04abcd00deadbeef" + withChecksum("04ABCD00DEADBEEF").substr(17), r), HexError::None);
}

TEST(IntelHex, RejectsEveryMalformedRecord) {
    HexRecord r;
    EXPECT_EQ(decodeHexRecord("", r), HexError::NoStartCode);
    EXPECT_EQ(decodeHexRecord("020000040000FA", r), HexError::NoStartCode);
    EXPECT_EQ(decodeHexRecord(":020000040000F", r), HexError::OddLength);
    EXPECT_EQ(decodeHexRecord(":0200000400G0FA", r), HexError::BadDigit);
    EXPECT_EQ(decodeHexRecord(":0000", r), HexError::TooShort);
    EXPECT_EQ(decodeHexRecord(withChecksum("0300000001"), r), HexError::LengthMismatch);
    EXPECT_EQ(decodeHexRecord(":020000040000FB", r), HexError::Checksum);
    EXPECT_EQ(decodeHexRecord(withChecksum("00000009"), r), HexError::BadType);
    EXPECT_EQ(decodeHexRecord(withChecksum("0100000400"), r), HexError::BadAddressRecord);
    EXPECT_EQ(decodeHexRecord(withChecksum("0100000100"), r), HexError::LengthMismatch);
}

TEST(IntelHex, OnlyHexDigitsAreAcceptedAtAnyPosition) {
    const std::string good = withChecksum("04ABCD00DEADBEEF");
    for (size_t pos = 1; pos < good.size(); ++pos) {
        for (int value = 0; value < 256; ++value) {
            std::string line = good;
            line[pos] = static_cast<char>(value);
            HexRecord r;
            const HexError e = decodeHexRecord(line, r);
            const bool digit = std::isxdigit(value) != 0;
            if (!digit) {
                EXPECT_EQ(e, HexError::BadDigit) << "byte " << value << " at " << pos;
            } else if (std::toupper(value) != std::toupper(static_cast<unsigned char>(good[pos]))) {
                // Another digit changes the sum (or the length byte): never accepted as is.
                EXPECT_NE(e, HexError::None) << "byte " << value << " at " << pos;
            } else {
                EXPECT_EQ(e, HexError::None) << "byte " << value << " at " << pos;
            }
        }
    }
}

TEST(IntelHex, AddressRecordsSetTheUpperBits) {
    HexAddressing a;
    HexRecord r;
    EXPECT_EQ(a.absolute(0x1234), 0x1234u);
    ASSERT_EQ(decodeHexRecord(":020000040003F7", r), HexError::None);
    ASSERT_TRUE(a.apply(r));
    EXPECT_EQ(a.absolute(0xD9BB), 0x3D9BBu);
    ASSERT_EQ(decodeHexRecord(withChecksum("020000021000"), r), HexError::None);
    ASSERT_TRUE(a.apply(r));
    EXPECT_EQ(a.absolute(0x0010), 0x10010u);
    ASSERT_EQ(decodeHexRecord(":00000001FF", r), HexError::None);
    EXPECT_FALSE(a.apply(r));
}

TEST(TargetMemory, RangesDigestAndOverwrites) {
    TargetMemory m;
    EXPECT_EQ(m.write(0x20, "ab"), 0u);
    EXPECT_EQ(m.write(0x10, "xy"), 0u);
    EXPECT_EQ(m.write(0x22, "cd"), 0u);
    EXPECT_EQ(m.write(0x23, "ZZ"), 1u);
    ASSERT_EQ(m.ranges().size(), 2u);
    EXPECT_EQ(m.ranges()[0], std::make_pair(0x10u, 0x11u));
    EXPECT_EQ(m.ranges()[1], std::make_pair(0x20u, 0x24u));
    // Ascending address order, gaps left out.
    EXPECT_EQ(m.contents(), "xyabcZZ");
    // As sha256sum gives it for "xyabcZZ".
    EXPECT_EQ(m.sha256(), "9927436e2f3511ed0bba7e0c4dd50bffac13628caa3a35fd58f5ae6ec772c8c5");
    m.clear();
    EXPECT_EQ(m.byteCount(), 0u);
}

TEST(BootStream, WalksTheShippedBlackfinImage) {
    TargetMemory m;
    std::string error;
    ASSERT_TRUE(decodeHexImage(kqtest::readFile(kqtest::imageDir() + "/300.hex"), m, error)) << error;
    const BootStreamWalk w = walkBootStream(m.contents());
    EXPECT_EQ(w.blocks, 1157u);
    EXPECT_EQ(w.firstFlags, 0x0010);
    EXPECT_EQ(w.firstCount, 4u);
    EXPECT_EQ(w.firstValue, 0x3D9AEu);
    EXPECT_EQ(w.restLength, 0x3D9AEu);
    EXPECT_EQ(w.lastFlags, 0x8000);
    EXPECT_TRUE(w.finalSeen);
    EXPECT_FALSE(w.truncated);
    EXPECT_EQ(w.trailingBytes, 0u);
    EXPECT_GT(w.zeroFillBlocks, 0u);
}

TEST(BootStream, ZeroFillBlocksCarryNoPayloadAndDamageShows) {
    const std::string stream = block(0xFF800000, 4, 0x0010, le(22, 4)) + block(0x1000, 0x400, 0x0001, "") +
                               block(0x2000, 2, 0x8000, "hi");
    BootStreamWalk w = walkBootStream(stream);
    EXPECT_EQ(w.blocks, 3u);
    EXPECT_EQ(w.zeroFillBlocks, 1u);
    EXPECT_EQ(w.firstValue, w.restLength);
    EXPECT_TRUE(w.finalSeen);
    EXPECT_EQ(w.trailingBytes, 0u);

    w = walkBootStream(stream + "junk");
    EXPECT_TRUE(w.finalSeen);
    EXPECT_EQ(w.trailingBytes, 4u);

    w = walkBootStream(stream.substr(0, stream.size() - 1));  // the final payload cut short
    EXPECT_TRUE(w.truncated);
    EXPECT_FALSE(w.finalSeen);

    w = walkBootStream(stream.substr(0, 14) + block(0x1000, 0x400, 0x0001, ""));  // no final block
    EXPECT_FALSE(w.finalSeen);
    EXPECT_EQ(w.blocks, 2u);
}

TEST(ImageCatalog, OwnDecoderAgreesWithSrecordOnEveryImage) {
    LoaderOptions options;
    options.expectDir = kqtest::imageDir();
    options.expectJson = kqtest::expectedImagesJson();
    ExpectedImages expected;
    std::string error;
    ASSERT_TRUE(loadExpectations(options, expected, error)) << error;
    EXPECT_EQ(expected.source, "dir+json");
    EXPECT_EQ(expected.sha256.size(), 4u);

    // A digest file that disagrees with the images is refused.
    const std::string bad = "/tmp/kqsim-bad-digests.json";
    std::string text = kqtest::readFile(kqtest::expectedImagesJson());
    const size_t at = text.find("\"sha256\": \"") + 11;
    text[at] = text[at] == '0' ? '1' : '0';
    FILE* f = std::fopen(bad.c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    options.expectJson = bad;
    EXPECT_FALSE(loadExpectations(options, expected, error));
    std::remove(bad.c_str());
}

TEST(PicVersion, ReadFromTheRetlwTable) {
    TargetMemory m;
    EXPECT_EQ(LoaderMode::versionFromImage(m), "V?.??");
    m.write(0x0FC0, std::string("2\x34" "0\x34" "9\x34", 6));
    EXPECT_EQ(LoaderMode::versionFromImage(m), "V2.09");
    m.write(0x0FC3, std::string(1, '\x00'));  // not a RETLW any more
    EXPECT_EQ(LoaderMode::versionFromImage(m), "V?.??");
    for (int id : {301, 302, 303}) {
        TargetMemory image;
        std::string error;
        ASSERT_TRUE(decodeHexImage(kqtest::readFile(kqtest::imageDir() + "/" + std::to_string(id) + ".hex"), image, error));
        EXPECT_NE(LoaderMode::versionFromImage(image), "V?.??") << id;
    }
}
