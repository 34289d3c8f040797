// Win32 error codes through FormatMessageW from the system's message table, in the user's
// default language, converted to UTF-8.
#include "common/os/system_error.hpp"

#include "common/os/windows.hpp"

#include <fmt/format.h>

namespace tessaro::os {

namespace {

std::string to_utf8(const wchar_t* text, int length) {
    if (length <= 0) {
        return {};
    }
    int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return {};
    }
    std::string result(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, result.data(), size, nullptr, nullptr);
    return result;
}

}  // namespace

std::string system_error_text(std::uint32_t code) {
    wchar_t* buffer = nullptr;
    // FORMAT_MESSAGE_IGNORE_INSERTS: some messages hold %1 placeholders that we have no
    // arguments for.
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string message;
    if (length != 0 && buffer != nullptr) {
        message = to_utf8(buffer, static_cast<int>(length));
    }
    if (buffer != nullptr) {
        LocalFree(buffer);
    }
    while (!message.empty() && (message.back() == ' ' || message.back() == '\n' ||
                                message.back() == '\r' || message.back() == '\t')) {
        message.pop_back();
    }
    if (message.empty()) {
        message = "Unknown error";
    }
    return fmt::format("{} (os error {})", message, code);
}

}  // namespace tessaro::os
