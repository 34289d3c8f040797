// The console line, its colours and their decision, and the event-log sink's filter and
// identifiers (with a fake report function in place of ReportEventW).
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <spdlog/logger.h>

#include "proxy/logging.hpp"

using namespace tessaro;
using namespace tessaro::logging;

namespace {

std::optional<std::string> unset;
std::optional<std::string> value(const char* text) {
    return std::string(text);
}

// 2024-03-05 07:08:09,007 local time.
std::chrono::system_clock::time_point fixed_time() {
    std::tm tm{};
    tm.tm_year = 2024 - 1900;
    tm.tm_mon = 2;
    tm.tm_mday = 5;
    tm.tm_hour = 7;
    tm.tm_min = 8;
    tm.tm_sec = 9;
    tm.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&tm)) + std::chrono::milliseconds(7);
}

}  // namespace

TEST(ConsoleColors, DecisionTable) {
    struct Case {
        std::optional<std::string> force, no_color, clicolor;
        bool terminal;
        bool expected;
    } cases[] = {
        {unset, unset, unset, true, true},
        {unset, unset, unset, false, false},
        {unset, unset, value("1"), true, true},
        {unset, unset, value(""), true, true},
        {unset, unset, value("0"), true, false},
        // NO_COLOR set to anything, even empty or "0", turns them off on a terminal.
        {unset, value(""), unset, true, false},
        {unset, value("0"), unset, true, false},
        {unset, value("1"), unset, true, false},
        // CLICOLOR_FORCE other than "0" wins over everything, also into a file.
        {value("1"), unset, unset, false, true},
        {value(""), unset, unset, false, true},
        {value("yes"), value(""), value("0"), false, true},
        {value("0"), unset, unset, false, false},
        {value("0"), unset, unset, true, true},
        {value("0"), value(""), unset, true, false},
    };
    int row = 0;
    for (const auto& c : cases) {
        EXPECT_EQ(colors_wanted({c.force, c.no_color, c.clicolor, c.terminal}), c.expected)
            << "row " << row;
        ++row;
    }
}

TEST(ConsoleLine, FormatPerLevel) {
    struct Case {
        LogLevel level;
        const char* plain;
        const char* colored;
    } cases[] = {
        {LogLevel::Error, "ERROR [t] m\n", "\x1b[31mERROR\x1b[0m [t] m\n"},
        {LogLevel::Warn, "WARN  [t] m\n", "\x1b[33mWARN \x1b[0m [t] m\n"},
        {LogLevel::Info, "INFO  [t] m\n", "\x1b[36mINFO \x1b[0m [t] m\n"},
        {LogLevel::Debug, "DEBUG [t] m\n", "\x1b[35mDEBUG\x1b[0m [t] m\n"},
        {LogLevel::Trace, "TRACE [t] m\n", "TRACE [t] m\n"},
    };
    const std::string stamp = "2024-03-05 07:08:09,007 ";
    for (const auto& c : cases) {
        EXPECT_EQ(format_console_line(fixed_time(), c.level, "t", "m", false), stamp + c.plain);
        EXPECT_EQ(format_console_line(fixed_time(), c.level, "t", "m", true), stamp + c.colored);
    }
    // Every field but the year two digits wide; the milliseconds three.
    auto late = fixed_time() + std::chrono::hours(24 * 300) + std::chrono::milliseconds(990);
    std::string line = format_console_line(late, LogLevel::Info, "tessaro::app", "x", false);
    EXPECT_EQ(line.substr(19, 5), ",997 ") << line;
    EXPECT_EQ(line.substr(4, 1) + line.substr(7, 1) + line.substr(10, 1), "-- ") << line;
}

TEST(ConsoleSink, OneWholeLinePerRecordAtTheFacadeLevel) {
    std::vector<std::string> lines;
    auto sink = std::make_shared<ConsoleSink>(
        false, [&](std::string_view line) { lines.emplace_back(line); });
    spdlog::logger logger("tessaro::main_windows", sink);
    logger.set_level(spdlog::level::info);
    logger.info("Windows service {}", "installed");
    logger.warn("two\nlines");
    logger.debug("dropped by the level");
    logger.critical("as error");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_TRUE(lines[0].ends_with(" INFO  [tessaro::main_windows] Windows service installed\n"))
        << lines[0];
    EXPECT_TRUE(lines[1].ends_with(" WARN  [tessaro::main_windows] two\nlines\n")) << lines[1];
    EXPECT_TRUE(lines[2].ends_with(" ERROR [tessaro::main_windows] as error\n")) << lines[2];
}

