// IPv4 addresses and IPv4 socket addresses as plain values.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace tessaro {

struct Ipv4Addr {
    std::array<std::uint8_t, 4> octets{};

    static constexpr Ipv4Addr from_u32(std::uint32_t v) {
        return Ipv4Addr{{static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                         static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)}};
    }
    constexpr std::uint32_t to_u32() const {
        return (std::uint32_t{octets[0]} << 24) | (std::uint32_t{octets[1]} << 16) |
               (std::uint32_t{octets[2]} << 8) | std::uint32_t{octets[3]};
    }

    // Dotted decimal, "192.168.1.10".
    std::string to_string() const;

    // Strict dotted form: four decimal numbers 0..255 of one to three digits, no leading zero
    // (except 0 itself), no sign, no blanks, nothing before or after.
    static std::optional<Ipv4Addr> parse(std::string_view text);

    auto operator<=>(const Ipv4Addr&) const = default;
};

struct SocketAddrV4 {
    Ipv4Addr ip;
    std::uint16_t port = 0;

    // "192.168.1.10:4742"
    std::string to_string() const;

    auto operator<=>(const SocketAddrV4&) const = default;
};

}  // namespace tessaro

// Log lines take addresses as arguments rather than as texts, so that an address is written out
// only when its line is: "192.168.1.10" and "192.168.1.10:4742", as `to_string` gives them.
template <>
struct fmt::formatter<tessaro::Ipv4Addr> {
    constexpr auto parse(fmt::format_parse_context& ctx) { return ctx.begin(); }
    auto format(const tessaro::Ipv4Addr& address, fmt::format_context& ctx) const {
        const auto& o = address.octets;
        return fmt::format_to(ctx.out(), "{}.{}.{}.{}", o[0], o[1], o[2], o[3]);
    }
};

template <>
struct fmt::formatter<tessaro::SocketAddrV4> {
    constexpr auto parse(fmt::format_parse_context& ctx) { return ctx.begin(); }
    auto format(const tessaro::SocketAddrV4& address, fmt::format_context& ctx) const {
        return fmt::format_to(ctx.out(), "{}:{}", address.ip, address.port);
    }
};
