#include "proxy/logging.hpp"

#include "common/os/registry.hpp"

#include <atomic>
#include <cstdlib>
#include <memory>

#include <fmt/format.h>

namespace tessaro::logging {

namespace {

std::optional<std::string> variable(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

// The ECMA-48 select-graphic-rendition code of a level's colour; TRACE has none.
std::optional<int> color_code(LogLevel level) {
    switch (level) {
        case LogLevel::Error:
            return 31;
        case LogLevel::Warn:
            return 33;
        case LogLevel::Info:
            return 36;
        case LogLevel::Debug:
            return 35;
        case LogLevel::Trace:
            return std::nullopt;
    }
    return std::nullopt;
}

// critical counts as error; "off" is never a record's level.
std::optional<LogLevel> record_level(const spdlog::details::log_msg& msg) {
    return log::from_spdlog(msg.level);
}

std::string_view payload(const spdlog::details::log_msg& msg) {
    return std::string_view(msg.payload.data(), msg.payload.size());
}

// The one logger of the process: taken by the first installation, never given back.
std::atomic<bool> logger_installed{false};

VoidResult take_logger_slot() {
    if (logger_installed.exchange(true)) {
        return fail("Could not install the logger: a logger is already installed");
    }
    return {};
}

}  // namespace

bool colors_wanted(const ColorEnvironment& environment) {
    if (environment.clicolor_force && *environment.clicolor_force != "0") {
        return true;
    }
    if (environment.no_color) {
        return false;
    }
    bool clicolor_allows = !environment.clicolor || *environment.clicolor != "0";
    return clicolor_allows && environment.stdout_is_terminal;
}

ColorEnvironment current_color_environment() {
    ColorEnvironment environment;
    environment.clicolor_force = variable("CLICOLOR_FORCE");
    environment.no_color = variable("NO_COLOR");
    environment.clicolor = variable("CLICOLOR");
    environment.stdout_is_terminal = stdout_is_terminal();
    return environment;
}

bool console_colors() {
    static const bool decided = colors_wanted(current_color_environment());
    return decided;
}

std::string format_console_line(std::chrono::system_clock::time_point time, LogLevel level,
                                std::string_view target, std::string_view message, bool colors) {
    using namespace std::chrono;
    const auto since_epoch = time.time_since_epoch();
    auto seconds = floor<std::chrono::seconds>(since_epoch);
    auto millis = duration_cast<milliseconds>(since_epoch - seconds).count();
    std::tm tm = local_time(static_cast<std::time_t>(seconds.count()));

    std::string word = fmt::format("{:<5}", log_level_name(level));
    if (auto code = color_code(level); colors && code) {
        word = fmt::format("\x1b[{}m{}\x1b[0m", *code, word);
    }
    return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02},{:03} {} [{}] {}\n", tm.tm_year + 1900,
                       tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, millis, word,
                       target, message);
}

void ConsoleSink::sink_it_(const spdlog::details::log_msg& msg) {
    auto level = record_level(msg);
    if (!level) {
        return;
    }
    std::string_view target(msg.logger_name.data(), msg.logger_name.size());
    writer_(format_console_line(msg.time, *level, target, payload(msg), colors_));
}

EventKind event_kind(LogLevel level) {
    switch (level) {
        case LogLevel::Error:
            return {1, 0xC0000001};
        case LogLevel::Warn:
            return {2, 0x80000002};
        case LogLevel::Info:
            return {4, 0x40000003};
        case LogLevel::Debug:
            return {4, 0x40000004};
        case LogLevel::Trace:
            return {4, 0x40000005};
    }
    return {4, 0x40000003};
}

void EventLogSink::sink_it_(const spdlog::details::log_msg& msg) {
    auto level = record_level(msg);
    // LogLevel runs from the most severe (Error) to the least (Trace).
    if (!level || static_cast<int>(*level) > static_cast<int>(level_)) {
        return;
    }
    report_(event_kind(*level), payload(msg));
}

VoidResult install_console_logger(LogLevel level) {
    if (auto taken = take_logger_slot(); !taken) {
        return taken;
    }
    if (stdout_is_terminal()) {
        enable_virtual_terminal();
    }
    log::set_max_level(level);
    log::install_sink(std::make_shared<ConsoleSink>(console_colors(), write_stdout));
    return {};
}

VoidResult install_event_log_logger(std::string_view source_name, LogLevel level) {
    auto reporter = open_event_source(source_name);
    if (!reporter) {
        return fail(reporter.error());
    }
    // On failure the reporter goes here, and with it the source handle.
    if (auto taken = take_logger_slot(); !taken) {
        return taken;
    }
    log::install_sink(std::make_shared<EventLogSink>(level, std::move(*reporter)));
    // The sink filters by itself; the facade lets everything through to it.
    log::set_max_level(LogLevel::Trace);
    return {};
}

std::u16string event_insertion_text(std::string_view message) {
    std::u16string text = os::utf8_to_utf16(message);
    if (text.size() > MAX_INSERTION_UNITS) {
        std::size_t keep = MAX_INSERTION_UNITS;
        if (text[keep - 1] >= 0xD800 && text[keep - 1] <= 0xDBFF) {
            --keep;
        }
        text.resize(keep);
    }
    return text;
}

}  // namespace tessaro::logging
