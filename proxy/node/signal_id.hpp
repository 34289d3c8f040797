// Signal ids: 64-bit names of node signals, all drawn from one process-wide counter so that an id
// is never reused and a signal still pending for a destroyed sender matches nobody.
#pragma once

#include <cstdint>

#include "common/error.hpp"

namespace tessaro {

using SignalId = std::uint64_t;

// The counter's current value, advancing it by one; "Error: Exhausted Signal IDs" when it stands
// at 2^64-1, which is never handed out.
[[nodiscard]] Result<SignalId> next_signal_id();

// For tests only: place the counter.
void set_signal_id_counter_for_test(std::uint64_t value);

}  // namespace tessaro
