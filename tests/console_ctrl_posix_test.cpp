// The console run's stop on SIGINT, SIGTERM and SIGHUP: every signal reaches the stop function
// once, on the thread "ctrl-c", and the machinery is set up once per process.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include <pthread.h>

#include "proxy/console_ctrl.hpp"

using namespace tessaro;

TEST(ConsoleCtrl, EachSignalStopsOnceOnTheCtrlCThread) {
    std::mutex mutex;
    std::condition_variable changed;
    int calls = 0;
    std::vector<std::string> threads;
    auto armed = console_ctrl::set_handler([&] {
        char name[16] = {};
        pthread_getname_np(pthread_self(), name, sizeof(name));
        std::lock_guard lock(mutex);
        ++calls;
        threads.emplace_back(name);
        changed.notify_all();
    });
    ASSERT_TRUE(armed.has_value()) << armed.error().message();

    // Two quick interrupts count twice: the semaphore keeps every event.
    int sent = 0;
    for (int signal_number : {SIGINT, SIGINT, SIGTERM, SIGHUP}) {
        ASSERT_EQ(std::raise(signal_number), 0);
        ++sent;
    }
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return calls == sent; }))
        << calls;
    for (const auto& name : threads) {
        EXPECT_EQ(name, "ctrl-c");
    }
    lock.unlock();

    auto again = console_ctrl::set_handler([] {});
    ASSERT_FALSE(again.has_value());
    EXPECT_NE(again.error().message().find("Could not set the console control handler"),
              std::string::npos);
}
