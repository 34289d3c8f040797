#include "proxy/windows_service.hpp"

namespace tessaro::windows_service {

namespace {

constexpr std::uint32_t service_control_stop = 1;
constexpr std::uint32_t service_control_interrogate = 4;
constexpr std::uint32_t error_call_not_implemented = 120;

bool needs_quotes(std::string_view argument) {
    return argument.empty() || argument.find_first_of(" \t\n\v\"") != std::string_view::npos;
}

}  // namespace

std::string quote_argument(std::string_view argument) {
    if (!needs_quotes(argument)) {
        return std::string(argument);
    }
    // Backslashes are literal unless a run of them ends at a quote: there the parser halves the
    // run, and an odd count escapes the quote. So a run before an inner quote is doubled plus one
    // (escaping the quote), and a run before the closing quote is doubled.
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        if (c == '"') {
            quoted.append(2 * backslashes + 1, '\\');
        } else {
            quoted.append(backslashes, '\\');
        }
        backslashes = 0;
        quoted.push_back(c);
    }
    quoted.append(2 * backslashes, '\\');
    quoted.push_back('"');
    return quoted;
}

std::string service_command_line(std::string_view exe_path) {
    return quote_argument(exe_path) + " " + quote_argument(launch_argument);
}

ControlDecision decide_control(std::uint32_t control) {
    switch (control) {
        case service_control_stop:
            return {.send_stop = true, .return_code = 0};
        case service_control_interrogate:
            return {.send_stop = false, .return_code = 0};
        default:
            // Shutdown and preshutdown too: the running report accepts only STOP, so the manager
            // does not send them, and a service that claims to handle them would be waited for.
            return {.send_stop = false, .return_code = error_call_not_implemented};
    }
}

}  // namespace tessaro::windows_service
