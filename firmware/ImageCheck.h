// The check of the four embedded firmware images made before an update sends its first
// command: every record is read in place and checked as Intel HEX, so that a damaged
// program refuses before it has changed anything in the instrument.
#pragma once

#include <cstdint>

// Why an image was refused; None for an intact one.
enum class ImageFault {
    None,
    StartCode,     // a line that does not begin with ':' (an empty line included)
    HexDigit,      // a byte other than 0-9 or A-F after the start code, a stray CR included
    Length,        // fewer than five bytes, an odd digit count, or a byte count that differs
    Checksum,      // the bytes of the record do not sum to 0 modulo 256
    RecordType,    // a type other than data (00), end (01) or extended linear address (04),
                   // or an end or address record of the wrong shape
    EndRecord,     // no end record, or a record after it
    Unterminated,  // bytes after the last LF: the image was cut short
};

struct ImageVerdict {
    ImageFault fault = ImageFault::None;
    uint32_t records = 0;  // LF-terminated lines read
    uint32_t line = 0;     // 1-based line of the fault; 0 when none
};

// Checks one image text of `size` bytes in place.
ImageVerdict checkImageText(const char* text, uint32_t size);

// Loads each of the four embedded images in turn, checks it and compares its record
// count with the one the build counted. True when all four are intact.
bool embeddedImagesIntact();
