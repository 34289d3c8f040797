// POSIX: the arguments are the bytes the process was started with.
#include "proxy/main_windows.hpp"

namespace tessaro::main_windows {

std::vector<std::string> process_arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

}  // namespace tessaro::main_windows
