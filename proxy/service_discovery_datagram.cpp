#include "proxy/service_discovery_datagram.hpp"

#include <algorithm>
#include <utility>

#include <fmt/format.h>

namespace tessaro {

namespace {

constexpr std::uint8_t TERMINAL_REQUEST = 0xA0;
constexpr std::uint8_t TERMINAL_ANNOUNCEMENT = 0xA1;
constexpr std::uint8_t PINPAD_REQUEST = 0xE0;
constexpr std::uint8_t PINPAD_ANNOUNCEMENT = 0xE1;

constexpr std::uint8_t TAG_VERSION = 0x80;
constexpr std::uint8_t TAG_IP_ADDRESS = 0x81;
constexpr std::uint8_t TAG_PORT = 0x82;
constexpr std::uint8_t TAG_MAC_ADDRESS = 0x83;
constexpr std::uint8_t TAG_NAME = 0x84;
constexpr std::uint8_t TAG_BYTES = 0x85;
constexpr std::uint8_t TAG_TEXT = 0x86;
constexpr std::uint8_t TAG_ITEMS = 0xA3;
constexpr std::uint8_t ITEM_TAG = 0x8A;
constexpr std::uint8_t ITEM_LENGTH = 0x01;

// The second byte of the 0x80 field: what the card terminal and the PIN pad write there.
constexpr std::uint8_t TERMINAL_VERSION = 0x14;
constexpr std::uint8_t PINPAD_VERSION = 0x00;

using Bytes = std::span<const std::uint8_t>;

// Checks the outer header and walks the fields after it, handing each (tag, value) to `rule`.
// A field whose length runs past the end rejects the datagram, as does a rule answering false; a
// single byte left at the end cannot hold a field header and is ignored.
template <typename Rule>
bool walk_fields(Bytes datagram, Rule&& rule) {
    if (datagram.size() < 2 || std::size_t{datagram[1]} + 2 != datagram.size()) {
        return false;
    }
    Bytes rest = datagram.subspan(2);
    while (rest.size() >= 2) {
        const std::uint8_t tag = rest[0];
        const std::size_t length = rest[1];
        if (length + 2 > rest.size()) {
            return false;
        }
        if (!rule(tag, rest.subspan(2, length))) {
            return false;
        }
        rest = rest.subspan(length + 2);
    }
    return true;
}

Ipv4Addr read_ipv4(Bytes value) {
    return Ipv4Addr{{value[0], value[1], value[2], value[3]}};
}

std::uint16_t read_u16(Bytes value) {
    return static_cast<std::uint16_t>((std::uint16_t{value[0]} << 8) | value[1]);
}

MacAddress read_mac(Bytes value) {
    MacAddress mac;
    std::copy(value.begin(), value.end(), mac.bytes.begin());
    return mac;
}

void append_utf8(std::string& out, std::uint32_t code_point) {
    if (code_point < 0x80) {
        out += static_cast<char>(code_point);
    } else if (code_point < 0x800) {
        out += static_cast<char>(0xC0 | (code_point >> 6));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (code_point >> 12));
        out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code_point & 0x3F));
    }
}

constexpr std::uint32_t REPLACEMENT_CHARACTER = 0xFFFD;

class DatagramWriter {
  public:
    void byte(std::uint8_t b) { bytes_.push_back(b); }
    void field(std::uint8_t tag, Bytes value) {
        byte(tag);
        byte(static_cast<std::uint8_t>(value.size()));
        bytes_.insert(bytes_.end(), value.begin(), value.end());
    }
    void field(std::uint8_t tag, std::string_view value) {
        field(tag, Bytes(reinterpret_cast<const std::uint8_t*>(value.data()), value.size()));
    }
    std::vector<std::uint8_t> finish() && {
        bytes_[1] = static_cast<std::uint8_t>(bytes_.size() - 2);
        return std::move(bytes_);
    }

  private:
    std::vector<std::uint8_t> bytes_;
};

std::unexpected<Error> does_not_fit(std::string what, std::size_t size, std::size_t limit) {
    return fail(
        fmt::format("Service announcement does not fit into a datagram: {} is {} bytes, "
                    "at most {} fit",
                    what, size, limit));
}

}  // namespace

DeviceKind device_kind(const AnnouncementKind& kind) {
    return std::holds_alternative<Sicct>(kind) ? DeviceKind::Terminal : DeviceKind::Pinpad;
}

