// Where the test rig put things: paths from the environment that scripts/rig.sh sets.
#pragma once

#include <string>

namespace testenv {

// A variable of the environment, or `fallback` when unset or empty.
std::string variable(const char* name, const std::string& fallback = std::string());
// A Unix path as a Windows program sees it under Wine (drive Z: is the Unix root).
std::string windowsPath(const std::string& unixPath);
// The source tree and the build tree, as Windows paths.
std::string sourceDir();
std::string buildDir();
// Reads a whole file; false when it cannot be opened.
bool readFile(const std::string& path, std::string& contents);

}  // namespace testenv
