// Signals, delivery and the loop: the signal queues and "node-network-thread", which waits for
// due signals; delivery of events under the event lock; the loop that drives the io_context.
//
// signal, signal_after and stop come from any thread and take only the signal mutex. run and
// every delivery are on the loop's thread, except signals, which node-network-thread delivers.
// The event lock may be held while the node mutex is taken, never the other way round.

#include "proxy/node/core.hpp"

namespace tessaro::node {

void NodeCore::signal(SignalId id) {
    {
        std::lock_guard lock(signal_mutex_);
        immediate_.push_back(id);
    }
    signal_cv_.notify_one();
}

void NodeCore::signal_after(SignalId id, std::chrono::steady_clock::duration delay) {
    auto due = std::chrono::steady_clock::now() + delay;
    {
        std::lock_guard lock(signal_mutex_);
        timed_.push(TimedSignal{due, timed_sequence_++, id});
    }
    signal_cv_.notify_one();
}

void NodeCore::stop() {
    running_.store(false);
    signal_cv_.notify_all();
    io_.stop();
}

void NodeCore::run(const std::function<void(Event&&)>& callback) {
    {
        std::lock_guard lock(event_mutex_);
        callback_ = &callback;
    }
    loop_thread_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    std::thread signals;
    try {
        signals = std::thread([this] {
            os::set_current_thread_name("node-network-thread");
            try {
                signal_loop();
            } catch (const std::exception& e) {
                log_->error("Signal delivery failed: {}", e.what());
                stop();
            }
        });
    } catch (const std::system_error& e) {
        log_->error("Could not start node-network-thread: {}", e.what());
        stop();
    }
    {
        auto work = asio::make_work_guard(io_);
        while (running_.load()) {
            if (io_.stopped()) {
                io_.restart();
            }
            try {
                io_.run_for(LOOP_WAIT);
            } catch (const std::exception& e) {
                log_->error("Network poll failed: {}", e.what());
                stop();
            }
        }
    }
    if (signals.joinable()) {
        signals.join();
    }
    std::lock_guard lock(event_mutex_);
    callback_ = nullptr;
}

// Delivers under the event lock while the node runs and, for a socket's event, while the
// socket has not been removed. Returns whether the callback saw the event.
bool NodeCore::deliver(Event&& event, const Socket* socket) {
    if (socket != nullptr) {
        // A due signal goes first: the loop's thread would otherwise take the event lock
        // again and again while the relays are busy, and the signal thread could wait long.
        while (signals_waiting_.load(std::memory_order_acquire) > 0) {
            std::this_thread::yield();
        }
    }
    std::unique_lock events(event_mutex_, std::defer_lock);
    if (socket == nullptr) {
        signals_waiting_.fetch_add(1, std::memory_order_acq_rel);
        events.lock();
        signals_waiting_.fetch_sub(1, std::memory_order_acq_rel);
    } else {
        events.lock();
    }
    if (!running_.load() || callback_ == nullptr) {
        return false;
    }
    if (socket != nullptr) {
        NodeLock lock(*this);
        // The creator learns the id only when its call returns.
        lock.wait(created_, [&] { return !socket->creating; });
        if (socket->removed) {
            return false;
        }
    }
    (*callback_)(std::move(event));
    return true;
}

void NodeCore::signal_loop() {
    while (running_.load()) {
        std::optional<SignalId> next;
        {
            std::unique_lock lock(signal_mutex_);
            auto now = std::chrono::steady_clock::now();
            if (!immediate_.empty()) {
                next = immediate_.front();
                immediate_.pop_front();
            } else if (!timed_.empty() && timed_.top().due <= now) {
                next = timed_.top().id;
                timed_.pop();
            } else {
                auto until = now + LOOP_WAIT;
                if (!timed_.empty() && timed_.top().due < until) {
                    until = timed_.top().due;
                }
                signal_cv_.wait_until(lock, until);
                continue;
            }
        }
        deliver(Signal{*next}, nullptr);
    }
}

}  // namespace tessaro::node
