// The status dialog's thread, seen from the main window: the start record moved into the new
// thread, the one-value hand-over channel on which the dialog sends its own notice once its window
// exists, and the join that tells how the thread ended.
//
// The two threads share nothing else: the snapshot is copied before the thread starts, and they
// meet only at the channel, at the two notices and at the join. The dialog's window and message
// loop (run_status_dialog) belong to the Win32 view; the POSIX build has a stand-in that fails.
#pragma once

#include <condition_variable>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "common/error.hpp"
#include "common/settings.hpp"
#include "common/status.hpp"
#include "winconfig/config_view.hpp"

namespace tessaro::winconfig {

namespace detail {
// The one slot of a hand-over channel, shared by its two ends.
struct HandOverSlot {
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<NoticeSender> value;
    bool sender_alive = true;
    bool receiver_alive = true;
};

// One end's share of the slot: when the end goes (destroyed or assigned over) it marks itself
// gone and wakes a waiting peer.
class HandOverEnd {
  public:
    HandOverEnd(std::shared_ptr<HandOverSlot> slot, bool HandOverSlot::*alive)
        : slot_(std::move(slot)), alive_(alive) {}
    HandOverEnd(HandOverEnd&&) noexcept = default;
    HandOverEnd& operator=(HandOverEnd&& other) noexcept;
    HandOverEnd(const HandOverEnd&) = delete;
    HandOverEnd& operator=(const HandOverEnd&) = delete;
    ~HandOverEnd() { close(); }

    // None once moved from.
    HandOverSlot* slot() const { return slot_.get(); }

  private:
    void close();
    std::shared_ptr<HandOverSlot> slot_;
    bool HandOverSlot::*alive_;
};
}  // namespace detail

// The sending end, held by the dialog thread. Destroying it unsent ends the receiver's wait.
class HandOverSender {
  public:
    explicit HandOverSender(std::shared_ptr<detail::HandOverSlot> slot)
        : end_(std::move(slot), &detail::HandOverSlot::sender_alive) {}

    // Sends the dialog's notice; fails with "sending on a closed channel" when the receiving end
    // is gone, and when a value was sent already.
    [[nodiscard]] VoidResult send(NoticeSender dialog_notice);

  private:
    detail::HandOverEnd end_;
};

// The receiving end, held by the main window while it opens a dialog.
class HandOverReceiver {
  public:
    explicit HandOverReceiver(std::shared_ptr<detail::HandOverSlot> slot)
        : end_(std::move(slot), &detail::HandOverSlot::receiver_alive) {}

    // Blocks without time-out until the value arrives (given) or the sending end is gone unsent
    // (none).
    std::optional<NoticeSender> receive();

  private:
    detail::HandOverEnd end_;
};

std::pair<HandOverSender, HandOverReceiver> make_hand_over_channel();

// Everything the dialog thread gets; moved into it.
struct DialogStart {
    NoticeSender main_notice;  // signalled when the dialog has ended; its id names this opening
    ProxyStatus snapshot;      // shown unchanged, never refreshed
    DeviceKind kind;
    HandOverSender hand_over;  // carries the dialog's own notice once its window exists
};

// The dialog itself on the calling thread: builds it, hands its notice over, runs its message
// loop until "OK" or close, signals `main_notice` and destroys the dialog. Implemented by the
// Win32 view (status_dialog_win.cpp); the POSIX stand-in fails with "status dialogs need Windows".
[[nodiscard]] VoidResult run_status_dialog(DialogStart start);

// What runs on the dialog thread: run_status_dialog, or a test's stand-in.
using DialogBody = std::function<VoidResult(DialogStart)>;

// A C++ exception that escaped the dialog thread's body, caught at the thread boundary. Nothing
// of it is kept: it is shown only as "Any { .. }".
struct DialogThreadPanic {
    static constexpr const char* text = "Any { .. }";
};

// How the thread ended: the body's own result, or the panic.
using DialogThreadEnd = std::expected<VoidResult, DialogThreadPanic>;

// The dialog thread and what it leaves for the join. Destroying a thread that was neither joined
// nor detached releases it without waiting, as detach does.
class DialogThread {
  public:
    // Starts an unnamed thread with the default stack size running `body(start)`. Fails with
    // "Could not start dialog thread: " and the system's reason when no thread can be made.
    //
    // A body aborted by an exception never signals the main window's notice itself; once its
    // dialog was handed over, the main window would stay disabled for good. So the boundary
    // signals `main_notice` through `signal_main` after an abort (before the hand-over the extra
    // notice names an opening that was never tracked and does nothing).
    [[nodiscard]] static Result<DialogThread> start(
        DialogStart start, DialogBody body,
        std::function<void(NoticeSender)> signal_main = nullptr);

    DialogThread(DialogThread&&) noexcept = default;
    DialogThread& operator=(DialogThread&& other) noexcept;
    DialogThread(const DialogThread&) = delete;
    DialogThread& operator=(const DialogThread&) = delete;
    ~DialogThread();

    // Waits for the thread to end.
    DialogThreadEnd join();
    // Lets the thread go on by itself, untracked.
    void detach();

  private:
    struct Outcome {
        bool panicked = false;
        VoidResult result;
    };
    DialogThread(std::thread thread, std::shared_ptr<Outcome> outcome)
        : thread_(std::move(thread)), outcome_(std::move(outcome)) {}

    std::thread thread_;
    // Written by the thread before it ends, read only after the join; shared so that a detached
    // thread still has somewhere to write.
    std::shared_ptr<Outcome> outcome_;
};

// "Dialog thread panicked: Any { .. }": the error of a thread that ended abnormally before the
// hand-over.
Error dialog_thread_panicked_error();

}  // namespace tessaro::winconfig
