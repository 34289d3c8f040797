#include "proxy/node/signal_id.hpp"

#include <atomic>
#include <limits>

namespace tessaro {

namespace {
std::atomic<std::uint64_t> signal_id_counter{0};
}

Result<SignalId> next_signal_id() {
    std::uint64_t current = signal_id_counter.load();
    do {
        if (current == std::numeric_limits<std::uint64_t>::max()) {
            return fail("Error: Exhausted Signal IDs");
        }
    } while (!signal_id_counter.compare_exchange_weak(current, current + 1));
    return current;
}

void set_signal_id_counter_for_test(std::uint64_t value) {
    signal_id_counter.store(value);
}

}  // namespace tessaro
