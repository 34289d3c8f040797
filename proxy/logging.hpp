// The service program's two loggers, installed once per process by the entry before anything
// else logs: the console logger (standard output) and the event-log logger (the Windows
// Application log, for the service). Both are sinks behind the facade of common/log.hpp.
//
// Console line: "YYYY-MM-DD HH:MM:SS,mmm LEVEL [target] message\n" in local time, the level word
// padded to five characters and coloured as a whole (ERROR 31, WARN 33, INFO 36, DEBUG 35; TRACE
// plain). Whether colours are written is decided once per process from CLICOLOR_FORCE, NO_COLOR,
// CLICOLOR and whether standard output is a terminal.
//
// Event log: one event per record with the message as its only insertion string; the event
// identifiers point into the message table that the executable carries (tessaro.mc), whose every
// entry is "%1" and CR LF.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <spdlog/sinks/base_sink.h>

#include "common/error.hpp"
#include "common/log.hpp"

namespace tessaro::logging {

// --- Colours -------------------------------------------------------------------------------

// The values of the variables that decide the colours (none when unset) and whether standard
// output is a terminal.
struct ColorEnvironment {
    std::optional<std::string> clicolor_force;
    std::optional<std::string> no_color;
    std::optional<std::string> clicolor;
    bool stdout_is_terminal = false;
};

// CLICOLOR_FORCE set and not "0": on. Else NO_COLOR set, even empty: off. Else on when CLICOLOR
// is unset or not "0" and standard output is a terminal.
bool colors_wanted(const ColorEnvironment& environment);

// The process's environment as it is now.
ColorEnvironment current_color_environment();

// The decision for this process, made on the first call and kept.
bool console_colors();

// Windows: a console, or the pipe of an MSYS or Cygwin pseudo-terminal (mintty), as told by the
// pipe's name; POSIX: isatty.
bool stdout_is_terminal();

// Windows: turns on ENABLE_VIRTUAL_TERMINAL_PROCESSING for a console on standard output so that
// it interprets the colour sequences; does nothing when that fails. POSIX: nothing to do.
void enable_virtual_terminal();

// --- Console logger ------------------------------------------------------------------------

// The broken-down local time of `time` (localtime_r / localtime_s).
std::tm local_time(std::time_t time);

// One whole console line, line feed included.
std::string format_console_line(std::chrono::system_clock::time_point time, LogLevel level,
                                std::string_view target, std::string_view message, bool colors);

// Writes one line to standard output at once. Windows writes UTF-16 to a console (so that any
// text shows in any code page) and the UTF-8 bytes to anything else, without turning LF into
// CR LF.
void write_stdout(std::string_view line);

class ConsoleSink final : public spdlog::sinks::base_sink<std::mutex> {
  public:
    using Writer = std::function<void(std::string_view line)>;

    // Each line is formatted and handed to `writer` whole, under the sink's lock.
    ConsoleSink(bool colors, Writer writer) : colors_(colors), writer_(std::move(writer)) {}

  protected:
    void sink_it_(const spdlog::details::log_msg& msg) override;
    void flush_() override {}

  private:
    bool colors_;
    Writer writer_;
};

// --- Event-log logger ----------------------------------------------------------------------

// The event type and identifier of a record's level.
struct EventKind {
    std::uint16_t type = 0;  // EVENTLOG_ERROR_TYPE 1, EVENTLOG_WARNING_TYPE 2, INFORMATION 4
    std::uint32_t id = 0;

    bool operator==(const EventKind&) const = default;
};

EventKind event_kind(LogLevel level);

// ReportEventW refuses an insertion string longer than this many UTF-16 units.
inline constexpr std::size_t MAX_INSERTION_UNITS = 31839;

// The event's insertion string: the message in UTF-16, cut to MAX_INSERTION_UNITS (a cut message
// beats a lost one) but never between the two halves of a surrogate pair.
std::u16string event_insertion_text(std::string_view message);

// Reports one event with `message` as its only insertion string (ReportEventW on the source).
using EventReporter = std::function<void(EventKind kind, std::string_view message)>;

class EventLogSink final : public spdlog::sinks::base_sink<std::mutex> {
  public:
    // Records less severe than `level` are dropped here: the facade passes everything to it.
    EventLogSink(LogLevel level, EventReporter report)
        : level_(level), report_(std::move(report)) {}

  protected:
    void sink_it_(const spdlog::details::log_msg& msg) override;
    void flush_() override {}

  private:
    LogLevel level_;
    EventReporter report_;
};

// Opens the event source `source_name` on the local machine (RegisterEventSourceW); the reporter
// owns the handle, which is closed (DeregisterEventSource) when the last copy goes. POSIX: fails,
// there is no event log.
[[nodiscard]] Result<EventReporter> open_event_source(std::string_view source_name);

// --- Installation, once per process --------------------------------------------------------

// The console logger with the facade's maximum level at `level`. Fails when a logger is
// installed already.
[[nodiscard]] VoidResult install_console_logger(LogLevel level);

// The event-log logger for the source `source_name`, filtering by `level`, with the facade at
// trace. Fails when the source cannot be opened or a logger is installed already.
[[nodiscard]] VoidResult install_event_log_logger(std::string_view source_name, LogLevel level);

}  // namespace tessaro::logging
