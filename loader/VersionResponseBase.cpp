// The byte rules the sign-on and version parsers share.
#include "loader/VersionResponseBase.h"

bool VersionResponseBase::takeLine(unsigned char byte) {
    // One line per command: a line after it (a loader's prompt) is not a second answer.
    if (completed) return false;
    if (echoPending) {
        matchEcho(byte);
        return false;
    }
    return collectLine(byte);
}
