// The header of a start's log: what the program is (name, release, file version, its own
// path and SHA-256) and where it runs (the Windows version), and when it started.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The header's lines, in order; a value that cannot be read is given as "unknown" or
// "unavailable", never left out.
std::vector<std::string> LogHeaderLines(const std::string& releaseLabel, const SYSTEMTIME& started);
