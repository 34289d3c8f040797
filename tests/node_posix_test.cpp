// Linux only: a node's UDP socket bound to an adapter's unicast address also receives that
// adapter's broadcasts, and may send to the broadcast address. Runs in two private network
// namespaces joined by a veth pair; each side is a child process that enters its namespace.
#include "proxy/node/node.hpp"
#include "proxy/node/socket_options.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "log_capture.hpp"

namespace tessaro::node {
namespace {

using namespace std::chrono_literals;

constexpr std::uint16_t NODE_PORT = 4742;
constexpr std::uint16_t PEER_PORT = 4743;

bool run_command(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// Two namespaces named after this process, linked by a veth pair with one /24 between them;
// removed again in the destructor whatever happened (removing a namespace removes its veth end).
class NamespacePair {
  public:
    NamespacePair()
        : node_ns_(fmt::format("node-{}-a", getpid())),
          peer_ns_(fmt::format("node-{}-b", getpid())) {
        std::string node_if = fmt::format("nva{}", getpid());
        std::string peer_if = fmt::format("nvb{}", getpid());
        ready_ = run_command("ip netns add " + node_ns_) &&
                 run_command("ip netns add " + peer_ns_) &&
                 run_command(fmt::format("ip link add {} netns {} type veth peer name {} netns {}",
                                         node_if, node_ns_, peer_if, peer_ns_)) &&
                 run_command(fmt::format("ip -n {} addr add 10.77.0.1/24 brd + dev {}", node_ns_,
                                         node_if)) &&
                 run_command(fmt::format("ip -n {} addr add 10.77.0.2/24 brd + dev {}", peer_ns_,
                                         peer_if)) &&
                 run_command(fmt::format("ip -n {} link set {} up", node_ns_, node_if)) &&
                 run_command(fmt::format("ip -n {} link set {} up", peer_ns_, peer_if));
    }
    NamespacePair(const NamespacePair&) = delete;
    NamespacePair& operator=(const NamespacePair&) = delete;
    ~NamespacePair() {
        run_command("ip netns del " + node_ns_);
        run_command("ip netns del " + peer_ns_);
    }

    bool ready() const { return ready_; }
    const std::string& node_ns() const { return node_ns_; }
    const std::string& peer_ns() const { return peer_ns_; }

  private:
    std::string node_ns_;
    std::string peer_ns_;
    bool ready_ = false;
};

bool enter_namespace(const std::string& name) {
    int fd = open(("/var/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    bool ok = setns(fd, CLONE_NEWNET) == 0;
    close(fd);
    return ok;
}

sockaddr_in address_of(SocketAddrV4 at) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(at.port);
    a.sin_addr.s_addr = htonl(at.ip.to_u32());
    return a;
}

sockaddr_in address(const char* ip, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

// The node's side: waits for one datagram from the peer, checks it, answers with a broadcast.
// Exit codes: 0 fine, 1 set-up failed, 2 nothing arrived, 3 wrong sender or content.
[[noreturn]] void node_side(const std::string& ns) {
    if (!enter_namespace(ns)) {
        _exit(1);
    }
    auto node = create();
    if (!node) {
        _exit(1);
    }
    SharedHandler handler = node->handler;
    auto id = handler->udp_listen({*Ipv4Addr::parse("10.77.0.1"), NODE_PORT});
    if (!id) {
        _exit(1);
    }
    constexpr SignalId GIVE_UP = 1;
    handler->signal_after(GIVE_UP, 8s);
    int result = 2;
    node->listener->run([&](Event&& event) {
        if (std::holds_alternative<Signal>(event)) {
            handler->stop();
            return;
        }
        const auto* data = std::get_if<Data>(&event);
        if (data == nullptr || data->endpoint.resource_id != *id) {
            return;
        }
        std::string text(data->bytes.begin(), data->bytes.end());
        result = data->endpoint.addr == SocketAddrV4{*Ipv4Addr::parse("10.77.0.2"), PEER_PORT} &&
                         text == "broadcast"
                     ? 0
                     : 3;
        const std::string reply = "reply";
        handler->send({*id, {*Ipv4Addr::parse("10.77.0.255"), PEER_PORT}},
                      std::span(reinterpret_cast<const std::uint8_t*>(reply.data()), reply.size()));
        // Let the loop write the answer before it stops.
        handler->signal_after(GIVE_UP, 200ms);
    });
    _exit(result);
}

// The peer's side: sends broadcasts until the node's broadcast answer arrives.
// Exit codes: 0 answered, 1 set-up failed, 2 no answer.
[[noreturn]] void peer_side(const std::string& ns) {
    if (!enter_namespace(ns)) {
        _exit(1);
    }
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    sockaddr_in any = address("0.0.0.0", PEER_PORT);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) {
        _exit(1);
    }
    sockaddr_in to = address("10.77.0.255", NODE_PORT);
    for (int attempt = 0; attempt < 160; ++attempt) {
        sendto(fd, "broadcast", 9, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        std::this_thread::sleep_for(50ms);
        char buffer[64];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        // Our own broadcast comes back too; only the answer counts.
        if (n == 5 && std::string(buffer, 5) == "reply") {
            _exit(0);
        }
    }
    _exit(2);
}

// The exit code of a child, killing it when it has not ended in time.
int wait_child(pid_t pid, std::chrono::seconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(20ms);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int int_option(int fd, int level, int name) {
    int value = -1;
    socklen_t size = sizeof value;
    getsockopt(fd, level, name, &value, &size);
    return value;
}

TEST(SocketOptionsTest, KeepAliveAndDeviceReachTheSocket) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    auto native = static_cast<os::NativeSocket>(fd);
    ASSERT_TRUE(os::set_keepalive(native, KeepAlive{}).has_value());
    EXPECT_EQ(int_option(fd, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(int_option(fd, IPPROTO_TCP, TCP_KEEPIDLE), 25);
    EXPECT_EQ(int_option(fd, IPPROTO_TCP, TCP_KEEPINTVL), 2);

    EXPECT_TRUE(os::bind_to_device(native, "").has_value());
    if (geteuid() == 0) {
        EXPECT_TRUE(os::bind_to_device(native, "lo").has_value());
        char name[32] = {};
        socklen_t size = sizeof name;
        getsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name, &size);
        EXPECT_STREQ(name, "lo");
        // An address label names no device; its link does.
        EXPECT_TRUE(os::bind_to_device(native, "lo:1").has_value());
        size = sizeof name;
        getsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name, &size);
        EXPECT_STREQ(name, "lo");
        auto missing = os::bind_to_device(native, "no-such-nic0");
        ASSERT_FALSE(missing.has_value());
        EXPECT_EQ(missing.error().message(), "No such device (os error 19)");
    }
    close(fd);
    // Loopback has no broadcast address: no second socket.
    EXPECT_FALSE(os::broadcast_binding_for(*Ipv4Addr::parse("127.0.0.1")).has_value());
}

// The node sets keep-alive and disabled delayed sending on the listener only, relying on Linux
// to copy them into every accepted socket.
TEST(SocketOptionsTest, AcceptedSocketsTakeKeepAliveAndNoDelayFromTheListener) {
    ASSERT_TRUE(os::accepted_inherit_options());
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    ASSERT_TRUE(os::set_keepalive(static_cast<os::NativeSocket>(listener), KeepAlive{}));
    int on = 1;
    setsockopt(listener, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    sockaddr_in at = address("127.0.0.1", 0);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    socklen_t size = sizeof at;
    getsockname(listener, reinterpret_cast<sockaddr*>(&at), &size);
    int client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    int accepted = accept(listener, nullptr, nullptr);
    ASSERT_GE(accepted, 0);
    EXPECT_EQ(int_option(accepted, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(int_option(accepted, IPPROTO_TCP, TCP_KEEPIDLE), 25);
    EXPECT_EQ(int_option(accepted, IPPROTO_TCP, TCP_KEEPINTVL), 2);
    EXPECT_EQ(int_option(accepted, IPPROTO_TCP, TCP_NODELAY), 1);
    close(accepted);
    close(client);
    close(listener);
}

TEST(NodeLimitsTest, CreatingANodeRaisesTheDescriptorLimitToTheHardLimit) {
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &before), 0);
    rlimit lowered = before;
    lowered.rlim_cur = std::min<rlim_t>(before.rlim_max, 512);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    auto node = create();
    ASSERT_TRUE(node.has_value());
    rlimit after{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &after), 0);
    EXPECT_EQ(after.rlim_cur, before.rlim_max);
    setrlimit(RLIMIT_NOFILE, &before);
}

// While descriptors are exhausted every retry of an accept fails again: that is said once, and
// once more when accepting works again.
TEST(NodeLimitsTest, AcceptFailuresAreReportedOncePerEpisode) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the undefined-behaviour checks open pipes of their own to look at memory";
#endif
    auto& log = logtest::capture();
    auto node = create();
    ASSERT_TRUE(node.has_value());
    SharedHandler handler = node->handler;
    auto listener = handler->tcp_listen({*Ipv4Addr::parse("127.0.0.1"), 0}, {});
    ASSERT_TRUE(listener.has_value());
    const auto port = handler->local_address(*listener)->port;
    std::atomic<int> accepted{0};
    std::atomic<bool> running{false};
    std::thread loop([&] {
        node->listener->run([&](Event&& event) {
            if (std::holds_alternative<Accepted>(event)) {
                ++accepted;
            }
            running = true;
        });
    });
    // Both of the node's threads are up before descriptors run short.
    handler->signal(0);
    for (int i = 0; i < 500 && !running; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(running);
    log.clear();

    // Every descriptor below a lowered limit taken, but the one for the client.
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &before), 0);
    std::vector<int> filler;
    int client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(client, 0);
    rlimit lowered = before;
    lowered.rlim_cur = static_cast<rlim_t>(client) + 32;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    for (int fd = dup(client); fd >= 0 && filler.size() < 64; fd = dup(client)) {
        filler.push_back(fd);
    }
    sockaddr_in to = address("127.0.0.1", port);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);

    const std::string failing =
        fmt::format("Listener {} could not accept a connection: ", *listener);
    auto failures = [&] {
        auto lines = log.texts("tessaro::node");
        return std::count_if(lines.begin(), lines.end(),
                             [&](const std::string& line) { return line.starts_with(failing); });
    };
    std::this_thread::sleep_for(700ms);  // several retries
    EXPECT_EQ(failures(), 1);
    EXPECT_EQ(accepted.load(), 0);

    for (int fd : filler) {
        close(fd);
    }
    setrlimit(RLIMIT_NOFILE, &before);
    EXPECT_TRUE(log.wait_for("tessaro::node",
                             fmt::format("Listener {} accepts connections again", *listener)));
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (accepted.load() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(accepted.load(), 1);
    EXPECT_EQ(failures(), 1);
    handler->stop();
    loop.join();
    close(client);
}

TEST(NodeBroadcastTest, UnicastBoundSocketReceivesTheAdaptersBroadcasts) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "network namespaces need root";
    }
    NamespacePair namespaces;
    ASSERT_TRUE(namespaces.ready()) << "could not set up the namespaces";