std::string_view to_string(const AnnouncementKind& kind) {
    return std::holds_alternative<Sicct>(kind) ? "SICCT" : "SICCT-LITE";
}

std::string decode_utf8_lossy(Bytes bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::uint8_t lead = bytes[i];
        if (lead < 0x80) {
            out += static_cast<char>(lead);
            ++i;
            continue;
        }
        // The number of continuation bytes and the range the first of them must lie in; the
        // narrower ranges exclude overlong forms, surrogates and code points past U+10FFFF.
        std::size_t continuations = 0;
        std::uint8_t low = 0x80;
        std::uint8_t high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            continuations = 1;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            continuations = 2;
            if (lead == 0xE0) {
                low = 0xA0;
            } else if (lead == 0xED) {
                high = 0x9F;
            }
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            continuations = 3;
            if (lead == 0xF0) {
                low = 0x90;
            } else if (lead == 0xF4) {
                high = 0x8F;
            }
        } else {
            append_utf8(out, REPLACEMENT_CHARACTER);
            ++i;
            continue;
        }
        // The longest prefix that could still begin a well-formed sequence is one maximal
        // subpart: it is replaced as a whole, and the byte that broke it is read afresh.
        std::size_t end = i + 1;
        bool complete = true;
        for (std::size_t k = 0; k < continuations; ++k, ++end) {
            if (end >= bytes.size() || bytes[end] < low || bytes[end] > high) {
                complete = false;
                break;
            }
            low = 0x80;
            high = 0xBF;
        }
        if (complete) {
            out.append(reinterpret_cast<const char*>(bytes.data() + i), end - i);
        } else {
            append_utf8(out, REPLACEMENT_CHARACTER);
        }
        i = end;
    }
    return out;
}

std::array<std::uint8_t, ServiceDiscoveryRequest::SIZE> ServiceDiscoveryRequest::encode(
    DeviceKind kind, Ipv4Addr ip_address, std::uint16_t port) {
    const bool terminal = kind == DeviceKind::Terminal;
    return {
        terminal ? TERMINAL_REQUEST : PINPAD_REQUEST,
        static_cast<std::uint8_t>(SIZE - 2),
        TAG_VERSION,
        0x02,
        0x01,
        terminal ? TERMINAL_VERSION : PINPAD_VERSION,
        TAG_IP_ADDRESS,
        0x04,
        ip_address.octets[0],
        ip_address.octets[1],
        ip_address.octets[2],
        ip_address.octets[3],
        TAG_PORT,
        0x02,
        static_cast<std::uint8_t>(port >> 8),
        static_cast<std::uint8_t>(port & 0xFF),
    };
}

std::optional<ServiceDiscoveryRequest> ServiceDiscoveryRequest::parse(Bytes datagram) {
    if (datagram.empty()) {
        return std::nullopt;
    }
    DeviceKind kind;
    if (datagram[0] == TERMINAL_REQUEST) {
        kind = DeviceKind::Terminal;
    } else if (datagram[0] == PINPAD_REQUEST) {
        kind = DeviceKind::Pinpad;
    } else {
        return std::nullopt;
    }
    std::optional<Ipv4Addr> ip_address;
    std::optional<std::uint16_t> port;
    const bool walked = walk_fields(datagram, [&](std::uint8_t tag, Bytes value) {
        if (tag == TAG_IP_ADDRESS && value.size() == 4) {
            ip_address = read_ipv4(value);
        } else if (tag == TAG_PORT && value.size() == 2) {
            port = read_u16(value);
        }
        return true;
    });
    if (!walked || !ip_address || !port) {
        return std::nullopt;
    }
    return ServiceDiscoveryRequest{kind, *ip_address, *port};
}

