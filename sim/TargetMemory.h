// The simulated memory of one programmable target (a PIC or the Blackfin's flash):
// the bytes written, by address, and the canonical fingerprint of its contents.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace kqsim {

class TargetMemory {
public:
    void clear();
    // Writes the bytes at `address` on; returns how many overwrote a byte already written.
    size_t write(uint32_t address, const std::string& data);

    size_t byteCount() const { return bytes.size(); }
    // Contiguous runs as (first, last) addresses, ascending.
    std::vector<std::pair<uint32_t, uint32_t>> ranges() const;
    // The data bytes in ascending address order with gaps left out: the canonical form
    // that every image digest in the rig is computed over.
    std::string contents() const;
    std::string sha256() const;
    bool read(uint32_t address, uint8_t& byte) const;

private:
    std::map<uint32_t, uint8_t> bytes;
};

}  // namespace kqsim
