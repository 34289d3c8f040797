#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "proxy/service_discovery_datagram.hpp"

using namespace tessaro;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// One field, composed by hand so that the encoder under test does not check itself.
Bytes field(std::uint8_t tag, Bytes value) {
    Bytes out{tag, static_cast<std::uint8_t>(value.size())};
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes text_field(std::uint8_t tag, std::string_view text) {
    return field(tag, Bytes(text.begin(), text.end()));
}

// Outer tag, the length of everything that follows, then the fields as given.
Bytes frame(std::uint8_t tag, std::initializer_list<Bytes> fields) {
    Bytes body = concat(fields);
    return concat({Bytes{tag, static_cast<std::uint8_t>(body.size())}, body});
}

Bytes with_trailing(Bytes datagram, Bytes tail) {
    datagram.insert(datagram.end(), tail.begin(), tail.end());
    datagram[1] = static_cast<std::uint8_t>(datagram.size() - 2);
    return datagram;
}

const Bytes VERSION_T = field(0x80, {0x01, 0x14});
const Bytes VERSION_P = field(0x80, {0x01, 0x00});
const Bytes IP = field(0x81, {10, 0, 0, 5});
const Bytes IP2 = field(0x81, {10, 0, 0, 6});
const Bytes PORT = field(0x82, {0x10, 0xE1});  // 4321
const Bytes MAC = field(0x83, {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E});
const Bytes NAME = text_field(0x84, "CT-1");
const Bytes BYTES = field(0x85, {0xDE, 0xAD});
const Bytes TEXT = text_field(0x86, "lite");

const Ipv4Addr ADDR{{10, 0, 0, 5}};
const MacAddress MAC_ADDR{{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}};

ServiceAnnouncement terminal(std::string name, Bytes items = {}) {
    return ServiceAnnouncement{std::move(name), Sicct{std::move(items)}, ADDR, MAC_ADDR, 4321};
}

ServiceAnnouncement pinpad(std::string name, std::string text, Bytes bytes) {
    return ServiceAnnouncement{std::move(name), SicctLite{std::move(text), std::move(bytes)}, ADDR,
                               MAC_ADDR, 4321};
}

std::string describe(const std::optional<ServiceAnnouncement>& a) {
    return a ? a->to_string() : std::string("rejected");
}

}  // namespace

TEST(ServiceDiscoveryRequest, EncodesTheKnownRequest) {
    const Bytes expected{0xA0, 0x0E, 0x80, 0x02, 0x01, 0x14, 0x81, 0x04,
                         0xC0, 0xA8, 0x01, 0x0A, 0x82, 0x02, 0x12, 0x86};
    const auto encoded =
        ServiceDiscoveryRequest::encode(DeviceKind::Terminal, Ipv4Addr{{192, 168, 1, 10}}, 4742);
    EXPECT_EQ(Bytes(encoded.begin(), encoded.end()), expected);

    const auto parsed = ServiceDiscoveryRequest::parse(expected);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(*parsed,
              (ServiceDiscoveryRequest{DeviceKind::Terminal, Ipv4Addr{{192, 168, 1, 10}}, 4742}));

    const auto pinpad_request =
        ServiceDiscoveryRequest::encode(DeviceKind::Pinpad, Ipv4Addr{{10, 1, 2, 3}}, 0xFFFF);
    EXPECT_EQ(Bytes(pinpad_request.begin(), pinpad_request.end()),
              (Bytes{0xE0, 0x0E, 0x80, 0x02, 0x01, 0x00, 0x81, 0x04, 10, 1, 2, 3, 0x82, 0x02, 0xFF,
                     0xFF}));
    EXPECT_EQ(ServiceDiscoveryRequest::parse(pinpad_request)->kind, DeviceKind::Pinpad);
}

