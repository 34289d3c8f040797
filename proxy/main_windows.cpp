#include "proxy/main_windows.hpp"

#include <cstdio>
#include <memory>
#include <utility>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "common/log.hpp"
#include "common/settings.hpp"
#include "proxy/app.hpp"
#include "proxy/console_ctrl.hpp"
#include "proxy/logging.hpp"
#include "proxy/windows_service.hpp"

namespace tessaro::main_windows {

namespace {

constexpr const char* help_flag_text = "Print help information";

std::string usage_error(const CLI::App& app, const std::string& name, const std::string& what) {
    return fmt::format("error: {}\n\n{}\nFor more information try --help\n", what,
                       CLI::Formatter().make_usage(&app, name));
}

ParserExit rejected(const CLI::App& app, const std::string& name, const std::string& what) {
    return ParserExit{exit_usage, true, usage_error(app, name, what)};
}

// What CLI11 would let pass although the command line is wrong: a value attached to one of the
// flags ("--verbose=true"; CLI11 reads it as the flag's value), and anything after "--" (CLI11
// then runs a subcommand named there without reporting it as selected). A lone trailing "--"
// is harmless.
std::optional<std::string> misuse_cli11_accepts(const std::vector<std::string>& args) {
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            if (i + 1 < args.size()) {
                return fmt::format("The following argument was not expected: {}", args[i + 1]);
            }
            return std::nullopt;
        }
        auto equals = arg.find('=');
        if (arg.starts_with("--") && equals != std::string::npos) {
            std::string name = arg.substr(2, equals - 2);
            if (name == "verbose" || name == "help" || name == "version") {
                return fmt::format("The flag --{} takes no value: {}", name, arg);
            }
        }
    }
    return std::nullopt;
}

std::string file_name_of(const std::string& path) {
    auto slash = path.find_last_of("/\\");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return name.empty() ? std::string("tessaro") : name;
}

}  // namespace

std::variant<CommandLine, ParserExit> parse_command_line(const std::vector<std::string>& args) {
    const std::string bin_name = args.empty() ? std::string("tessaro") : file_name_of(args[0]);

    CLI::App app{fmt::format("{} {}", program_name, program_version), bin_name};
    app.set_help_flag("-h,--help", help_flag_text);
    app.set_version_flag("-V,--version", fmt::format("{} {}", program_name, program_version),
                         "Print version information");
    bool verbose = false;
    // Once only and without a value, as a plain flag: "-vv" and "--verbose=1" are rejected.
    app.add_flag("-v,--verbose", verbose, "Use verbose output")
        ->multi_option_policy(CLI::MultiOptionPolicy::Throw)
        ->disable_flag_override();
    // At most one subcommand; none runs the proxy in the console.
    app.require_subcommand(0, 1);

    struct Entry {
        const char* name;
        const char* about;
        Subcommand subcommand;
    };
    const Entry entries[] = {
        {"service", "Run proxy as Windows service", Subcommand::Service},
        {"install", "Install Windows service", Subcommand::Install},
        {"uninstall", "Uninstall Windows service", Subcommand::Uninstall},
    };
    std::vector<std::pair<CLI::App*, Subcommand>> subcommands;
    for (const Entry& entry : entries) {
        CLI::App* sub = app.add_subcommand(entry.name, entry.about);
        // The flags belong to the top level: a subcommand must not hand "-v" up to its parent.
        sub->fallthrough(false);
        subcommands.emplace_back(sub, entry.subcommand);
    }
    CLI::App* help =
        app.add_subcommand("help", "Print this message or the help of the given subcommand(s)");
    help->fallthrough(false);
    std::string help_topic;
    help->add_option("subcommand", help_topic, "The subcommand whose help message to display");

    if (auto misuse = misuse_cli11_accepts(args)) {
        return rejected(app, bin_name, *misuse);
    }

    // CLI11 takes the arguments without the program path, last one first.
    std::vector<std::string> reversed;
    if (!args.empty()) {
        reversed.assign(args.rbegin(), args.rend() - 1);
    }
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        return ParserExit{exit_success, false, app.help()};
    } catch (const CLI::CallForAllHelp&) {
        return ParserExit{exit_success, false, app.help()};
    } catch (const CLI::CallForVersion& e) {
        return ParserExit{exit_success, false, std::string(e.what()) + "\n"};
    } catch (const CLI::Error& e) {
        // The usage of the subcommand in which the parse failed, or the top level's.
        const CLI::App* where = &app;
        std::string name = bin_name;
        auto selected = app.get_subcommands();
        if (!selected.empty()) {
            where = selected.front();
            name += " " + where->get_name();
        }
        return rejected(*where, name, e.what());
    }

    auto selected = app.get_subcommands();
    if (!selected.empty() && selected.front() == help) {
        if (help_topic.empty()) {
            return ParserExit{
                exit_success, false,
                app.get_formatter()->make_help(&app, bin_name, CLI::AppFormatMode::Normal)};
        }
        const CLI::App* topic = nullptr;
        const CLI::App& top = app;
        for (const CLI::App* candidate :
             top.get_subcommands(std::function<bool(const CLI::App*)>{})) {
            if (candidate->get_name() == help_topic) {
                topic = candidate;
            }
        }
        if (topic == nullptr) {
            return rejected(app, bin_name,
                            fmt::format("The subcommand '{}' wasn't recognized", help_topic));
        }
        return ParserExit{exit_success, false,
                          topic->get_formatter()->make_help(topic, bin_name + " " + help_topic,
                                                            CLI::AppFormatMode::Normal)};
    }

    CommandLine command_line;
    command_line.verbose = verbose;
    for (const auto& [sub, kind] : subcommands) {
        if (!selected.empty() && selected.front() == sub) {
            command_line.subcommand = kind;
        }
    }
    return command_line;
}

