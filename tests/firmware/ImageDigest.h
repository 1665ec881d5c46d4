// What a target should hold after an image is programmed, worked out from the image
// text here, independently of the simulator: its data bytes and their SHA-256.
#pragma once

#include <cstdint>
#include <map>
#include <string>

// Decodes Intel HEX data records (with extended linear and segment addresses) into
// address -> byte. False on a line that is not a well-formed record.
bool decodeIntelHex(const std::string& text, std::map<uint32_t, uint8_t>& memory, std::string& error);
// The data bytes in ascending address order, gaps left out.
std::string canonicalData(const std::map<uint32_t, uint8_t>& memory);
// Lower-case hexadecimal SHA-256 through the Windows crypto provider; "" on failure.
std::string sha256Hex(const std::string& data);
// The version a PIC reports from its image: the RETLW table of three characters at
// byte address 0x0FC0, shown as "Vx.yz"; "" when the image has none.
std::string picVersionOf(const std::map<uint32_t, uint8_t>& memory);
