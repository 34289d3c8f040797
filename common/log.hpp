// The process-wide logging facade: one spdlog logger per target, all sharing the sinks that the
// program's entry installs. Until a sink is installed nothing is written (the configuration tool
// never installs one). A record is formatted only when its level is enabled: call the loggers'
// level methods with a format string and arguments, never with a preformatted text.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <spdlog/sinks/sink.h>
#include <spdlog/spdlog.h>

namespace tessaro {

enum class LogLevel { Error, Warn, Info, Debug, Trace };

// "ERROR", "WARN", "INFO", "DEBUG", "TRACE".
std::string_view log_level_name(LogLevel level);

namespace log {

// The logger of a target such as "tessaro::app"; made on first use, shared afterwards.
std::shared_ptr<spdlog::logger> get(const std::string& target);

// Adds a sink to every logger, present and future.
void install_sink(std::shared_ptr<spdlog::sinks::sink> sink);

// The facade's maximum level: records above it are dropped before they are formatted.
void set_max_level(LogLevel level);

spdlog::level::level_enum to_spdlog(LogLevel level);
std::optional<LogLevel> from_spdlog(spdlog::level::level_enum level);

}  // namespace log
}  // namespace tessaro
