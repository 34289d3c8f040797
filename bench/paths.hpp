// The four paths every workload measures side by side: the direct path (kernel forwarding in
// the relay host), haproxy, the minimal relay and tessaro's relay, all from the client namespace
// to the server. And what the workloads share in measuring them.
//
// The machine's load may change within seconds, so a workload that runs in rounds runs a share
// of its work on every path in each round, and the order of the paths rotates (round r starts
// with path r % 4), so that a busy second falls on all four alike.
#pragma once

#include <chrono>

#include "bench/namespaces.hpp"
#include "common/ipv4.hpp"

namespace tessaro::bench {

using Clock = std::chrono::steady_clock;

struct Path {
    const char* name;
    SocketAddrV4 target;
};

// The paths in every table, in its order.
constexpr int PATHS = 4;
constexpr int D = 0, H = 1, M = 2, R = 3;
inline const Path BENCH_PATHS[PATHS] = {
    {"direct", {SERVER_IP, SERVER_PORT}},
    {"haproxy", {RELAY_C_IP, HAPROXY_PORT}},
    {"minimal", {RELAY_C_IP, MINIMAL_PORT}},
    {"relay", {RELAY_C_IP, RELAY_PORT}},
};

constexpr double MIB = 1024.0 * 1024.0;

double seconds_since(Clock::time_point start);

// Calls `run(path, round)` for every path in `available` in each of `rounds` rounds, round r
// starting with path r % PATHS, so that a change of the machine's load during a measurement falls
// on all paths alike.
template <typename F>
void in_rounds(int rounds, const bool (&available)[PATHS], F&& run) {
    for (int r = 0; r < rounds; ++r) {
        for (int i = 0; i < PATHS; ++i) {
            if (available[(r + i) % PATHS]) {
                run((r + i) % PATHS, r);
            }
        }
    }
}

// Round r's share of `total` split over `rounds`: the shares differ by at most one and add up to
// `total`.
template <typename T>
T share_of(T total, int rounds, int r) {
    const auto n = static_cast<T>(rounds);
    return total * static_cast<T>(r + 1) / n - total * static_cast<T>(r) / n;
}

}  // namespace tessaro::bench
