#include "bench/paths.hpp"

namespace tessaro::bench {

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace tessaro::bench
