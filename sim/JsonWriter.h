// A small streaming JSON writer for the simulator's summaries (no external library:
// the summary must be readable by the Windows tests' own small reader).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kqsim {

class JsonWriter {
public:
    JsonWriter& beginObject();
    JsonWriter& endObject();
    JsonWriter& beginArray();
    JsonWriter& endArray();
    JsonWriter& key(std::string_view name);

    JsonWriter& value(std::string_view text);
    JsonWriter& value(const char* text) { return value(std::string_view(text)); }
    JsonWriter& value(const std::string& text) { return value(std::string_view(text)); }
    JsonWriter& value(bool flag);
    JsonWriter& value(int64_t number);
    JsonWriter& value(uint64_t number);
    JsonWriter& value(int number) { return value(static_cast<int64_t>(number)); }
    JsonWriter& value(unsigned number) { return value(static_cast<uint64_t>(number)); }
    JsonWriter& null();

    template <typename T>
    JsonWriter& field(std::string_view name, const T& v) { return key(name).value(v); }

    const std::string& text() const { return out; }

private:
    void separate();
    void writeString(std::string_view text);

    std::string out;
    std::vector<bool> hasItem;  // per open container: an item was already written
    bool afterKey = false;
};

std::string hexBytes(std::string_view bytes);
std::string hexNumber(uint64_t number, int digits);

}  // namespace kqsim
