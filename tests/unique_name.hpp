// Names of keys and sections that belong to one test process alone, so that test programs run
// side by side (and the tests of one program one after another) never share one.
#pragma once

#include <atomic>
#include <string>
#include <string_view>

#include <fmt/format.h>

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

namespace tessaro::test {

// `stem`, then this process's id and a number counted up on every call.
inline std::string unique_name(std::string_view stem) {
    static std::atomic<int> counter{0};
#if defined(_WIN32)
    const int pid = _getpid();
#else
    const int pid = static_cast<int>(getpid());
#endif
    return fmt::format("{}-{}-{}", stem, pid, counter++);
}

}  // namespace tessaro::test
