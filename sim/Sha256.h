// SHA-256 (FIPS 180-4), so the simulator can fingerprint a target's memory without a library.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kqsim {

class Sha256 {
public:
    Sha256();
    void update(std::string_view bytes);
    void update(uint8_t byte);
    std::string hexDigest();  // lower-case hex; ends the computation

private:
    void block();

    uint32_t state[8];
    uint8_t buffer[64];
    size_t used = 0;
    uint64_t bits = 0;
};

std::string sha256Hex(std::string_view bytes);

}  // namespace kqsim
