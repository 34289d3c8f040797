// The dialog thread's hand-over and join with stand-in bodies on real threads; the native-tsan
// build checks that the two threads meet only where they should.
#include <atomic>
#include <stdexcept>

#include <gtest/gtest.h>

#include "winconfig/dialog_thread.hpp"

namespace tessaro::winconfig {
namespace {

constexpr NoticeSender main_notice{100, 1};
constexpr NoticeSender dialog_notice{200, 2};

struct Opening {
    HandOverReceiver receiver;
    DialogThread thread;
};

Opening open_with(DialogBody body) {
    auto [sender, receiver] = make_hand_over_channel();
    DialogStart start{main_notice, ProxyStatus{}, DeviceKind::Pinpad, std::move(sender)};
    auto thread = DialogThread::start(std::move(start), std::move(body));
    EXPECT_TRUE(thread.has_value());
    return {std::move(receiver), std::move(*thread)};
}

TEST(DialogThread, HandsOverTheDialogNoticeAndEndsWithTheBodyResult) {
    ProxyStatus::Connected connected{"Ethernet", Ipv4Addr{{10, 0, 0, 1}}, std::nullopt,
                                     Ipv4Addr{{10, 0, 0, 2}}, MacAddress{{1, 2, 3, 4, 5, 6}}};
    auto [sender, receiver] = make_hand_over_channel();
    DialogStart start{main_notice, ProxyStatus{connected}, DeviceKind::Terminal, std::move(sender)};
    std::atomic<bool> release{false};
    auto thread = DialogThread::start(std::move(start), [&](DialogStart s) -> VoidResult {
        // The record arrives whole on the new thread.
        EXPECT_EQ(s.main_notice, main_notice);
        EXPECT_EQ(s.kind, DeviceKind::Terminal);
        EXPECT_EQ(s.snapshot, ProxyStatus{connected});
        if (auto sent = s.hand_over.send(dialog_notice); !sent) {
            return fail(sent.error());
        }
        while (!release.load()) {
            std::this_thread::yield();
        }
        return {};
    });
    ASSERT_TRUE(thread.has_value());
    EXPECT_EQ(receiver.receive(), dialog_notice);
    release = true;
    auto end = thread->join();
    ASSERT_TRUE(end.has_value());
    EXPECT_TRUE(end->has_value());
}

TEST(DialogThread, AnEndBeforeTheHandOverEndsTheWait) {
    // An error value comes back unchanged; an escaping exception is caught at the thread's
    // boundary and reported at the join.
    auto failed = open_with([](DialogStart) -> VoidResult { return fail("Could not build"); });
    EXPECT_EQ(failed.receiver.receive(), std::nullopt);
    auto failed_end = failed.thread.join();
    ASSERT_TRUE(failed_end.has_value());
    ASSERT_FALSE(failed_end->has_value());
    EXPECT_EQ(failed_end->error().message(), "Could not build");

    auto thrown = open_with([](DialogStart) -> VoidResult { throw std::runtime_error("boom"); });
    EXPECT_EQ(thrown.receiver.receive(), std::nullopt);
    EXPECT_FALSE(thrown.thread.join().has_value());
    EXPECT_EQ(dialog_thread_panicked_error().message(), "Dialog thread panicked: Any { .. }");
}

TEST(DialogThread, AnAbortAfterTheHandOverStillSignalsTheMainWindow) {
    auto [sender, receiver] = make_hand_over_channel();
    DialogStart start{main_notice, ProxyStatus{}, DeviceKind::Terminal, std::move(sender)};
    std::optional<NoticeSender> signalled;  // written by the thread, read after the join
    auto thread = DialogThread::start(
        std::move(start),
        [](DialogStart s) -> VoidResult {
            EXPECT_TRUE(s.hand_over.send(dialog_notice).has_value());
            throw std::runtime_error("lost in the message loop");
        },
        [&](NoticeSender notice) { signalled = notice; });
    ASSERT_TRUE(thread.has_value());
    EXPECT_EQ(receiver.receive(), dialog_notice);
    EXPECT_FALSE(thread->join().has_value());
    EXPECT_EQ(signalled, main_notice);

    // A body that ends normally signals by itself; the boundary adds nothing.
    auto [sender2, receiver2] = make_hand_over_channel();
    signalled.reset();
    auto normal = DialogThread::start(
        DialogStart{main_notice, ProxyStatus{}, DeviceKind::Terminal, std::move(sender2)},
        [](DialogStart) -> VoidResult { return {}; },
        [&](NoticeSender notice) { signalled = notice; });
    ASSERT_TRUE(normal.has_value());
    EXPECT_TRUE(normal->join().has_value());
    EXPECT_EQ(signalled, std::nullopt);
}

TEST(DialogThread, SendingFailsOnceTheReceiverIsGoneOrAValueWasSent) {
    auto [sender, receiver] = make_hand_over_channel();
    EXPECT_TRUE(sender.send(dialog_notice).has_value());
    auto again = sender.send(dialog_notice);
    ASSERT_FALSE(again.has_value());
    EXPECT_EQ(again.error().message(), "sending on a closed channel");

    auto [sender2, receiver2] = make_hand_over_channel();
    { auto gone = std::move(receiver2); }
    auto closed = sender2.send(dialog_notice);
    ASSERT_FALSE(closed.has_value());
    EXPECT_EQ(closed.error().message(), "sending on a closed channel");
}

TEST(DialogThread, ADetachedThreadGoesOnByItself) {
    std::atomic<bool> release{false};
    std::atomic<bool> ended{false};
    {
        auto opening = open_with([&](DialogStart s) -> VoidResult {
            EXPECT_TRUE(s.hand_over.send(dialog_notice).has_value());
            while (!release.load()) {
                std::this_thread::yield();
            }
            ended = true;
            return {};
        });
        EXPECT_EQ(opening.receiver.receive(), dialog_notice);
        opening.thread.detach();
    }
    release = true;
    for (int i = 0; i < 5000 && !ended.load(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(ended.load());
}

}  // namespace
}  // namespace tessaro::winconfig
