// Relay benchmark: the TCP relay on the event node against a direct connection, against haproxy
// (TCP mode, one thread) and against a minimal relay of our own over the same links, side by side
// in one run.
//
// Three private network namespaces made (and removed) by this program: a client, a relay host and
// a server, joined by two veth pairs. The direct path goes client -> server through kernel
// forwarding in the relay host; the relay path goes client -> relay (a child process running the
// node and one TcpProxy) -> server; the haproxy path goes client -> haproxy in the relay host ->
// server; the minimal path goes client -> the minimal relay (minimal_relay.hpp, a child process
// in the relay host) -> server. haproxy is the Debian package, installed here when it is missing;
// where it cannot be had, its column stays empty and the run says so. The minimal relay is the
// limit a relay with the same socket options can reach on this machine: the relay's ratios to it
// say how much the node costs. Everything it measures is bounded in count and time.
//
// The machine's load may change within seconds, so bulk, latency and connection rate are taken
// in rounds: each round runs a share of the work on every path, and the order of the paths
// rotates (round r starts with path r % 4), so that a busy second falls on all four alike.
// Bulk runs 4 rounds of a quarter of the bytes each; a path's MiB/s is its bytes over its time
// summed over the rounds, its CPU per GiB the CPU its process spent in its own turns over the
// bytes relayed. Latency runs 10 rounds, each on a fresh connection per path and variant with
// 200 round trips of warm-up that are not counted; p50 and p99 come from the samples of all
// rounds pooled. Connection rate runs 8 rounds of 4 workers; a path's rate is its connections
// over its own time summed over the rounds. The 1000 pairs and the stalled receivers run once
// per path. The memory of idle pairs is each relay process's RSS growth over 1000 pairs that
// have made one round trip each and are left open, on a fresh process per path.
//
// Run as root: relay_bench [--quick] [--only bulk|latency|rate|pairs|memory|idle]
// (haproxy's notices, each relay process's signal delays and the minimal relay's counts appear on
// stderr)
// (--quick: a quarter of the bytes and round trips; --only: one group of measurements, e.g. to
// profile the relay process while it runs)
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "bench/minimal_relay.hpp"
#include "proxy/node/node.hpp"
#include "proxy/tcp_proxy.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using tessaro::Ipv4Addr;
using tessaro::SocketAddrV4;

constexpr std::uint16_t SERVER_PORT = 5001;
constexpr std::uint16_t RELAY_PORT = 5000;
constexpr std::uint16_t HAPROXY_PORT = 5002;
constexpr std::uint16_t MINIMAL_PORT = 5003;
constexpr std::size_t MINIMAL_BOUND = 256 * 1024;  // unsent bytes per direction of a pair
constexpr int IO_TIMEOUT_S = 30;                   // every blocking socket call gives up after this

// ---- the namespaces --------------------------------------------------------------------------

struct Names {
    std::string tag;  // the pid, so that parallel runs never meet
    std::string ns_client, ns_relay, ns_server;
    std::string veth_client, veth_relay_c, veth_relay_s, veth_server;

    explicit Names(std::string t) : tag(std::move(t)) {
        ns_client = "tessaro-bench-" + tag + "-client";
        ns_relay = "tessaro-bench-" + tag + "-relay";
        ns_server = "tessaro-bench-" + tag + "-server";
        veth_client = "tb" + tag + "c";
        veth_relay_c = "tb" + tag + "rc";
        veth_relay_s = "tb" + tag + "rs";
        veth_server = "tb" + tag + "s";
    }
};

// 10.x addresses, used only inside the namespaces made here.
const Ipv4Addr CLIENT_IP{{10, 201, 1, 1}};
const Ipv4Addr RELAY_C_IP{{10, 201, 1, 2}};
const Ipv4Addr RELAY_S_IP{{10, 201, 2, 1}};
const Ipv4Addr SERVER_IP{{10, 201, 2, 2}};

// Paths of the namespaces, for removal from a signal handler (umount + unlink is what `ip netns
// delete` does, and both are async-signal-safe).
char g_ns_paths[3][128];
pid_t g_relay_pid = 0;
pid_t g_minimal_pid = 0;
pid_t g_haproxy_pid = 0;

void remove_namespaces_now() {
    for (auto& path : g_ns_paths) {
        if (path[0] != '\0') {
            umount2(path, MNT_DETACH);
            unlink(path);
            path[0] = '\0';
        }
    }
}

void on_fatal_signal(int sig) {
    if (g_relay_pid > 0) {
        kill(g_relay_pid, SIGKILL);
    }
    if (g_minimal_pid > 0) {
        kill(g_minimal_pid, SIGKILL);
    }
    if (g_haproxy_pid > 0) {
        kill(g_haproxy_pid, SIGKILL);
    }
    remove_namespaces_now();
    _exit(128 + sig);
}

bool sh(const std::string& command) {
    int rc = std::system((command + " >/dev/null 2>&1").c_str());
    if (rc != 0) {
        fmt::print(stderr, "failed: {}\n", command);
        return false;
    }
    return true;
}

class Namespaces {
  public:
    explicit Namespaces(const Names& n) : n_(n) {}
    ~Namespaces() { remove(); }

