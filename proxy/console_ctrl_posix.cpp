// POSIX: SIGINT, SIGTERM and SIGHUP post an unnamed semaphore; the thread "ctrl-c" waits on it.
#include "proxy/console_ctrl.hpp"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>

#include <pthread.h>
#include <semaphore.h>

#include "common/os/system_error.hpp"

namespace tessaro::console_ctrl {

namespace {

// Process-wide by nature: the signal handler can reach nothing else.
sem_t events;
std::atomic<bool> taken{false};

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void on_signal(int) {
    int saved = errno;
    sem_post(&events);  // async-signal-safe; EOVERFLOW only past SEM_VALUE_MAX events
    errno = saved;
}

void report_wait_failure(int code) {
    std::string text = "Critical system error while waiting for Ctrl-C: " +
                       os::system_error_text(static_cast<std::uint32_t>(code)) + "\n";
    std::fputs(text.c_str(), stderr);
}

// Body of the thread "ctrl-c": one call of the stop function per event, until waiting fails.
extern "C" void* ctrl_c_waiter(void* argument) {
    auto* stop = static_cast<StopFunction*>(argument);
    pthread_setname_np(pthread_self(), "ctrl-c");
    for (;;) {
        if (sem_wait(&events) != 0) {
            int code = errno;
            if (code == EINTR) {
                continue;
            }
            report_wait_failure(code);
            return nullptr;  // the function stays: the process ends soon enough
        }
        (*stop)();
    }
}

VoidResult system_failure(const char* what, int code) {
    return fail(std::string("Could not set the console control handler: ") + what + ": " +
                os::system_error_text(static_cast<std::uint32_t>(code)));
}

}  // namespace

VoidResult set_handler(StopFunction stop) {
    if (taken.exchange(true)) {
        return fail("Could not set the console control handler: it is set already");
    }
    if (sem_init(&events, 0, 0) != 0) {
        return system_failure("sem_init", errno);
    }
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    // Other threads' system calls go on after an event instead of failing with EINTR.
    action.sa_flags = SA_RESTART;
    for (int signal_number : stop_signals) {
        if (sigaction(signal_number, &action, nullptr) != 0) {
            return system_failure("sigaction", errno);
        }
    }
    // Owned by the thread, which runs until the process ends.
    auto* function = new StopFunction(std::move(stop));
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int code = pthread_create(&thread, &attributes, ctrl_c_waiter, function);
    pthread_attr_destroy(&attributes);
    if (code != 0) {
        delete function;
        return system_failure("could not start the thread \"ctrl-c\"", code);
    }
    return {};
}

}  // namespace tessaro::console_ctrl
