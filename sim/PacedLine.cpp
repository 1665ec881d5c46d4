// Paced transmit and receive queues over a non-blocking descriptor.
#include "PacedLine.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace kqsim {

PacedLine::PacedLine(int descriptor, unsigned baud)
    : fd(descriptor), byteTime(baud ? Micros(10'000'000 / baud) : Micros(0)) {}

void PacedLine::send(std::string_view bytes, TimePoint now) {
    if (bytes.empty() || fd < 0) return;
    // An idle transmitter earns no credit: the first byte still takes its full time.
    if (queue.empty() && txFreeAt < now) txFreeAt = now;
    if (!queue.empty() && !queue.back().isPause) {
        queue.back().bytes.append(bytes);
        return;
    }
    Item item;
    item.bytes.assign(bytes);
    queue.push_back(std::move(item));
}

void PacedLine::pause(Micros length) {
    if (fd < 0) return;
    Item item;
    item.isPause = true;
    item.pauseLength = length;
    queue.push_back(std::move(item));
}

void PacedLine::discardOutput() {
    queue.clear();
    writeBlocked = false;
}

void PacedLine::detach() {
    fd = -1;
    discardOutput();
    inbound.clear();
}

bool PacedLine::pausing() const {
    return std::any_of(queue.begin(), queue.end(), [](const Item& i) { return i.isPause; });
}

void PacedLine::readAvailable(TimePoint now) {
    if (fd < 0) return;
    uint8_t buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) return;  // EAGAIN: all taken; EIO cannot occur while a slave is held
        for (ssize_t i = 0; i < n; ++i) {
            TimePoint due = now;
            if (byteTime.count()) {
                due = std::max(now, rxLastDue) + byteTime;
                rxLastDue = due;
            }
            inbound.push_back({buffer[i], due});
        }
    }
}

bool PacedLine::takeByte(TimePoint now, uint8_t& byte) {
    if (inbound.empty() || inbound.front().due > now) return false;
    byte = inbound.front().byte;
    inbound.pop_front();
    ++bytesReceived;
    return true;
}

bool PacedLine::writeDue(TimePoint now) {
    writeBlocked = false;
    while (fd >= 0 && !queue.empty()) {
        Item& item = queue.front();
        if (item.isPause) {
            if (!item.pauseStarted) {
                item.pauseStarted = true;
                item.pauseEnd = std::max(now, txFreeAt) + item.pauseLength;
            }
            if (now < item.pauseEnd) return true;
            txFreeAt = item.pauseEnd;
            queue.pop_front();
            continue;
        }
        size_t allowed = item.bytes.size() - item.pos;
        if (byteTime.count()) {
            if (txFreeAt < now - byteTime * 64) txFreeAt = now - byteTime;  // loop woke very late
            const auto elapsed = std::chrono::duration_cast<Micros>(now - txFreeAt);
            allowed = std::min<size_t>(allowed, static_cast<size_t>(elapsed / byteTime));
            if (allowed == 0) return true;
        }
        const ssize_t n = ::write(fd, item.bytes.data() + item.pos, allowed);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                writeBlocked = true;
                return true;
            }
            if (errno == EINTR) continue;
            return false;
        }
        item.pos += static_cast<size_t>(n);
        bytesSent += static_cast<uint64_t>(n);
        if (byteTime.count()) txFreeAt += byteTime * n;
        if (item.pos == item.bytes.size()) queue.pop_front();
    }
    return true;
}

TimePoint PacedLine::nextDue(TimePoint now, TimePoint fallback, bool takingInput) const {
    TimePoint next = fallback;
    if (takingInput && !inbound.empty()) next = std::min(next, std::max(now, inbound.front().due));
    if (fd >= 0 && !queue.empty() && !writeBlocked) {
        const Item& item = queue.front();
        if (item.isPause)
            next = std::min(next, item.pauseStarted ? item.pauseEnd : now);
        else if (byteTime.count())
            next = std::min(next, std::max(now, txFreeAt + byteTime));
        else
            next = now;
    }
    return next;
}

}  // namespace kqsim
