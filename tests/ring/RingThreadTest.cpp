// One producer thread and one consumer thread on a single ring, as the serial
// receive queue is used: millions of elements, none lost, doubled or reordered.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "engine/CircularQueue.h"

namespace {

// Two halves that must agree: a consumer that reads a slot before the producer has
// finished storing it (index published too early) sees a torn element.
struct Stamped {
    uint32_t sequence;
    uint32_t complement;
    uint64_t square;
};

Stamped stamp(uint32_t n) { return Stamped{n, ~n, static_cast<uint64_t>(n) * n}; }

struct Outcome {
    uint32_t received = 0;
    uint32_t firstBad = 0;  // sequence expected where the first wrong element arrived
    bool bad = false;
    bool finished = false;
};

Outcome runProducerConsumer(uint32_t slots, uint32_t total) {
    CircularQueue<Stamped> ring(slots);
    Outcome outcome;
    std::atomic<bool> abandon(false);

    std::thread producer([&] {
        for (uint32_t n = 0; n < total && !abandon.load(std::memory_order_relaxed); ) {
            if (ring.push(stamp(n)))
                ++n;
            else
                SwitchToThread();
        }
    });

    // Generous: under Wine on a busy two-core machine a few million hand-overs
    // through a tiny ring can take a while, but never minutes.
    const ULONGLONG deadline = GetTickCount64() + 120000;
    uint32_t expected = 0;
    Stamped item{};
    while (expected < total && GetTickCount64() < deadline) {
        if (!ring.pop(item)) {
            SwitchToThread();
            continue;
        }
        const Stamped want = stamp(expected);
        if (item.sequence != want.sequence || item.complement != want.complement || item.square != want.square) {
            outcome.bad = true;
            outcome.firstBad = expected;
            break;
        }
        ++expected;
    }
    abandon.store(true);
    producer.join();
    outcome.received = expected;
    outcome.finished = expected == total;
    return outcome;
}

TEST(RingThreads, MillionsOfElementsThroughSmallRingsArriveOnceInOrder) {
    // 2 slots hand over one element at a time; 7 and 31 let the indices chase each
    // other round a ring whose size is not a power of two.
    for (uint32_t slots : {2u, 7u, 31u}) {
        const uint32_t total = 1000000;
        const Outcome outcome = runProducerConsumer(slots, total);
        EXPECT_FALSE(outcome.bad) << slots << " slots: wrong element where " << outcome.firstBad << " was due";
        EXPECT_TRUE(outcome.finished) << slots << " slots: only " << outcome.received << " of " << total << " arrived";
    }
}

TEST(RingThreads, ReceiveQueueCarriesAByteStreamBetweenTwoThreads) {
    CircularQueue<unsigned char> queue(8193);
    const uint32_t total = 4000000;
    std::atomic<bool> abandon(false);
    std::thread producer([&] {
        // Batches of up to 512 bytes, as the serial event thread delivers them.
        uint32_t n = 0;
        while (n < total && !abandon.load(std::memory_order_relaxed)) {
            const uint32_t batchEnd = n + 512 < total ? n + 512 : total;
            while (n < batchEnd && queue.push(static_cast<unsigned char>(n % 251))) ++n;
            if (n < batchEnd) SwitchToThread();
        }
    });

    const ULONGLONG deadline = GetTickCount64() + 120000;
    uint32_t received = 0;
    bool inOrder = true;
    unsigned char byte = 0;
    while (received < total && inOrder && GetTickCount64() < deadline) {
        if (!queue.pop(byte)) {
            SwitchToThread();
            continue;
        }
        inOrder = byte == received % 251;
        if (inOrder) ++received;
    }
    abandon.store(true);
    producer.join();
    EXPECT_TRUE(inOrder) << "wrong byte at " << received;
    EXPECT_EQ(total, received);
    EXPECT_TRUE(queue.isEmpty());
    EXPECT_EQ(0u, queue.getCount());
    EXPECT_LE(queue.getPeak(), 8192u);
}

}  // namespace
