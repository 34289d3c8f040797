// POSIX build: there is no service control manager and no event log. The subcommands stay so that
// the command line is the same everywhere, and fail as they do on a machine that lacks those
// facilities: the same log lines and exit codes, and nothing on the machine is changed.
#include <cstdio>

#include "common/log.hpp"
#include "proxy/windows_service.hpp"

namespace tessaro::windows_service {

namespace {

constexpr const char* log_target = "tessaro::main_windows";
constexpr const char* no_event_log = "The event log is not available on this platform";
constexpr const char* no_service_manager =
    "The service control manager is not available on this platform";

}  // namespace

void install() {
    // As on Windows, a source that cannot be registered ends `install` before the service.
    log::get(log_target)->error("Could not register EventLog source: {}", no_event_log);
}

void uninstall() {
    auto logger = log::get(log_target);
    logger->error("Could not deregister EventLog source: {}", no_event_log);
    logger->error("Could not uninstall Windows service: {}", no_service_manager);
}

int run_service() {
    std::fprintf(stderr, "Could not start the service control dispatcher: %s\n",
                 no_service_manager);
    return 101;
}

}  // namespace tessaro::windows_service
