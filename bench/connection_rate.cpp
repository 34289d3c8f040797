#include "bench/connection_rate.hpp"

#include <algorithm>
#include <atomic>
#include <thread>

#include "bench/server.hpp"

namespace tessaro::bench {

namespace {

using namespace std::chrono_literals;

constexpr auto RATE_LIMIT = 20s;  // per path over all its rounds

// Connect, one round trip of 256 bytes, close; from `workers` threads, each bounded in count
// and by `deadline`.
Rate connection_rate(const Path& path, int workers, int per_worker, Clock::time_point deadline) {
    std::atomic<int> done{0};
    std::atomic<int> failed{0};
    const auto start = Clock::now();
    std::vector<std::thread> threads;
    for (int w = 0; w < workers; ++w) {
        threads.emplace_back([&] {
            std::array<std::uint8_t, HEADER_SIZE + 256> request{};
            const auto header = encode({'E', 256, 0});
            std::copy(header.begin(), header.end(), request.begin());
            for (int i = 0; i < per_worker && Clock::now() < deadline; ++i) {
                if (!echo_once(path.target, request)) {
                    ++failed;
                    continue;
                }
                ++done;
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    return {done, failed, seconds_since(start)};
}

}  // namespace

Rates measure_connection_rate(int per_worker, const bool (&available)[PATHS]) {
    Rates rate;
    in_rounds(RATE_ROUNDS, available, [&](int p, int r) {
        // Each path has the same time over all its rounds as it had in one run.
        const auto left = RATE_LIMIT - std::chrono::duration<double>(rate[p].seconds);
        if (left > 0s) {
            rate[p] +=
                connection_rate(BENCH_PATHS[p], RATE_WORKERS, share_of(per_worker, RATE_ROUNDS, r),
                                Clock::now() + std::chrono::duration_cast<Clock::duration>(left));
        }
    });
    return rate;
}

void print_connection_rate(const Rates& rate, const bool (&available)[PATHS]) {
    ratio_row("connections/s (connect, round trip, close)",
              per_path([&](int p) { return rate[p].per_second(); }), available, 0);
    row("  failed connections", count_cells(available, [&](int p) { return rate[p].failures; }),
        {});
}

std::vector<Goal> connection_rate_goals(const Rates& rate, bool with_haproxy) {
    return {
        {"connection rate >= 1.05x haproxy",
         rate[R].per_second() >= 1.05 * rate[H].per_second() && rate[R].failures == 0,
         with_haproxy},
    };
}

}  // namespace tessaro::bench