    bool create() {
        const std::string* all[] = {&n_.ns_client, &n_.ns_relay, &n_.ns_server};
        for (int i = 0; i < 3; ++i) {
            if (!sh("ip netns add " + *all[i])) {
                return false;
            }
            std::snprintf(g_ns_paths[i], sizeof g_ns_paths[i], "/var/run/netns/%s",
                          all[i]->c_str());
        }
        const std::string c = n_.ns_client, r = n_.ns_relay, s = n_.ns_server;
        return sh(fmt::format("ip link add {} netns {} type veth peer name {} netns {}",
                              n_.veth_client, c, n_.veth_relay_c, r)) &&
               sh(fmt::format("ip link add {} netns {} type veth peer name {} netns {}",
                              n_.veth_server, s, n_.veth_relay_s, r)) &&
               sh(fmt::format("ip -n {} addr add {}/24 dev {}", c, CLIENT_IP.to_string(),
                              n_.veth_client)) &&
               sh(fmt::format("ip -n {} addr add {}/24 dev {}", r, RELAY_C_IP.to_string(),
                              n_.veth_relay_c)) &&
               sh(fmt::format("ip -n {} addr add {}/24 dev {}", r, RELAY_S_IP.to_string(),
                              n_.veth_relay_s)) &&
               sh(fmt::format("ip -n {} addr add {}/24 dev {}", s, SERVER_IP.to_string(),
                              n_.veth_server)) &&
               sh(fmt::format("ip -n {} link set lo up", c)) &&
               sh(fmt::format("ip -n {} link set lo up", r)) &&
               sh(fmt::format("ip -n {} link set lo up", s)) &&
               sh(fmt::format("ip -n {} link set {} up", c, n_.veth_client)) &&
               sh(fmt::format("ip -n {} link set {} up", r, n_.veth_relay_c)) &&
               sh(fmt::format("ip -n {} link set {} up", r, n_.veth_relay_s)) &&
               sh(fmt::format("ip -n {} link set {} up", s, n_.veth_server)) &&
               sh(fmt::format("ip -n {} route add default via {}", c, RELAY_C_IP.to_string())) &&
               sh(fmt::format("ip -n {} route add default via {}", s, RELAY_S_IP.to_string())) &&
               sh(fmt::format("ip netns exec {} sysctl -qw net.ipv4.ip_forward=1", r)) &&
               // Many short connections: the closing side's ports come back sooner.
               sh(fmt::format("ip netns exec {} sysctl -qw net.ipv4.tcp_tw_reuse=1", c)) &&
               sh(fmt::format("ip netns exec {} sysctl -qw net.ipv4.tcp_tw_reuse=1", r)) &&
               sh(fmt::format(
                   "ip netns exec {} sysctl -qw net.ipv4.ip_local_port_range='10000 65000'", c)) &&
               sh(fmt::format(
                   "ip netns exec {} sysctl -qw net.ipv4.ip_local_port_range='10000 65000'", r));
    }

    void remove() {
        const std::string* all[] = {&n_.ns_client, &n_.ns_relay, &n_.ns_server};
        for (int i = 0; i < 3; ++i) {
            if (g_ns_paths[i][0] != '\0') {
                sh("ip netns delete " + *all[i]);
                g_ns_paths[i][0] = '\0';
            }
        }
    }

  private:
    const Names& n_;
};

bool enter_namespace(const std::string& ns) {
    int fd = open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = setns(fd, CLONE_NEWNET) == 0;
    close(fd);
    return ok;
}

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

void raise_fd_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

// ---- plain sockets ---------------------------------------------------------------------------

using tessaro::bench::to_sockaddr;

class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd& operator=(Fd&& o) noexcept {
        reset();
        fd_ = std::exchange(o.fd_, -1);
        return *this;
    }
    ~Fd() { reset(); }
    void reset() {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = -1;
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

  private:
    int fd_ = -1;
};

