// Walks a Blackfin boot stream block by block: 10-byte little-endian headers (target
// address, byte count, flags), each followed by its payload unless it is a zero-fill block.
#pragma once

#include <cstdint>
#include <string>

namespace kqsim {

constexpr uint16_t bootFlagZeroFill = 0x0001;
constexpr uint16_t bootFlagIgnore = 0x0010;
constexpr uint16_t bootFlagFinal = 0x8000;

struct BootStreamWalk {
    uint32_t blocks = 0;
    uint32_t zeroFillBlocks = 0;
    uint32_t ignoreBlocks = 0;
    uint16_t firstFlags = 0;
    uint32_t firstCount = 0;
    uint32_t firstValue = 0;   // the first block's 4-byte payload (the rest's length)
    uint32_t restLength = 0;   // bytes after the first block
    uint16_t lastFlags = 0;
    bool finalSeen = false;    // the walk ended at a block flagged final
    bool truncated = false;    // a header or payload ran past the end of the data
    uint64_t trailingBytes = 0;  // bytes after the final block
};

BootStreamWalk walkBootStream(const std::string& data);

}  // namespace kqsim
