// ppoll-based loop shared by the peer and loader modes.
#include "SimLoop.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <poll.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

namespace kqsim {

namespace {

volatile sig_atomic_t stopRequested = 0;
sigset_t loopMask;  // the mask ppoll waits with: termination signals unblocked

void onStopSignal(int) {
    stopRequested = 1;
}

}  // namespace

void installSignalHandling() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);  // the daemon closes our stdout after reading the PTY line

    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGHUP);
    sigprocmask(SIG_BLOCK, &blocked, &loopMask);
    sigdelset(&loopMask, SIGTERM);
    sigdelset(&loopMask, SIGINT);
    sigdelset(&loopMask, SIGHUP);
}

bool writeFileAtomically(const std::string& path, const std::string& text) {
    const std::string temp = path + ".tmp";
    FILE* file = std::fopen(temp.c_str(), "wb");
    if (!file) return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (std::fclose(file) != 0 || !written) {
        std::remove(temp.c_str());
        return false;
    }
    return std::rename(temp.c_str(), path.c_str()) == 0;
}

int runSimLoop(Device& device, SimMode& mode, const LoopSettings& settings) {
    PacedLine& line = device.line;
    TimePoint lastActivity = Clock::now();
    uint64_t lastSent = line.bytesSent;
    const char* endReason = "idle";

    for (;;) {
        TimePoint now = Clock::now();
        if (stopRequested) {
            endReason = "signal";
            break;
        }
        if (!line.writeDue(now)) device.vanish();
        uint8_t byte;
        while (mode.acceptsInput() && line.takeByte(now, byte)) {
            lastActivity = now;
            mode.onByte(byte, now);
        }
        mode.onTick(now);
        if (!line.writeDue(now)) device.vanish();
        if (line.bytesSent != lastSent || line.outputPending()) {
            lastSent = line.bytesSent;
            lastActivity = now;
        }
        const TimePoint idleDeadline = lastActivity + settings.idleTimeout;
        if (now >= idleDeadline) break;

        // A busy mode (a loader erasing) leaves received bytes waiting; its pauses end on
        // the line's own schedule.
        const TimePoint next =
            std::min(line.nextDue(now, idleDeadline, mode.acceptsInput()), mode.nextDeadline(now));
        const auto wait = std::max(Clock::duration::zero(), next - now);
        timespec timeout{};
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
        timeout.tv_sec = static_cast<time_t>(ns / 1'000'000'000);
        timeout.tv_nsec = static_cast<long>(ns % 1'000'000'000);

        pollfd fds[1];
        nfds_t count = 0;
        if (line.attached()) {
            fds[0].fd = line.descriptor();
            fds[0].events = static_cast<short>(POLLIN | (line.waitingForWritable() ? POLLOUT : 0));
            fds[0].revents = 0;
            count = 1;
        }
        const int ready = ppoll(fds, count, &timeout, &loopMask);
        if (ready > 0 && (fds[0].revents & POLLIN)) line.readAvailable(Clock::now());
        if (ready > 0 && !(fds[0].revents & POLLIN) && (fds[0].revents & (POLLHUP | POLLERR))) {
            // No slave side at all cannot happen while one is held; avoid spinning if it does.
            usleep(10000);
        }
    }

    Summary summary;
    summary["end"] = endReason;
    mode.writeSummary(summary);
    const std::string text = summaryText(summary) + "\n";
    if (settings.summaryPath.empty()) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
        return 0;
    }
    if (!writeFileAtomically(settings.summaryPath, text)) {
        std::fprintf(stderr, "kqsim: cannot write summary %s\n", settings.summaryPath.c_str());
        return 1;
    }
    return 0;
}

}  // namespace kqsim
