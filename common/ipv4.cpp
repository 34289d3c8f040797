#include "common/ipv4.hpp"

namespace tessaro {

std::string Ipv4Addr::to_string() const {
    std::string text;
    for (std::size_t i = 0; i < octets.size(); ++i) {
        if (i != 0) {
            text += '.';
        }
        text += std::to_string(octets[i]);
    }
    return text;
}

std::optional<Ipv4Addr> Ipv4Addr::parse(std::string_view text) {
    Ipv4Addr addr;
    std::size_t pos = 0;
    for (std::size_t part = 0; part < 4; ++part) {
        if (part != 0) {
            if (pos >= text.size() || text[pos] != '.') {
                return std::nullopt;
            }
            ++pos;
        }
        std::size_t start = pos;
        unsigned value = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - start < 3) {
            value = value * 10 + static_cast<unsigned>(text[pos] - '0');
            ++pos;
        }
        std::size_t digits = pos - start;
        if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0')) {
            return std::nullopt;
        }
        addr.octets[part] = static_cast<std::uint8_t>(value);
    }
    if (pos != text.size()) {
        return std::nullopt;
    }
    return addr;
}

std::string SocketAddrV4::to_string() const { return ip.to_string() + ":" + std::to_string(port); }

}  // namespace tessaro
