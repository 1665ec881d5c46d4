// Script parsing and step-by-step execution of the serial peer.
#include "PeerScript.h"

#include <cstdlib>

#include <nlohmann/json.hpp>

namespace kqsim {

namespace {

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

bool parseNumber(const std::string& text, unsigned long long& number) {
    if (text.empty()) return false;
    char* end = nullptr;
    number = std::strtoull(text.c_str(), &end, 10);
    return *end == '\0';
}

bool parseHex(const std::string& text, std::string& bytes) {
    if (text.size() % 2) return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        char* end = nullptr;
        const std::string pair = text.substr(i, 2);
        const unsigned long value = std::strtoul(pair.c_str(), &end, 16);
        if (*end != '\0' || pair[0] == '-' || pair[0] == '+' || pair[0] == ' ') return false;
        bytes += static_cast<char>(value);
    }
    return true;
}

}  // namespace

bool parsePeerScript(const std::string& script, std::vector<PeerStep>& steps, std::string& error) {
    steps.clear();
    for (const std::string& text : split(script, ';')) {
        if (text.empty()) continue;
        const std::vector<std::string> f = split(text, ':');
        PeerStep step;
        unsigned long long a = 0, b = 0;
        bool ok = true;
        if (f[0] == "send" && f.size() == 2) {
            step.kind = PeerStep::Send;
            ok = parseHex(f[1], step.bytes);
        } else if (f[0] == "fill" && f.size() == 3) {
            std::string one;
            ok = parseNumber(f[1], a) && parseHex(f[2], one) && one.size() == 1;
            step.kind = PeerStep::Send;
            if (ok) step.bytes.assign(a, one[0]);
        } else if (f[0] == "pattern" && f.size() == 2) {
            ok = parseNumber(f[1], a);
            step.kind = PeerStep::Send;
            for (unsigned long long i = 0; ok && i < a; ++i) step.bytes += static_cast<char>(i % 251);
        } else if (f[0] == "read" && f.size() == 3) {
            ok = parseNumber(f[1], a) && parseNumber(f[2], b);
            step.kind = PeerStep::Read;
            step.count = a;
            step.time = Millis(b);
        } else if (f[0] == "echo" && f.size() == 2) {
            ok = parseNumber(f[1], a);
            step.kind = PeerStep::Echo;
            step.time = Millis(a);
        } else if (f[0] == "sleep" && f.size() == 2) {
            ok = parseNumber(f[1], a);
            step.kind = PeerStep::Sleep;
            step.time = Millis(a);
        } else if (f[0] == "close" && f.size() == 1) {
            step.kind = PeerStep::Close;
        } else {
            ok = false;
        }
        if (!ok) {
            error = "bad script step \"" + text + "\"";
            return false;
        }
        steps.push_back(std::move(step));
    }
    return true;
}

PeerMode::PeerMode(Device& d, std::vector<PeerStep> s, TimePoint start)
    : device(d), steps(std::move(s)), lastReceived(start) {}

void PeerMode::onByte(uint8_t byte, TimePoint now) {
    // A finished send must give way to the read or echo after it before this byte counts.
    onTick(now);
    ++receivedCount;
    if (received.size() < recordLimit) received += static_cast<char>(byte);
    lastReceived = now;
    if (current >= steps.size() || !stepStarted) return;
    const PeerStep& step = steps[current];
    if (step.kind == PeerStep::Read) {
        reads.back().bytes += static_cast<char>(byte);
    } else if (step.kind == PeerStep::Echo) {
        device.line.send(std::string(1, static_cast<char>(byte)), now);
        ++echoedCount;
        stepDeadline = now + step.time;
    }
}

void PeerMode::beginStep(TimePoint now) {
    const PeerStep& step = steps[current];
    stepStarted = true;
    switch (step.kind) {
    case PeerStep::Send:
        device.line.send(step.bytes, now);
        break;
    case PeerStep::Read:
        reads.emplace_back();
        stepDeadline = now + step.time;
        break;
    case PeerStep::Echo:
    case PeerStep::Sleep:
        stepDeadline = now + step.time;
        break;
    case PeerStep::Close:
        device.vanish();
        closed = true;
        break;
    }
}

void PeerMode::finishStep(TimePoint) {
    ++current;
    stepStarted = false;
}

void PeerMode::onTick(TimePoint now) {
    while (current < steps.size()) {
        if (!stepStarted) beginStep(now);
        const PeerStep& step = steps[current];
        bool done = false;
        switch (step.kind) {
        case PeerStep::Send:
            done = !device.line.outputPending();
            break;
        case PeerStep::Read:
            if (reads.back().bytes.size() >= step.count) {
                done = true;
            } else if (now >= stepDeadline) {
                reads.back().timedOut = true;
                done = true;
            }
            break;
        case PeerStep::Echo:
        case PeerStep::Sleep:
            done = now >= stepDeadline;
            break;
        case PeerStep::Close:
            done = true;
            break;
        }
        if (!done) return;
        finishStep(now);
    }
}

TimePoint PeerMode::nextDeadline(TimePoint now) const {
    if (current >= steps.size()) return TimePoint::max();
    if (!stepStarted) return now;
    const PeerStep::Kind kind = steps[current].kind;
    if (kind == PeerStep::Read || kind == PeerStep::Echo || kind == PeerStep::Sleep) return stepDeadline;
    // A send finishes once the line has written it all.
    return device.line.outputPending() ? TimePoint::max() : now;
}

void PeerMode::writeSummary(Summary& summary) const {
    summary["mode"] = "peer";
    summary["pty"] = device.pty.slavePath();
    summary["received_count"] = receivedCount;
    summary["received_hex"] = hexBytes(received);
    summary["sent_count"] = device.line.bytesSent;
    summary["echoed_count"] = echoedCount;
    summary["steps"] = steps.size();
    summary["steps_done"] = current;
    summary["script_done"] = current >= steps.size();
    summary["closed"] = closed;
    Summary& readList = summary["reads"] = Summary::array();
    for (const ReadResult& r : reads)
        readList.push_back({{"count", r.bytes.size()}, {"hex", hexBytes(r.bytes)}, {"timed_out", r.timedOut}});
}

}  // namespace kqsim