void set_timeouts(int fd) {
    timeval tv{IO_TIMEOUT_S, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void set_nodelay(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

Fd connect_to(SocketAddrV4 addr) {
    Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) {
        return fd;
    }
    set_timeouts(fd.get());
    set_nodelay(fd.get());
    sockaddr_in sa = to_sockaddr(addr);
    if (connect(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        return Fd();
    }
    return fd;
}

bool write_all(int fd, const void* data, std::size_t n) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0) {
            if (w < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

bool read_all(int fd, void* data, std::size_t n) {
    auto* p = static_cast<std::uint8_t*>(data);
    while (n > 0) {
        ssize_t r = recv(fd, p, n, 0);
        if (r <= 0) {
            if (r < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

// Reads and drops n bytes.
bool drain(int fd, std::uint64_t n, std::vector<std::uint8_t>& buffer) {
    while (n > 0) {
        ssize_t r = recv(fd, buffer.data(), std::min<std::uint64_t>(n, buffer.size()), 0);
        if (r <= 0) {
            if (r < 0 && errno == EINTR) {
                continue;
            }
            return false;
        }
        n -= static_cast<std::uint64_t>(r);
    }
    return true;
}

bool send_bytes(int fd, std::uint64_t n, const std::vector<std::uint8_t>& buffer) {
    while (n > 0) {
        std::size_t chunk = std::min<std::uint64_t>(n, buffer.size());
        if (!write_all(fd, buffer.data(), chunk)) {
            return false;
        }
        n -= chunk;
    }
    return true;
}

// ---- the source/sink server ------------------------------------------------------------------
//
// Each connection starts with a 17-byte request header: one mode letter, the byte count and a
// hold time in milliseconds (both 64-bit, little endian as on this machine).
//   'S' sink:   reads `count` bytes, then answers one byte.
//   'R' source: writes `count` bytes.
//   'E' echo:   writes back everything it reads (`count` 0: until the client closes).
//   'H' hold:   does not read for the hold time, then behaves as 'S'.

struct Header {
    char mode;
    std::uint64_t count;
    std::uint64_t hold_ms;
};
constexpr std::size_t HEADER_SIZE = 17;

std::array<std::uint8_t, HEADER_SIZE> encode(const Header& h) {
    std::array<std::uint8_t, HEADER_SIZE> out{};
    out[0] = static_cast<std::uint8_t>(h.mode);
    std::memcpy(out.data() + 1, &h.count, 8);
    std::memcpy(out.data() + 9, &h.hold_ms, 8);
    return out;
}

void serve(Fd conn) {
    set_timeouts(conn.get());
    set_nodelay(conn.get());
    std::array<std::uint8_t, HEADER_SIZE> raw{};
    if (!read_all(conn.get(), raw.data(), raw.size())) {
        return;
    }
    Header h{static_cast<char>(raw[0]), 0, 0};
    std::memcpy(&h.count, raw.data() + 1, 8);
    std::memcpy(&h.hold_ms, raw.data() + 9, 8);
    std::vector<std::uint8_t> buffer(256 * 1024, 0x5a);
    switch (h.mode) {
        case 'H':
            std::this_thread::sleep_for(std::chrono::milliseconds(h.hold_ms));
            [[fallthrough]];
        case 'S': {
            if (drain(conn.get(), h.count, buffer)) {
                std::uint8_t ack = 1;
                write_all(conn.get(), &ack, 1);
                // Wait for the client's close so that ours cannot overtake its last bytes.
                recv(conn.get(), buffer.data(), 1, 0);
            }
            break;
        }
        case 'R':
            if (send_bytes(conn.get(), h.count, buffer)) {
                recv(conn.get(), buffer.data(), 1, 0);
            }
            break;
        case 'E': {
            std::uint64_t left = h.count == 0 ? UINT64_MAX : h.count;
            while (left > 0) {
                ssize_t r = recv(conn.get(), buffer.data(),
                                 std::min<std::uint64_t>(left, buffer.size()), 0);
                if (r <= 0) {
                    break;
                }
                if (!write_all(conn.get(), buffer.data(), static_cast<std::size_t>(r))) {
                    break;
                }
                left -= static_cast<std::uint64_t>(r);
            }
            recv(conn.get(), buffer.data(), 1, 0);
            break;
        }
        default:
            break;
    }
}

class Server {
  public:
    bool start(const std::string& ns) {
        std::atomic<int> state{0};
        thread_ = std::thread([this, ns, &state] {
            if (!enter_namespace(ns)) {
                state = -1;
                return;
            }
            Fd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            int one = 1;
            setsockopt(listener.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
            sockaddr_in sa = to_sockaddr({SERVER_IP, SERVER_PORT});
            if (bind(listener.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
                listen(listener.get(), 4096) != 0) {
                state = -1;
                return;
            }
            state = 1;
            while (!stop_) {
                pollfd p{listener.get(), POLLIN, 0};
                if (poll(&p, 1, 100) <= 0) {
                    continue;
                }
                int fd = accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0) {
                    continue;
                }
                ++live_;
                std::thread([this, fd] {
                    serve(Fd(fd));
                    --live_;
                }).detach();
            }
        });
        while (state == 0) {
            std::this_thread::sleep_for(1ms);
        }
        return state == 1;
    }

    ~Server() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        // Connection threads end when their clients have gone (or after the I/O timeout).
        const auto deadline = Clock::now() + std::chrono::seconds(IO_TIMEOUT_S + 5);
        while (live_ > 0 && Clock::now() < deadline) {
            std::this_thread::sleep_for(10ms);
        }
    }

  private:
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> live_{0};
};

// ---- the relay process -----------------------------------------------------------------------

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
    auto pc = std::make_shared<const tessaro::PcInterface>(n.veth_relay_c, "lan", RELAY_C_IP,
                                                           std::nullopt, std::nullopt);
    auto device = std::make_shared<const tessaro::DeviceInterface>(
        n.veth_relay_s, "usb", RELAY_S_IP, Ipv4Addr{{10, 201, 2, 255}}, tessaro::MacAddress{});
    auto relay =
        tessaro::TcpProxy::create(tessaro::DeviceKind::Terminal, node->handler,
                                  {RELAY_C_IP, RELAY_PORT}, pc, {SERVER_IP, SERVER_PORT}, device);
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
    const auto tick = tessaro::next_signal_id();
    if (!tick) {
        return 2;
    }
    auto due = Clock::now() + TICK;
    double latest_ms = 0;
    int ticks = 0;
    int late_ticks = 0;  // more than 50 ms late
    node->handler->signal_after(*tick, TICK);
    std::fputs("ready\n", stdout);
    std::fflush(stdout);
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

// The minimal relay in the relay namespace, from the client's side to the same server, with the
// relay's socket options; SIGTERM ends it.
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
    tessaro::bench::MinimalRelaySetup setup{
        .listen_adapter = n.veth_relay_c,
        .listen_address = {RELAY_C_IP, MINIMAL_PORT},
        .device_adapter = n.veth_relay_s,
        .device_address = RELAY_S_IP,
        .remote_address = {SERVER_IP, SERVER_PORT},
        .keepalive_idle = tessaro::TCP_KEEPALIVE_TIME,
        .keepalive_interval = tessaro::TCP_KEEPALIVE_INTERVAL,
        .bound = MINIMAL_BOUND,
    };
    auto counts = tessaro::bench::run_minimal_relay(setup, stop.get(), [] {
        std::fputs("ready\n", stdout);
        std::fflush(stdout);
    });
    if (!counts) {
        fmt::print(stderr, "{}\n", counts.error().message());
        return 2;
    }
    fmt::print(stderr, "minimal relay process: {} pairs, {} closed by an error\n", counts->pairs,
               counts->failed);
    return 0;
}

// A field of /proc/<pid>/status in kB ("VmRSS:" now, "VmHWM:" the peak); -1 when it cannot be
// read.
long process_status_kb(pid_t pid, const char* field) {
    std::ifstream in(fmt::format("/proc/{}/status", pid));
    std::string line;
    while (std::getline(in, line)) {
        if (line.starts_with(field)) {
            return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
        }
    }
    return -1;
}

// A relay child process of this program: `mode` is its option, `pid_slot` where the fatal-signal
// handler finds it.
class RelayProcess {
  public:
    RelayProcess(const char* mode, pid_t& pid_slot) : mode_(mode), pid_slot_(pid_slot) {}

    bool start(const std::string& tag) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            return false;
        }
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], STDOUT_FILENO);
            execl("/proc/self/exe", "relay_bench", mode_, tag.c_str(), nullptr);
            _exit(127);
        }
        close(fds[1]);
        pid_slot_ = pid_;
        pollfd p{fds[0], POLLIN, 0};
        char buf[16] = {};
        bool ready = poll(&p, 1, 10000) == 1 && read(fds[0], buf, sizeof buf) > 0 &&
                     std::string(buf).starts_with("ready");
        close(fds[0]);
        return ready;
    }

    void stop() {
        if (pid_ <= 0) {
            return;
        }
        kill(pid_, SIGTERM);
        for (int i = 0; i < 500; ++i) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = pid_slot_ = 0;
                return;
            }
            std::this_thread::sleep_for(10ms);
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = pid_slot_ = 0;
    }

    ~RelayProcess() { stop(); }

    // kB from /proc/<pid>/status: "VmRSS" now, "VmHWM" the peak.
    long status_kb(const char* field) const { return process_status_kb(pid_, field); }

    pid_t pid() const { return pid_; }

  private:
    const char* mode_;
    pid_t& pid_slot_;
    pid_t pid_ = 0;
};

// CPU seconds (user and system) that a process has used so far; -1 when it cannot be read.
double cpu_seconds(pid_t pid) {
    std::ifstream in(fmt::format("/proc/{}/stat", pid));
    std::string stat;
    std::getline(in, stat);
    // The fields after the command name, which is in parentheses and may hold blanks.
    const auto close = stat.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // state is field 3; utime and stime are fields 14 and 15.
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) {
            utime = std::stoull(field);
        } else if (i == 15) {
            stime = std::stoull(field);
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// haproxy in the relay namespace, TCP mode with one thread, from the server to the same device.
class HaproxyProcess {
  public:
    static bool ensure_installed() {
        if (std::system("command -v haproxy >/dev/null 2>&1") == 0) {
            return true;
        }
        fmt::print(stderr, "installing haproxy (Debian package) for the comparison\n");
        return sh("DEBIAN_FRONTEND=noninteractive apt-get install -y -q haproxy") &&
               std::system("command -v haproxy >/dev/null 2>&1") == 0;
    }

    bool start(const Names& n) {
        config_ = fmt::format("/tmp/tessaro-bench-{}-haproxy.cfg", n.tag);
        std::ofstream(config_) << fmt::format(
            "global\n"
            "    nbthread 1\n"
            "    maxconn 4000\n"
            "defaults\n"
            "    mode tcp\n"
            "    timeout connect 5s\n"
            "    timeout client 60s\n"
            "    timeout server 60s\n"
            "listen relay\n"
            "    bind {}:{}\n"
            "    server device {}:{}\n",
            RELAY_C_IP.to_string(), HAPROXY_PORT, SERVER_IP.to_string(), SERVER_PORT);
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (!enter_namespace(n.ns_relay)) {
                _exit(126);
            }
            raise_fd_limit();
            int null = open("/dev/null", O_WRONLY);
            dup2(null, STDOUT_FILENO);
            execlp("haproxy", "haproxy", "-db", "-f", config_.c_str(), nullptr);
            _exit(127);
        }
        g_haproxy_pid = pid_;
        // Ready when it accepts from the client's side.
        bool ready = false;
        in_namespace(n.ns_client, [&] {
            for (int i = 0; i < 200 && !ready; ++i) {
                ready = static_cast<bool>(connect_to({RELAY_C_IP, HAPROXY_PORT}));
                if (!ready) {
                    std::this_thread::sleep_for(25ms);
                }
            }
        });
        return ready;
    }

    void stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            for (int i = 0; i < 300; ++i) {
                if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                    pid_ = 0;
                    break;
                }
                std::this_thread::sleep_for(10ms);
            }
            if (pid_ > 0) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
            }
            pid_ = g_haproxy_pid = 0;
        }
        if (!config_.empty()) {
            unlink(config_.c_str());
            config_.clear();
        }
    }

    ~HaproxyProcess() { stop(); }
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = 0;
    std::string config_;
};

