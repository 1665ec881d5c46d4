// A small JSON reader for the native tests: enough to walk a simulator summary.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kqtest {

class Json {
public:
    enum Kind { Null, Bool, Number, String, Array, Object };

    static Json parse(const std::string& text, std::string& error);

    Kind kind() const { return k; }
    bool isNull() const { return k == Null; }
    bool asBool() const { return b; }
    double asNumber() const { return n; }
    long long asInt() const { return static_cast<long long>(n); }
    const std::string& asString() const { return s; }
    size_t size() const { return k == Array ? items.size() : fields.size(); }
    bool has(const std::string& key) const { return fields.count(key) != 0; }

    // Missing keys and indexes give a null value, so a test fails on the value, not a crash.
    const Json& operator[](const std::string& key) const;
    const Json& operator[](size_t index) const;

private:
    Kind k = Null;
    bool b = false;
    double n = 0;
    std::string s;
    std::vector<Json> items;
    std::map<std::string, Json> fields;

    friend class JsonParser;
};

}  // namespace kqtest