    pid_t node_pid = fork();
    ASSERT_GE(node_pid, 0);
    if (node_pid == 0) {
        node_side(namespaces.node_ns());
    }
    pid_t peer_pid = fork();
    if (peer_pid == 0) {
        peer_side(namespaces.peer_ns());
    }
    int node_result = wait_child(node_pid, 15s);
    int peer_result = peer_pid > 0 ? wait_child(peer_pid, 15s) : -1;
    EXPECT_EQ(node_result, 0) << "0 fine, 1 set-up, 2 nothing arrived, 3 wrong datagram";
    EXPECT_EQ(peer_result, 0) << "0 answered, 1 set-up, 2 no broadcast answer";
}

// A removed listener's address is free when remove returns, also while the loop is restarting
// its accept or polling it: listening again at once never finds the address in use, while other
// threads storm it with connections. Linux only: there a new listener may share its port with
// the old one's accepted connections, which the storm leaves behind.
TEST(NodeListenTest, ListeningAgainAtOnceAfterRemoveUnderAConnectionStorm) {
    auto node = create();
    ASSERT_TRUE(node.has_value());
    SharedHandler handler = node->handler;
    const Ipv4Addr loopback = *Ipv4Addr::parse("127.0.0.1");
    auto first = handler->tcp_listen({loopback, 0}, {});
    ASSERT_TRUE(first.has_value());
    const SocketAddrV4 listening = *handler->local_address(*first);
    std::thread loop([&] { node->listener->run([](Event&&) {}); });

    std::atomic<bool> storming{true};
    std::vector<std::thread> storm;
    for (int t = 0; t < 3; ++t) {
        storm.emplace_back([&] {
            const sockaddr_in to = address_of(listening);
            // From another address: a port the connect chose itself could be the listener's,
            // free for an instant, and would then hold it on 127.0.0.1.
            const sockaddr_in from = address("127.0.0.2", 0);
            for (int i = 0; i < 200'000 && storming; ++i) {
                int fd = socket(AF_INET, SOCK_STREAM, 0);
                if (fd < 0) {
                    break;
                }
                bind(fd, reinterpret_cast<const sockaddr*>(&from), sizeof from);
                connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
                close(fd);
            }
        });
    }
    ResourceId current = *first;
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    int failures = 0;
    std::string failure;
    for (int round = 0; round < 20000 && std::chrono::steady_clock::now() < deadline; ++round) {
        EXPECT_TRUE(handler->remove(current));
        auto again = handler->tcp_listen(listening, {});
        if (!again) {
            ++failures;
            failure = again.error().message();
            again = handler->tcp_listen(listening, {});
            if (!again) {
                break;
            }
        }
        current = *again;
    }
    storming = false;
    for (auto& thread : storm) {
        thread.join();
    }
    handler->stop();
    loop.join();
    EXPECT_EQ(failures, 0) << failure;
}

// Connects from 127.0.0.1 port 0 to three listeners in a private namespace whose ephemeral range
// holds two ports. Exit code: the connections not established; 10 when set-up failed.
[[noreturn]] void three_connections_from_two_ports() {
    if (unshare(CLONE_NEWNET) != 0 || !run_command("ip link set lo up")) {
        _exit(10);
    }
    // The namespace's own range: /proc/sys/net belongs to the namespace of whoever opens it.
    std::ofstream range("/proc/sys/net/ipv4/ip_local_port_range");
    range << "40000 40001\n";
    range.close();
    if (!range) {
        _exit(10);
    }
    constexpr std::uint16_t FIRST_PORT = 4801;
    constexpr int COUNT = 3;
    for (int i = 0; i < COUNT; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in at = address("127.0.0.1", static_cast<std::uint16_t>(FIRST_PORT + i));
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
            listen(fd, 4) != 0) {
            _exit(10);
        }
    }
    auto node = create();
    if (!node) {
        _exit(10);
    }
    SharedHandler handler = node->handler;
    const Ipv4Addr loopback = *Ipv4Addr::parse("127.0.0.1");
    int missing = COUNT;
    int pending = 0;
    for (int i = 0; i < COUNT; ++i) {
        TcpConnectOptions options;
        options.source_address = SocketAddrV4{loopback, 0};
        if (handler->tcp_connect({loopback, static_cast<std::uint16_t>(FIRST_PORT + i)}, options)) {
            ++pending;
        }
    }
    constexpr SignalId GIVE_UP = 1;
    handler->signal_after(GIVE_UP, 5s);
    if (pending == 0) {
        _exit(missing);
    }
    node->listener->run([&](Event&& event) {
        if (const auto* connected = std::get_if<Connected>(&event)) {
            missing -= connected->established ? 1 : 0;
            if (--pending == 0) {
                handler->stop();
            }
        } else if (std::holds_alternative<Signal>(event)) {
            handler->stop();
        }
    });
    _exit(missing);
}

// A port chosen when the source address is bound would have to be free of every connection of
// that address; chosen at connect, one port serves connections to different peers.
TEST(NodeConnectTest, ConnectionsFromOneSourceAddressShareItsPortsAcrossPeers) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "network namespaces need root";
    }
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        three_connections_from_two_ports();
    }
    EXPECT_EQ(wait_child(pid, 15s), 0) << "connections not established (10: set-up failed)";
}

}  // namespace
}  // namespace tessaro::node
