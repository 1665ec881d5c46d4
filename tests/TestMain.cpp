// Entry point of every test program: runs the tests, then ends the process at once.
// Once a program's tests have passed, an exit hang under Wine (seen once after all
// tests of a program had passed, while the process unloaded) must not turn a passed
// run into a CTest time-out, so nothing runs after the results are printed.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    std::fflush(stdout);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), static_cast<UINT>(result));
    return result;
}
