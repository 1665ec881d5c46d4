// JSON text building with string escaping; numbers in decimal, bytes as hex text.
#include "JsonWriter.h"

#include <cstdio>

namespace kqsim {

void JsonWriter::separate() {
    if (afterKey) {
        afterKey = false;
        return;
    }
    if (!hasItem.empty()) {
        if (hasItem.back()) out += ',';
        hasItem.back() = true;
    }
}

JsonWriter& JsonWriter::beginObject() {
    separate();
    out += '{';
    hasItem.push_back(false);
    return *this;
}

JsonWriter& JsonWriter::endObject() {
    out += '}';
    hasItem.pop_back();
    return *this;
}

JsonWriter& JsonWriter::beginArray() {
    separate();
    out += '[';
    hasItem.push_back(false);
    return *this;
}

JsonWriter& JsonWriter::endArray() {
    out += ']';
    hasItem.pop_back();
    return *this;
}

JsonWriter& JsonWriter::key(std::string_view name) {
    separate();
    writeString(name);
    out += ':';
    afterKey = true;
    return *this;
}

JsonWriter& JsonWriter::value(std::string_view text) {
    separate();
    writeString(text);
    return *this;
}

void JsonWriter::writeString(std::string_view text) {
    out += '"';
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c >= 0x7F) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", c);
                out += escape;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += '"';
}

JsonWriter& JsonWriter::value(bool flag) {
    separate();
    out += flag ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::value(int64_t number) {
    separate();
    out += std::to_string(number);
    return *this;
}

JsonWriter& JsonWriter::value(uint64_t number) {
    separate();
    out += std::to_string(number);
    return *this;
}

JsonWriter& JsonWriter::null() {
    separate();
    out += "null";
    return *this;
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
