// The parser of a PIC's version read-back ("PIC_VERS n") after its programming.
#pragma once

#include "engine/ResponseBase.h"

// Shows the first non-empty line after the echo as the PIC's version, whatever it
// says, and moves on to the next PIC or, after PIC 4, to the Blackfin.
class PicProgramVerifyResponse : public ResponseBase {
public:
    bool processByte(unsigned char byte) override;
};
