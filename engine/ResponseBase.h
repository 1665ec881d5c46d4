// Byte-at-a-time parser of one loader reply, with the echo rule and the line rule
// that every concrete parser shares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The loader's completion marker, shared by the erase, Blackfin and PIC parsers.
extern const char* const CompletionMarker;  // "Complete."

class ResponseBase {
public:
    ResponseBase();
    virtual ~ResponseBase();
    ResponseBase(const ResponseBase&) = delete;
    ResponseBase& operator=(const ResponseBase&) = delete;

    // True when the reply this parser waits for is complete.
    virtual bool processByte(unsigned char byte) = 0;
    // Arms the parser for a new command whose echo is expected.
    virtual void setCommand(const std::string& text);

    // A loader that never ends its line must not grow `line` without bound: past this many
    // characters the oldest half is dropped. Every real reply line is far shorter, and a
    // marker at the end of a line is still found.
    static constexpr size_t LineLimit = 4096;

    // Fields are read by the engine and by tests; only the parser changes them.
    std::string command;   // the text whose echo is expected
    std::string line;      // the reply line being collected
    uint32_t echoLength;
    uint32_t echoPos;
    bool echoPending;
    // The reply is complete. A parser that hands the next step on stays current until
    // that step's command replaces it, and loaders print more meanwhile (a prompt, a
    // status line, a second "Complete."): a completed parser takes no further byte
    // until setCommand arms it again.
    bool completed;

protected:
    // Echo rule: call while echoPending; matches one byte against `command`.
    // A mismatch restarts the match at the next byte (the byte itself is not
    // compared again with the first character).
    void matchEcho(unsigned char byte);
    // Line rule: bytes 0x20..0x7F are appended, everything else but LF is ignored.
    // Returns true at an LF that ends a non-empty line (left in `line`).
    bool collectLine(unsigned char byte);
    // Marks the reply complete; returns true for processByte to return.
    bool complete();
    // The echo-paced record transfer shared by the two record parsers (defined in
    // firmware/RecordResponses.cpp): each complete echo releases the next image
    // record; returns true at the LF that finds the completion marker in `line`.
    bool pumpRecordByte(unsigned char byte);
};
