#include "bench/relay_children.hpp"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <thread>

#include <fmt/format.h>

#include "bench/minimal_relay.hpp"
#include "bench/namespaces.hpp"
#include "bench/sockets.hpp"
#include "proxy/node/node.hpp"
#include "proxy/tcp_proxy.hpp"

namespace tessaro::bench {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// What both relay processes do first: die with the bench, enter the relay namespace, raise the
// descriptor limit and block SIGTERM (every thread started later inherits the mask), which each
// then waits for in its own way. False when the namespace cannot be entered.
bool start_relay_child(const Names& n, sigset_t& set) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (!enter_namespace(n.ns_relay)) {
        return false;
    }
    raise_fd_limit();
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    return true;
}

void say_ready() {
    std::fputs("ready\n", stdout);
    std::fflush(stdout);
}

}  // namespace

int relay_child_main(const std::string& tag) {
    const Names n(tag);
    sigset_t set;
    if (!start_relay_child(n, set)) {
        return 2;
    }

    auto node = tessaro::node::create();
    if (!node) {
        fmt::print(stderr, "node: {}\n", node.error().message());
        return 2;
    }
    auto pc = std::make_shared<const PcInterface>(n.veth_relay_c, "lan", RELAY_C_IP, std::nullopt,
                                                  std::nullopt);
    auto device = std::make_shared<const DeviceInterface>(
        n.veth_relay_s, "usb", RELAY_S_IP, Ipv4Addr{{10, 201, 2, 255}}, MacAddress{});
    auto relay = TcpProxy::create(DeviceKind::Terminal, node->handler, {RELAY_C_IP, RELAY_PORT}, pc,
                                  {SERVER_IP, SERVER_PORT}, device);
    if (!relay) {
        fmt::print(stderr, "relay: {}\n", relay.error().message());
        return 2;
    }
    std::thread stopper([&] {
        int sig = 0;
        sigwait(&set, &sig);
        node->handler->stop();
    });
    // A signal every 100 ms, as the program's CHECK and STATUS come: how late each one is
    // delivered while the relay is busy.
    constexpr auto TICK = 100ms;
    const auto tick = next_signal_id();
    if (!tick) {
        return 2;
    }
    auto due = Clock::now() + TICK;
    double latest_ms = 0;
    int ticks = 0;
    int late_ticks = 0;  // more than 50 ms late
    node->handler->signal_after(*tick, TICK);
    say_ready();
    node->listener->run([&](tessaro::node::Event&& event) {
        if (const auto* signal = std::get_if<tessaro::node::Signal>(&event)) {
            if (signal->id == *tick) {
                const double late =
                    std::chrono::duration<double, std::milli>(Clock::now() - due).count();
                latest_ms = std::max(latest_ms, late);
                late_ticks += late > 50 ? 1 : 0;
                ++ticks;
                due = Clock::now() + TICK;
                node->handler->signal_after(*tick, TICK);
            }
            return;
        }
        (*relay)->handle_event(event);
    });
    relay->reset();
    stopper.join();
    fmt::print(stderr, "relay process: {} signals, latest {:.1f} ms after due, {} over 50 ms\n",
               ticks, latest_ms, late_ticks);
    return 0;
}

int minimal_child_main(const std::string& tag) {
    const Names n(tag);
    sigset_t set;
    if (!start_relay_child(n, set)) {
        return 2;
    }
    Fd stop(signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC));
    if (!stop) {
        return 2;
    }
    MinimalRelaySetup setup{
        .listen_adapter = n.veth_relay_c,
        .listen_address = {RELAY_C_IP, MINIMAL_PORT},
        .device_adapter = n.veth_relay_s,
        .device_address = RELAY_S_IP,
        .remote_address = {SERVER_IP, SERVER_PORT},
        .keepalive_idle = TCP_KEEPALIVE_TIME,
        .keepalive_interval = TCP_KEEPALIVE_INTERVAL,
        .bound = MINIMAL_BOUND,
    };
    auto counts = run_minimal_relay(setup, stop.get(), say_ready);
    if (!counts) {
        fmt::print(stderr, "{}\n", counts.error().message());
        return 2;
    }
    fmt::print(stderr, "minimal relay process: {} pairs, {} closed by an error\n", counts->pairs,
               counts->failed);
    return 0;
}

}  // namespace tessaro::bench
