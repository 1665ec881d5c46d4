// The embedded images: LoadFirmwareResource's contract, and the shape of the four
// shipped images that the transfer relies on.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "firmware/FirmwareResource.h"
#include "firmware/ImageCheck.h"

namespace {

void expectCleared(const FirmwareResource& r)
{
    EXPECT_EQ(r.resourceHandle, nullptr);
    EXPECT_EQ(r.resourceData, nullptr);
    EXPECT_EQ(r.resourceSize, 0u);
}

struct ShippedImage {
    WORD id;
    const char* type;
    uint32_t size;
    uint32_t lines;
};

const ShippedImage Shipped[] = {
    {300, "TALVOR_LDR", 616317, 8585},
    {301, "TALVOR_HEX", 6138, 142},
    {302, "TALVOR_HEX", 7599, 175},
    {303, "TALVOR_HEX", 5132, 120},
};

TEST(ImageResourceTest, ShippedImagesLoadWithTheirSizeLinesAndRecordShape)
{
    for (const ShippedImage& s : Shipped) {
        SCOPED_TRACE(s.id);
        FirmwareResource r;
        ASSERT_TRUE(r.LoadFirmwareResource(s.id, s.type));
        ASSERT_NE(r.resourceHandle, nullptr);
        ASSERT_NE(r.resourceData, nullptr);
        ASSERT_EQ(r.resourceSize, s.size);

        const std::string text(r.resourceData, r.resourceSize);
        EXPECT_EQ(static_cast<uint32_t>(std::count(text.begin(), text.end(), '\n')), s.lines);
        EXPECT_EQ(text.rfind(":020000040000FA\r\n", 0), 0u);
        EXPECT_EQ(text.substr(text.size() - 13), ":00000001FF\r\n");

        // Every line is a record ending CR LF: the echo the loader sends back is then
        // exactly the record as written.
        size_t start = 0, longest = 0;
        while (start < text.size()) {
            const size_t lf = text.find('\n', start);
            ASSERT_NE(lf, std::string::npos);
            ASSERT_GT(lf, start);
            ASSERT_EQ(text[lf - 1], '\r') << "line at byte " << start;
            ASSERT_EQ(text[start], ':') << "line at byte " << start;
            longest = std::max(longest, lf - 1 - start);
            start = lf + 1;
        }
        if (s.id == 300) {
            EXPECT_EQ(longest, 75u);
        }
        EXPECT_LE(longest, 80u) << "longer lines than the reserved room would allocate per record";
    }
}

TEST(ImageResourceTest, ImagesAreStoredAsUsEnglishAndTheLookupNamesNoLanguage)
{
    for (const ShippedImage& s : Shipped) {
        EXPECT_NE(FindResourceExA(nullptr, s.type, MAKEINTRESOURCEA(s.id), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)),
                  nullptr)
            << s.id;
    }
}

TEST(ImageResourceTest, MissingWrongTypeOrEmptyResourcesFailWithEverythingCleared)
{
    FirmwareResource r;
    EXPECT_FALSE(r.LoadFirmwareResource(304, "TALVOR_HEX"));
    expectCleared(r);
    EXPECT_FALSE(r.LoadFirmwareResource(300, "TALVOR_HEX")) << "the type is part of the name";
    expectCleared(r);
    EXPECT_FALSE(r.LoadFirmwareResource(301, "TALVOR_LDR"));
    expectCleared(r);

    // A resource of size 0 exists but is refused.
    ASSERT_NE(FindResourceA(nullptr, MAKEINTRESOURCEA(900), "KQ_TEST_IMAGE"), nullptr);
    EXPECT_FALSE(r.LoadFirmwareResource(900, "KQ_TEST_IMAGE"));
    expectCleared(r);
}

TEST(ImageResourceTest, EachLoadReplacesTheImageHeldAndAFailedOneDropsIt)
{
    FirmwareResource r;
    ASSERT_TRUE(r.LoadFirmwareResource(301, "TALVOR_HEX"));
    const char* pic2 = r.resourceData;
    ASSERT_TRUE(r.LoadFirmwareResource(302, "TALVOR_HEX"));
    EXPECT_NE(r.resourceData, pic2);
    EXPECT_EQ(r.resourceSize, 7599u);
    // A failed load after a good one leaves nothing held, not the old image.
    EXPECT_FALSE(r.LoadFirmwareResource(299, "TALVOR_HEX"));
    expectCleared(r);

    ASSERT_TRUE(r.LoadFirmwareResource(300, "TALVOR_LDR"));
    r.release();
    expectCleared(r);
    r.release();
    expectCleared(r);
}

TEST(ImageResourceTest, EveryChangedByteAndEveryCutOfAnImageIsRefused)
{
    // Image 301's shape in three records: address, data, end.
    const std::string intact = ":020000040000FA\r\n:08002000EB2128308806BF2EF9\r\n:00000001FF\r\n";
    ASSERT_EQ(checkImageText(intact.data(), static_cast<uint32_t>(intact.size())).fault, ImageFault::None);
    for (size_t at = 0; at < intact.size(); ++at) {
        for (int value = 0; value < 256; ++value) {
            std::string changed = intact;
            if (changed[at] == static_cast<char>(value)) continue;
            changed[at] = static_cast<char>(value);
            EXPECT_NE(checkImageText(changed.data(), static_cast<uint32_t>(changed.size())).fault, ImageFault::None)
                << "byte " << at << " changed to " << value;
        }
    }

    FirmwareResource r;
    ASSERT_TRUE(r.LoadFirmwareResource(301, "TALVOR_HEX"));
    for (uint32_t cut = 0; cut < r.resourceSize; ++cut) {
        const ImageFault fault = checkImageText(r.resourceData, cut).fault;
        EXPECT_TRUE(fault == ImageFault::Unterminated || fault == ImageFault::EndRecord) << "cut at " << cut;
    }
}

TEST(ImageResourceTest, WellFormedRecordsOutsideTheImagesShapeAreRefused)
{
    struct Case {
        const char* text;
        ImageFault fault;
    };
    const Case cases[] = {
        {":020000040000FA\n:00000001FF\n", ImageFault::None},  // LF alone ends a line as well
        {":020000020000FC\r\n:00000001FF\r\n", ImageFault::RecordType},  // segment address
        {":020000040000FA\r\n:020001040000F9\r\n:00000001FF\r\n", ImageFault::RecordType},
        {":020000040000FA\r\n:01000001FFFF\r\n", ImageFault::RecordType},  // end record with data
        {":020000040000fa\r\n:00000001FF\r\n", ImageFault::HexDigit},
        {":020000040000FA\r\n\r\n:00000001FF\r\n", ImageFault::StartCode},
        {":020000040000FA\r\n:00000001FF\r\n:020000040000FA\r\n", ImageFault::EndRecord},
        {":020000040000FA\r\n", ImageFault::EndRecord},
        {":0000FA\r\n:00000001FF\r\n", ImageFault::Length},
        {"", ImageFault::EndRecord},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(checkImageText(c.text, static_cast<uint32_t>(std::strlen(c.text))).fault, c.fault) << c.text;
    }
}

}  // namespace
