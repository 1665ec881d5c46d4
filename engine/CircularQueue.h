// The ring every queue of the program uses: a full queue refuses the new element.
#pragma once

#include "engine/CircularBuffer.h"

template <typename T>
class CircularQueue : public CircularBuffer<T> {
public:
    explicit CircularQueue(uint32_t slots) : CircularBuffer<T>(slots) {}

protected:
    bool onFull(const T&) override { return false; }
};
