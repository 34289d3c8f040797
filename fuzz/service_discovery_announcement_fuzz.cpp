// Any announcement the parser accepts and the encoder takes must parse again to the same record,
// from a datagram whose length bytes are right; the encoder may refuse only what cannot fit.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string_view>
#include <variant>

#include "proxy/service_discovery_datagram.hpp"

namespace {

// Well-formed UTF-8 checked by decoding code points, independently of the parser's range tables:
// shortest form, no surrogates, nothing past U+10FFFF.
bool well_formed_utf8(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<std::uint8_t>(text[i]);
        std::size_t length = 0;
        std::uint32_t cp = 0;
        if (lead < 0x80) {
            length = 1;
            cp = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            cp = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            cp = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            cp = lead & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size()) {
            return false;
        }
        for (std::size_t k = 1; k < length; ++k) {
            const auto b = static_cast<std::uint8_t>(text[i + k]);
            if ((b & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (b & 0x3F);
        }
        constexpr std::uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < shortest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
        }
        i += length;
    }
    return true;
}

bool fits(const tessaro::ServiceAnnouncement& a) {
    constexpr std::size_t limit = tessaro::ServiceAnnouncement::MAX_FIELD_SIZE;
    std::size_t size = 26 + a.name.size();
    if (const auto* lite = std::get_if<tessaro::SicctLite>(&a.kind)) {
        size += 2 + lite->text.size() + lite->bytes.size();
        if (lite->text.size() > limit || lite->bytes.size() > limit) {
            return false;
        }
    } else {
        size += 3 * std::get<tessaro::Sicct>(a.kind).items.size();
    }
    return a.name.size() <= limit && size <= limit;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using tessaro::ServiceAnnouncement;
    const auto parsed = ServiceAnnouncement::parse(std::span(data, size));
    if (!parsed) {
        return 0;
    }
    const auto* lite = std::get_if<tessaro::SicctLite>(&parsed->kind);
    if (!well_formed_utf8(parsed->name) || (lite != nullptr && !well_formed_utf8(lite->text))) {
        std::abort();
    }
    const auto encoded = parsed->encode();
    if (!encoded) {
        if (fits(*parsed)) {
            std::abort();
        }
        return 0;
    }
    if (encoded->size() > ServiceAnnouncement::MAX_SIZE ||
        encoded->size() != std::size_t{(*encoded)[1]} + 2) {
        std::abort();
    }
    const auto again = ServiceAnnouncement::parse(*encoded);
    if (!again || *again != *parsed) {
        std::abort();
    }
    // Encoding is a function of the record alone.
    const auto twice = again->encode();
    if (!twice || *twice != *encoded) {
        std::abort();
    }
    return 0;
}
