// Parsing of the options shared by the peer and loader modes.
#include "CommonOptions.h"

#include <cstdlib>

namespace kqsim {

const char* const commonOptionsHelp =
    "Common options:\n"
    "  --link PATH          re-point the symlink PATH (a COM-port link) at the pseudo-terminal\n"
    "  --summary FILE       write the JSON summary to FILE on exit (default: standard output)\n"
    "  --idle-timeout MS    end after MS without any traffic (default 60000)\n"
    "  --baud N             pace both directions at N baud, 10 bits per byte (default: unpaced)\n"
    "  --paced              the same as --baud 115200\n";

bool parseUnsigned(const std::string& text, unsigned long long& number) {
    if (text.empty() || text[0] == '-' || text[0] == '+') return false;
    char* end = nullptr;
    number = std::strtoull(text.c_str(), &end, 0);
    return *end == '\0';
}

bool optionValue(const std::vector<std::string>& args, size_t& i, std::string& value, std::string& error) {
    if (i + 1 >= args.size()) {
        error = "option " + args[i] + " needs a value";
        return false;
    }
    value = args[++i];
    return true;
}

bool takeCommonOptions(std::vector<std::string>& args, CommonOptions& options, std::string& error) {
    std::vector<std::string> rest;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        std::string value;
        unsigned long long number = 0;
        if (name == "--link") {
            if (!optionValue(args, i, options.link, error)) return false;
        } else if (name == "--summary") {
            if (!optionValue(args, i, options.summaryPath, error)) return false;
        } else if (name == "--idle-timeout" || name == "--baud") {
            if (!optionValue(args, i, value, error)) return false;
            if (!parseUnsigned(value, number) || number > 100'000'000) {
                error = "bad value for " + name + ": " + value;
                return false;
            }
            (name == "--baud" ? options.baud : options.idleTimeoutMs) = static_cast<unsigned>(number);
        } else if (name == "--paced") {
            options.baud = 115200;
        } else {
            rest.push_back(name);
        }
    }
    args.swap(rest);
    return true;
}

}  // namespace kqsim
