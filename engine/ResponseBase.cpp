// The echo rule and the line rule shared by every reply parser, and the
// loader's completion marker.
#include "engine/ResponseBase.h"

const char* const CompletionMarker = "Complete.";

ResponseBase::ResponseBase() : echoLength(0), echoPos(0), echoPending(false), completed(false) {
    command.reserve(256);
    line.reserve(256);
}

ResponseBase::~ResponseBase() = default;

void ResponseBase::setCommand(const std::string& text) {
    command = text;
    echoLength = static_cast<uint32_t>(text.size());
    echoPos = 0;
    echoPending = true;
    completed = false;
    line.clear();
}

bool ResponseBase::complete() {
    completed = true;
    return true;
}

void ResponseBase::matchEcho(unsigned char byte) {
    if (echoPos >= echoLength) return;
    if (byte == static_cast<unsigned char>(command[echoPos])) {
        ++echoPos;
        if (echoPos == echoLength) echoPending = false;
    } else {
        // The loader's echo is never preceded by part of itself, so a mismatch
        // simply starts over with the next byte.
        echoPos = 0;
    }
}

bool ResponseBase::collectLine(unsigned char byte) {
    if (byte == '\n') return !line.empty();
    if (byte >= 0x20 && byte <= 0x7F) {
        if (line.size() >= LineLimit) line.erase(0, LineLimit / 2);
        line.push_back(static_cast<char>(byte));
    }
    return false;
}
