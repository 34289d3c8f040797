#include "common/mac_address.hpp"

#include <vector>

namespace tessaro {

std::string MacAddress::to_string() const {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(17);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0) {
            text += ':';
        }
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

int hex_digit_value(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

Result<MacAddress> MacAddress::parse(std::string_view text) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == ':' || text[i] == '-') {
            parts.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    if (parts.size() != 6) {
        return fail("invalid length");
    }
    MacAddress mac;
    for (std::size_t p = 0; p < parts.size(); ++p) {
        std::string_view part = parts[p];
        if (!part.empty() && part.front() == '+') {
            part.remove_prefix(1);
        }
        if (part.empty()) {
            return fail("invalid digit");
        }
        unsigned value = 0;
        for (char c : part) {
            int digit = hex_digit_value(c);
            if (digit < 0) {
                return fail("invalid digit");
            }
            value = value * 16 + static_cast<unsigned>(digit);
            if (value > 255) {
                return fail("invalid digit");
            }
        }
        mac.bytes[p] = static_cast<std::uint8_t>(value);
    }
    return mac;
}

}  // namespace tessaro