Result<std::vector<std::uint8_t>> ServiceAnnouncement::encode() const {
    const auto* lite = std::get_if<SicctLite>(&kind);
    const auto* sicct = std::get_if<Sicct>(&kind);

    if (name.size() > MAX_FIELD_SIZE) {
        return does_not_fit("name", name.size(), MAX_FIELD_SIZE);
    }
    // Fixed part: 0x80 (4), 0x81 (6), 0x83 (8), 0x82 (4), and the name's header (2).
    std::size_t fields_size = 4 + 6 + 8 + 4 + 2 + name.size();
    if (lite != nullptr) {
        if (lite->bytes.size() > MAX_FIELD_SIZE) {
            return does_not_fit("byte string", lite->bytes.size(), MAX_FIELD_SIZE);
        }
        if (lite->text.size() > MAX_FIELD_SIZE) {
            return does_not_fit("text", lite->text.size(), MAX_FIELD_SIZE);
        }
        fields_size += 2 + lite->bytes.size() + 2 + lite->text.size();
    } else {
        if (sicct->items.size() > MAX_ITEMS) {
            return fail(
                fmt::format("Service announcement does not fit into a datagram: {} items, "
                            "at most {} fit",
                            sicct->items.size(), MAX_ITEMS));
        }
        fields_size += 2 + 3 * sicct->items.size();
    }
    if (fields_size > MAX_FIELD_SIZE) {
        return does_not_fit("the content after the header", fields_size, MAX_FIELD_SIZE);
    }

    DatagramWriter out;
    out.byte(lite != nullptr ? PINPAD_ANNOUNCEMENT : TERMINAL_ANNOUNCEMENT);
    out.byte(0);  // length, filled in by finish()
    const std::array<std::uint8_t, 2> version{0x01,
                                              lite != nullptr ? PINPAD_VERSION : TERMINAL_VERSION};
    out.field(TAG_VERSION, version);
    out.field(TAG_IP_ADDRESS, ip_address.octets);
    out.field(TAG_MAC_ADDRESS, mac_address.bytes);
    out.field(TAG_NAME, name);
    const std::array<std::uint8_t, 2> port_bytes{static_cast<std::uint8_t>(port >> 8),
                                                 static_cast<std::uint8_t>(port & 0xFF)};
    out.field(TAG_PORT, port_bytes);
    if (lite != nullptr) {
        out.field(TAG_BYTES, lite->bytes);
        out.field(TAG_TEXT, lite->text);
    } else {
        out.byte(TAG_ITEMS);
        out.byte(static_cast<std::uint8_t>(3 * sicct->items.size()));
        for (std::uint8_t item : sicct->items) {
            out.byte(ITEM_TAG);
            out.byte(ITEM_LENGTH);
            out.byte(item);
        }
    }
    return std::move(out).finish();
}

std::optional<ServiceAnnouncement> ServiceAnnouncement::parse(Bytes datagram) {
    if (datagram.empty()) {
        return std::nullopt;
    }
    const bool lite = datagram[0] == PINPAD_ANNOUNCEMENT;
    if (!lite && datagram[0] != TERMINAL_ANNOUNCEMENT) {
        return std::nullopt;
    }
    std::optional<std::string> name;
    std::optional<Ipv4Addr> ip_address;
    std::optional<MacAddress> mac_address;
    std::optional<std::uint16_t> port;
    std::optional<std::vector<std::uint8_t>> bytes;
    std::optional<std::string> text;
    std::vector<std::uint8_t> items;
    const bool walked = walk_fields(datagram, [&](std::uint8_t tag, Bytes value) {
        switch (tag) {
            case TAG_IP_ADDRESS:
                if (value.size() == 4) {
                    ip_address = read_ipv4(value);
                }
                break;
            case TAG_PORT:
                if (value.size() == 2) {
                    port = read_u16(value);
                }
                break;
            case TAG_MAC_ADDRESS:
                if (value.size() == 6) {
                    mac_address = read_mac(value);
                }
                break;
            case TAG_NAME:
                name = decode_utf8_lossy(value);
                break;
            case TAG_BYTES:
                bytes.emplace(value.begin(), value.end());
                break;
            case TAG_TEXT:
                text = decode_utf8_lossy(value);
                break;
            case TAG_ITEMS:
                // Checked for both kinds: a malformed item list spoils the whole datagram.
                if (value.size() % 3 != 0) {
                    return false;
                }
                for (std::size_t k = 0; k < value.size(); k += 3) {
                    if (value[k] != ITEM_TAG || value[k + 1] != ITEM_LENGTH) {
                        return false;
                    }
                    items.push_back(value[k + 2]);
                }
                break;
            default:
                break;
        }
        return true;
    });
    if (!walked || !name || !ip_address || !mac_address || !port) {
        return std::nullopt;
    }
    AnnouncementKind kind;
    if (lite) {
        if (!bytes || !text) {
            return std::nullopt;
        }
        kind = SicctLite{std::move(*text), std::move(*bytes)};
    } else {
        kind = Sicct{std::move(items)};
    }
    return ServiceAnnouncement{std::move(*name), std::move(kind), *ip_address, *mac_address, *port};
}

std::string ServiceAnnouncement::to_string() const {
    return fmt::format("{}", *this);
}

}  // namespace tessaro
