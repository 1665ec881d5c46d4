// The digests of the installer's firmware images that a loader summary compares each
// target against, so a test can assert "target pic2 holds exactly image 301".
#pragma once

#include "TargetMemory.h"

#include <map>
#include <string>

namespace kqsim {

struct LoaderOptions;

struct ExpectedImages {
    std::map<std::string, std::string> sha256;  // image id ("300") -> digest of its canonical data
    std::string source;                         // "dir", "json", "dir+json" or ""
};

// Decodes one Intel HEX text into memory the way the loader does; false on a bad record.
bool decodeHexImage(const std::string& text, TargetMemory& memory, std::string& error);

// Fills `expected` from --expect-dir (our decoder) and --expect-json (srecord's digests);
// with both, they must agree.
bool loadExpectations(const LoaderOptions& options, ExpectedImages& expected, std::string& error);

// The id of the image whose data `sha256` is, or "" for none.
std::string matchingImage(const ExpectedImages& expected, const std::string& sha256);

}  // namespace kqsim
