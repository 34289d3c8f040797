// MAC addresses: six bytes, written as six upper-case hexadecimal pairs joined by ":".
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace tessaro {

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
