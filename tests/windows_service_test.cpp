#include "proxy/windows_service.hpp"

#include <gtest/gtest.h>

namespace {

using tessaro::os::path_error_text;
using tessaro::windows_service::ControlDecision;
using tessaro::windows_service::decide_control;
using tessaro::windows_service::quote_argument;
using tessaro::windows_service::service_command_line;

struct QuoteCase {
    const char* input;
    const char* expected;
};

// Each expected text reads back, through the Windows command-line parser, as the input.
TEST(QuoteArgument, FollowsTheWindowsParsingRules) {
    const QuoteCase cases[] = {
        {"service", "service"},
        {R"(C:\tessaro\tessaro.exe)", R"(C:\tessaro\tessaro.exe)"},
        {"", R"("")"},
        {"a b", R"("a b")"},
        {"a\tb", "\"a\tb\""},
        {"a\nb", "\"a\nb\""},
        {"a\vb", "\"a\vb\""},
        {"a\rb", "a\rb"},  // a carriage return does not split arguments
        {R"(say"hi")", R"("say\"hi\"")"},
        {R"(a\"b)", R"("a\\\"b")"},     // one backslash before a quote: three and the quote
        {R"(a\\"b)", R"("a\\\\\"b")"},  // two: five
        {R"(a\b c)", R"("a\b c")"},     // inner backslashes stay as they are
        {R"(a\\b c)", R"("a\\b c")"},
        {R"(dir with blank\)", R"("dir with blank\\")"},  // trailing run doubled
        {R"(dir with blank\\\)", R"("dir with blank\\\\\\")"},
        {R"(nospace\)", R"(nospace\)"},  // no quotes needed, so nothing is doubled
        {R"(\\server\share dir\x)", R"("\\server\share dir\x")"},
        {"\"", R"("\"")"},
        {" ", R"(" ")"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(quote_argument(c.input), c.expected) << "input: [" << c.input << "]";
    }
}

TEST(ServiceCommandLine, QuotesThePathAndAppendsTheLaunchArgument) {
    EXPECT_EQ(service_command_line(R"(C:\Program Files\Korvel\tessaro.exe)"),
              R"("C:\Program Files\Korvel\tessaro.exe" service)");
    EXPECT_EQ(service_command_line(R"(C:\Korvel\tessaro.exe)"), R"(C:\Korvel\tessaro.exe service)");
}

TEST(DecideControl, StopsOnlyOnStopAndAnswersInterrogate) {
    struct Case {
        std::uint32_t control;
        ControlDecision expected;
    };
    const Case cases[] = {
        {1, {true, 0}},        // stop
        {4, {false, 0}},       // interrogate
        {2, {false, 120}},     // pause
        {3, {false, 120}},     // continue
        {5, {false, 120}},     // shutdown
        {6, {false, 120}},     // parameter change
        {0x0F, {false, 120}},  // preshutdown
        {0x20, {false, 120}},  // time change notification
        {0, {false, 120}},    {0xFFFFFFFF, {false, 120}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decide_control(c.control), c.expected) << "control " << c.control;
    }
}

TEST(RegistryPathErrorText, NamesTheKindAndThePath) {
    using tessaro::os::RegistryErrorKind;
    EXPECT_EQ(path_error_text(RegistryErrorKind::NotFound, "Korvel Tessaro"),
              "Provided path not found: Korvel Tessaro");
    EXPECT_EQ(path_error_text(RegistryErrorKind::NotFound, "A\\B"),
              "Provided path not found: A\\B");
    EXPECT_EQ(path_error_text(RegistryErrorKind::AccessDenied, "Korvel Tessaro"),
              "Permission denied for given path: Korvel Tessaro");
    EXPECT_EQ(path_error_text(RegistryErrorKind::Other, "Korvel Tessaro"),
              "An unknown IO error occurred for given path: Korvel Tessaro");
}

}  // namespace
