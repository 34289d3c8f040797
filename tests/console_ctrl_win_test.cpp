// Under Wine: console control events reach the stop function once each, on the thread "ctrl-c",
// and the machinery is set up once per process.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "common/os/windows.hpp"
#include "proxy/console_ctrl.hpp"

using namespace tessaro;

TEST(ConsoleCtrl, EachEventStopsOnce) {
    std::mutex mutex;
    std::condition_variable changed;
    int calls = 0;
    DWORD test_thread = GetCurrentThreadId();
    bool on_other_thread = true;
    auto armed = console_ctrl::set_handler([&] {
        std::lock_guard lock(mutex);
        ++calls;
        on_other_thread = on_other_thread && GetCurrentThreadId() != test_thread;
        changed.notify_all();
    });
    ASSERT_TRUE(armed.has_value()) << armed.error().message();

    // Ctrl-C reaches every process attached to the console; a console of our own keeps it here.
    FreeConsole();
    if (!AllocConsole()) {
        GTEST_SKIP() << "no console to send events to: " << GetLastError();
    }
    int sent = 0;
    for (int i = 0; i < 2; ++i) {
        if (GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) {
            ++sent;
        }
    }
    if (sent == 0) {
        GTEST_SKIP() << "console events cannot be generated here: " << GetLastError();
    }
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return calls == sent; }))
        << calls << " of " << sent;
    EXPECT_TRUE(on_other_thread);
    lock.unlock();

    auto again = console_ctrl::set_handler([] {});
    ASSERT_FALSE(again.has_value());
    EXPECT_NE(again.error().message().find("Could not set the console control handler"),
              std::string::npos);
}
