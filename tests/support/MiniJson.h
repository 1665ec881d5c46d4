// A small JSON reader for test programs: enough to read the simulator's summaries.
#pragma once

#include <map>
#include <string>
#include <vector>

class JsonValue {
public:
    enum class Type { Null, Bool, Number, String, Array, Object };

    // Parses a whole document; on malformed input returns false with a message.
    static bool parse(const std::string& text, JsonValue& out, std::string* error = nullptr);

    Type type() const { return kind; }
    bool isNull() const { return kind == Type::Null; }
    bool asBool() const { return boolean; }
    double asNumber() const { return number; }
    long long asInt() const { return static_cast<long long>(number); }
    const std::string& asString() const { return text; }
    const std::vector<JsonValue>& items() const { return array; }
    const std::map<std::string, JsonValue>& members() const { return object; }

    bool has(const std::string& key) const { return object.count(key) != 0; }
    // Member or array element; a missing one yields a null value.
    const JsonValue& operator[](const std::string& key) const;
    const JsonValue& operator[](size_t index) const;
    // Dotted path of member names and array indexes, e.g. "targets.pic2.sha256".
    const JsonValue& at(const std::string& path) const;

private:
    friend class JsonParser;
    Type kind = Type::Null;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<JsonValue> array;
    std::map<std::string, JsonValue> object;
};
