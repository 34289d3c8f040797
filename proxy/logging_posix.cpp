// POSIX: standard output through stdio, terminals by isatty, and no event log.
#include "proxy/logging.hpp"

#include <cstdio>
#include <string>

#include <unistd.h>

namespace tessaro::logging {

bool stdout_is_terminal() {
    return isatty(STDOUT_FILENO) == 1;
}

void enable_virtual_terminal() {}

std::tm local_time(std::time_t time) {
    std::tm result{};
    localtime_r(&time, &result);
    return result;
}

void write_stdout(std::string_view line) {
    // One call per line: stdio holds the stream's lock for the whole of it.
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

Result<EventReporter> open_event_source(std::string_view source_name) {
    return fail("Could not open the event log source \"" + std::string(source_name) +
                "\": this system has no event log");
}

}  // namespace tessaro::logging
