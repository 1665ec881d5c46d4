// Reading image 300 from the benchmark program's own resources; see BenchImage.h.
#include "tests/bench/BenchImage.h"

#include <windows.h>

#include <cstdlib>

bool BenchImage::load(std::string& error) {
    HRSRC found = FindResourceA(nullptr, MAKEINTRESOURCEA(300), "TALVOR_LDR");
    if (!found) {
        error = "resource TALVOR_LDR 300 not found (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    const DWORD size = SizeofResource(nullptr, found);
    HGLOBAL loaded = LoadResource(nullptr, found);
    const char* text = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    if (!text || size == 0) {
        error = "resource TALVOR_LDR 300 cannot be loaded";
        return false;
    }
    records.clear();
    characters = 0;
    std::string line;
    // As the installer walks an image: LF ends a record, CR is dropped, a tail
    // without LF is never sent.
    for (DWORD i = 0; i < size; ++i) {
        const char c = text[i];
        if (c == '\n') {
            line.append("\r\n");
            characters += line.size();
            records.push_back(line);
            line.clear();
        } else if (c != '\r') {
            line.push_back(c);
        }
    }
    if (records.empty()) {
        error = "image 300 holds no line";
        return false;
    }
    return true;
}

double BenchImage::wireFloorSeconds(unsigned baud) const {
    return (static_cast<double>(characters) + static_cast<double>(records.size())) * 10.0 / baud;
}

std::string loaderArguments(bool paced) {
    const char* source = std::getenv("KQ_SOURCE_DIR");
    std::string arguments = paced ? "loader --baud 115200" : "loader";
    if (source) arguments += std::string(" --expect-dir \"") + source + "/resources/firmware\"";
    return arguments;
}
