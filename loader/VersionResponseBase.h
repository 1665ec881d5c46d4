// Base of the six connection-phase parsers (sign-on and versions): each of them
// waits for its command's echo and then examines whole reply lines.
#pragma once

#include "engine/ResponseBase.h"

class VersionResponseBase : public ResponseBase {
protected:
    // The echo rule while an echo is pending, the line rule after it. True at an
    // LF that ends a non-empty line, which is then in `line`; never true again once
    // the parser has completed its reply.
    bool takeLine(unsigned char byte);
};