TEST(ServiceDiscoveryRequest, ParseRules) {
    const Bytes good = frame(0xA0, {IP, PORT});
    Bytes longer_by_one = good;
    longer_by_one[1] += 1;
    Bytes shorter_by_one = good;
    shorter_by_one[1] -= 1;
    struct Case {
        const char* what;
        Bytes datagram;
        std::optional<ServiceDiscoveryRequest> expected;
    };
    const ServiceDiscoveryRequest terminal_request{DeviceKind::Terminal, ADDR, 4321};
    const Case cases[] = {
        {"empty", {}, std::nullopt},
        {"one byte", {0xA0}, std::nullopt},
        {"header only", {0xA0, 0x00}, std::nullopt},
        {"minimal", good, terminal_request},
        {"pin pad", frame(0xE0, {VERSION_P, IP, PORT}),
         ServiceDiscoveryRequest{DeviceKind::Pinpad, ADDR, 4321}},
        {"announcement tag", frame(0xA1, {IP, PORT}), std::nullopt},
        {"unknown tag", frame(0x00, {IP, PORT}), std::nullopt},
        {"length one too large", longer_by_one, std::nullopt},
        {"length one too small", shorter_by_one, std::nullopt},
        {"field past the end", with_trailing(good, {0x99, 0x03, 0x00, 0x00}), std::nullopt},
        {"one stray byte", with_trailing(good, {0x99}), terminal_request},
        {"two stray bytes", with_trailing(good, {0x99, 0x01}), std::nullopt},
        {"empty trailing field", with_trailing(good, {0x99, 0x00}), terminal_request},
        {"no address", frame(0xA0, {VERSION_T, PORT}), std::nullopt},
        {"no port", frame(0xA0, {VERSION_T, IP}), std::nullopt},
        {"address of 5 bytes", frame(0xA0, {field(0x81, {10, 0, 0, 5, 0}), PORT}), std::nullopt},
        {"port of 3 bytes", frame(0xA0, {IP, field(0x82, {0x10, 0xE1, 0})}), std::nullopt},
        {"wrong-length address skipped",
         frame(0xA0, {field(0x81, {1, 2, 3}), PORT, IP, field(0x81, {9, 9, 9, 9, 9})}),
         terminal_request},
        {"repeat replaces", frame(0xA0, {IP2, field(0x82, {0, 1}), PORT, IP}), terminal_request},
        {"any order, no version", frame(0xA0, {PORT, NAME, IP}), terminal_request},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ServiceDiscoveryRequest::parse(c.datagram), c.expected) << c.what;
    }
}

