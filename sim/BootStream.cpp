// Boot stream walk over the canonical (ascending-address) bytes of the Blackfin target.
#include "BootStream.h"

namespace kqsim {

namespace {

uint32_t le32(const std::string& d, size_t at) {
    return uint32_t(uint8_t(d[at])) | uint32_t(uint8_t(d[at + 1])) << 8 | uint32_t(uint8_t(d[at + 2])) << 16 |
           uint32_t(uint8_t(d[at + 3])) << 24;
}

}  // namespace

BootStreamWalk walkBootStream(const std::string& data) {
    BootStreamWalk walk;
    size_t pos = 0;
    while (pos < data.size()) {
        if (data.size() - pos < 10) {
            walk.truncated = true;
            break;
        }
        const uint32_t count = le32(data, pos + 4);
        const uint16_t flags = static_cast<uint16_t>(uint8_t(data[pos + 8]) | uint8_t(data[pos + 9]) << 8);
        pos += 10;
        const bool hasPayload = !(flags & bootFlagZeroFill);
        if (hasPayload && data.size() - pos < count) {
            walk.truncated = true;
            pos = data.size();
            ++walk.blocks;
            walk.lastFlags = flags;
            break;
        }
        if (walk.blocks == 0) {
            walk.firstFlags = flags;
            walk.firstCount = count;
            if (hasPayload && count >= 4) walk.firstValue = le32(data, pos);
            walk.restLength = static_cast<uint32_t>(data.size() - pos - (hasPayload ? count : 0));
        }
        ++walk.blocks;
        if (flags & bootFlagZeroFill) ++walk.zeroFillBlocks;
        if (flags & bootFlagIgnore) ++walk.ignoreBlocks;
        walk.lastFlags = flags;
        if (hasPayload) pos += count;
        if (flags & bootFlagFinal) {
            walk.finalSeen = true;
            break;
        }
    }
    walk.trailingBytes = data.size() - pos;
    return walk;
}

}  // namespace kqsim
