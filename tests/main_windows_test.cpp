// The command line of the service program: the parser's decisions. The built program's exit codes
// and streams are checked as a subprocess in main_windows_posix_test and main_windows_win_test.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "proxy/main_windows.hpp"

using namespace tessaro::main_windows;

namespace {

std::vector<std::string> command(std::initializer_list<const char*> args) {
    std::vector<std::string> result{"/opt/korvel/tessaro"};
    result.insert(result.end(), args.begin(), args.end());
    return result;
}

}  // namespace

TEST(CommandLineParse, AcceptedLines) {
    struct Case {
        std::vector<std::string> args;
        CommandLine expected;
    } cases[] = {
        {command({}), {false, Subcommand::None}},
        {command({"-v"}), {true, Subcommand::None}},
        {command({"--verbose"}), {true, Subcommand::None}},
        {command({"service"}), {false, Subcommand::Service}},
        {command({"install"}), {false, Subcommand::Install}},
        {command({"uninstall"}), {false, Subcommand::Uninstall}},
        {command({"-v", "install"}), {true, Subcommand::Install}},
        {command({"--verbose", "uninstall"}), {true, Subcommand::Uninstall}},
        {command({"-v", "service"}), {true, Subcommand::Service}},
        {command({"install", "--"}), {false, Subcommand::Install}},
    };
    for (const auto& c : cases) {
        auto parsed = parse_command_line(c.args);
        ASSERT_TRUE(std::holds_alternative<CommandLine>(parsed)) << c.args.size();
        EXPECT_EQ(std::get<CommandLine>(parsed), c.expected) << c.args.back();
    }
}

TEST(CommandLineParse, HelpVersionAndErrors) {
    struct Case {
        std::vector<std::string> args;
        int exit_code;
        bool to_stderr;
        const char* contains;
    } cases[] = {
        {command({"--help"}), 0, false, "Usage: tessaro [OPTIONS] [SUBCOMMAND]"},
        {command({"-h"}), 0, false, "Run proxy as Windows service"},
        {command({"help"}), 0, false, "Uninstall Windows service"},
        {command({"-v", "help"}), 0, false, "Install Windows service"},
        {command({"help", "install"}), 0, false, "Usage: tessaro install"},
        {command({"install", "--help"}), 0, false, "Usage: tessaro install"},
        {command({"uninstall", "-h"}), 0, false, "Uninstall Windows service"},
        {command({"-V"}), 0, false, "Korvel Tessaro 1.3.2\n"},
        {command({"--version"}), 0, false, "Korvel Tessaro 1.3.2\n"},
        // The flag belongs to the top level only; the version flag too.
        {command({"install", "-v"}), 2, true, "Usage: tessaro install"},
        {command({"uninstall", "--verbose"}), 2, true, "--verbose"},
        {command({"service", "-V"}), 2, true, "-V"},
        {command({"--bogus"}), 2, true, "--bogus"},
        {command({"-x"}), 2, true, "-x"},
        {command({"bogus"}), 2, true, "bogus"},
        {command({"install", "service"}), 2, true, "service"},
        {command({"install", "extra"}), 2, true, "extra"},
        {command({"help", "bogus"}), 2, true, "bogus"},
        // A flag takes no value and comes once.
        {command({"--verbose=true"}), 2, true, "--verbose"},
        {command({"--help=1"}), 2, true, "--help"},
        {command({"-vv"}), 2, true, "verbose"},
        {command({"-v", "-v"}), 2, true, "verbose"},
        // Nothing may follow "--": CLI11 would run a subcommand named there unreported.
        {command({"--", "install"}), 2, true, "install"},
        {command({"-v", "--", "service"}), 2, true, "service"},
    };
    for (const auto& c : cases) {
        std::string line;
        for (const auto& a : c.args) {
            line += a + " ";
        }
        auto parsed = parse_command_line(c.args);
        ASSERT_TRUE(std::holds_alternative<ParserExit>(parsed)) << line;
        const auto& exit = std::get<ParserExit>(parsed);
        EXPECT_EQ(exit.exit_code, c.exit_code) << line;
        EXPECT_EQ(exit.to_stderr, c.to_stderr) << line;
        EXPECT_NE(exit.text.find(c.contains), std::string::npos) << line << "\n" << exit.text;
        if (c.to_stderr) {
            EXPECT_TRUE(exit.text.starts_with("error: ")) << exit.text;
        }
    }
}

TEST(CommandLineParse, UsageNamesTheProgramFile) {
    auto parsed = parse_command_line({"C:\\Program Files\\Korvel\\tessaro.exe", "--help"});
    ASSERT_TRUE(std::holds_alternative<ParserExit>(parsed));
    const auto& text = std::get<ParserExit>(parsed).text;
    EXPECT_TRUE(text.starts_with("Korvel Tessaro 1.3.2\n")) << text;
    EXPECT_NE(text.find("Usage: tessaro.exe [OPTIONS] [SUBCOMMAND]"), std::string::npos) << text;
    EXPECT_NE(text.find("Use verbose output"), std::string::npos) << text;
}
