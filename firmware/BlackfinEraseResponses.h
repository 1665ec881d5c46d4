// The three parsers that follow the loader's report of the Blackfin erase, one after
// another: echo and banner, the block dots, then "Complete.".
#pragma once

#include "engine/ResponseBase.h"

// The loader's erase banner, matched like an echo after the command's own echo.
extern const char* const EraseBanner;  // "Erasing all program blocks"

// Echo of "ERASE_PROGRAM", then the banner, then one more byte of any value.
class BlackfinEraseStatusResponse : public ResponseBase {
public:
    bool processByte(unsigned char byte) override;

    bool bannerArmed = false;  // the banner has been set as the expected text
};

// One progress step per '.'; an LF after a dot and a CR ends the block report.
// Returns true for every byte it takes, so it handles one byte per worker turn.
class BlackfinEraseProgressResponse : public ResponseBase {
public:
    bool processByte(unsigned char byte) override;

    bool sawReturn = false;  // a CR has been received
    bool sawDot = false;     // a '.' has been received
};

// Collects the loader's text until an LF finds "Complete." in it.
class BlackfinEraseCompleteResponse : public ResponseBase {
public:
    bool processByte(unsigned char byte) override;
};
