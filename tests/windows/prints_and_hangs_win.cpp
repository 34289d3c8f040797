// Prints one line and then waits for ever: the program that ctest ends at its time-out in the
// test of wine-run's output.
#include "common/os/windows.hpp"

#include <cstdio>

int main() {
    std::fputs("printed before the hang\n", stdout);
    std::fflush(stdout);
    Sleep(INFINITE);
    return 0;
}
