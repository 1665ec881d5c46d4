// The two record parsers: each sends an image to the loader record by record, every
// record released by the loader's echo of the one before, and ends at "Complete.".
#pragma once

#include "engine/ResponseBase.h"

// PIC image transfer ("LOAD_PIC n"); its completion hands over to the version read-back.
class PicProgramRecordResponse : public ResponseBase {
public:
    bool processByte(unsigned char byte) override;
};

// Blackfin application transfer ("LOAD_PROGRAM"); its completion ends the update.
class BlackfinProgramRecordResponse : public ResponseBase {
public:
    bool processByte(unsigned char byte) override;
};
