// The Windows service "korvel-tessaro": the `install`, `uninstall` and `service` subcommands of
// the service program, the service's main function and its control handler.
//
// `install` registers the event-log source "Korvel Tessaro" and then creates the service;
// `uninstall` removes the source and then stops and deletes the service. Both log each step under
// the target "tessaro::main_windows" and never fail the program. `service` hands the main thread
// to the service control dispatcher.
//
// The POSIX build keeps the subcommands and fails them the way a machine without a service
// control manager and event log fails, with the same log lines and exit codes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/os/registry.hpp"

namespace tessaro::windows_service {

inline constexpr std::string_view service_name = "korvel-tessaro";
inline constexpr std::string_view display_name = "Korvel Tessaro";
inline constexpr std::string_view event_source_name = "Korvel Tessaro";
inline constexpr std::string_view event_log_base_key =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";
inline constexpr std::string_view launch_argument = "service";

// One argument as the Windows command-line parser reads it back: unchanged when it is not empty
// and holds no blank, tab, line feed, vertical tab or double quote; otherwise in double quotes,
// with the backslashes before a quote or before the closing quote doubled.
std::string quote_argument(std::string_view argument);

// The command line written into the service's configuration: the quoted executable path, a
// blank, and the quoted launch argument.
std::string service_command_line(std::string_view exe_path);

// What the control handler does with one control code: whether it sends the application's stop
// signal, and the Win32 code it returns (0 or ERROR_CALL_NOT_IMPLEMENTED).
struct ControlDecision {
    bool send_stop = false;
    std::uint32_t return_code = 0;

    bool operator==(const ControlDecision&) const = default;
};

ControlDecision decide_control(std::uint32_t control);

// The subcommands. `install` and `uninstall` log every step and return; the program then ends
// with exit code 0. `run_service` returns the process exit code: 0 once the service has stopped,
// 101 when the dispatcher could not be started (the failure is written to standard error).
void install();
void uninstall();
int run_service();

}  // namespace tessaro::windows_service
