// Sparse byte memory with run listing and SHA-256 over the canonical contents.
#include "TargetMemory.h"

#include <openssl/evp.h>

#include <cstdio>

namespace kqsim {

void TargetMemory::clear() {
    bytes.clear();
}

size_t TargetMemory::write(uint32_t address, const std::string& data) {
    size_t overwritten = 0;
    for (size_t i = 0; i < data.size(); ++i) {
        const auto result = bytes.insert_or_assign(address + static_cast<uint32_t>(i), static_cast<uint8_t>(data[i]));
        if (!result.second) ++overwritten;
    }
    return overwritten;
}

std::vector<std::pair<uint32_t, uint32_t>> TargetMemory::ranges() const {
    std::vector<std::pair<uint32_t, uint32_t>> runs;
    for (const auto& entry : bytes) {
        if (!runs.empty() && runs.back().second + 1 == entry.first)
            runs.back().second = entry.first;
        else
            runs.emplace_back(entry.first, entry.first);
    }
    return runs;
}

std::string TargetMemory::contents() const {
    std::string data;
    data.reserve(bytes.size());
    for (const auto& entry : bytes) data += static_cast<char>(entry.second);
    return data;
}

std::string TargetMemory::sha256() const {
    const std::string data = contents();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr)) return std::string();
    std::string hex;
    char two[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        hex += two;
    }
    return hex;
}

bool TargetMemory::read(uint32_t address, uint8_t& byte) const {
    const auto it = bytes.find(address);
    if (it == bytes.end()) return false;
    byte = it->second;
    return true;
}

}  // namespace kqsim
