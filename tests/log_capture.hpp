// A log sink for tests: records every line (target, level, text) of the process-wide logger and
// lets a test wait for one.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <spdlog/sinks/base_sink.h>

#include "common/log.hpp"

namespace tessaro::logtest {

struct LogLine {
    std::string target;
    spdlog::level::level_enum level;
    std::string text;
    bool operator==(const LogLine&) const = default;
};

class CaptureSink : public spdlog::sinks::base_sink<std::mutex> {
  public:
    std::vector<LogLine> lines() {
        std::lock_guard lock(lines_mutex_);
        return lines_;
    }

    std::vector<LogLine> lines(const std::string& target) {
        std::lock_guard lock(lines_mutex_);
        std::vector<LogLine> out;
        std::copy_if(lines_.begin(), lines_.end(), std::back_inserter(out),
                     [&](const LogLine& l) { return l.target == target; });
        return out;
    }

    // The texts of one target's lines, in order.
    std::vector<std::string> texts(const std::string& target) {
        std::vector<std::string> out;
        for (const LogLine& l : lines(target)) {
            out.push_back(l.text);
        }
        return out;
    }

    std::size_t count(const std::string& target, const std::string& text) {
        std::lock_guard lock(lines_mutex_);
        return static_cast<std::size_t>(
            std::count_if(lines_.begin(), lines_.end(),
                          [&](const LogLine& l) { return l.target == target && l.text == text; }));
    }

    // Waits until `target` has written `text` at least `times` times.
    bool wait_for(const std::string& target, const std::string& text,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10),
                  std::size_t times = 1) {
        std::unique_lock lock(lines_mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            return static_cast<std::size_t>(
                       std::count_if(lines_.begin(), lines_.end(), [&](const LogLine& l) {
                           return l.target == target && l.text == text;
                       })) >= times;
        });
    }

    void clear() {
        std::lock_guard lock(lines_mutex_);
        lines_.clear();
    }

  protected:
    void sink_it_(const spdlog::details::log_msg& msg) override {
        std::lock_guard lock(lines_mutex_);
        lines_.push_back({std::string(msg.logger_name.begin(), msg.logger_name.end()), msg.level,
                          std::string(msg.payload.begin(), msg.payload.end())});
        changed_.notify_all();
    }
    void flush_() override {}

  private:
    std::mutex lines_mutex_;
    std::condition_variable changed_;
    std::vector<LogLine> lines_;
};

// The one capture sink of a test process, installed on first use with the level debug.
inline CaptureSink& capture() {
    static std::shared_ptr<CaptureSink> sink = [] {
        auto s = std::make_shared<CaptureSink>();
        log::install_sink(s);
        log::set_max_level(LogLevel::Debug);
        return s;
    }();
    return *sink;
}

}  // namespace tessaro::logtest
