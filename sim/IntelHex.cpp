// Intel HEX line decoding with every check a loader makes before it writes flash.
#include "IntelHex.h"

namespace kqsim {

namespace {

int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

const char* hexErrorName(HexError error) {
    switch (error) {
    case HexError::None: return "none";
    case HexError::NoStartCode: return "no start code";
    case HexError::BadDigit: return "bad hex digit";
    case HexError::OddLength: return "odd number of digits";
    case HexError::TooShort: return "too short";
    case HexError::LengthMismatch: return "length mismatch";
    case HexError::Checksum: return "checksum";
    case HexError::BadType: return "unknown record type";
    case HexError::BadAddressRecord: return "bad address record";
    }
    return "unknown";
}

HexError decodeHexRecord(std::string_view line, HexRecord& record) {
    if (line.empty() || line[0] != ':') return HexError::NoStartCode;
    const std::string_view digits = line.substr(1);
    if (digits.size() % 2) {
        for (char c : digits)
            if (digitValue(c) < 0) return HexError::BadDigit;
        return HexError::OddLength;
    }
    std::string bytes;
    for (size_t i = 0; i < digits.size(); i += 2) {
        const int hi = digitValue(digits[i]);
        const int lo = digitValue(digits[i + 1]);
        if (hi < 0 || lo < 0) return HexError::BadDigit;
        bytes += static_cast<char>(hi << 4 | lo);
    }
    if (bytes.size() < 5) return HexError::TooShort;
    const auto at = [&](size_t i) { return static_cast<uint8_t>(bytes[i]); };
    if (bytes.size() != size_t(at(0)) + 5) return HexError::LengthMismatch;
    uint8_t sum = 0;
    for (unsigned char c : bytes) sum = static_cast<uint8_t>(sum + c);
    if (sum != 0) return HexError::Checksum;
    record.type = at(3);
    record.offset = static_cast<uint16_t>(at(1) << 8 | at(2));
    record.data = bytes.substr(4, at(0));
    switch (record.type) {
    case 0x00:
    case 0x03:
    case 0x05:
        return HexError::None;
    case 0x01:
        return record.data.empty() ? HexError::None : HexError::LengthMismatch;
    case 0x02:
    case 0x04:
        return record.data.size() == 2 ? HexError::None : HexError::BadAddressRecord;
    default:
        return HexError::BadType;
    }
}

bool HexAddressing::apply(const HexRecord& record) {
    const uint32_t value = uint32_t(uint8_t(record.data[0])) << 8 | uint8_t(record.data[1]);
    if (record.type == 0x04) {
        base = value << 16;
        return true;
    }
    if (record.type == 0x02) {
        base = value << 4;
        return true;
    }
    return false;
}

}  // namespace kqsim
