// The service program's entry: the command line, the choice of log level and logger, and the one
// thing the command line asks for: the console run, or the `service`, `install` and `uninstall`
// subcommands of the Windows service.
//
// Exit codes: 0 after every run that reaches its end (also when `install` or `uninstall` logged a
// failure or an error stopped the proxy) and after help or version was printed; 2 when the
// command line is rejected; 101 when a start-up step that must succeed fails (logger,
// application object, console control handler), after the failure was written to standard error.
#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tessaro::main_windows {

inline constexpr std::string_view program_name = "Korvel Tessaro";
inline constexpr std::string_view program_version = "1.3.2";

inline constexpr int exit_success = 0;
inline constexpr int exit_usage = 2;
inline constexpr int exit_failure = 101;

enum class Subcommand { None, Service, Install, Uninstall };

struct CommandLine {
    bool verbose = false;
    Subcommand subcommand = Subcommand::None;

    bool operator==(const CommandLine&) const = default;
};

// The parser's own end of the program: help or version on standard output with exit code 0, or
// an error and the usage on standard error with exit code 2.
struct ParserExit {
    int exit_code = exit_success;
    bool to_stderr = false;
    std::string text;
};

// `args` as the platform splits the command line, the first being the program path (its file
// name is the name shown in usage lines).
std::variant<CommandLine, ParserExit> parse_command_line(const std::vector<std::string>& args);

// The process's arguments: POSIX takes argv as it is; Windows reads the wide command line
// (GetCommandLineW, split by CommandLineToArgvW) and converts it to UTF-8, since argv is only
// in the ANSI code page there.
std::vector<std::string> process_arguments(int argc, char** argv);

// The whole program; returns the process exit code.
int run(const std::vector<std::string>& args);

}  // namespace tessaro::main_windows
