// Private network namespaces for tests, made without names so that nothing outlives the test
// process: the process moves itself into a fresh namespace, and a "peer" thread moves into a
// second one; a veth pair joins the two. Needs root (CAP_SYS_ADMIN, CAP_NET_ADMIN).
#pragma once

#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <functional>

#include <gtest/gtest.h>
#include <future>
#include <mutex>
#include <string>
#include <thread>

namespace tessaro::nettest {

inline bool run_command(const std::string& command) {
    return std::system(command.c_str()) == 0;
}

// Moves the whole process into a fresh network namespace with loopback up.
inline bool enter_private_netns() {
    if (unshare(CLONE_NEWNET) != 0) {
        return false;
    }
    return run_command("ip link set lo up");
}

// A thread in a network namespace of its own; tasks run on it one after another, so the sockets
// they make live in that namespace.
class PeerNamespace {
  public:
    PeerNamespace() {
        std::promise<pid_t> tid;
        auto ready = tid.get_future();
        thread_ = std::thread([this, &tid] {
            bool ok = unshare(CLONE_NEWNET) == 0;
            tid.set_value(ok ? static_cast<pid_t>(syscall(SYS_gettid)) : -1);
            loop();
        });
        tid_ = ready.get();
        if (tid_ > 0) {
            run([] { return run_command("ip link set lo up"); });
        }
    }
    ~PeerNamespace() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

    bool ok() const { return tid_ > 0; }
    // The namespace as `ip link set ... netns` takes it.
    std::string netns_arg() const { return std::to_string(tid_); }

    template <typename F>
    auto run(F&& f) -> decltype(f()) {
        using R = decltype(f());
        std::packaged_task<R()> task(std::forward<F>(f));
        auto result = task.get_future();
        {
            std::lock_guard lock(mutex_);
            tasks_.emplace_back([&task] { task(); });
        }
        cv_.notify_all();
        return result.get();
    }

    // Runs `command` through the shell inside the peer namespace.
    bool shell(const std::string& command) {
        return run([command] { return run_command(command); });
    }

  private:
    void loop() {
        for (;;) {
            std::function<void()> task;
            {
                std::unique_lock lock(mutex_);
                cv_.wait(lock, [this] { return done_ || !tasks_.empty(); });
                if (tasks_.empty()) {
                    return;
                }
                task = std::move(tasks_.front());
                tasks_.pop_front();
            }
            task();
        }
    }

    std::thread thread_;
    pid_t tid_ = -1;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> tasks_;
    bool done_ = false;
};

// A test environment: the process in a private namespace with a LAN adapter `lan0` at
// `lan_cidr`. The LAN side needs only an address of its own: a veth whose peer end stays here.
class PrivateLan : public ::testing::Environment {
  public:
    explicit PrivateLan(std::string lan_cidr) : lan_cidr_(std::move(lan_cidr)) {}
    void SetUp() override {
        ASSERT_TRUE(enter_private_netns()) << "needs root";
        ASSERT_TRUE(run_command("ip link add lan0 type veth peer name lan0p && ip addr add " +
                                lan_cidr_ +
                                " brd + dev lan0 && ip link set lan0p up && ip link set lan0 up"));
    }

  private:
    std::string lan_cidr_;
};

// A veth pair: `local` in the process's namespace, `remote` in the peer's, each with its
// address (with prefix length, broadcast derived) and the given MAC.
inline bool make_veth(PeerNamespace& peer, const std::string& local, const std::string& local_cidr,
                      const std::string& remote, const std::string& remote_cidr,
                      const std::string& remote_mac = "") {
    if (!run_command("ip link add " + local + " type veth peer name " + remote) ||
        !run_command("ip link set " + remote + " netns " + peer.netns_arg()) ||
        !run_command("ip addr add " + local_cidr + " brd + dev " + local) ||
        !run_command("ip link set " + local + " up")) {
        return false;
    }
    std::string mac =
        remote_mac.empty() ? "" : "ip link set " + remote + " address " + remote_mac + " && ";
    return peer.shell(mac + "ip addr add " + remote_cidr + " brd + dev " + remote +
                      " && ip link set " + remote + " up");
}

}  // namespace tessaro::nettest
