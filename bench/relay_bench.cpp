// Relay benchmark: the TCP relay on the event node against a direct connection, against haproxy
// (TCP mode, one thread) and against a minimal relay of our own over the same links, side by side
// in one run.
//
// Three private network namespaces made (and removed) by this program (namespaces.hpp): a client,
// a relay host and a server, joined by two veth pairs. The direct path goes client -> server
// through kernel forwarding in the relay host; the relay path goes client -> relay (a child
// process running the node and one TcpProxy) -> server; the haproxy path goes client -> haproxy
// in the relay host -> server; the minimal path goes client -> the minimal relay
// (minimal_relay.hpp, a child process in the relay host) -> server (paths.hpp,
// relay_processes.hpp, relay_children.hpp). haproxy is the Debian package, installed here when
// it is missing; where it cannot be had, its column stays empty and the run says so. The minimal
// relay is the limit a relay with the same socket options can reach on this machine: the relay's
// ratios to it say how much the node costs. Everything it measures is bounded in count and time.
//
// The workloads, each in its own file: bulk throughput and CPU per GiB (bulk.hpp), round trips
// (round_trip.hpp), connection rate (connection_rate.hpp), 1000 concurrent pairs
// (concurrent_pairs.hpp), memory under a stalled receiver (stalled_pair.hpp) and the memory of
// idle pairs (idle_pairs.hpp). Bulk, round trips and connection rate run in rounds that rotate
// the order of the paths; the others run once per path. The server at the far end is server.hpp,
// the report table.hpp.
//
// Run as root: relay_bench [--quick] [--only bulk|latency|rate|pairs|memory|idle]
// (haproxy's notices, each relay process's signal delays and the minimal relay's counts appear on
// stderr)
// (--quick: a quarter of the bytes and round trips; --only: one group of measurements, e.g. to
// profile the relay process while it runs)
#include <unistd.h>

#include <string>
#include <vector>

#include <fmt/format.h>

#include "bench/bulk.hpp"
#include "bench/concurrent_pairs.hpp"
#include "bench/connection_rate.hpp"
#include "bench/idle_pairs.hpp"
#include "bench/namespaces.hpp"
#include "bench/paths.hpp"
#include "bench/relay_children.hpp"
#include "bench/relay_processes.hpp"
#include "bench/round_trip.hpp"
#include "bench/server.hpp"
#include "bench/stalled_pair.hpp"
#include "bench/table.hpp"
#include "proxy/tcp_proxy.hpp"

