// The summary a simulator writes on the way out: one JSON object read by the native and
// Windows tests, the demo, the benchmarks and the soak. Keys stay in the order written.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <string>
#include <string_view>

namespace kqsim {

using Summary = nlohmann::ordered_json;

// Bytes off the line as summary text: each byte stands for the character of the same
// number (0x80..0xFF as U+0080..U+00FF), so a line that is not UTF-8 loses nothing.
std::string lineText(std::string_view bytes);
// The summary on one line, everything beyond ASCII as \u escapes.
std::string summaryText(const Summary& summary);

std::string hexBytes(std::string_view bytes);
std::string hexNumber(uint64_t number, int digits);

}  // namespace kqsim
