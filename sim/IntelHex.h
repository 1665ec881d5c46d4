// Intel HEX records as the loader receives them: one line decoded and checked, and the
// address state (extended linear / segment address) that turns offsets into addresses.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kqsim {

struct HexRecord {
    uint8_t type = 0;
    uint16_t offset = 0;
    std::string data;
};

enum class HexError {
    None,
    NoStartCode,   // the line does not begin with ':'
    BadDigit,      // a character that is not a hexadecimal digit
    OddLength,     // an odd number of digits
    TooShort,      // fewer than the five fixed bytes
    LengthMismatch,
    Checksum,
    BadType,       // a record type the loader does not know
    BadAddressRecord,
};

const char* hexErrorName(HexError error);

// Decodes one record line (without CR/LF). Upper- and lower-case digits are accepted.
HexError decodeHexRecord(std::string_view line, HexRecord& record);

// Follows the address records of one transfer.
class HexAddressing {
public:
    // Applies an address record (types 02 and 04); false if `record` is not one.
    bool apply(const HexRecord& record);
    uint32_t absolute(uint16_t offset) const { return base + offset; }

private:
    uint32_t base = 0;
};

}  // namespace kqsim