TEST(ServiceAnnouncement, ParseRules) {
    const Bytes good_t = frame(0xA1, {VERSION_T, IP, MAC, NAME, PORT});
    const Bytes good_p = frame(0xE1, {VERSION_P, IP, MAC, NAME, PORT, BYTES, TEXT});
    Bytes longer_by_one = good_t;
    longer_by_one[1] += 1;
    Bytes shorter_by_one = good_t;
    shorter_by_one[1] -= 1;
    struct Case {
        const char* what;
        Bytes datagram;
        std::optional<ServiceAnnouncement> expected;
    };
    const Case cases[] = {
        {"empty", {}, std::nullopt},
        {"one byte", {0xA1}, std::nullopt},
        {"header only", {0xA1, 0x00}, std::nullopt},
        {"terminal", good_t, terminal("CT-1")},
        {"pin pad", good_p, pinpad("CT-1", "lite", {0xDE, 0xAD})},
        {"request tag", frame(0xA0, {IP, MAC, NAME, PORT}), std::nullopt},
        {"other tag", frame(0xA2, {IP, MAC, NAME, PORT}), std::nullopt},
        {"length one too large", longer_by_one, std::nullopt},
        {"length one too small", shorter_by_one, std::nullopt},
        {"field past the end after all required fields", with_trailing(good_t, {0x84, 0x05, 'x'}),
         std::nullopt},
        {"one stray byte", with_trailing(good_t, {0x84}), terminal("CT-1")},
        {"two stray bytes", with_trailing(good_t, {0x84, 0x01}), std::nullopt},
        {"empty trailing field", with_trailing(good_t, {0x99, 0x00}), terminal("CT-1")},
        {"no name", frame(0xA1, {IP, MAC, PORT}), std::nullopt},
        {"no address", frame(0xA1, {MAC, NAME, PORT}), std::nullopt},
        {"no MAC", frame(0xA1, {IP, NAME, PORT}), std::nullopt},
        {"no port", frame(0xA1, {IP, MAC, NAME}), std::nullopt},
        {"address of 5 bytes only", frame(0xA1, {field(0x81, {10, 0, 0, 5, 1}), MAC, NAME, PORT}),
         std::nullopt},
        {"MAC of 5 bytes only", frame(0xA1, {IP, field(0x83, {1, 2, 3, 4, 5}), NAME, PORT}),
         std::nullopt},
        {"port of 1 byte only", frame(0xA1, {IP, MAC, NAME, field(0x82, {1})}), std::nullopt},
        {"wrong-length address beside a good one",
         frame(0xA1, {IP, field(0x81, {1, 2, 3, 4, 5}), MAC, NAME, PORT}), terminal("CT-1")},
        {"any order", frame(0xA1, {PORT, NAME, MAC, IP}), terminal("CT-1")},
        {"repeats replace",
         frame(0xA1, {IP2, text_field(0x84, "old"), MAC, field(0x82, {0, 1}), NAME, PORT, IP}),
         terminal("CT-1")},
        {"items of two fields in datagram order",
         frame(0xA1, {IP, MAC, NAME, PORT, field(0xA3, {0x8A, 0x01, 7}),
                      field(0xA3, {0x8A, 0x01, 3, 0x8A, 0x01, 9})}),
         terminal("CT-1", {7, 3, 9})},
        {"empty item field", frame(0xA1, {IP, MAC, NAME, PORT, field(0xA3, {})}), terminal("CT-1")},
        {"item field of 4 bytes", frame(0xA1, {IP, MAC, NAME, PORT, field(0xA3, {0x8A, 1, 7, 0})}),
         std::nullopt},
        {"item with length 2", frame(0xA1, {IP, MAC, NAME, PORT, field(0xA3, {0x8A, 0x02, 7})}),
         std::nullopt},
        {"item with tag 0x8B", frame(0xA1, {IP, MAC, NAME, PORT, field(0xA3, {0x8B, 0x01, 7})}),
         std::nullopt},
        {"bad items reject the pin pad too", with_trailing(good_p, field(0xA3, {0x8A, 0x01})),
         std::nullopt},
        {"good items are dropped for the pin pad",
         with_trailing(good_p, field(0xA3, {0x8A, 0x01, 7})), pinpad("CT-1", "lite", {0xDE, 0xAD})},
        {"terminal ignores byte string and text", frame(0xA1, {IP, MAC, NAME, PORT, BYTES, TEXT}),
         terminal("CT-1")},
        {"pin pad without byte string", frame(0xE1, {IP, MAC, NAME, PORT, TEXT}), std::nullopt},
        {"pin pad without text", frame(0xE1, {IP, MAC, NAME, PORT, BYTES}), std::nullopt},
        {"pin pad with empty texts and bytes",
         frame(0xE1, {IP, MAC, text_field(0x84, ""), PORT, field(0x85, {}), text_field(0x86, "")}),
         pinpad("", "", {})},
        {"empty name", frame(0xA1, {IP, MAC, text_field(0x84, ""), PORT}), terminal("")},
        {"0xFF in a name", frame(0xA1, {IP, MAC, field(0x84, {'A', 0xFF, 'B'}), PORT}),
         terminal("A\xEF\xBF\xBD"
                  "B")},
        {"invalid text of the pin pad",
         frame(0xE1, {IP, MAC, NAME, PORT, BYTES, field(0x86, {0xC3})}),
         pinpad("CT-1", "\xEF\xBF\xBD", {0xDE, 0xAD})},
    };
    for (const Case& c : cases) {
        const auto parsed = ServiceAnnouncement::parse(c.datagram);
        EXPECT_EQ(parsed, c.expected) << c.what << ": got " << describe(parsed);
    }
}

