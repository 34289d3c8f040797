// errno values through strerror_r; the GNU form returns the text (possibly a static one).
#include "common/os/system_error.hpp"

#include <cstring>

#include <fmt/format.h>

namespace tessaro::os {

namespace {

// Both strerror_r flavours: GNU returns the text, XSI fills the buffer and returns 0.
[[maybe_unused]] const char* strerror_text(char* result, const char*) {
    return result;
}
[[maybe_unused]] const char* strerror_text(int result, const char* buffer) {
    return result == 0 ? buffer : nullptr;
}

}  // namespace

std::string system_error_text(std::uint32_t code) {
    char buffer[256] = {};
    const char* text =
        strerror_text(strerror_r(static_cast<int>(code), buffer, sizeof buffer), buffer);
    std::string message = text != nullptr && *text != '\0' ? text : "Unknown error";
    while (!message.empty() && (message.back() == ' ' || message.back() == '\n' ||
                                message.back() == '\r' || message.back() == '\t')) {
        message.pop_back();
    }
    return fmt::format("{} (os error {})", message, code);
}

}  // namespace tessaro::os
