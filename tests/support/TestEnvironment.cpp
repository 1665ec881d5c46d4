// Paths of the test rig; see TestEnvironment.h.
#include "tests/support/TestEnvironment.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace testenv {

std::string variable(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value && *value ? std::string(value) : fallback;
}

std::string windowsPath(const std::string& unixPath) {
    if (unixPath.empty() || unixPath[0] != '/') return unixPath;
    std::string path = "Z:" + unixPath;
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

std::string sourceDir() { return windowsPath(variable("KQ_SOURCE_DIR")); }
std::string buildDir() { return windowsPath(variable("KQ_BUILD_DIR")); }

bool readFile(const std::string& path, std::string& contents) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    contents = buffer.str();
    return true;
}

}  // namespace testenv
