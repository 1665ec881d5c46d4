// `kqsim peer`: a plain serial peer that plays a scripted sequence of sends, reads,
// echoes, pauses and a close, and records every byte that reaches it.
#pragma once

#include "SimLoop.h"

#include <string>
#include <vector>

namespace kqsim {

struct PeerStep {
    enum Kind { Send, Read, Echo, Sleep, Close } kind = Send;
    std::string bytes;  // Send
    size_t count = 0;   // Read: bytes wanted
    Millis time{0};     // Read: limit; Echo: silence that ends it; Sleep: length
};

// Parses "send:0102;fill:4:AA;pattern:10;read:5:1000;echo:500;sleep:20;close".
bool parsePeerScript(const std::string& script, std::vector<PeerStep>& steps, std::string& error);

class PeerMode : public SimMode {
public:
    PeerMode(Device& device, std::vector<PeerStep> steps, TimePoint start);

    void onByte(uint8_t byte, TimePoint now) override;
    void onTick(TimePoint now) override;
    TimePoint nextDeadline(TimePoint now) const override;
    void writeSummary(Summary& summary) const override;

private:
    struct ReadResult {
        std::string bytes;
        bool timedOut = false;
    };

    void beginStep(TimePoint now);
    void finishStep(TimePoint now);

    static constexpr size_t recordLimit = 64 * 1024;

    Device& device;
    std::vector<PeerStep> steps;
    size_t current = 0;
    bool stepStarted = false;
    TimePoint stepDeadline{};
    TimePoint lastReceived{};
    std::vector<ReadResult> reads;
    std::string received;  // the first recordLimit bytes
    uint64_t receivedCount = 0;
    uint64_t echoedCount = 0;
    bool closed = false;
};

}  // namespace kqsim
