// The two SICCT service-discovery datagrams: the request a peer broadcasts to find a SICCT
// service, and the announcement that answers it. Both share one frame: an outer tag that names the
// message and the device (0xA0/0xA1 card terminal, 0xE0/0xE1 PIN pad), a length byte, then fields
// of tag, length byte and value. Datagrams are always parsed into records and encoded afresh, so
// that nothing malformed that arrives on one network is passed on to another.
//
// The parsers take any bytes from the network: they reject what they cannot use and return
// nothing, without a reason and without logging (a LAN is free to carry garbage).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/error.hpp"
#include "common/ipv4.hpp"
#include "common/mac_address.hpp"
#include "common/settings.hpp"

namespace tessaro {

// The card terminal's announcement content: the items of its 0xA3 fields, in datagram order.
struct Sicct {
    std::vector<std::uint8_t> items;
    bool operator==(const Sicct&) const = default;
};

// The PIN pad's announcement content: its text (0x86) and byte string (0x85).
struct SicctLite {
    std::string text;
    std::vector<std::uint8_t> bytes;
    bool operator==(const SicctLite&) const = default;
};

using AnnouncementKind = std::variant<Sicct, SicctLite>;

// Terminal for Sicct, Pinpad for SicctLite.
DeviceKind device_kind(const AnnouncementKind& kind);

// "SICCT" or "SICCT-LITE".
std::string_view to_string(const AnnouncementKind& kind);

struct ServiceDiscoveryRequest {
    static constexpr std::size_t SIZE = 16;

    DeviceKind kind = DeviceKind::Terminal;
    Ipv4Addr ip_address;  // where the requester wants the announcement
    std::uint16_t port = 0;

    // Always the same 16 bytes for the same arguments: outer tag, length, 0x80, 0x81, 0x82.
    static std::array<std::uint8_t, SIZE> encode(DeviceKind kind, Ipv4Addr ip_address,
                                                 std::uint16_t port);

    // A request of either kind; whether the kind fits is the caller's decision.
    static std::optional<ServiceDiscoveryRequest> parse(std::span<const std::uint8_t> datagram);

    bool operator==(const ServiceDiscoveryRequest&) const = default;
};

struct ServiceAnnouncement {
    // Every field value and the fields after the outer header are limited by one length byte.
    static constexpr std::size_t MAX_FIELD_SIZE = 255;
    static constexpr std::size_t MAX_ITEMS = MAX_FIELD_SIZE / 3;
    static constexpr std::size_t MAX_SIZE = MAX_FIELD_SIZE + 2;

    std::string name;  // UTF-8
    AnnouncementKind kind;
    Ipv4Addr ip_address;
    MacAddress mac_address;
    std::uint16_t port = 0;

    // Refuses an announcement whose name, text, byte string, items or whole size do not fit their
    // length bytes, rather than sending a datagram whose lengths lie.
    [[nodiscard]] Result<std::vector<std::uint8_t>> encode() const;

    // Names and texts are decoded as UTF-8 with U+FFFD in place of each invalid sequence.
    static std::optional<ServiceAnnouncement> parse(std::span<const std::uint8_t> datagram);

    // "Kind: SICCT, Name: ..., MAC Address: ..., IP Address: ..., SICCT Port: ..."
    std::string to_string() const;

    bool operator==(const ServiceAnnouncement&) const = default;
};

// UTF-8 text from untrusted bytes: every maximal subpart of an ill-formed sequence becomes one
// U+FFFD, as the Unicode standard recommends and browsers do.
std::string decode_utf8_lossy(std::span<const std::uint8_t> bytes);

}  // namespace tessaro

// For log arguments ("Device found: {}"): the text of `to_string`, made only when the line is
// written.
template <>
struct fmt::formatter<tessaro::ServiceAnnouncement> {
    constexpr auto parse(fmt::format_parse_context& ctx) { return ctx.begin(); }
    auto format(const tessaro::ServiceAnnouncement& announcement, fmt::format_context& ctx) const {
        return fmt::format_to(ctx.out(),
                              "Kind: {}, Name: {}, MAC Address: {}, IP Address: {}, SICCT Port: {}",
                              tessaro::to_string(announcement.kind), announcement.name,
                              announcement.mac_address, announcement.ip_address, announcement.port);
    }
};
