#include "common/log.hpp"

#include <mutex>

#include <spdlog/sinks/dist_sink.h>

namespace tessaro {

std::string_view log_level_name(LogLevel level) {
    switch (level) {
        case LogLevel::Error:
            return "ERROR";
        case LogLevel::Warn:
            return "WARN";
        case LogLevel::Info:
            return "INFO";
        case LogLevel::Debug:
            return "DEBUG";
        case LogLevel::Trace:
            return "TRACE";
    }
    return "INFO";
}

namespace log {

namespace {

// The logger's own state: the one sink every target writes to, and the facade level.
struct Facade {
    std::mutex mutex;
    std::shared_ptr<spdlog::sinks::dist_sink_mt> sinks = std::make_shared<spdlog::sinks::dist_sink_mt>();
    spdlog::level::level_enum level = spdlog::level::info;
};

Facade& facade() {
    static Facade instance;
    return instance;
}

}  // namespace

std::shared_ptr<spdlog::logger> get(const std::string& target) {
    Facade& f = facade();
    std::lock_guard lock(f.mutex);
    if (auto existing = spdlog::get(target)) {
        return existing;
    }
    auto logger = std::make_shared<spdlog::logger>(target, f.sinks);
    logger->set_level(f.level);
    spdlog::register_logger(logger);
    return logger;
}

void install_sink(std::shared_ptr<spdlog::sinks::sink> sink) { facade().sinks->add_sink(std::move(sink)); }

void set_max_level(LogLevel level) {
    Facade& f = facade();
    std::lock_guard lock(f.mutex);
    f.level = to_spdlog(level);
    spdlog::apply_all([&](const std::shared_ptr<spdlog::logger>& l) { l->set_level(f.level); });
}

spdlog::level::level_enum to_spdlog(LogLevel level) {
    switch (level) {
        case LogLevel::Error:
            return spdlog::level::err;
        case LogLevel::Warn:
            return spdlog::level::warn;
        case LogLevel::Info:
            return spdlog::level::info;
        case LogLevel::Debug:
            return spdlog::level::debug;
        case LogLevel::Trace:
            return spdlog::level::trace;
    }
    return spdlog::level::info;
}

std::optional<LogLevel> from_spdlog(spdlog::level::level_enum level) {
    switch (level) {
        case spdlog::level::err:
        case spdlog::level::critical:
            return LogLevel::Error;
        case spdlog::level::warn:
            return LogLevel::Warn;
        case spdlog::level::info:
            return LogLevel::Info;
        case spdlog::level::debug:
            return LogLevel::Debug;
        case spdlog::level::trace:
            return LogLevel::Trace;
        default:
            return std::nullopt;
    }
}

}  // namespace log
}  // namespace tessaro