// ---- measurements ----------------------------------------------------------------------------

struct Path {
    const char* name;
    SocketAddrV4 target;
};

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

constexpr double MIB = 1024.0 * 1024.0;

// The paths in every table: the direct path, haproxy, the minimal relay and tessaro's relay.
constexpr int PATHS = 4;
constexpr int D = 0, H = 1, M = 2, R = 3;

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

// Seconds that `bytes` took in one direction, client to server ('S') or server to client ('R');
// 0 on failure.
double bulk_one_way(const Path& path, char mode, std::uint64_t bytes) {
    std::vector<std::uint8_t> buffer(1 << 20, 0xa5);
    const auto start = Clock::now();
    Fd fd = connect_to(path.target);
    if (!fd) {
        return 0;
    }
    const auto header = encode({mode, bytes, 0});
    if (!write_all(fd.get(), header.data(), header.size())) {
        return 0;
    }
    if (mode == 'S') {
        std::uint8_t ack = 0;
        if (!send_bytes(fd.get(), bytes, buffer) || !read_all(fd.get(), &ack, 1)) {
            return 0;
        }
    } else if (!drain(fd.get(), bytes, buffer)) {
        return 0;
    }
    return seconds_since(start);
}

// Seconds that `bytes` took in each direction at once (through the echo server); 0 on failure.
double bulk_both_ways(const Path& path, std::uint64_t bytes) {
    const auto start = Clock::now();
    Fd fd = connect_to(path.target);
    if (!fd) {
        return 0;
    }
    const auto header = encode({'E', bytes, 0});
    if (!write_all(fd.get(), header.data(), header.size())) {
        return 0;
    }
    std::atomic<bool> sent{false};
    std::thread writer([&] {
        std::vector<std::uint8_t> buffer(1 << 20, 0x3c);
        sent = send_bytes(fd.get(), bytes, buffer);
    });
    std::vector<std::uint8_t> buffer(1 << 20);
    const bool received = drain(fd.get(), bytes, buffer);
    writer.join();
    if (!sent || !received) {
        return 0;
    }
    return seconds_since(start);
}

// One direction's bytes and time summed over the rounds; a failed round fails the path, which
// then runs no more rounds of it.
struct Throughput {
    std::uint64_t bytes = 0;
    double seconds = 0;
    bool failed = false;

    void add(std::uint64_t b, double s) {
        failed = failed || s <= 0;
        bytes += b;
        seconds += s;
    }
    double mib_per_second() const {
        return failed || seconds <= 0 ? 0 : static_cast<double>(bytes) / MIB / seconds;
    }
};

struct Latency {
    double p50_us = 0;
    double p99_us = 0;
    bool ok = false;
};

// Round-trip times (us) of one path and variant, pooled over the rounds; a failed round fails
// the path, which then runs no more rounds of it.
struct Samples {
    std::vector<double> us;
    bool failed = false;

    Latency latency() {
        Latency result;
        if (failed || us.empty()) {
            return result;
        }
        std::sort(us.begin(), us.end());
        result.p50_us = us[us.size() / 2];
        result.p99_us = us[us.size() * 99 / 100];
        result.ok = true;
        return result;
    }
};

