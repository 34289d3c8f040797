#include "bench/relay_processes.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <fmt/format.h>

#include "bench/sockets.hpp"

namespace tessaro::bench {

using namespace std::chrono_literals;

namespace {

// Asks a child process to end and waits for it, `grace` at the most before it is killed.
void end_child(pid_t pid, std::chrono::milliseconds grace) {
    kill(pid, SIGTERM);
    for (auto waited = 0ms; waited < grace; waited += 10ms) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            return;
        }
        std::this_thread::sleep_for(10ms);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

}  // namespace

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

bool RelayProcess::start(const std::string& tag) {
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

void RelayProcess::stop() {
    if (pid_ > 0) {
        end_child(pid_, 5s);
        pid_ = pid_slot_ = 0;
    }
}

bool HaproxyProcess::ensure_installed() {
    if (std::system("command -v haproxy >/dev/null 2>&1") == 0) {
        return true;
    }
    fmt::print(stderr, "installing haproxy (Debian package) for the comparison\n");
    return sh("DEBIAN_FRONTEND=noninteractive apt-get install -y -q haproxy") &&
           std::system("command -v haproxy >/dev/null 2>&1") == 0;
}

bool HaproxyProcess::start(const Names& n) {
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
    child_pid_slot(Child::haproxy) = pid_;
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

void HaproxyProcess::stop() {
    if (pid_ > 0) {
        end_child(pid_, 3s);
        pid_ = child_pid_slot(Child::haproxy) = 0;
    }
    if (!config_.empty()) {
        unlink(config_.c_str());
        config_.clear();
    }
}

}  // namespace tessaro::bench
