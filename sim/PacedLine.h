// Byte traffic over the pseudo-terminal, optionally paced like a real UART at
// 10 bits per byte in both directions, with pauses (a busy loader) in the output.
#pragma once

#include "Clock.h"

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

namespace kqsim {

class PacedLine {
public:
    // baud 0: no pacing, bytes move as fast as the pseudo-terminal takes them.
    PacedLine(int fd, unsigned baud);

    void send(std::string_view bytes, TimePoint now);
    // The line stays quiet for `length` after what is queued before it.
    void pause(Micros length);
    // Drops everything queued (the device has vanished).
    void discardOutput();
    void detach();  // the descriptor is closed; nothing more is read or written

    // Reads whatever the host has written (call when the descriptor is readable).
    void readAvailable(TimePoint now);
    // Writes what is due now; returns false if the descriptor failed.
    bool writeDue(TimePoint now);
    // The next received byte whose transmission has ended by `now`.
    bool takeByte(TimePoint now, uint8_t& byte);

    // Earliest moment at which writeDue, or takeByte if `takingInput`, has something to do.
    TimePoint nextDue(TimePoint now, TimePoint fallback, bool takingInput) const;
    bool waitingForWritable() const { return writeBlocked; }
    bool outputPending() const { return !queue.empty(); }
    bool pausing() const;
    bool attached() const { return fd >= 0; }
    int descriptor() const { return fd; }

    uint64_t bytesSent = 0;
    uint64_t bytesReceived = 0;

private:
    struct Item {
        std::string bytes;
        size_t pos = 0;
        bool isPause = false;
        bool pauseStarted = false;
        Micros pauseLength{0};
        TimePoint pauseEnd{};
    };
    struct Received {
        uint8_t byte;
        TimePoint due;
    };

    int fd;
    Micros byteTime;  // zero when unpaced
    std::deque<Item> queue;
    std::deque<Received> inbound;
    TimePoint txFreeAt{};  // when the transmitter finished its last byte
    TimePoint rxLastDue{};
    bool writeBlocked = false;
};

}  // namespace kqsim