// Round trips of 256 bytes on one fresh connection, the first `warmup` of them not counted;
// `split` writes each request as 2 then 254 bytes. Adds `count` samples; false on failure.
bool round_trips(const Path& path, int warmup, int count, bool split, Samples& samples) {
    Fd fd = connect_to(path.target);
    if (!fd) {
        return false;
    }
    const auto header = encode({'E', 0, 0});
    if (!write_all(fd.get(), header.data(), header.size())) {
        return false;
    }
    std::array<std::uint8_t, 256> request{};
    std::array<std::uint8_t, 256> answer{};
    samples.us.reserve(samples.us.size() + static_cast<std::size_t>(count));
    for (int i = 0; i < warmup + count; ++i) {
        request.fill(static_cast<std::uint8_t>(i));
        const auto start = Clock::now();
        bool ok = split ? write_all(fd.get(), request.data(), 2) &&
                              write_all(fd.get(), request.data() + 2, 254)
                        : write_all(fd.get(), request.data(), 256);
        if (!ok || !read_all(fd.get(), answer.data(), answer.size()) || answer != request) {
            return false;
        }
        if (i >= warmup) {
            samples.us.push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
    }
    return true;
}

// Connections, failures and the time they took, summed over the rounds.
struct Rate {
    int connections = 0;
    int failures = 0;
    double seconds = 0;

    double per_second() const { return seconds > 0 ? connections / seconds : 0; }
    Rate& operator+=(const Rate& o) {
        connections += o.connections;
        failures += o.failures;
        seconds += o.seconds;
        return *this;
    }
};

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
            std::array<std::uint8_t, 256> answer{};
            for (int i = 0; i < per_worker && Clock::now() < deadline; ++i) {
                Fd fd = connect_to(path.target);
                if (!fd || !write_all(fd.get(), request.data(), request.size()) ||
                    !read_all(fd.get(), answer.data(), answer.size())) {
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

struct Concurrent {
    int failures = 0;
    double round_trips_per_second = 0;
};

// `pairs` connections open at once, each doing `rounds` round trips of 256 bytes; all stay open
// until every one has finished (or the time is up), then all close.
Concurrent concurrent_pairs(const Path& path, int pairs, int rounds, std::chrono::seconds limit) {
    struct Conn {
        Fd fd;
        bool connected = false;
        std::size_t to_send_offset = 0;
        std::vector<std::uint8_t> out;
        std::size_t got = 0;
        int rounds_done = 0;
        bool finished = false;
        bool failed = false;
    };
    Concurrent result;
    Fd ep(epoll_create1(EPOLL_CLOEXEC));
    std::vector<Conn> conns(static_cast<std::size_t>(pairs));
    const auto header = encode({'E', 0, 0});
    auto request_of = [](int round) {
        return std::vector<std::uint8_t>(256, static_cast<std::uint8_t>(round + 1));
    };
    int open_count = 0;
    for (int i = 0; i < pairs; ++i) {
        Conn& c = conns[static_cast<std::size_t>(i)];
        c.fd = Fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!c.fd) {
            c.failed = true;
            continue;
        }
        set_nodelay(c.fd.get());
        sockaddr_in sa = to_sockaddr(path.target);
        if (connect(c.fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 &&
            errno != EINPROGRESS) {
            c.failed = true;
            continue;
        }
        c.out.assign(header.begin(), header.end());
        auto first = request_of(0);
        c.out.insert(c.out.end(), first.begin(), first.end());
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT;
        ev.data.u32 = static_cast<std::uint32_t>(i);
        epoll_ctl(ep.get(), EPOLL_CTL_ADD, c.fd.get(), &ev);
        ++open_count;
    }
    const auto start = Clock::now();
    const auto deadline = start + limit;
    int active = open_count;
    std::array<epoll_event, 256> events{};
    std::array<std::uint8_t, 512> buf{};
    auto fail = [&](Conn& c) {
        c.failed = true;
        epoll_ctl(ep.get(), EPOLL_CTL_DEL, c.fd.get(), nullptr);
        --active;
    };
    auto flush = [&](Conn& c, std::uint32_t index) {
        while (c.to_send_offset < c.out.size()) {
            ssize_t w = send(c.fd.get(), c.out.data() + c.to_send_offset,
                             c.out.size() - c.to_send_offset, MSG_NOSIGNAL);
            if (w < 0) {
                if (errno == EAGAIN) {
                    epoll_event ev{};
                    ev.events = EPOLLIN | EPOLLOUT;
                    ev.data.u32 = index;
                    epoll_ctl(ep.get(), EPOLL_CTL_MOD, c.fd.get(), &ev);
                    return;
                }
                fail(c);
                return;
            }
            c.to_send_offset += static_cast<std::size_t>(w);
        }
        c.out.clear();
        c.to_send_offset = 0;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u32 = index;
        epoll_ctl(ep.get(), EPOLL_CTL_MOD, c.fd.get(), &ev);
    };
    while (active > 0 && Clock::now() < deadline) {
        int n = epoll_wait(ep.get(), events.data(), static_cast<int>(events.size()), 100);
        for (int e = 0; e < n; ++e) {
            const std::uint32_t index = events[static_cast<std::size_t>(e)].data.u32;
            Conn& c = conns[index];
            if (c.failed || c.finished) {
                continue;
            }
            const auto flags = events[static_cast<std::size_t>(e)].events;
            if (!c.connected && (flags & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
                int err = 0;
                socklen_t len = sizeof err;
                getsockopt(c.fd.get(), SOL_SOCKET, SO_ERROR, &err, &len);
                if (err != 0) {
                    fail(c);
                    continue;
                }
                c.connected = true;
            }
            if ((flags & EPOLLOUT) && !c.out.empty()) {
                flush(c, index);
                if (c.failed) {
                    continue;
                }
            }
            if (flags & (EPOLLIN | EPOLLERR | EPOLLHUP)) {
                ssize_t r = recv(c.fd.get(), buf.data(), 256 - c.got, 0);
                if (r <= 0) {
                    if (r < 0 && errno == EAGAIN) {
                        continue;
                    }
                    fail(c);
                    continue;
                }
                const auto expected = static_cast<std::uint8_t>(c.rounds_done + 1);
                if (std::any_of(buf.begin(), buf.begin() + r,
                                [&](std::uint8_t b) { return b != expected; })) {
                    fail(c);
                    continue;
                }
                c.got += static_cast<std::size_t>(r);
                if (c.got == 256) {
                    c.got = 0;
                    if (++c.rounds_done == rounds) {
                        c.finished = true;
                        epoll_ctl(ep.get(), EPOLL_CTL_DEL, c.fd.get(), nullptr);
                        --active;
                        continue;
                    }
                    c.out = request_of(c.rounds_done);
                    flush(c, index);
                }
            }
        }
    }
    const double elapsed = seconds_since(start);
    int finished = 0;
    for (const Conn& c : conns) {
        finished += c.finished ? 1 : 0;
    }
    result.failures = pairs - finished;
    result.round_trips_per_second = static_cast<double>(finished) * rounds / elapsed;
    return result;
}

// Peak relay RSS (kB) while the receiving side does not read for `hold_ms`: 'H' the server does
// not read what the client sends, 'R' the client does not read what the server sends.
struct Stall {
    bool ok = false;
    long idle_kb = 0;  // the fresh relay process before the connection
    long peak_kb = 0;
    long growth_kb() const { return peak_kb - idle_kb; }
};

Stall stalled(const Path& path, const RelayProcess& relay, char mode, std::uint64_t bytes,
              int hold_ms) {
    Stall result;
    Fd fd = connect_to(path.target);
    if (!fd) {
        return result;
    }
    const auto header = encode({mode, bytes, static_cast<std::uint64_t>(hold_ms)});
    if (!write_all(fd.get(), header.data(), header.size())) {
        return result;
    }
    std::vector<std::uint8_t> buffer(1 << 20, 0x77);
    if (mode == 'H') {
        std::uint8_t ack = 0;
        result.ok = send_bytes(fd.get(), bytes, buffer) && read_all(fd.get(), &ack, 1);
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(hold_ms));
        result.ok = drain(fd.get(), bytes, buffer);
    }
    result.peak_kb = relay.status_kb("VmHWM:");
    return result;
}

// The growth of a relay process's RSS per pair while `pairs` connections are open, each of them
// idle after one round trip of 256 bytes. One pair is opened and closed first, so that what the
// first pair of a process sets up once is not counted.
struct IdlePairs {
    bool ok = false;
    int opened = 0;
    double kib_per_pair = 0;
};

IdlePairs idle_pairs(const Path& path, pid_t relay_pid, int pairs, std::chrono::seconds limit) {
    IdlePairs result;
    const auto header = encode({'E', 0, 0});
    std::array<std::uint8_t, HEADER_SIZE + 256> request{};
    std::copy(header.begin(), header.end(), request.begin());
    std::fill(request.begin() + HEADER_SIZE, request.end(), 0x42);
    auto one_round_trip = [&]() -> Fd {
        Fd fd = connect_to(path.target);
        std::array<std::uint8_t, 256> answer{};
        if (!fd || !write_all(fd.get(), request.data(), request.size()) ||
            !read_all(fd.get(), answer.data(), answer.size())) {
            return Fd();
        }
        return fd;
    };
    if (!one_round_trip()) {
        return result;
    }
    // What the relay does after a close (the shutdowns, releasing the pair) is over by then.
    std::this_thread::sleep_for(300ms);
    const long before_kb = process_status_kb(relay_pid, "VmRSS:");
    std::vector<Fd> open;
    open.reserve(static_cast<std::size_t>(pairs));
    const auto deadline = Clock::now() + limit;
    while (static_cast<int>(open.size()) < pairs && Clock::now() < deadline) {
        Fd fd = one_round_trip();
        if (!fd) {
            break;
        }
        open.push_back(std::move(fd));
    }
    result.opened = static_cast<int>(open.size());
    // The last answers' writes and any work the relay does after them are over by then.
    std::this_thread::sleep_for(500ms);
    const long after_kb = process_status_kb(relay_pid, "VmRSS:");
    result.ok = result.opened == pairs && before_kb > 0 && after_kb > 0;
    result.kib_per_pair = static_cast<double>(after_kb - before_kb) / pairs;
    return result;
}

// ---- the report ------------------------------------------------------------------------------

// The machine's load, printed with the results: a relay process suffers more than kernel
// forwarding when other work competes for the CPUs.
std::string load_average() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

std::string num(double v, int decimals = 1) {
    return fmt::format("{:.{}f}", v, decimals);
}

// A label, one cell per path and the relay's ratios to the other three paths.
using Cells = std::array<std::string, PATHS>;
using Ratios = std::array<std::string, PATHS - 1>;

void row(const std::string& what, const Cells& paths, const Ratios& ratios) {
    fmt::print("{:<52} {:>9} {:>9} {:>9} {:>9} {:>9} {:>9} {:>9}\n", what, paths[D], paths[H],
               paths[M], paths[R], ratios[D], ratios[H], ratios[M]);
}

// One value per path with the relay's ratios to the others; `present` false for a path that gave
// no value, 0 for one that was not measured or failed.
void ratio_row(const std::string& what, const std::array<double, PATHS>& v,
               const bool (&present)[PATHS], int decimals = 1) {
    Cells cells;
    Ratios ratios;
    for (int p = 0; p < PATHS; ++p) {
        cells[static_cast<std::size_t>(p)] = present[p] ? num(v[p], decimals) : "-";
    }
    for (int p = 0; p < R; ++p) {
        ratios[static_cast<std::size_t>(p)] =
            present[p] && present[R] && v[p] > 0 ? num(v[R] / v[p], 2) : "-";
    }
    row(what, cells, ratios);
}

struct Goal {
    std::string text;
    bool met;
    bool measured = true;
};

int run_bench(bool quick, const std::string& only) {
    auto want = [&](const char* group) { return only.empty() || only == group; };
    if (geteuid() != 0) {
        fmt::print(stderr, "relay_bench must run as root (it makes network namespaces)\n");
        return 1;
    }
    raise_fd_limit();
    const Names names(std::to_string(getpid()));
    Namespaces namespaces(names);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        std::signal(sig, on_fatal_signal);
    }
    if (!namespaces.create()) {
        return 1;
    }
    Server server;
    if (!server.start(names.ns_server)) {
        fmt::print(stderr, "server did not start\n");
        return 1;
    }
    RelayProcess relay("--relay-child", g_relay_pid);
    if (!relay.start(names.tag)) {
        fmt::print(stderr, "relay did not start\n");
        return 1;
    }
    RelayProcess minimal("--minimal-child", g_minimal_pid);
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
    const std::uint64_t bulk = quick ? (256ull << 20) : (1ull << 30);
    const int rtts = quick ? 5000 : 20000;
    const int rate_per_worker = quick ? 1000 : 2500;
    constexpr int RATE_WORKERS = 4;
    constexpr int BULK_ROUNDS = 4, LATENCY_ROUNDS = 10, RATE_ROUNDS = 8;
    constexpr int LATENCY_WARMUP = 200;  // per connection, not counted
    constexpr auto RATE_LIMIT = 20s;     // per path over all its rounds
    const Path direct{"direct", {SERVER_IP, SERVER_PORT}};
    const Path proxied{"haproxy", {RELAY_C_IP, HAPROXY_PORT}};
    const Path least{"minimal", {RELAY_C_IP, MINIMAL_PORT}};
    const Path relayed{"relay", {RELAY_C_IP, RELAY_PORT}};
    const Path paths[PATHS] = {direct, proxied, least, relayed};
    const pid_t relay_pids[PATHS] = {0, haproxy.pid(), minimal.pid(), relay.pid()};
    const bool available[PATHS] = {true, haproxy_missing.empty(), true, true};

    Throughput up_runs[PATHS], down_runs[PATHS], both_runs[PATHS];
    double cpu[PATHS] = {};
    Samples plain_runs[PATHS], split_runs[PATHS];
    Rate rate[PATHS];
    Concurrent many[PATHS];
    const bool entered = in_namespace(names.ns_client, [&] {
        if (want("bulk")) {
            in_rounds(BULK_ROUNDS, available, [&](int p, int r) {
                const std::uint64_t bytes = share_of(bulk, BULK_ROUNDS, r);
                const double cpu_before = relay_pids[p] > 0 ? cpu_seconds(relay_pids[p]) : 0;
                if (!up_runs[p].failed) {
                    up_runs[p].add(bytes, bulk_one_way(paths[p], 'S', bytes));
                }
                if (!down_runs[p].failed) {
                    down_runs[p].add(bytes, bulk_one_way(paths[p], 'R', bytes));
                }
                if (!both_runs[p].failed) {
                    both_runs[p].add(bytes, bulk_both_ways(paths[p], bytes));
                }
                if (relay_pids[p] > 0) {
                    cpu[p] += cpu_seconds(relay_pids[p]) - cpu_before;
                }
            });
        }
        if (want("latency")) {
            in_rounds(LATENCY_ROUNDS, available, [&](int p, int r) {
                const int count = share_of(rtts, LATENCY_ROUNDS, r);
                for (const bool split_writes : {false, true}) {
                    Samples& runs = (split_writes ? split_runs : plain_runs)[p];
                    if (!runs.failed) {
                        runs.failed =
                            !round_trips(paths[p], LATENCY_WARMUP, count, split_writes, runs);
                    }
                }
            });
        }
        if (want("rate")) {
            in_rounds(RATE_ROUNDS, available, [&](int p, int r) {
                // Each path has the same time over all its rounds as it had in one run.
                const auto left = RATE_LIMIT - std::chrono::duration<double>(rate[p].seconds);
                if (left > 0s) {
                    rate[p] += connection_rate(
                        paths[p], RATE_WORKERS, share_of(rate_per_worker, RATE_ROUNDS, r),
                        Clock::now() + std::chrono::duration_cast<Clock::duration>(left));
                }
            });
        }
        for (int p = 0; p < PATHS && want("pairs"); ++p) {
            if (available[p]) {
                many[p] = concurrent_pairs(paths[p], 1000, quick ? 10 : 50, 60s);
            }
        }
    });
    haproxy.stop();
    minimal.stop();
    if (!entered) {
        return 1;
    }
    std::array<double, PATHS> up{}, down{}, both{};
    std::array<double, PATHS> cpu_per_gib{};
    Latency plain[PATHS], split[PATHS];
    for (int p = 0; p < PATHS; ++p) {
        up[p] = up_runs[p].mib_per_second();
        down[p] = down_runs[p].mib_per_second();
        both[p] = both_runs[p].mib_per_second();
        // One way twice and both ways once: four times the bytes through the relay.
        const double gib = 4.0 * static_cast<double>(bulk) / (1024.0 * MIB);
        cpu_per_gib[p] = relay_pids[p] > 0 ? cpu[p] / gib : 0;
        plain[p] = plain_runs[p].latency();
        split[p] = split_runs[p].latency();
    }

    // Memory: the peak growth of the relay's RSS while one receiver does not read, once with
    // 64 MiB and once with 16 times that sent towards it.
    relay.stop();
    long idle_kb = 0;
    Stall stall_small_h, stall_large_h, stall_small_r, stall_large_r;
    const std::uint64_t small = 64ull << 20;
    const std::uint64_t large = quick ? (256ull << 20) : (1ull << 30);
    if (want("memory")) {
        // Each case on a fresh relay process, so that what an earlier run left in its heap
        // neither hides nor adds to the growth.
        auto measure = [&](Stall& result, char mode, std::uint64_t bytes) {
            if (!relay.start(names.tag)) {
                fmt::print(stderr, "relay did not restart\n");
                return false;
            }
            const long idle = relay.status_kb("VmRSS:");
            const bool ran = in_namespace(
                names.ns_client, [&] { result = stalled(relayed, relay, mode, bytes, 2000); });
            result.idle_kb = idle;
            relay.stop();
            return ran;
        };
        if (!measure(stall_small_h, 'H', small) || !measure(stall_large_h, 'H', large) ||
            !measure(stall_small_r, 'R', small) || !measure(stall_large_r, 'R', large)) {
            return 1;
        }
        idle_kb = stall_small_h.idle_kb;
    }

    // Memory of idle pairs: each relay on a fresh process, for the same reason.
    constexpr int IDLE_PAIRS = 1000;
    constexpr auto IDLE_LIMIT = 60s;  // for opening the pairs, per path
    IdlePairs idle[PATHS];
    if (want("idle")) {
        const auto measure = [&](int p, pid_t pid) {
            return in_namespace(names.ns_client, [&] {
                idle[p] = idle_pairs(paths[p], pid, IDLE_PAIRS, IDLE_LIMIT);
            });
        };
        if (!relay.start(names.tag)) {
            fmt::print(stderr, "relay did not restart\n");
            return 1;
        }
        const bool ran = measure(R, relay.pid());
        relay.stop();
        if (!ran) {
            return 1;
        }
        if (minimal.start(names.tag)) {
            measure(M, minimal.pid());
        } else {
            fmt::print(stderr, "minimal relay did not restart\n");
        }
        minimal.stop();
        if (available[H]) {
            if (haproxy.start(names)) {
                measure(H, haproxy.pid());
            } else {
                fmt::print(stderr, "haproxy did not restart\n");
            }
            haproxy.stop();
        }
    }

    fmt::print(
        "relay benchmark: {} bulk bytes per run in {} rounds, {} round trips per latency run in {} "
        "rounds, {} connections per rate run in {} rounds\n",
        bulk, BULK_ROUNDS, rtts, LATENCY_ROUNDS, RATE_WORKERS * rate_per_worker, RATE_ROUNDS);
    fmt::print("load average before {}, after {}\n", load_before, load_average());
    fmt::print(
        "bounds: held client bytes {} KiB, queue towards each side {} KiB; minimal relay {} KiB "
        "unsent per direction\n\n",
        tessaro::TCP_PROXY_PENDING_BOUND / 1024, tessaro::TCP_PROXY_QUEUE_BOUND / 1024,
        MINIMAL_BOUND / 1024);
    if (!haproxy_missing.empty()) {
        fmt::print("{}: its column and goals are left out\n", haproxy_missing);
    }
    // Only the rows of the groups measured.
    row("", {"direct", "haproxy", "minimal", "relay"}, {"relay/dir", "relay/hap", "relay/min"});
    if (want("bulk")) {
        ratio_row("bulk client->server (MiB/s)", up, available, 0);
        ratio_row("bulk server->client (MiB/s)", down, available, 0);
        ratio_row("bulk both ways (MiB/s each way)", both, available, 0);
        const bool relay_processes[PATHS] = {false, available[H], true, true};
        ratio_row("CPU seconds per GiB relayed (bulk)", cpu_per_gib, relay_processes, 2);
    }
    const auto values = [](auto&& of) {
        return std::array<double, PATHS>{of(D), of(H), of(M), of(R)};
    };
    const auto counts = [&](auto&& of) {
        Cells cells;
        for (int p = 0; p < PATHS; ++p) {
            cells[static_cast<std::size_t>(p)] = available[p] ? std::to_string(of(p)) : "-";
        }
        return cells;
    };
    if (want("latency")) {
        ratio_row("round trip 256 B p50 (us)", values([&](int p) { return plain[p].p50_us; }),
                  available);
        ratio_row("round trip 256 B p99 (us)", values([&](int p) { return plain[p].p99_us; }),
                  available);
        ratio_row("round trip 2+254 B p50 (us)", values([&](int p) { return split[p].p50_us; }),
                  available);
        ratio_row("round trip 2+254 B p99 (us)", values([&](int p) { return split[p].p99_us; }),
                  available);
    }
    if (want("rate")) {
        ratio_row("connections/s (connect, round trip, close)",
                  values([&](int p) { return rate[p].per_second(); }), available, 0);
        row("  failed connections", counts([&](int p) { return rate[p].failures; }), {});
    }
    if (want("pairs")) {
        ratio_row("1000 pairs: round trips/s",
                  values([&](int p) { return many[p].round_trips_per_second; }), available, 0);
        row("1000 pairs: failed pairs", counts([&](int p) { return many[p].failures; }), {});
    }
    const std::pair<const char*, const Stall*> stalls[] = {
        {"server not reading", &stall_small_h},
        {"server not reading", &stall_large_h},
        {"client not reading", &stall_small_r},
        {"client not reading", &stall_large_r},
    };
    if (want("memory")) {
        row("relay RSS idle (KiB)", {"-", "-", "-", std::to_string(idle_kb)}, {});
        for (std::size_t i = 0; i < std::size(stalls); ++i) {
            row(fmt::format("peak RSS growth, {}, {} MiB (KiB)", stalls[i].first,
                            (i % 2 == 0 ? small : large) >> 20),
                {"-", "-", "-",
                 stalls[i].second->ok ? std::to_string(stalls[i].second->growth_kb()) : "failed"},
                {});
        }
    }
    if (want("idle")) {
        const bool measured[PATHS] = {false, idle[H].ok, idle[M].ok, idle[R].ok};
        ratio_row(
            fmt::format("idle memory per pair after one round trip, {} pairs (KiB)", IDLE_PAIRS),
            values([&](int p) { return idle[p].kib_per_pair; }), measured);
        if (!idle[R].ok) {
            fmt::print(stderr, "idle pairs: the relay took {} of {} pairs\n", idle[R].opened,
                       IDLE_PAIRS);
        }
    }

    const bool stalls_ok =
        stall_small_h.ok && stall_large_h.ok && stall_small_r.ok && stall_large_r.ok;
    const long most_growth = std::max({stall_small_h.growth_kb(), stall_large_h.growth_kb(),
                                       stall_small_r.growth_kb(), stall_large_r.growth_kb()});
    // One stalled pair may hold a full queue plus what is in flight: a few bounds' worth.
    const long budget_kb = static_cast<long>(
        (tessaro::TCP_PROXY_PENDING_BOUND + 2 * tessaro::TCP_PROXY_QUEUE_BOUND + 4 * 65536) / 1024);
    bool lat_ok = true;
    for (int p = 0; p < PATHS; ++p) {
        lat_ok = lat_ok && (!available[p] || (plain[p].ok && split[p].ok));
    }
    // Bulk at least `share` of path p's, in each direction and both ways.
    const auto bulk_at_least = [&](double share, int p) {
        return up[R] >= share * up[p] && down[R] >= share * down[p] && both[R] >= share * both[p] &&
               up[R] > 0 && down[R] > 0 && both[R] > 0;
    };
    const auto cpu_at_most = [&](double share, int p) {
        return cpu_per_gib[R] > 0 && cpu_per_gib[p] > 0 && cpu_per_gib[R] <= share * cpu_per_gib[p];
    };
    // The relay against haproxy and the minimal relay in the same run: ratios to the direct path
    // differ between machines, these do not.
    const bool with_haproxy = available[H];
    const std::vector<Goal> goals = {
        {"bulk up, down and both ways >= 1.4x haproxy", bulk_at_least(1.4, H),
         want("bulk") && with_haproxy},
        {"bulk up, down and both ways >= 0.8x the minimal relay", bulk_at_least(0.8, M),
         want("bulk")},
        {"CPU per GiB <= 0.75x haproxy", cpu_at_most(0.75, H), want("bulk") && with_haproxy},
        {"CPU per GiB <= 1.25x the minimal relay", cpu_at_most(1.25, M), want("bulk")},
        {"round trip p50 <= 0.95x haproxy", lat_ok && plain[R].p50_us <= 0.95 * plain[H].p50_us,
         want("latency") && with_haproxy},
        // A request in two writes costs one more small segment on any path; what must not
        // happen is a delayed-acknowledgement stall (tens of ms) or a penalty beyond the direct
        // path's.
        {"split-write p50 <= 1.25x plain, or its extra cost <= 1.5x the direct path's; p99 < 5 ms",
         lat_ok && split[R].p99_us < 5000 &&
             (split[R].p50_us <= 1.25 * plain[R].p50_us ||
              split[R].p50_us - plain[R].p50_us <=
                  1.5 * std::max(0.0, split[D].p50_us - plain[D].p50_us)),
         want("latency")},
        {"connection rate >= 1.05x haproxy",
         rate[R].per_second() >= 1.05 * rate[H].per_second() && rate[R].failures == 0,
         want("rate") && with_haproxy},
        {"0 failures at 1000 pairs", many[R].failures == 0 && many[D].failures == 0, want("pairs")},
        // Sixteen times the bytes may not cost more than a fraction of the same budget: what
        // varies between runs is the heap's layout, not the bytes held.
        {fmt::format("stalled peak RSS growth <= {} KiB, and 16x the bytes adds < {} KiB",
                     budget_kb, budget_kb / 2),
         stalls_ok && most_growth <= budget_kb &&
             stall_large_h.growth_kb() - stall_small_h.growth_kb() < budget_kb / 2 &&
             stall_large_r.growth_kb() - stall_small_r.growth_kb() < budget_kb / 2,
         want("memory")},
        {fmt::format("idle memory per pair after one round trip <= 8 KiB ({} pairs)", IDLE_PAIRS),
         idle[R].ok && idle[R].kib_per_pair <= 8, want("idle")},
    };
    fmt::print("\n");
    bool all = true;
    for (const Goal& g : goals) {
        if (g.measured) {
            fmt::print("{:<5} {}\n", g.met ? "MET" : "MISS", g.text);
            all = all && g.met;
        }
    }
    return all ? 0 : 3;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::string(argv[1]) == "--relay-child") {
        return relay_child_main(argv[2]);
    }
    if (argc >= 3 && std::string(argv[1]) == "--minimal-child") {
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
