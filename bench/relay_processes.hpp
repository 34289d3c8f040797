// The relays under test as the bench runs them, each a child process in the relay namespace:
// the node's relay and the minimal relay (this program again, with the option of
// relay_children.hpp), and haproxy. Also what the bench reads of a running process: its memory
// and its CPU time.
#pragma once

#include <sys/types.h>

#include <string>

#include "bench/namespaces.hpp"

namespace tessaro::bench {

// A field of /proc/<pid>/status in kB ("VmRSS:" now, "VmHWM:" the peak); -1 when it cannot be
// read.
long process_status_kb(pid_t pid, const char* field);

// CPU seconds (user and system) that a process has used so far; -1 when it cannot be read.
double cpu_seconds(pid_t pid);

// A relay child process of this program: `mode` is its option, `child` the slot where the
// fatal-signal handler finds it.
class RelayProcess {
  public:
    RelayProcess(const char* mode, Child child) : mode_(mode), pid_slot_(child_pid_slot(child)) {}

    // Runs the child and waits until it says it is ready; false when it does not.
    bool start(const std::string& tag);
    void stop();

    ~RelayProcess() { stop(); }

    // kB from /proc/<pid>/status: "VmRSS" now, "VmHWM" the peak.
    long status_kb(const char* field) const { return process_status_kb(pid_, field); }

    pid_t pid() const { return pid_; }

  private:
    const char* mode_;
    pid_t& pid_slot_;
    pid_t pid_ = 0;
};

// haproxy in the relay namespace, TCP mode with one thread, from the server to the same device.
class HaproxyProcess {
  public:
    // Installs the Debian package when haproxy is missing; false when it cannot be had.
    static bool ensure_installed();

    // Runs it and waits until it accepts from the client's side; false when it does not.
    bool start(const Names& n);
    void stop();

    ~HaproxyProcess() { stop(); }
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = 0;
    std::string config_;
};

}  // namespace tessaro::bench
