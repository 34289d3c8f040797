// Prints one line and then waits for ever: the program that ctest ends at its time-out in the
// test of wine-run's output. It leaves its DLL search as it is, so it also stands for a program
// that does not restrict it, in the DLL test's check of its probe.
#include "common/os/windows.hpp"

#include <cstdio>

int main() {
    std::fputs("printed before the hang\n", stdout);
    std::fflush(stdout);
    Sleep(INFINITE);
    return 0;
}
