// Single-thread behaviour of CircularBuffer and CircularQueue: capacity, full and
// empty tests, the two full-handlers, index wrap and the bookkeeping fields.
#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <random>
#include <vector>

#include "engine/ActionBase.h"
#include "engine/CircularBuffer.h"
#include "engine/CircularQueue.h"

namespace {

struct CountedAction : ActionBase {
    explicit CountedAction(int& destroyed) : destroyed(destroyed) {}
    ~CountedAction() override { ++destroyed; }
    void execute() override {}
    int& destroyed;
};

// Counts how often push hands over to the full-handler, and what it answered.
template <typename Ring>
struct FullHandlerSpy : Ring {
    explicit FullHandlerSpy(uint32_t slots) : Ring(slots) {}
    bool onFull(const typename Ring::value_type& item) override {
        ++calls;
        return Ring::onFull(item);
    }
    int calls = 0;
};

template <typename T>
struct SpyableBuffer : CircularBuffer<T> {
    using value_type = T;
    using CircularBuffer<T>::CircularBuffer;
};
template <typename T>
struct SpyableQueue : CircularQueue<T> {
    using value_type = T;
    using CircularQueue<T>::CircularQueue;
};

template <typename T>
std::vector<T> drain(CircularBuffer<T>& ring) {
    std::vector<T> out;
    T item{};
    while (ring.pop(item)) out.push_back(item);
    return out;
}

TEST(RingQueue, WorkQueueOf31SlotsHolds30AndRefusesTheNextKeepingOrder) {
    CircularQueue<ActionBase*> queue(31);
    int destroyed = 0;
    std::vector<CountedAction> actions;
    actions.reserve(31);
    for (int i = 0; i < 31; ++i) actions.emplace_back(destroyed);

    for (int i = 0; i < 30; ++i) EXPECT_TRUE(queue.push(&actions[i])) << "push " << i;
    EXPECT_TRUE(queue.isFull());
    EXPECT_FALSE(queue.push(&actions[30]));
    EXPECT_EQ(30u, queue.getCount());
    EXPECT_EQ(30u, queue.getPeak());

    const std::vector<ActionBase*> held = drain<ActionBase*>(queue);
    ASSERT_EQ(30u, held.size());
    for (int i = 0; i < 30; ++i) EXPECT_EQ(&actions[i], held[i]) << "slot " << i;
    EXPECT_TRUE(queue.isEmpty());
}

TEST(RingQueue, WindowQueueWrapsItsWriteIndexToSlotZero) {
    CircularQueue<int> queue(16);
    for (int i = 0; i < 15; ++i) ASSERT_TRUE(queue.push(i));
    EXPECT_EQ(15u, queue.getWriteIndex());
    EXPECT_FALSE(queue.push(99));

    int first = -1;
    ASSERT_TRUE(queue.pop(first));
    EXPECT_EQ(0, first);
    EXPECT_TRUE(queue.push(15));
    EXPECT_EQ(0u, queue.getWriteIndex());
    EXPECT_EQ(1u, queue.getReadIndex());
    EXPECT_TRUE(queue.isFull());
    EXPECT_FALSE(queue.push(16));

    const std::vector<int> held = drain<int>(queue);
    ASSERT_EQ(15u, held.size());
    for (int i = 0; i < 15; ++i) EXPECT_EQ(i + 1, held[i]);
}

TEST(RingBuffer, FullBufferOverwritesItsOldestElement) {
    CircularBuffer<int> three(3);
    EXPECT_TRUE(three.push(1));
    EXPECT_TRUE(three.push(2));
    EXPECT_TRUE(three.push(3));
    EXPECT_EQ(2u, three.getCount());
    EXPECT_EQ(2u, three.getPeak());
    EXPECT_EQ((std::vector<int>{2, 3}), drain<int>(three));

    // Many overwrites in a row keep the newest capacity - 1 elements, in order.
    CircularBuffer<int> four(4);
    for (int i = 1; i <= 10; ++i) EXPECT_TRUE(four.push(i));
    EXPECT_EQ(3u, four.getCount());
    EXPECT_EQ(3u, four.getPeak());
    EXPECT_EQ((std::vector<int>{8, 9, 10}), drain<int>(four));
}

TEST(RingBoth, OneSlotRingHoldsNothingAndEveryPushReachesTheFullHandler) {
    FullHandlerSpy<SpyableBuffer<int>> buffer(1);
    FullHandlerSpy<SpyableQueue<int>> queue(1);
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(buffer.push(i));
        EXPECT_FALSE(queue.push(i));
    }
    EXPECT_EQ(3, buffer.calls);
    EXPECT_EQ(3, queue.calls);
    for (auto* ring : {static_cast<CircularBuffer<int>*>(&buffer), static_cast<CircularBuffer<int>*>(&queue)}) {
        EXPECT_TRUE(ring->isEmpty());
        EXPECT_TRUE(ring->isFull());
        EXPECT_EQ(0u, ring->getCount());
        EXPECT_EQ(0u, ring->getPeak());
        int out = 7;
        EXPECT_FALSE(ring->pop(out));
        EXPECT_EQ(7, out);
    }
}

