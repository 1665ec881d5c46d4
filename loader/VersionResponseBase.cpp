// The byte rules the sign-on and version parsers share.
#include "loader/VersionResponseBase.h"

bool VersionResponseBase::takeLine(unsigned char byte) {
    if (echoPending) {
        matchEcho(byte);
        return false;
    }
    return collectLine(byte);
}
