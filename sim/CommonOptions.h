// Command-line options every kqsim mode takes (link, summary, idle time-out, baud).
#pragma once

#include <string>
#include <vector>

namespace kqsim {

struct CommonOptions {
    std::string link;         // --link: COM-port symlink to re-point at the pseudo-terminal
    std::string summaryPath;  // --summary
    unsigned idleTimeoutMs = 60000;
    unsigned baud = 0;        // 0: unpaced
};

// Takes the common options out of `args` (leaving the rest in order); false on a bad value.
bool takeCommonOptions(std::vector<std::string>& args, CommonOptions& options, std::string& error);

// Reads the value of option `args[i]`; advances i. False if it is missing.
bool optionValue(const std::vector<std::string>& args, size_t& i, std::string& value, std::string& error);
bool parseUnsigned(const std::string& text, unsigned long long& number);

extern const char* const commonOptionsHelp;

}  // namespace kqsim