namespace {

void write_stderr(const std::string& text) {
    std::fputs(text.c_str(), stderr);
    std::fflush(stderr);
}

// No subcommand: the proxy in the foreground until a console control event stops it.
int console_run(Settings settings) {
    auto app = App::create(std::move(settings), false);
    if (!app) {
        write_stderr(app.error().full_text() + "\n");
        return exit_failure;
    }
    // Armed only now: an event while the application was being built ended the process the
    // system's way; from here on each event is counted, and a STOP sent before `App::run` waits
    // in the node's signal channel until the loop runs.
    StopHandle stop = (*app)->stop_handle();
    auto armed = console_ctrl::set_handler([stop] { stop(); });
    if (!armed) {
        write_stderr(armed.error().full_text() + "\n");
        return exit_failure;
    }
    App::run(std::move(*app));
    return exit_success;
}

}  // namespace

int run(const std::vector<std::string>& args) {
    auto parsed = parse_command_line(args);
    if (auto* parser_exit = std::get_if<ParserExit>(&parsed)) {
        std::FILE* stream = parser_exit->to_stderr ? stderr : stdout;
        std::fputs(parser_exit->text.c_str(), stream);
        std::fflush(stream);
        return parser_exit->exit_code;
    }
    const CommandLine command_line = std::get<CommandLine>(parsed);

    // Loaded for every subcommand: the stored level applies to `install` and `uninstall` too.
    Settings settings = Settings::load();
    const LogLevel level = command_line.verbose ? LogLevel::Debug : settings.log_level;

    auto installed =
        command_line.subcommand == Subcommand::Service
            ? logging::install_event_log_logger(windows_service::event_source_name, level)
            : logging::install_console_logger(level);
    if (!installed) {
        write_stderr(installed.error().full_text() + "\n");
        return exit_failure;
    }

    switch (command_line.subcommand) {
        case Subcommand::None:
            return console_run(std::move(settings));
        case Subcommand::Service:
            return windows_service::run_service();
        case Subcommand::Install:
            windows_service::install();
            return exit_success;
        case Subcommand::Uninstall:
            windows_service::uninstall();
            return exit_success;
    }
    log::get("tessaro::main_windows")->error("Unknown subcommand!");
    return exit_success;
}

}  // namespace tessaro::main_windows