namespace {

using namespace tessaro::bench;

int run_bench(bool quick, const std::string& only) {
    auto want = [&](const char* group) { return only.empty() || only == group; };
    if (geteuid() != 0) {
        fmt::print(stderr, "relay_bench must run as root (it makes network namespaces)\n");
        return 1;
    }
    raise_fd_limit();
    const Names names(std::to_string(getpid()));
    Namespaces namespaces(names);
    clean_up_on_fatal_signals();
    if (!namespaces.create()) {
        return 1;
    }
    Server server;
    if (!server.start(names.ns_server)) {
        fmt::print(stderr, "server did not start\n");
        return 1;
    }
    RelayProcess relay(RELAY_CHILD_OPTION, Child::relay);
    if (!relay.start(names.tag)) {
        fmt::print(stderr, "relay did not start\n");
        return 1;
    }
    RelayProcess minimal(MINIMAL_CHILD_OPTION, Child::minimal);
    if (!minimal.start(names.tag)) {
        fmt::print(stderr, "minimal relay did not start\n");
        return 1;
    }
    // Without haproxy the other paths are still measured; the report says why its column is
    // empty.
    HaproxyProcess haproxy;
    std::string haproxy_missing;
    if (!HaproxyProcess::ensure_installed()) {
        haproxy_missing = "haproxy is not installed and could not be installed";
    } else if (!haproxy.start(names)) {
        haproxy.stop();
        haproxy_missing = "haproxy did not start";
    }
    if (!haproxy_missing.empty()) {
        fmt::print(stderr, "{}: measuring without it\n", haproxy_missing);
    }

    const std::string load_before = load_average();
    const std::uint64_t bulk_total = bulk_bytes(quick);
    const int rtts = round_trip_count(quick);
    const int per_worker = rate_per_worker(quick);
    const pid_t relay_pids[PATHS] = {0, haproxy.pid(), minimal.pid(), relay.pid()};
    const bool available[PATHS] = {true, haproxy_missing.empty(), true, true};
    const bool with_haproxy = available[H];

    Bulk bulk;
    RoundTrips latency;
    Rates rate;
    ConcurrentRuns many;
    const bool entered = in_namespace(names.ns_client, [&] {
        if (want("bulk")) {
            bulk = measure_bulk(bulk_total, relay_pids, available);
        }
        if (want("latency")) {
            latency = measure_round_trips(rtts, available);
        }
        if (want("rate")) {
            rate = measure_connection_rate(per_worker, available);
        }
        if (want("pairs")) {
            many = measure_concurrent_pairs(quick, available);
        }
    });
    haproxy.stop();
    minimal.stop();
    if (!entered) {
        return 1;
    }

    relay.stop();
    Stalls stalls;
    if (want("memory")) {
        auto measured = measure_stalls(relay, names, quick);
        if (!measured) {
            return 1;
        }
        stalls = *measured;
    }
    IdleRuns idle;
    if (want("idle")) {
        auto measured = measure_idle_pairs({relay, minimal, haproxy}, names, available);
        if (!measured) {
            return 1;
        }
        idle = *measured;
    }

    fmt::print(
        "relay benchmark: {} bulk bytes per run in {} rounds, {} round trips per latency run in {} "
        "rounds, {} connections per rate run in {} rounds\n",
        bulk_total, BULK_ROUNDS, rtts, LATENCY_ROUNDS, RATE_WORKERS * per_worker, RATE_ROUNDS);
    fmt::print("load average before {}, after {}\n", load_before, load_average());
    fmt::print(
        "bounds: held client bytes {} KiB, queue towards each side {} KiB; minimal relay {} KiB "
        "unsent per direction\n\n",
        tessaro::TCP_PROXY_PENDING_BOUND / 1024, tessaro::TCP_PROXY_QUEUE_BOUND / 1024,
        MINIMAL_BOUND / 1024);
    if (!haproxy_missing.empty()) {
        fmt::print("{}: its column and goals are left out\n", haproxy_missing);
    }
    // Only the rows and goals of the groups measured. The relay against haproxy and the minimal
    // relay in the same run: ratios to the direct path differ between machines, these do not.
    row("", {"direct", "haproxy", "minimal", "relay"}, {"relay/dir", "relay/hap", "relay/min"});
    std::vector<Goal> goals;
    const auto add = [&](std::vector<Goal>&& more) {
        goals.insert(goals.end(), more.begin(), more.end());
    };
    if (want("bulk")) {
        print_bulk(bulk, available);
        add(bulk_goals(bulk, with_haproxy));
    }
    if (want("latency")) {
        print_round_trips(latency, available);
        add(round_trip_goals(latency, available));
    }
    if (want("rate")) {
        print_connection_rate(rate, available);
        add(connection_rate_goals(rate, with_haproxy));
    }
    if (want("pairs")) {
        print_concurrent_pairs(many, available);
        add(concurrent_pairs_goals(many));
    }
    if (want("memory")) {
        print_stalls(stalls);
        add(stall_goals(stalls));
    }
    if (want("idle")) {
        print_idle_pairs(idle);
        add(idle_pairs_goals(idle));
    }
    return print_goals(goals) ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::string(argv[1]) == RELAY_CHILD_OPTION) {
        return relay_child_main(argv[2]);
    }
    if (argc >= 3 && std::string(argv[1]) == MINIMAL_CHILD_OPTION) {
        return minimal_child_main(argv[2]);
    }
    bool quick = false;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--quick") {
            quick = true;
        } else if (arg == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else {
            fmt::print(
                stderr,
                "usage: relay_bench [--quick] [--only bulk|latency|rate|pairs|memory|idle]\n");
            return 2;
        }
    }
    return run_bench(quick, only);
}
