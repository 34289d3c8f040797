// Windows: the arguments as the system's own rule splits the wide command line, in UTF-8. The
// narrow argv of the C runtime holds them only in the ANSI code page, which loses characters.
#include "proxy/main_windows.hpp"

#include "common/os/windows.hpp"

#include <shellapi.h>

namespace tessaro::main_windows {

namespace {

std::string to_utf8(const wchar_t* text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 1) {
        return {};
    }
    std::string result(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, result.data(), size, nullptr, nullptr);
    result.resize(static_cast<std::size_t>(size - 1));
    return result;
}

}  // namespace

std::vector<std::string> process_arguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        // Only when the system is out of memory: the runtime's narrow copy is all there is.
        return std::vector<std::string>(argv, argv + argc);
    }
    std::vector<std::string> args;
    args.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        args.push_back(to_utf8(wide[i]));
    }
    LocalFree(wide);
    return args;
}

}  // namespace tessaro::main_windows
