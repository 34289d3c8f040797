// MAC addresses: six bytes, written as six upper-case hexadecimal pairs joined by ":".
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "common/error.hpp"

namespace tessaro {

// The value of one hexadecimal digit (either case), or -1.
int hex_digit_value(char c);

struct MacAddress {
    std::array<std::uint8_t, 6> bytes{};

    // "0A:1B:2C:3D:4E:5F", always 17 characters.
    std::string to_string() const;

    // Split at every ":" and "-" (mixed allowed) into exactly six parts, each an unsigned
    // hexadecimal number 0..255 with an optional leading "+" and any leading zeros. Errors:
    // "invalid length" for a part count other than six, "invalid digit" for a bad part.
    static Result<MacAddress> parse(std::string_view text);

    auto operator<=>(const MacAddress&) const = default;
};

}  // namespace tessaro

// For log arguments: the text form of `to_string`, written only when the line is.
template <>
struct fmt::formatter<tessaro::MacAddress> {
    constexpr auto parse(fmt::format_parse_context& ctx) { return ctx.begin(); }
    auto format(const tessaro::MacAddress& mac, fmt::format_context& ctx) const {
        const auto& b = mac.bytes;
        return fmt::format_to(ctx.out(), "{:02X}:{:02X}:{:02X}:{:02X}:{:02X}:{:02X}", b[0], b[1],
                              b[2], b[3], b[4], b[5]);
    }
};
