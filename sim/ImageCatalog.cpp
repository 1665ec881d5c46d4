// Reading the expected image digests from the image files or from the srecord digest file.
#include "ImageCatalog.h"

#include "IntelHex.h"
#include "LoaderOptions.h"

#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

namespace kqsim {

namespace {

bool readFile(const std::string& path, std::string& text) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    std::ostringstream out;
    out << file.rdbuf();
    text = out.str();
    return true;
}

}  // namespace

bool decodeHexImage(const std::string& text, TargetMemory& memory, std::string& error) {
    HexAddressing addressing;
    size_t start = 0;
    unsigned lineNumber = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        HexRecord record;
        const HexError result = decodeHexRecord(line, record);
        if (result != HexError::None) {
            error = "line " + std::to_string(lineNumber) + ": " + hexErrorName(result);
            return false;
        }
        if (record.type == 0x00) memory.write(addressing.absolute(record.offset), record.data);
        else if (record.type == 0x01) return true;
        else addressing.apply(record);
    }
    error = "no end-of-file record";
    return false;
}

bool loadExpectations(const LoaderOptions& options, ExpectedImages& expected, std::string& error) {
    std::map<std::string, std::string> fromDir, fromJson;
    if (!options.expectDir.empty()) {
        for (const char* id : {"300", "301", "302", "303"}) {
            const std::string path = options.expectDir + "/" + id + ".hex";
            std::string text;
            if (!readFile(path, text)) {
                error = "cannot read " + path;
                return false;
            }
            TargetMemory memory;
            if (!decodeHexImage(text, memory, error)) {
                error = path + ": " + error;
                return false;
            }
            fromDir[id] = memory.sha256();
        }
    }
    if (!options.expectJson.empty()) {
        std::string text;
        if (!readFile(options.expectJson, text)) {
            error = "cannot read " + options.expectJson;
            return false;
        }
        const nlohmann::json digests = nlohmann::json::parse(text, nullptr, false);
        if (digests.is_object()) {
            for (const auto& entry : digests.items()) {
                const auto sha = entry.value().find("sha256");
                if (sha != entry.value().end() && sha->is_string()) fromJson[entry.key()] = sha->get<std::string>();
            }
        }
        if (fromJson.empty()) {
            error = options.expectJson + ": no digests found";
            return false;
        }
    }
    if (!fromDir.empty() && !fromJson.empty() && fromDir != fromJson) {
        error = "image digests of " + options.expectDir + " differ from " + options.expectJson;
        return false;
    }
    expected.sha256 = fromDir.empty() ? fromJson : fromDir;
    expected.source = !fromDir.empty() && !fromJson.empty() ? "dir+json"
                      : !fromDir.empty()                    ? "dir"
                      : !fromJson.empty()                   ? "json"
                                                            : "";
    return true;
}

std::string matchingImage(const ExpectedImages& expected, const std::string& sha256) {
    for (const auto& entry : expected.sha256)
        if (entry.second == sha256) return entry.first;
    return std::string();
}

}  // namespace kqsim
