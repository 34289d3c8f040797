// The platform-independent half of the registry seam: raw value encodings and the UTF-16 texts.
#include "common/os/registry.hpp"

namespace tessaro::os {

namespace {

constexpr char32_t REPLACEMENT = 0xFFFD;

void append_utf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

bool is_high_surrogate(char16_t u) {
    return u >= 0xD800 && u <= 0xDBFF;
}
bool is_low_surrogate(char16_t u) {
    return u >= 0xDC00 && u <= 0xDFFF;
}

}  // namespace

std::string utf16_to_utf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char16_t u = text[i];
        if (is_high_surrogate(u) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
            char32_t c =
                0x10000 + ((char32_t{u} - 0xD800) << 10) + (char32_t{text[i + 1]} - 0xDC00);
            append_utf8(out, c);
            ++i;
        } else if (is_high_surrogate(u) || is_low_surrogate(u)) {
            append_utf8(out, REPLACEMENT);
        } else {
            append_utf8(out, u);
        }
    }
    return out;
}

std::u16string utf8_to_utf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        auto b0 = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        char32_t c = 0;
        char32_t min = 0;
        if (b0 < 0x80) {
            length = 1;
            c = b0;
        } else if ((b0 & 0xE0) == 0xC0) {
            length = 2;
            c = b0 & 0x1F;
            min = 0x80;
        } else if ((b0 & 0xF0) == 0xE0) {
            length = 3;
            c = b0 & 0x0F;
            min = 0x800;
        } else if ((b0 & 0xF8) == 0xF0) {
            length = 4;
            c = b0 & 0x07;
            min = 0x10000;
        }
        bool valid = length != 0 && i + length <= text.size();
        for (std::size_t k = 1; valid && k < length; ++k) {
            auto b = static_cast<unsigned char>(text[i + k]);
            if ((b & 0xC0) != 0x80) {
                valid = false;
            } else {
                c = (c << 6) | (b & 0x3F);
            }
        }
        // Overlong forms, encoded surrogates and code points above U+10FFFF are no UTF-8.
        if (valid && (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))) {
            valid = false;
        }
        if (!valid) {
            out += static_cast<char16_t>(REPLACEMENT);
            ++i;
            continue;
        }
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
        i += length;
    }
    return out;
}

RegistryValue RegistryValue::from_string(std::string_view utf8) {
    RegistryValue value;
    value.type = REG_SZ_TYPE;
    std::u16string units = utf8_to_utf16(utf8);
    value.data.reserve((units.size() + 1) * 2);
    for (char16_t u : units) {
        value.data.push_back(static_cast<std::uint8_t>(u & 0xFF));
        value.data.push_back(static_cast<std::uint8_t>(u >> 8));
    }
    value.data.push_back(0);
    value.data.push_back(0);
    return value;
}

RegistryValue RegistryValue::from_dword(std::uint32_t number) {
    RegistryValue value;
    value.type = REG_DWORD_TYPE;
    for (int shift = 0; shift < 32; shift += 8) {
        value.data.push_back(static_cast<std::uint8_t>(number >> shift));
    }
    return value;
}

std::optional<std::string> RegistryValue::string_value() const {
    if (type != REG_SZ_TYPE) {
        return std::nullopt;
    }
    // Whole UTF-16 units only: a trailing odd byte belongs to no character.
    std::u16string units;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
        auto u = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
        if (u == 0) {
            return utf16_to_utf8(units);
        }
        units += u;
    }
    return std::nullopt;
}

std::optional<std::uint32_t> RegistryValue::dword_value() const {
    if (type != REG_DWORD_TYPE || data.size() < 4) {
        return std::nullopt;
    }
    return std::uint32_t{data[0]} | (std::uint32_t{data[1]} << 8) | (std::uint32_t{data[2]} << 16) |
           (std::uint32_t{data[3]} << 24);
}

std::string path_error_text(RegistryErrorKind kind, std::string_view path) {
    switch (kind) {
        case RegistryErrorKind::NotFound:
            return "Provided path not found: " + std::string(path);
        case RegistryErrorKind::AccessDenied:
            return "Permission denied for given path: " + std::string(path);
        case RegistryErrorKind::Other:
            break;
    }
    return "An unknown IO error occurred for given path: " + std::string(path);
}

std::string value_error_text(RegistryErrorKind kind, std::string_view name) {
    switch (kind) {
        case RegistryErrorKind::NotFound:
            return "Data not found for value with name '" + std::string(name) + "'";
        case RegistryErrorKind::AccessDenied:
            return "Permission denied for given value name: '" + std::string(name) + "'";
        case RegistryErrorKind::Other:
            break;
    }
    return "An unknown IO error occurred for given value name: '" + std::string(name) + "'";
}

}  // namespace tessaro::os