TEST(EventLogSink, IdentifiersPerLevel) {
    struct Case {
        LogLevel level;
        EventKind kind;
    } cases[] = {
        {LogLevel::Error, {1, 0xC0000001}}, {LogLevel::Warn, {2, 0x80000002}},
        {LogLevel::Info, {4, 0x40000003}},  {LogLevel::Debug, {4, 0x40000004}},
        {LogLevel::Trace, {4, 0x40000005}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(event_kind(c.level), c.kind) << log_level_name(c.level);
    }
}

TEST(EventLogSink, DropsWhatIsLessSevereThanItsLevel) {
    struct Case {
        LogLevel level;
        std::vector<std::uint32_t> ids;  // of error, warn, info, debug, trace records
    } cases[] = {
        {LogLevel::Error, {0xC0000001}},
        {LogLevel::Info, {0xC0000001, 0x80000002, 0x40000003}},
        {LogLevel::Trace, {0xC0000001, 0x80000002, 0x40000003, 0x40000004, 0x40000005}},
    };
    for (const auto& c : cases) {
        std::vector<std::pair<EventKind, std::string>> events;
        auto sink =
            std::make_shared<EventLogSink>(c.level, [&](EventKind kind, std::string_view message) {
                events.emplace_back(kind, std::string(message));
            });
        spdlog::logger logger("tessaro::app", sink);
        // The facade passes everything; the sink decides.
        logger.set_level(spdlog::level::trace);
        logger.error("e {}", 1);
        logger.warn("w");
        logger.info("i");
        logger.debug("d");
        logger.trace("t");
        std::vector<std::uint32_t> ids;
        for (const auto& [kind, message] : events) {
            ids.push_back(kind.id);
        }
        EXPECT_EQ(ids, c.ids) << log_level_name(c.level);
        ASSERT_FALSE(events.empty());
        // The message only: no level word, no target, no time.
        EXPECT_EQ(events[0].second, "e 1");
        EXPECT_EQ(events[0].first.type, 1);
    }
}

TEST(LoggerInstallation, OncePerProcess) {
    ASSERT_TRUE(install_console_logger(LogLevel::Info).has_value());
    auto second = install_console_logger(LogLevel::Debug);
    ASSERT_FALSE(second.has_value());
    EXPECT_NE(second.error().message().find("already installed"), std::string::npos);
    EXPECT_FALSE(install_event_log_logger("Korvel Tessaro", LogLevel::Info).has_value());
    // The facade kept the first level.
    EXPECT_FALSE(log::get("tessaro::test")->should_log(spdlog::level::debug));
    EXPECT_TRUE(log::get("tessaro::test")->should_log(spdlog::level::info));
}

TEST(EventInsertionText, IsCutToTheLimitButNeverInsideASurrogatePair) {
    using logging::MAX_INSERTION_UNITS;
    EXPECT_EQ(logging::event_insertion_text("short"), u"short");
    // An over-long message of ASCII is cut exactly at the limit.
    EXPECT_EQ(logging::event_insertion_text(std::string(MAX_INSERTION_UNITS + 10, 'a')).size(),
              MAX_INSERTION_UNITS);
    // A pair that would straddle the limit is left out whole, not halved.
    std::string straddling(MAX_INSERTION_UNITS - 1, 'a');
    straddling += "\xF0\x9F\x94\x92";  // U+1F512, two UTF-16 units
    std::u16string cut = logging::event_insertion_text(straddling);
    EXPECT_EQ(cut.size(), MAX_INSERTION_UNITS - 1);
    EXPECT_EQ(cut.back(), u'a');
    // One that ends exactly at the limit stays.
    std::string fitting(MAX_INSERTION_UNITS - 2, 'a');
    fitting += "\xF0\x9F\x94\x92";
    EXPECT_EQ(logging::event_insertion_text(fitting).size(), MAX_INSERTION_UNITS);
}
