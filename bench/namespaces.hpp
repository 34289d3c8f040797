// The bench's three private network namespaces: a client, a relay host and a server, joined by
// two veth pairs, with their names, addresses and ports. Made and removed by the bench; a fatal
// signal removes them too, after killing the child processes that run in them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <thread>
#include <utility>

#include <fmt/format.h>

#include "common/ipv4.hpp"

namespace tessaro::bench {

constexpr std::uint16_t SERVER_PORT = 5001;
constexpr std::uint16_t RELAY_PORT = 5000;
constexpr std::uint16_t HAPROXY_PORT = 5002;
constexpr std::uint16_t MINIMAL_PORT = 5003;

// 10.x addresses, used only inside the namespaces made here.
inline const Ipv4Addr CLIENT_IP{{10, 201, 1, 1}};
inline const Ipv4Addr RELAY_C_IP{{10, 201, 1, 2}};
inline const Ipv4Addr RELAY_S_IP{{10, 201, 2, 1}};
inline const Ipv4Addr SERVER_IP{{10, 201, 2, 2}};

struct Names {
    std::string tag;  // the pid, so that parallel runs never meet
    std::string ns_client, ns_relay, ns_server;
    std::string veth_client, veth_relay_c, veth_relay_s, veth_server;

    explicit Names(std::string t);
};

// Runs a shell command with its output dropped; false (and says so on stderr) when it fails.
bool sh(const std::string& command);

class Namespaces {
  public:
    explicit Namespaces(const Names& n) : n_(n) {}
    ~Namespaces() { remove(); }

    bool create();
    void remove();

  private:
    const Names& n_;
};

// Kills the child processes and removes the namespaces on SIGINT, SIGTERM and SIGHUP.
void clean_up_on_fatal_signals();

// The child processes a fatal signal kills first, one slot each; 0 while it does not run.
enum class Child { relay, minimal, haproxy };
pid_t& child_pid_slot(Child child);

// Moves the calling thread into the namespace `ns`; false when it cannot be entered.
bool enter_namespace(const std::string& ns);

// Runs `f` on a thread inside the network namespace `ns` (the namespace is per thread; threads
// started from there inherit it). False when the namespace cannot be entered.
template <typename F>
bool in_namespace(const std::string& ns, F&& f) {
    bool entered = false;
    std::thread t([&] {
        entered = enter_namespace(ns);
        if (entered) {
            f();
        }
    });
    t.join();
    if (!entered) {
        fmt::print(stderr, "cannot enter namespace {}\n", ns);
    }
    return entered;
}

// Raises this process's descriptor limit to its hard limit: a thousand pairs and more are open
// at once.
void raise_fd_limit();

}  // namespace tessaro::bench
