// What both benchmark programs time with: the performance counter, and the failure they
// throw to end a run with a message.
#pragma once

#include <windows.h>

#include <string>

struct Failure {
    std::string what;
};

inline LARGE_INTEGER now() {
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t;
}

inline double secondsBetween(LARGE_INTEGER from, LARGE_INTEGER to) {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}
