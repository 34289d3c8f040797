// Entry of the service program.
#include <cstdio>

#include "common/os/dll_search.hpp"
#include "proxy/main_windows.hpp"

int main(int argc, char** argv) {
    // First of all, before the command line is even read: the service runs as SYSTEM, possibly
    // from a folder that others can write.
    if (auto restricted = tessaro::os::restrict_dll_search_to_system_folder(); !restricted) {
        std::fprintf(stderr, "%s\n", restricted.error().message().c_str());
        return tessaro::main_windows::exit_failure;
    }
    return tessaro::main_windows::run(tessaro::main_windows::process_arguments(argc, argv));
}