TEST(ServiceAnnouncement, DecodesUtf8WithMaximalSubpartReplacement) {
    const std::string R = "\xEF\xBF\xBD";
    struct Case {
        Bytes input;
        std::string expected;
    };
    const Case cases[] = {
        {{'a', 'b'}, "ab"},
        {{0xC3, 0xA4, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80},
         "\xC3\xA4\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {{0xEF, 0xBF, 0xBD}, R},                         // U+FFFD itself stays one character
        {{0xF4, 0x8F, 0xBF, 0xBF}, "\xF4\x8F\xBF\xBF"},  // U+10FFFF
        {{0xFF}, R},
        {{0x80, 0xBF}, R + R},         // lone continuations: one each
        {{0xC0, 0xAF}, R + R},         // overlong lead is never valid
        {{0xC2}, R},                   // cut off at the end
        {{0xE2, 0x82}, R},             // one maximal subpart
        {{0xE2, 0x82, 'x'}, R + "x"},  // the breaking byte is read afresh
        {{0xF0, 0x9F, 0x98}, R},
        {{0xE0, 0x80, 0x80}, R + R + R},            // overlong three-byte form
        {{0xED, 0xA0, 0x80}, R + R + R},            // surrogate
        {{0xF4, 0x90, 0x80, 0x80}, R + R + R + R},  // past U+10FFFF
        {{0xF5, 0x80}, R + R},
        {{0xE2, 0xC3, 0xA4}, R + "\xC3\xA4"},
        {{0x61, 0xF1, 0x80, 0x80, 0xE1, 0x80, 0xC2, 0x62}, "a" + R + R + R + "b"},
        {{0x00, 0x7F}, std::string("\0\x7F", 2)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(decode_utf8_lossy(c.input), c.expected) << ::testing::PrintToString(c.input);
    }
}

TEST(ServiceAnnouncement, EncodesFieldsInFixedOrder) {
    struct Case {
        ServiceAnnouncement announcement;
        Bytes expected;
    };
    const Case cases[] = {
        {terminal("CT-1"), frame(0xA1, {VERSION_T, IP, MAC, NAME, PORT, Bytes{0xA3, 0x00}})},
        {terminal("CT-1", {7, 3}),
         frame(0xA1, {VERSION_T, IP, MAC, NAME, PORT, field(0xA3, {0x8A, 1, 7, 0x8A, 1, 3})})},
        {pinpad("CT-1", "lite", {0xDE, 0xAD}),
         frame(0xE1, {VERSION_P, IP, MAC, NAME, PORT, BYTES, TEXT})},
        {pinpad("", "", {}), frame(0xE1, {VERSION_P, IP, MAC, text_field(0x84, ""), PORT,
                                          field(0x85, {}), text_field(0x86, "")})},
    };
    for (const Case& c : cases) {
        const auto encoded = c.announcement.encode();
        ASSERT_TRUE(encoded.has_value()) << encoded.error().message();
        EXPECT_EQ(*encoded, c.expected) << c.announcement.to_string();
        EXPECT_EQ(ServiceAnnouncement::parse(*encoded), c.announcement);
    }
}

TEST(ServiceAnnouncement, ReceivedAnnouncementIsEncodedAfresh) {
    // As a device might send it: no 0x80, an unknown field, fields out of order, a name given
    // twice and items split over two fields.
    const Bytes received =
        frame(0xA1, {field(0x99, {1, 2, 3}), PORT, text_field(0x84, "first"),
                     field(0xA3, {0x8A, 1, 5}), MAC, NAME, IP, BYTES, field(0xA3, {0x8A, 1, 6})});
    const auto parsed = ServiceAnnouncement::parse(received);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(*parsed, terminal("CT-1", {5, 6}));
    const auto encoded = parsed->encode();
    ASSERT_TRUE(encoded.has_value());
    EXPECT_EQ(*encoded,
              frame(0xA1, {VERSION_T, IP, MAC, NAME, PORT, field(0xA3, {0x8A, 1, 5, 0x8A, 1, 6})}));
}

TEST(ServiceAnnouncement, TextForm) {
    EXPECT_EQ(terminal("CT-1", {1}).to_string(),
              "Kind: SICCT, Name: CT-1, MAC Address: 00:1A:2B:3C:4D:5E, IP Address: 10.0.0.5, "
              "SICCT Port: 4321");
    ServiceAnnouncement p = pinpad("PIN pad", "t", {1});
    p.mac_address = MacAddress{{0xAA, 0xBB, 0x0C, 0xDD, 0xEE, 0xFF}};
    p.port = 0;
    EXPECT_EQ(p.to_string(),
              "Kind: SICCT-LITE, Name: PIN pad, MAC Address: AA:BB:0C:DD:EE:FF, IP Address: "
              "10.0.0.5, SICCT Port: 0");
    EXPECT_EQ(device_kind(p.kind), DeviceKind::Pinpad);
    EXPECT_EQ(device_kind(terminal("x").kind), DeviceKind::Terminal);
}

TEST(ServiceAnnouncement, RefusesWhatDoesNotFit) {
    const std::string prefix = "Service announcement does not fit into a datagram: ";
    struct Case {
        ServiceAnnouncement announcement;
        std::string error;  // empty: fits
    };
    // Fixed fields of the card terminal take 26 bytes besides name and items, of the PIN pad 28
    // besides name, byte string and text.
    const Case cases[] = {
        {terminal(std::string(300, 'n')), prefix + "name is 300 bytes, at most 255 fit"},
        {terminal(std::string(256, 'n')), prefix + "name is 256 bytes, at most 255 fit"},
        {pinpad("x", std::string(256, 't'), {}), prefix + "text is 256 bytes, at most 255 fit"},
        {pinpad("x", "", Bytes(256, 1)), prefix + "byte string is 256 bytes, at most 255 fit"},
        {terminal("x", Bytes(86, 1)), prefix + "86 items, at most 85 fit"},
        {terminal(std::string(255, 'n')),
         prefix + "the content after the header is 281 bytes, at most 255 fit"},
        {terminal(std::string(229, 'n')), ""},
        {terminal(std::string(230, 'n')),
         prefix + "the content after the header is 256 bytes, at most 255 fit"},
        {terminal("a", Bytes(76, 1)), ""},
        {terminal("ab", Bytes(76, 1)),
         prefix + "the content after the header is 256 bytes, at most 255 fit"},
        {pinpad(std::string(100, 'n'), std::string(100, 't'), Bytes(27, 1)), ""},
        {pinpad(std::string(100, 'n'), std::string(100, 't'), Bytes(28, 1)),
         prefix + "the content after the header is 256 bytes, at most 255 fit"},
    };
    for (const Case& c : cases) {
        const auto encoded = c.announcement.encode();
        if (c.error.empty()) {
            ASSERT_TRUE(encoded.has_value()) << encoded.error().message();
            EXPECT_EQ(encoded->size(), std::size_t{encoded->at(1)} + 2);
            EXPECT_EQ(ServiceAnnouncement::parse(*encoded), c.announcement);
        } else {
            ASSERT_FALSE(encoded.has_value()) << c.error;
            EXPECT_EQ(encoded.error().message(), c.error);
        }
    }
}

TEST(ServiceAnnouncement, NameGrownByReplacementIsRefused) {
    // 100 invalid bytes fit the datagram but decode to 300 bytes of U+FFFD.
    const auto parsed =
        ServiceAnnouncement::parse(frame(0xA1, {IP, MAC, field(0x84, Bytes(100, 0xFF)), PORT}));
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->name.size(), 300u);
    const auto encoded = parsed->encode();
    ASSERT_FALSE(encoded.has_value());
    EXPECT_EQ(encoded.error().message(),
              "Service announcement does not fit into a datagram: name is 300 bytes, at most 255 "
              "fit");
}
