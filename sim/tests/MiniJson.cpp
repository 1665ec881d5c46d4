// Recursive-descent JSON reader (strings with \uXXXX escapes below 0x100 only).
#include "MiniJson.h"

#include <cstdlib>

namespace kqtest {

class JsonParser {
public:
    explicit JsonParser(const std::string& t) : text(t) {}

    bool value(Json& out) {
        space();
        if (pos >= text.size()) return fail("unexpected end");
        const char c = text[pos];
        if (c == '{') return object(out);
        if (c == '[') return array(out);
        if (c == '"') {
            out.k = Json::String;
            return string(out.s);
        }
        if (text.compare(pos, 4, "true") == 0) {
            pos += 4;
            out.k = Json::Bool;
            out.b = true;
            return true;
        }
        if (text.compare(pos, 5, "false") == 0) {
            pos += 5;
            out.k = Json::Bool;
            return true;
        }
        if (text.compare(pos, 4, "null") == 0) {
            pos += 4;
            return true;
        }
        char* end = nullptr;
        out.n = std::strtod(text.c_str() + pos, &end);
        if (end == text.c_str() + pos) return fail("bad value");
        out.k = Json::Number;
        pos = static_cast<size_t>(end - text.c_str());
        return true;
    }

    bool finish() {
        space();
        return pos == text.size() || fail("text after the value");
    }

    std::string error;

private:
    bool fail(const std::string& what) {
        if (error.empty()) error = what + " at " + std::to_string(pos);
        return false;
    }
    void space() {
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\n' || text[pos] == '\r' || text[pos] == '\t'))
            ++pos;
    }
    bool string(std::string& out) {
        ++pos;
        while (pos < text.size() && text[pos] != '"') {
            char c = text[pos++];
            if (c == '\\') {
                if (pos >= text.size()) return fail("bad escape");
                const char e = text[pos++];
                switch (e) {
                case 'n': c = '\n'; break;
                case 'r': c = '\r'; break;
                case 't': c = '\t'; break;
                case 'u':
                    if (pos + 4 > text.size()) return fail("bad escape");
                    c = static_cast<char>(std::strtol(text.substr(pos, 4).c_str(), nullptr, 16));
                    pos += 4;
                    break;
                default: c = e;
                }
            }
            out += c;
        }
        if (pos >= text.size()) return fail("unterminated string");
        ++pos;
        return true;
    }
    bool array(Json& out) {
        out.k = Json::Array;
        ++pos;
        space();
        if (pos < text.size() && text[pos] == ']') return ++pos, true;
        for (;;) {
            Json item;
            if (!value(item)) return false;
            out.items.push_back(std::move(item));
            space();
            if (pos < text.size() && text[pos] == ',') {
                ++pos;
                continue;
            }
            if (pos < text.size() && text[pos] == ']') return ++pos, true;
            return fail("expected , or ]");
        }
    }
    bool object(Json& out) {
        out.k = Json::Object;
        ++pos;
        space();
        if (pos < text.size() && text[pos] == '}') return ++pos, true;
        for (;;) {
            space();
            std::string key;
            if (pos >= text.size() || text[pos] != '"' || !string(key)) return fail("expected key");
            space();
            if (pos >= text.size() || text[pos] != ':') return fail("expected :");
            ++pos;
            Json item;
            if (!value(item)) return false;
            out.fields[key] = std::move(item);
            space();
            if (pos < text.size() && text[pos] == ',') {
                ++pos;
                continue;
            }
            if (pos < text.size() && text[pos] == '}') return ++pos, true;
            return fail("expected , or }");
        }
    }

    const std::string& text;
    size_t pos = 0;
};

Json Json::parse(const std::string& text, std::string& error) {
    JsonParser parser(text);
    Json out;
    if (!parser.value(out) || !parser.finish()) {
        error = parser.error;
        return Json();
    }
    return out;
}

const Json& Json::operator[](const std::string& key) const {
    static const Json none;
    const auto it = fields.find(key);
    return it == fields.end() ? none : it->second;
}

const Json& Json::operator[](size_t index) const {
    static const Json none;
    return index < items.size() ? items[index] : none;
}

}  // namespace kqtest
