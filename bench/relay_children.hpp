// What this program runs as a relay child process (relay_processes.hpp starts it): the node with
// one TcpProxy, or the minimal relay's driver, in the relay namespace, from the client's side to
// the server. Each says "ready" on stdout once it accepts, ends at SIGTERM and then puts its
// counts on stderr.
#pragma once

#include <cstddef>
#include <string>

namespace tessaro::bench {

// The options that make this program a child, each followed by the run's tag (Names).
inline constexpr const char* RELAY_CHILD_OPTION = "--relay-child";
inline constexpr const char* MINIMAL_CHILD_OPTION = "--minimal-child";

constexpr std::size_t MINIMAL_BOUND = 256 * 1024;  // unsent bytes per direction of a pair

// The node's relay, with a signal every 100 ms whose delays it reports at its end.
int relay_child_main(const std::string& tag);

// The minimal relay, with the relay's socket options.
int minimal_child_main(const std::string& tag);

}  // namespace tessaro::bench
