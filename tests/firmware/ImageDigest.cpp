// Intel HEX decoding and SHA-256 for checking what the simulator's targets hold.
#include "tests/firmware/ImageDigest.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

bool decodeIntelHex(const std::string& text, std::map<uint32_t, uint8_t>& memory, std::string& error)
{
    uint32_t base = 0;
    size_t start = 0;
    int lineNumber = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        if (line[0] != ':' || line.size() < 11 || (line.size() - 1) % 2 != 0) {
            error = "line " + std::to_string(lineNumber) + ": not a record";
            return false;
        }
        std::string bytes;
        for (size_t i = 1; i < line.size(); i += 2) {
            const int hi = hexValue(line[i]), lo = hexValue(line[i + 1]);
            if (hi < 0 || lo < 0) {
                error = "line " + std::to_string(lineNumber) + ": not hexadecimal";
                return false;
            }
            bytes.push_back(static_cast<char>(hi * 16 + lo));
        }
        const uint8_t count = static_cast<uint8_t>(bytes[0]);
        if (bytes.size() != static_cast<size_t>(count) + 5) {
            error = "line " + std::to_string(lineNumber) + ": wrong length";
            return false;
        }
        uint8_t sum = 0;
        for (char b : bytes) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(b));
        if (sum != 0) {
            error = "line " + std::to_string(lineNumber) + ": bad checksum";
            return false;
        }
        const uint32_t offset = (static_cast<uint8_t>(bytes[1]) << 8) | static_cast<uint8_t>(bytes[2]);
        const uint8_t type = static_cast<uint8_t>(bytes[3]);
        if (type == 0x00) {
            for (uint8_t i = 0; i < count; ++i) memory[base + offset + i] = static_cast<uint8_t>(bytes[4 + i]);
        } else if (type == 0x02 || type == 0x04) {
            const uint32_t value = (static_cast<uint8_t>(bytes[4]) << 8) | static_cast<uint8_t>(bytes[5]);
            base = type == 0x04 ? value << 16 : value << 4;
        }
    }
    return true;
}

std::string canonicalData(const std::map<uint32_t, uint8_t>& memory)
{
    std::string data;
    data.reserve(memory.size());
    for (const auto& entry : memory) data.push_back(static_cast<char>(entry.second));
    return data;
}

std::string sha256Hex(const std::string& data)
{
    HCRYPTPROV provider = 0;
    if (!CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) return "";
    std::string hex;
    HCRYPTHASH hash = 0;
    if (CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) {
        BYTE digest[32];
        DWORD length = sizeof digest;
        if (CryptHashData(hash, reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()), 0) &&
            CryptGetHashParam(hash, HP_HASHVAL, digest, &length, 0) && length == sizeof digest) {
            char two[3];
            for (BYTE b : digest) {
                std::snprintf(two, sizeof two, "%02x", b);
                hex += two;
            }
        }
        CryptDestroyHash(hash);
    }
    CryptReleaseContext(provider, 0);
    return hex;
}

std::string picVersionOf(const std::map<uint32_t, uint8_t>& memory)
{
    char text[3];
    for (uint32_t i = 0; i < 3; ++i) {
        const auto low = memory.find(0x0FC0 + 2 * i);
        const auto high = memory.find(0x0FC1 + 2 * i);
        // RETLW k is 0x34kk: the character is the low byte.
        if (low == memory.end() || high == memory.end() || high->second != 0x34) return "";
        text[i] = static_cast<char>(low->second);
    }
    return std::string("V") + text[0] + "." + text[1] + text[2];
}