TEST(RingBoth, FullHandlerRunsOnlyWhenFull) {
    FullHandlerSpy<SpyableQueue<int>> queue(4);
    for (int i = 0; i < 3; ++i) queue.push(i);
    EXPECT_EQ(0, queue.calls);
    EXPECT_FALSE(queue.push(3));
    EXPECT_EQ(1, queue.calls);
    EXPECT_EQ((std::vector<int>{0, 1, 2}), drain<int>(queue));
}

TEST(RingBoth, PopOnEmptyRingChangesNothing) {
    CircularQueue<int> queue(5);
    // Move the indices away from 0 first, so an unwanted change would show.
    for (int i = 0; i < 3; ++i) queue.push(i);
    int out = 0;
    for (int i = 0; i < 3; ++i) queue.pop(out);
    const uint32_t w = queue.getWriteIndex(), r = queue.getReadIndex();
    const uint32_t count = queue.getCount(), peak = queue.getPeak();

    out = 42;
    EXPECT_FALSE(queue.pop(out));
    EXPECT_EQ(42, out);
    EXPECT_EQ(w, queue.getWriteIndex());
    EXPECT_EQ(r, queue.getReadIndex());
    EXPECT_EQ(count, queue.getCount());
    EXPECT_EQ(peak, queue.getPeak());
    EXPECT_TRUE(queue.isEmpty());
}

// Random pushes and pops against a plain model, for capacities around the ones in
// use (including ones that are not powers of two), in both classes.
template <bool Overwrites>
void runAgainstModel(uint32_t capacity, unsigned seed) {
    using Ring = typename std::conditional<Overwrites, CircularBuffer<uint32_t>, CircularQueue<uint32_t>>::type;
    Ring ring(capacity);
    std::deque<uint32_t> model;
    uint32_t peak = 0;
    std::mt19937 random(seed);
    uint32_t next = 0;
    for (int step = 0; step < 20000; ++step) {
        SCOPED_TRACE(testing::Message() << "capacity " << capacity << " seed " << seed << " step " << step);
        // Lean towards pushes in some stretches and pops in others, so both ends are reached.
        const bool pushing = (step / 500) % 2 == 0 ? random() % 4 != 0 : random() % 4 == 0;
        if (pushing) {
            const bool full = model.size() == capacity - 1;
            bool expected = !full;
            if (full && Overwrites && !model.empty()) {
                model.pop_front();
                expected = model.size() < capacity - 1;
            }
            if (expected) model.push_back(next);
            ASSERT_EQ(expected, ring.push(next));
            ++next;
        } else {
            uint32_t out = 0xDEADBEEF;
            const bool expected = !model.empty();
            ASSERT_EQ(expected, ring.pop(out));
            if (expected) {
                ASSERT_EQ(model.front(), out);
                model.pop_front();
            } else {
                ASSERT_EQ(0xDEADBEEFu, out);
            }
        }
        if (model.size() > peak) peak = static_cast<uint32_t>(model.size());
        ASSERT_LT(ring.getWriteIndex(), capacity);
        ASSERT_LT(ring.getReadIndex(), capacity);
        ASSERT_EQ(model.size(), ring.getCount());
        ASSERT_EQ((ring.getWriteIndex() + capacity - ring.getReadIndex()) % capacity, ring.getCount());
        ASSERT_EQ(peak, ring.getPeak());
        ASSERT_EQ(model.empty(), ring.isEmpty());
        ASSERT_EQ(model.size() == capacity - 1, ring.isFull());
    }
}

TEST(RingBoth, RandomPushesAndPopsMatchAPlainModel) {
    for (uint32_t capacity : {2u, 3u, 5u, 16u, 31u, 100u}) {
        for (unsigned seed = 1; seed <= 3; ++seed) {
            runAgainstModel<false>(capacity, seed);
            runAgainstModel<true>(capacity, seed);
            if (testing::Test::HasFatalFailure()) return;
        }
    }
}

TEST(RingQueue, ReceiveQueueOf8193SlotsHolds8192BytesThenDrops) {
    CircularQueue<unsigned char> queue(8193);
    int accepted = 0;
    for (int i = 0; i < 10000; ++i)
        if (queue.push(static_cast<unsigned char>(i % 251))) ++accepted;
    EXPECT_EQ(8192, accepted);
    EXPECT_EQ(8192u, queue.getPeak());
    const std::vector<unsigned char> held = drain<unsigned char>(queue);
    ASSERT_EQ(8192u, held.size());
    for (int i = 0; i < 8192; ++i) ASSERT_EQ(i % 251, held[i]) << "byte " << i;
    // Room again after draining; the write index has travelled round the 8193 slots.
    EXPECT_TRUE(queue.push(1));
    EXPECT_EQ(8193u, queue.getCapacity());
    EXPECT_EQ(queue.getWriteIndex(), (queue.getReadIndex() + 1) % 8193);
}

TEST(RingQueue, DestroyingAQueueLeavesTheActionsItHeldAlone) {
    int destroyed = 0;
    CountedAction first(destroyed), second(destroyed);
    {
        CircularQueue<ActionBase*> queue(31);
        queue.push(&first);
        queue.push(&second);
    }
    EXPECT_EQ(0, destroyed);
}

}  // namespace
