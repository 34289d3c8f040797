#include <gtest/gtest.h>

#include <fmt/format.h>

#include "common/ipv4.hpp"
#include "common/mac_address.hpp"

using namespace tessaro;

TEST(Ipv4Parse, StrictDottedForm) {
    struct Case {
        const char* text;
        bool ok;
    } cases[] = {
        {"192.168.1.10", true},    {"0.0.0.0", true},        {"255.255.255.255", true},
        {"192.168.001.10", false}, {"192.168.1.10 ", false}, {" 192.168.1.10", false},
        {"192.168.1", false},      {"256.1.1.1", false},     {"1.2.3.4.5", false},
        {"+1.2.3.4", false},       {"1..2.3", false},        {"", false},
        {"01.2.3.4", false},       {"1.2.3.1000", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Ipv4Addr::parse(c.text).has_value(), c.ok) << c.text;
    }
    EXPECT_EQ(Ipv4Addr::parse("10.0.0.5")->to_string(), "10.0.0.5");
    EXPECT_EQ((SocketAddrV4{Ipv4Addr{{192, 168, 1, 10}}, 4742}.to_string()), "192.168.1.10:4742");
}

TEST(MacAddressParse, Rules) {
    struct Case {
        const char* text;
        const char* expected;  // text form, or the error
    } cases[] = {
        {"aa-bb-cc-dd-ee-ff", "AA:BB:CC:DD:EE:FF"},
        {"a:b:c:d:e:f", "0A:0B:0C:0D:0E:0F"},
        {"000a:1:2:3:4:5", "0A:01:02:03:04:05"},
        {"+a:+b:c-d:e:f", "0A:0B:0C:0D:0E:0F"},
        {"AA:BB:CC:DD:EE", "invalid length"},
        {"AA:BB:CC:DD:EE:FF:00", "invalid length"},
        {"AA:BB:CC:DD:EE:", "invalid digit"},
        {"AA:BB:CC:DD:EE:1FF", "invalid digit"},
        {"AA:BB:CC:DD:EE: F", "invalid digit"},
        {"AA:BB:CC:DD:EE:-F", "invalid length"},
        {"", "invalid length"},
    };
    for (const auto& c : cases) {
        auto mac = MacAddress::parse(c.text);
        std::string got = mac ? mac->to_string() : mac.error().message();
        EXPECT_EQ(got, c.expected) << c.text;
    }
}

// Log lines take the values themselves; what they write must be the text forms.
TEST(AddressFormatting, LogArgumentsWriteTheTextForms) {
    const Ipv4Addr ip{{192, 168, 1, 10}};
    const MacAddress mac{{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}};
    EXPECT_EQ(fmt::format("{}", ip), ip.to_string());
    EXPECT_EQ(fmt::format("{}", SocketAddrV4{ip, 4742}), "192.168.1.10:4742");
    EXPECT_EQ(fmt::format("{}", SocketAddrV4{Ipv4Addr{}, 0}), "0.0.0.0:0");
    EXPECT_EQ(fmt::format("{}", mac), "0A:1B:2C:3D:4E:5F");
    EXPECT_EQ(fmt::format("{}", MacAddress{}), MacAddress{}.to_string());
}
