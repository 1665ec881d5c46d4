// The whole-image check of the embedded firmware. The record pump sends lines as they
// stand and the loader alone decodes them, so a damaged record would otherwise reach the
// instrument after its memory had been erased.
#include "firmware/ImageCheck.h"

#include <windows.h>

#include <cstring>

#include "firmware/FirmwareResource.h"

// Record counts of the images this program was built with, counted by the build from
// resources/firmware (CMakeLists.txt).
#if !defined(KQ_IMAGE_300_RECORDS) || !defined(KQ_IMAGE_301_RECORDS) || \
    !defined(KQ_IMAGE_302_RECORDS) || !defined(KQ_IMAGE_303_RECORDS)
#error "the build must define the record count of each firmware image"
#endif

namespace {

constexpr uint8_t DataRecord = 0x00;
constexpr uint8_t EndRecord = 0x01;
constexpr uint8_t LinearAddressRecord = 0x04;
// Byte count, two address bytes, type and checksum.
constexpr size_t RecordOverhead = 5;

// Upper-case digits only: the images are written that way, so anything else is damage.
int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// One record without its line end: ':' and pairs of digits.
ImageFault checkRecord(const char* record, size_t length, bool& isEnd) {
    isEnd = false;
    if (length == 0 || record[0] != ':') return ImageFault::StartCode;
    const size_t digits = length - 1;
    for (size_t i = 1; i < length; ++i) {
        if (hexValue(record[i]) < 0) return ImageFault::HexDigit;
    }
    if (digits % 2 != 0 || digits / 2 < RecordOverhead) return ImageFault::Length;

    const size_t bytes = digits / 2;
    auto byteAt = [record](size_t i) {
        return static_cast<uint8_t>(hexValue(record[1 + 2 * i]) * 16 + hexValue(record[2 + 2 * i]));
    };
    uint8_t sum = 0;
    for (size_t i = 0; i < bytes; ++i) sum = static_cast<uint8_t>(sum + byteAt(i));
    const uint8_t count = byteAt(0);
    if (count != bytes - RecordOverhead) return ImageFault::Length;
    if (sum != 0) return ImageFault::Checksum;

    const uint16_t address = static_cast<uint16_t>(byteAt(1) << 8 | byteAt(2));
    switch (byteAt(3)) {
        case DataRecord:
            return ImageFault::None;
        case EndRecord:
            isEnd = true;
            return count == 0 && address == 0 ? ImageFault::None : ImageFault::RecordType;
        case LinearAddressRecord:
            return count == 2 && address == 0 ? ImageFault::None : ImageFault::RecordType;
        default:
            return ImageFault::RecordType;
    }
}

struct EmbeddedImage {
    WORD id;
    const char* type;
    uint32_t records;
};

const EmbeddedImage Embedded[] = {
    {300, "TALVOR_LDR", KQ_IMAGE_300_RECORDS},
    {301, "TALVOR_HEX", KQ_IMAGE_301_RECORDS},
    {302, "TALVOR_HEX", KQ_IMAGE_302_RECORDS},
    {303, "TALVOR_HEX", KQ_IMAGE_303_RECORDS},
};

}  // namespace

ImageVerdict checkImageText(const char* text, uint32_t size) {
    ImageVerdict verdict;
    const char* scan = text;
    const char* const end = text + size;
    bool endSeen = false;
    while (scan < end) {
        const char* lf = static_cast<const char*>(std::memchr(scan, '\n', static_cast<size_t>(end - scan)));
        verdict.line = verdict.records + 1;
        if (lf == nullptr) {
            verdict.fault = ImageFault::Unterminated;
            return verdict;
        }
        if (endSeen) {
            verdict.fault = ImageFault::EndRecord;
            return verdict;
        }
        size_t length = static_cast<size_t>(lf - scan);
        if (length > 0 && scan[length - 1] == '\r') --length;
        verdict.fault = checkRecord(scan, length, endSeen);
        if (verdict.fault != ImageFault::None) return verdict;
        ++verdict.records;
        scan = lf + 1;
    }
    verdict.line = 0;
    if (!endSeen) {
        verdict.fault = ImageFault::EndRecord;
        verdict.line = verdict.records;
    }
    return verdict;
}

bool embeddedImagesIntact() {
    for (const EmbeddedImage& image : Embedded) {
        FirmwareResource resource;
        if (!resource.LoadFirmwareResource(image.id, image.type)) return false;
        const ImageVerdict verdict = checkImageText(resource.resourceData, resource.resourceSize);
        if (verdict.fault != ImageFault::None || verdict.records != image.records) return false;
    }
    return true;
}
