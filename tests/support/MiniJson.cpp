// Recursive-descent reader behind JsonValue.
#include "tests/support/MiniJson.h"

#include <cstdlib>

class JsonParser {
public:
    explicit JsonParser(const std::string& input) : s(input) {}

    bool document(JsonValue& out) {
        if (!value(out, 0)) return false;
        skipSpace();
        if (pos != s.size()) return fail("trailing characters");
        return true;
    }
    std::string message;

private:
    bool fail(const char* what) {
        message = std::string(what) + " at offset " + std::to_string(pos);
        return false;
    }
    void skipSpace() {
        while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\n' || s[pos] == '\r' || s[pos] == '\t')) ++pos;
    }
    bool literal(const char* word) {
        size_t n = std::char_traits<char>::length(word);
        if (s.compare(pos, n, word) != 0) return fail("bad literal");
        pos += n;
        return true;
    }
    bool value(JsonValue& out, int depth) {
        if (depth > 64) return fail("nesting too deep");
        skipSpace();
        if (pos >= s.size()) return fail("unexpected end");
        char c = s[pos];
        if (c == '{') return objectValue(out, depth);
        if (c == '[') return arrayValue(out, depth);
        if (c == '"') { out.kind = JsonValue::Type::String; return stringValue(out.text); }
        if (c == 't') { out.kind = JsonValue::Type::Bool; out.boolean = true; return literal("true"); }
        if (c == 'f') { out.kind = JsonValue::Type::Bool; out.boolean = false; return literal("false"); }
        if (c == 'n') { out.kind = JsonValue::Type::Null; return literal("null"); }
        const char* begin = s.c_str() + pos;
        char* end = nullptr;
        out.number = std::strtod(begin, &end);
        if (end == begin) return fail("bad value");
        out.kind = JsonValue::Type::Number;
        pos += static_cast<size_t>(end - begin);
        return true;
    }
    bool stringValue(std::string& out) {
        ++pos;  // opening quote
        out.clear();
        while (pos < s.size()) {
            char c = s[pos++];
            if (c == '"') return true;
            if (c != '\\') { out += c; continue; }
            if (pos >= s.size()) break;
            char e = s[pos++];
            switch (e) {
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'u': {
                if (pos + 4 > s.size()) return fail("bad escape");
                unsigned long code = std::strtoul(s.substr(pos, 4).c_str(), nullptr, 16);
                pos += 4;
                // The summaries escape only control and 8-bit bytes this way.
                out += static_cast<char>(code & 0xFF);
                break;
            }
            default: out += e; break;
            }
        }
        return fail("unterminated string");
    }
    bool arrayValue(JsonValue& out, int depth) {
        out.kind = JsonValue::Type::Array;
        ++pos;
        skipSpace();
        if (pos < s.size() && s[pos] == ']') { ++pos; return true; }
        for (;;) {
            out.array.emplace_back();
            if (!value(out.array.back(), depth + 1)) return false;
            skipSpace();
            if (pos < s.size() && s[pos] == ',') { ++pos; continue; }
            if (pos < s.size() && s[pos] == ']') { ++pos; return true; }
            return fail("expected , or ]");
        }
    }
    bool objectValue(JsonValue& out, int depth) {
        out.kind = JsonValue::Type::Object;
        ++pos;
        skipSpace();
        if (pos < s.size() && s[pos] == '}') { ++pos; return true; }
        for (;;) {
            skipSpace();
            if (pos >= s.size() || s[pos] != '"') return fail("expected key");
            std::string key;
            if (!stringValue(key)) return false;
            skipSpace();
            if (pos >= s.size() || s[pos] != ':') return fail("expected :");
            ++pos;
            if (!value(out.object[key], depth + 1)) return false;
            skipSpace();
            if (pos < s.size() && s[pos] == ',') { ++pos; continue; }
            if (pos < s.size() && s[pos] == '}') { ++pos; return true; }
            return fail("expected , or }");
        }
    }

    const std::string& s;
    size_t pos = 0;
};

bool JsonValue::parse(const std::string& text, JsonValue& out, std::string* error) {
    out = JsonValue();
    JsonParser parser(text);
    if (parser.document(out)) return true;
    if (error) *error = parser.message;
    return false;
}

namespace {
const JsonValue& nullValue() {
    static const JsonValue none;
    return none;
}
}  // namespace

const JsonValue& JsonValue::operator[](const std::string& key) const {
    if (kind == Type::Object) {
        auto it = object.find(key);
        if (it != object.end()) return it->second;
    }
    return nullValue();
}

const JsonValue& JsonValue::operator[](size_t index) const {
    if (kind == Type::Array && index < array.size()) return array[index];
    return nullValue();
}

const JsonValue& JsonValue::at(const std::string& path) const {
    const JsonValue* v = this;
    size_t begin = 0;
    while (begin <= path.size()) {
        size_t dot = path.find('.', begin);
        std::string part = path.substr(begin, dot == std::string::npos ? std::string::npos : dot - begin);
        if (v->kind == Type::Array && !part.empty() && part.find_first_not_of("0123456789") == std::string::npos)
            v = &(*v)[static_cast<size_t>(std::stoul(part))];
        else
            v = &(*v)[part];
        if (dot == std::string::npos) break;
        begin = dot + 1;
    }
    return *v;
}
