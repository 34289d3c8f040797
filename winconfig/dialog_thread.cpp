#include "winconfig/dialog_thread.hpp"

#include <exception>
#include <system_error>

namespace tessaro::winconfig {

namespace {
constexpr const char* closed_channel_text = "sending on a closed channel";
}

HandOverSender& HandOverSender::operator=(HandOverSender&& other) noexcept {
    if (this != &other) {
        close();
        slot_ = std::move(other.slot_);
    }
    return *this;
}

HandOverSender::~HandOverSender() {
    close();
}

void HandOverSender::close() {
    if (!slot_) {
        return;
    }
    {
        std::lock_guard lock(slot_->mutex);
        slot_->sender_alive = false;
    }
    slot_->changed.notify_all();
    slot_.reset();
}

VoidResult HandOverSender::send(NoticeSender dialog_notice) {
    if (!slot_) {
        return fail(closed_channel_text);
    }
    {
        std::lock_guard lock(slot_->mutex);
        if (!slot_->receiver_alive || slot_->value.has_value()) {
            return fail(closed_channel_text);
        }
        slot_->value = dialog_notice;
    }
    slot_->changed.notify_all();
    return {};
}

HandOverReceiver& HandOverReceiver::operator=(HandOverReceiver&& other) noexcept {
    if (this != &other) {
        close();
        slot_ = std::move(other.slot_);
    }
    return *this;
}

HandOverReceiver::~HandOverReceiver() {
    close();
}

void HandOverReceiver::close() {
    if (!slot_) {
        return;
    }
    {
        std::lock_guard lock(slot_->mutex);
        slot_->receiver_alive = false;
    }
    slot_.reset();
}

std::optional<NoticeSender> HandOverReceiver::receive() {
    if (!slot_) {
        return std::nullopt;
    }
    std::unique_lock lock(slot_->mutex);
    slot_->changed.wait(lock, [&] { return slot_->value.has_value() || !slot_->sender_alive; });
    // A value sent just before the sender went is still delivered.
    return std::exchange(slot_->value, std::nullopt);
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
