#include "winconfig/dialog_thread.hpp"

#include <exception>
#include <system_error>

namespace tessaro::winconfig {

namespace {
constexpr const char* closed_channel_text = "sending on a closed channel";
}

namespace detail {

HandOverEnd& HandOverEnd::operator=(HandOverEnd&& other) noexcept {
    if (this != &other) {
        close();
        slot_ = std::move(other.slot_);
        alive_ = other.alive_;
    }
    return *this;
}

void HandOverEnd::close() {
    if (!slot_) {
        return;
    }
    {
        std::lock_guard lock(slot_->mutex);
        (*slot_).*alive_ = false;
    }
    slot_->changed.notify_all();
    slot_.reset();
}

}  // namespace detail

VoidResult HandOverSender::send(NoticeSender dialog_notice) {
    detail::HandOverSlot* slot = end_.slot();
    if (slot == nullptr) {
        return fail(closed_channel_text);
    }
    {
        std::lock_guard lock(slot->mutex);
        if (!slot->receiver_alive || slot->value.has_value()) {
            return fail(closed_channel_text);
        }
        slot->value = dialog_notice;
    }
    slot->changed.notify_all();
    return {};
}

std::optional<NoticeSender> HandOverReceiver::receive() {
    detail::HandOverSlot* slot = end_.slot();
    if (slot == nullptr) {
        return std::nullopt;
    }
    std::unique_lock lock(slot->mutex);
    slot->changed.wait(lock, [&] { return slot->value.has_value() || !slot->sender_alive; });
    // A value sent just before the sender went is still delivered.
    return std::exchange(slot->value, std::nullopt);
}

std::pair<HandOverSender, HandOverReceiver> make_hand_over_channel() {
    auto slot = std::make_shared<detail::HandOverSlot>();
    return {HandOverSender(slot), HandOverReceiver(slot)};
}

Result<DialogThread> DialogThread::start(DialogStart start, DialogBody body,
                                         std::function<void(NoticeSender)> signal_main) {
    auto outcome = std::make_shared<Outcome>();
    try {
        std::thread thread([outcome, body = std::move(body), signal_main = std::move(signal_main),
                            start = std::move(start)]() mutable {
            NoticeSender main_notice = start.main_notice;
            // The start record (the sending end included) is gone when the body returns or
            // throws, so a receiver still waiting learns of the end before the join.
            try {
                outcome->result = body(std::move(start));
            } catch (...) {
                outcome->panicked = true;
                if (signal_main) {
                    signal_main(main_notice);
                }
            }
        });
        return DialogThread(std::move(thread), std::move(outcome));
    } catch (const std::system_error& e) {
        return fail(std::string("Could not start dialog thread: ") + e.what());
    }
}

DialogThread& DialogThread::operator=(DialogThread&& other) noexcept {
    if (this != &other) {
        detach();
        thread_ = std::move(other.thread_);
        outcome_ = std::move(other.outcome_);
    }
    return *this;
}

DialogThread::~DialogThread() {
    detach();
}

DialogThreadEnd DialogThread::join() {
    if (thread_.joinable()) {
        thread_.join();
    }
    if (!outcome_ || outcome_->panicked) {
        return std::unexpected(DialogThreadPanic{});
    }
    return std::move(outcome_->result);
}

void DialogThread::detach() {
    if (thread_.joinable()) {
        thread_.detach();
    }
}

Error dialog_thread_panicked_error() {
    return Error(std::string("Dialog thread panicked: ") + DialogThreadPanic::text);
}

}  // namespace tessaro::winconfig
