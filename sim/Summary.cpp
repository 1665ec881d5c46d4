// Summary text; numbers in decimal, bytes as hex text.
#include "Summary.h"

#include <nlohmann/json.hpp>

#include <cstdio>

namespace kqsim {

std::string lineText(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            text += static_cast<char>(c);
        } else {
            text += static_cast<char>(0xC0 | c >> 6);
            text += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return text;
}

std::string summaryText(const Summary& summary) {
    return summary.dump(-1, ' ', true);
}

std::string hexBytes(std::string_view bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        text += digits[c >> 4];
        text += digits[c & 15];
    }
    return text;
}

std::string hexNumber(uint64_t number, int digits) {
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "0x%0*llX", digits, static_cast<unsigned long long>(number));
    return buffer;
}

}  // namespace kqsim
