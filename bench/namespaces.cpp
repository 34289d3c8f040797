#include "bench/namespaces.hpp"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace tessaro::bench {

namespace {

// What a signal handler must find without locks or allocation, hence plain globals: the paths of
// the namespaces (umount + unlink is what `ip netns delete` does, and both are
// async-signal-safe) and the pids of the child processes.
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

}  // namespace

Names::Names(std::string t) : tag(std::move(t)) {
    ns_client = "tessaro-bench-" + tag + "-client";
    ns_relay = "tessaro-bench-" + tag + "-relay";
    ns_server = "tessaro-bench-" + tag + "-server";
    veth_client = "tb" + tag + "c";
    veth_relay_c = "tb" + tag + "rc";
    veth_relay_s = "tb" + tag + "rs";
    veth_server = "tb" + tag + "s";
}

bool sh(const std::string& command) {
    int rc = std::system((command + " >/dev/null 2>&1").c_str());
    if (rc != 0) {
        fmt::print(stderr, "failed: {}\n", command);
        return false;
    }
    return true;
}

bool Namespaces::create() {
    const std::string* all[] = {&n_.ns_client, &n_.ns_relay, &n_.ns_server};
    for (int i = 0; i < 3; ++i) {
        if (!sh("ip netns add " + *all[i])) {
            return false;
        }
        std::snprintf(g_ns_paths[i], sizeof g_ns_paths[i], "/var/run/netns/%s", all[i]->c_str());
    }
    const std::string c = n_.ns_client, r = n_.ns_relay, s = n_.ns_server;
    return sh(fmt::format("ip link add {} netns {} type veth peer name {} netns {}", n_.veth_client,
                          c, n_.veth_relay_c, r)) &&
           sh(fmt::format("ip link add {} netns {} type veth peer name {} netns {}", n_.veth_server,
                          s, n_.veth_relay_s, r)) &&
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
           sh(fmt::format("ip netns exec {} sysctl -qw net.ipv4.ip_local_port_range='10000 65000'",
                          c)) &&
           sh(fmt::format("ip netns exec {} sysctl -qw net.ipv4.ip_local_port_range='10000 65000'",
                          r));
}

void Namespaces::remove() {
    const std::string* all[] = {&n_.ns_client, &n_.ns_relay, &n_.ns_server};
    for (int i = 0; i < 3; ++i) {
        if (g_ns_paths[i][0] != '\0') {
            sh("ip netns delete " + *all[i]);
            g_ns_paths[i][0] = '\0';
        }
    }
}

void clean_up_on_fatal_signals() {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        std::signal(sig, on_fatal_signal);
    }
}

pid_t& child_pid_slot(Child child) {
    switch (child) {
        case Child::relay:
            return g_relay_pid;
        case Child::minimal:
            return g_minimal_pid;
        case Child::haproxy:
            break;
    }
    return g_haproxy_pid;
}

bool enter_namespace(const std::string& ns) {
    int fd = open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = setns(fd, CLONE_NEWNET) == 0;
    close(fd);
    return ok;
}

void raise_fd_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace tessaro::bench
