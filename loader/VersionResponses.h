// The chain of version parsers: "VERSION" (two lines), then "PIC_VERS 2", 3 and
// 4, each parser asking for the next; the last one reports the connection.
#pragma once

#include "loader/VersionResponseBase.h"

// First line of the "VERSION" reply: discarded; hands over to VersionPart2Response.
class VersionPart1Response : public VersionResponseBase {
public:
    bool processByte(unsigned char byte) override;
};

// Second line of the "VERSION" reply: the SPI EPROM version. Installed by the
// engine's hand-over, so it never waits for an echo.
class VersionPart2Response : public VersionResponseBase {
public:
    bool processByte(unsigned char byte) override;
};

// Reply to "PIC_VERS 2".
class PicVersionPart1Response : public VersionResponseBase {
public:
    bool processByte(unsigned char byte) override;
};

// Reply to "PIC_VERS 3".
class PicVersionPart2Response : public VersionResponseBase {
public:
    bool processByte(unsigned char byte) override;
};

// Reply to "PIC_VERS 4": completes the summary and reports the connection.
class PicVersionPart3Response : public VersionResponseBase {
public:
    bool processByte(unsigned char byte) override;
};
