// The event loop every simulator mode runs in: paced line I/O, the idle time-out,
// SIGTERM handling, and the JSON summary written on the way out.
#pragma once

#include "Clock.h"
#include "PacedLine.h"
#include "Pty.h"
#include "Summary.h"

#include <string>

namespace kqsim {

// The device as a mode sees it: the line to talk on and the pseudo-terminal behind it.
struct Device {
    Pty& pty;
    PacedLine& line;

    // Closes the line for good: what the host sees when the instrument is unplugged.
    void vanish() {
        line.detach();
        pty.vanish();
    }
};

class SimMode {
public:
    virtual ~SimMode() = default;
    virtual void onByte(uint8_t byte, TimePoint now) = 0;
    // False while the mode is busy and leaves received bytes waiting (a loader erasing).
    virtual bool acceptsInput() const { return true; }
    virtual void onTick(TimePoint) {}
    virtual TimePoint nextDeadline(TimePoint) const { return TimePoint::max(); }
    // Adds the mode's members to the summary object.
    virtual void writeSummary(Summary& summary) const = 0;
};

struct LoopSettings {
    Millis idleTimeout{60000};
    std::string summaryPath;  // empty: the summary goes to standard output
};

// Blocks the termination signals so that only the loop's ppoll sees them.
void installSignalHandling();

// Runs until SIGTERM/SIGINT or the idle time-out, then writes the summary. Returns the exit code.
int runSimLoop(Device& device, SimMode& mode, const LoopSettings& settings);

// Writes `text` to `path` under a temporary name and renames it, so a reader never
// sees half a summary.
bool writeFileAtomically(const std::string& path, const std::string& text);

}  // namespace kqsim
