// Fixed-capacity ring that keeps one slot open; when full, a push overwrites the
// oldest element. Base of CircularQueue, which refuses instead.
#pragma once

#include <atomic>
#include <cstdint>

template <typename T>
class CircularBuffer {
public:
    explicit CircularBuffer(uint32_t slots)
        : buffer(new T[slots ? slots : 1]), writeIndex(0), readIndex(0), count(0),
          capacity(slots ? slots : 1), peak(0) {}
    virtual ~CircularBuffer() { delete[] buffer; }

    CircularBuffer(const CircularBuffer&) = delete;
    CircularBuffer& operator=(const CircularBuffer&) = delete;

    // One producer thread may push while one consumer thread pops: the element is
    // stored before writeIndex is published (release), and the consumer reads
    // writeIndex (acquire) before the element; readIndex travels back the same way.
    bool push(const T& item) {
        const uint32_t w = writeIndex.load(std::memory_order_relaxed);
        if (next(w) == readIndex.load(std::memory_order_acquire))
            return onFull(item);
        store(w, item);
        return true;
    }

    bool pop(T& out) {
        const uint32_t r = readIndex.load(std::memory_order_relaxed);
        if (r == writeIndex.load(std::memory_order_acquire))
            return false;
        out = buffer[r];
        // count drops before the slot is handed back, so a producer that sees the
        // slot free can never lift count above capacity - 1.
        count.fetch_sub(1, std::memory_order_relaxed);
        readIndex.store(next(r), std::memory_order_release);
        return true;
    }

    bool isEmpty() const {
        return readIndex.load(std::memory_order_acquire) ==
               writeIndex.load(std::memory_order_acquire);
    }
    bool isFull() const {
        return next(writeIndex.load(std::memory_order_acquire)) ==
               readIndex.load(std::memory_order_acquire);
    }

    uint32_t getCapacity() const { return capacity; }
    uint32_t getWriteIndex() const { return writeIndex.load(std::memory_order_acquire); }
    uint32_t getReadIndex() const { return readIndex.load(std::memory_order_acquire); }
    // Bookkeeping only: nothing in the program decides on these two.
    uint32_t getCount() const { return count.load(std::memory_order_relaxed); }
    uint32_t getPeak() const { return peak.load(std::memory_order_relaxed); }

protected:
    // Called by push when the ring is full; the result is push's result.
    // Overwriting is safe only while a single thread uses the ring.
    virtual bool onFull(const T& item) {
        const uint32_t r = readIndex.load(std::memory_order_relaxed);
        if (r == writeIndex.load(std::memory_order_acquire))
            return false;
        count.fetch_sub(1, std::memory_order_relaxed);
        readIndex.store(next(r), std::memory_order_release);
        const uint32_t w = writeIndex.load(std::memory_order_relaxed);
        if (next(w) == readIndex.load(std::memory_order_acquire))
            return false;
        store(w, item);
        return true;
    }

private:
    // Remainder, not a mask: the rings in use have 31, 16 and 8193 slots.
    uint32_t next(uint32_t index) const { return (index + 1) % capacity; }

    void store(uint32_t w, const T& item) {
        buffer[w] = item;
        // count rises before the element is published, so the consumer can never
        // take it down below zero.
        const uint32_t now = count.fetch_add(1, std::memory_order_relaxed) + 1;
        uint32_t seen = peak.load(std::memory_order_relaxed);
        while (now > seen && !peak.compare_exchange_weak(seen, now, std::memory_order_relaxed)) {
        }
        writeIndex.store(next(w), std::memory_order_release);
    }

    T* buffer;                          // slots, allocated once; not initialised
    std::atomic<uint32_t> writeIndex;   // written by the producer only
    std::atomic<uint32_t> readIndex;    // written by the consumer only (and onFull)
    std::atomic<uint32_t> count;        // changed by both sides
    const uint32_t capacity;
    std::atomic<uint32_t> peak;         // raised by the producer
};
