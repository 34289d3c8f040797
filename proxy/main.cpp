// Entry of the service program.
#include "proxy/main_windows.hpp"

int main(int argc, char** argv) {
    return tessaro::main_windows::run(tessaro::main_windows::process_arguments(argc, argv));
}
