#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "common/settings.hpp"

using namespace tessaro;
using namespace std::chrono_literals;
using namespace std::string_view_literals;
using os::RegistryValue;

namespace {

// An open key of raw values, as the registry would hand them out. Names match exactly: case
// folding is the registry's business and is tested with the real ones.
class FakeKey : public os::RegistryKey {
  public:
    FakeKey() = default;
    FakeKey(std::initializer_list<std::pair<const std::string, RegistryValue>> values)
        : values_(values) {}

    std::optional<RegistryValue> query(std::string_view name) const override {
        auto it = values_.find(std::string(name));
        if (it == values_.end()) {
            return std::nullopt;
        }
        return it->second;
    }
    os::RegistryVoidResult set(std::string_view name, const RegistryValue& value) override {
        values_[std::string(name)] = value;
        return {};
    }
    os::RegistryVoidResult remove(std::string_view name) override {
        values_.erase(std::string(name));
        return {};
    }

  private:
    std::map<std::string, RegistryValue> values_;
};

RegistryValue sz(std::string_view text) {
    return RegistryValue::from_string(text);
}
RegistryValue dword(std::uint32_t n) {
    return RegistryValue::from_dword(n);
}
RegistryValue raw(std::uint32_t type, std::vector<std::uint8_t> data) {
    return RegistryValue{type, std::move(data)};
}
// UTF-16LE units exactly as given, without an added terminator.
RegistryValue utf16(std::u16string_view units) {
    RegistryValue v{os::REG_SZ_TYPE, {}};
    for (char16_t u : units) {
        v.data.push_back(static_cast<std::uint8_t>(u & 0xFF));
        v.data.push_back(static_cast<std::uint8_t>(u >> 8));
    }
    return v;
}

Settings load(std::initializer_list<std::pair<const std::string, RegistryValue>> values) {
    return Settings::load_from(FakeKey(values));
}

}  // namespace

TEST(SettingsDefaults, BothKindsAndAnEmptyKey) {
    const Settings d = Settings::defaults();
    EXPECT_EQ(d.log_level, LogLevel::Info);
    struct Expect {
        const DeviceSettings& s;
        std::uint16_t port, https;
    } kinds[] = {{d.terminal, 4742, 443}, {d.pinpad, 64742, 60443}};
    for (const auto& k : kinds) {
        EXPECT_EQ(k.s.pc_interface, InterfaceSelection::automatic());
        EXPECT_EQ(k.s.pc_udp_port, k.port);
        EXPECT_EQ(k.s.pc_sicct_port, k.port);
        EXPECT_EQ(k.s.pc_https_port, k.https);
        EXPECT_EQ(k.s.pc_service_announcement_interval, 600s);
        EXPECT_FALSE(k.s.announcement_ip_address.has_value());
        EXPECT_EQ(k.s.announcement_udp_port, k.port);
        EXPECT_EQ(k.s.device_interface, InterfaceSelection::automatic());
        EXPECT_EQ(k.s.device_service_discovery_port, k.port);
        EXPECT_EQ(k.s.device_service_discovery_interval, 600s);
    }
    EXPECT_EQ(d.pinpad, DeviceSettings::defaults(DeviceKind::Pinpad));

    const Settings empty = Settings::load_from(FakeKey{});
    EXPECT_EQ(empty, d);
    EXPECT_EQ(empty.to_string(), "Default");
}

TEST(SettingsNames, PrefixesAndValueNames) {
    EXPECT_EQ(to_string(DeviceKind::Terminal), "Terminal");
    EXPECT_EQ(to_string(DeviceKind::Pinpad), "Pinpad");
    EXPECT_EQ(log_word(DeviceKind::Pinpad), "pinpad");
    EXPECT_EQ(value_name("pc", "udp-port"), "pc-udp-port");
    EXPECT_EQ(value_name("pinpad-pc", "use-terminal"), "pinpad-pc-use-terminal");
    EXPECT_EQ(value_name("default", "loglevel"), "loglevel");
    EXPECT_EQ(old_value_name("pc-interface"), "host-interface");
    EXPECT_EQ(old_value_name("terminal-service-discovery-interval"),
              "usb-service-discovery-interval");
    for (const char* none : {"loglevel", "pinpad-pc-sicct-port", "PC-SICCT-PORT", "pc-use-terminal",
                             "host-sicct-port"}) {
        EXPECT_FALSE(old_value_name(none).has_value()) << none;
    }
}

TEST(SettingsLoad, LogLevelNames) {
    struct Case {
        std::optional<RegistryValue> value;
        LogLevel expected;
    } cases[] = {
        {sz("Warn"), LogLevel::Warn},
        {sz("DEBUG"), LogLevel::Debug},
        {sz("error"), LogLevel::Error},
        {sz("iNfO"), LogLevel::Info},
        {sz("trace"), LogLevel::Info},
        {sz("TRACE"), LogLevel::Info},
        {sz("off"), LogLevel::Info},
        {sz("verbose"), LogLevel::Info},
        {sz(" info"), LogLevel::Info},
        {sz(" debug"), LogLevel::Info},
        {sz("debug "), LogLevel::Info},
        {sz("debu"), LogLevel::Info},
        {sz(""), LogLevel::Info},
        // Only the text before the first NUL counts.
        {utf16(u"warn\0junk"sv), LogLevel::Warn},
        // No NUL: the value does not count.
        {utf16(u"warn"), LogLevel::Info},
        {dword(1), LogLevel::Info},
        {raw(os::REG_EXPAND_SZ_TYPE, sz("debug").data), LogLevel::Info},
    };
    for (const auto& c : cases) {
        FakeKey key;
        ASSERT_TRUE(key.set("loglevel", *c.value).has_value());
        EXPECT_EQ(Settings::load_from(key).log_level, c.expected)
            << testing::PrintToString(c.value->data);
    }
}

TEST(SettingsLoad, RawTextValues) {
    struct Case {
        const char* what;
        RegistryValue value;
        InterfaceSelection expected;
    } cases[] = {
        {"plain", sz("eth-lan"), InterfaceSelection::by_name("eth-lan")},
        {"no NUL", utf16(u"eth-lan"), InterfaceSelection::automatic()},
        {"only a NUL", utf16(u"\0"sv), InterfaceSelection::by_name("")},
        {"empty data", raw(os::REG_SZ_TYPE, {}), InterfaceSelection::automatic()},
        {"text after the NUL", utf16(u"ab\0cd\0"sv), InterfaceSelection::by_name("ab")},
        {"odd trailing byte", raw(os::REG_SZ_TYPE, {'a', 0, 0, 0, 'x'}),
         InterfaceSelection::by_name("a")},
        {"half a NUL", raw(os::REG_SZ_TYPE, {'a', 0, 0}), InterfaceSelection::automatic()},
        {"unpaired high surrogate", utf16(u"a\xD800z\0"sv),
         InterfaceSelection::by_name("a\xEF\xBF\xBDz")},
        {"unpaired low surrogate at the end", utf16(u"\xDC00\0"sv),
         InterfaceSelection::by_name("\xEF\xBF\xBD")},
        {"paired surrogates", utf16(u"\xD83D\xDE00\0"sv),
         InterfaceSelection::by_name("\xF0\x9F\x98\x80")},
        {"REG_EXPAND_SZ", raw(os::REG_EXPAND_SZ_TYPE, sz("eth").data),
         InterfaceSelection::automatic()},
        {"REG_MULTI_SZ", raw(os::REG_MULTI_SZ_TYPE, sz("eth").data),
         InterfaceSelection::automatic()},
        {"REG_DWORD", dword(7), InterfaceSelection::automatic()},
    };
    for (const auto& c : cases) {
        FakeKey key;
        ASSERT_TRUE(key.set("pc-interface", c.value).has_value());
        EXPECT_EQ(Settings::load_from(key).terminal.pc_interface, c.expected) << c.what;
    }
}

TEST(SettingsLoad, RawNumberValues) {
    struct Case {
        const char* what;
        RegistryValue value;
        std::uint16_t expected;
    } cases[] = {
        {"plain", dword(5000), 5000},
        {"zero", dword(0), 0},
        {"above 65535: low 16 bits", dword(65536 + 80), 80},
        {"all bits", dword(0xFFFFFFFF), 0xFFFF},
        {"shorter than four bytes", raw(os::REG_DWORD_TYPE, {0x88, 0x13, 0}), 4742},
        {"empty", raw(os::REG_DWORD_TYPE, {}), 4742},
        {"longer: the first four bytes", raw(os::REG_DWORD_TYPE, {0x88, 0x13, 0, 0, 9, 9}), 5000},
        {"REG_SZ", sz("5000"), 4742},
        {"REG_DWORD_BIG_ENDIAN", raw(os::REG_DWORD_BIG_ENDIAN_TYPE, {0, 0, 0x13, 0x88}), 4742},
        {"REG_QWORD", raw(os::REG_QWORD_TYPE, {0x88, 0x13, 0, 0, 0, 0, 0, 0}), 4742},
        {"REG_BINARY", raw(os::REG_BINARY_TYPE, {0x88, 0x13, 0, 0}), 4742},
    };
    for (const auto& c : cases) {
        FakeKey key;
        ASSERT_TRUE(key.set("pc-sicct-port", c.value).has_value());
        EXPECT_EQ(Settings::load_from(key).terminal.pc_sicct_port, c.expected) << c.what;
    }
}

TEST(SettingsLoad, IntervalRange) {
    struct Case {
        std::uint32_t value;
        std::chrono::seconds expected;
    } cases[] = {
        {0, 600s},          {59, 600s},     {60, 60s},          {61, 61s},
        {3600, 3600s},      {3601, 600s},   {60 + 65536, 60s},  {3600 + 65536, 3600s},
        {59 + 65536, 600s}, {0xFFFF, 600s}, {0xFFFFFFFF, 600s},
    };
    for (const auto& c : cases) {
        for (DeviceKind kind : {DeviceKind::Terminal, DeviceKind::Pinpad}) {
            const DeviceKindPrefixes p = prefixes(kind);
            FakeKey key;
            ASSERT_TRUE(key.set(value_name(p.pc, "service-announcement-interval"), dword(c.value))
                            .has_value());
            ASSERT_TRUE(key.set(value_name(p.device, "service-discovery-interval"), dword(c.value))
                            .has_value());
            const Settings s = Settings::load_from(key);
            const DeviceSettings& d = kind == DeviceKind::Terminal ? s.terminal : s.pinpad;
            EXPECT_EQ(d.pc_service_announcement_interval, c.expected) << c.value;
            EXPECT_EQ(d.device_service_discovery_interval, c.expected) << c.value;
        }
    }
}

TEST(SettingsLoad, AnnouncementAddress) {
    struct Case {
        RegistryValue value;
        std::optional<Ipv4Addr> expected;
    } cases[] = {
        {sz("192.168.1.10"), Ipv4Addr{{192, 168, 1, 10}}},
        {sz("0.0.0.0"), Ipv4Addr{}},
        {sz("255.255.255.255"), Ipv4Addr{{255, 255, 255, 255}}},
        {sz("192.168.001.10"), std::nullopt},
        {sz("192.168.1.10 "), std::nullopt},
        {sz(" 192.168.1.10"), std::nullopt},
        {sz("192.168.1"), std::nullopt},
        {sz("256.1.1.1"), std::nullopt},
        {sz("1.2.3.4.5"), std::nullopt},
        {sz(""), std::nullopt},
    };
    for (const auto& c : cases) {
        // A current value of the right type is final, even when it is no address: the older
        // name is not consulted then.
        const Settings s = load({{"connector-ip-address", c.value},
                                 {"host-service-announcement-address", sz("10.9.9.9")},
                                 {"pinpad-terminal-ip-address", c.value}});
        const std::string shown = testing::PrintToString(c.value.data);
        EXPECT_EQ(s.terminal.announcement_ip_address, c.expected) << shown;
        EXPECT_EQ(s.pinpad.announcement_ip_address, c.expected) << shown;
    }
    // Without its NUL the current value does not count, so the older name is read.
    EXPECT_EQ(load({{"connector-ip-address", utf16(u"192.168.1.10")},
                    {"host-service-announcement-address", sz("10.9.9.9")}})
                  .terminal.announcement_ip_address,
              (Ipv4Addr{{10, 9, 9, 9}}));
}

TEST(SettingsLoad, SelectionForms) {
    MacAddress ab{{0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}};
    struct Case {
        const char* text;
        InterfaceSelection expected;
    } cases[] = {
        {"aa-bb-cc-dd-ee-ff", InterfaceSelection::by_mac(ab)},
        {"AA:BB:CC:DD:EE:FF", InterfaceSelection::by_mac(ab)},
        {"a:b:c:d:e:f",
         InterfaceSelection::by_mac(MacAddress{{0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F}})},
        {"AA:BB:CC:DD:EE", InterfaceSelection::by_name("AA:BB:CC:DD:EE")},
        {"", InterfaceSelection::by_name("")},
        {"{4D36E972-E325-11CE-BFC1-08002BE10318}",
         InterfaceSelection::by_name("{4D36E972-E325-11CE-BFC1-08002BE10318}")},
        {"Automatic", InterfaceSelection::by_name("Automatic")},
        {"Terminal", InterfaceSelection::by_name("Terminal")},
    };
    for (const auto& c : cases) {
        const Settings s = load({{"pc-interface", sz(c.text)},
                                 {"terminal-interface", sz(c.text)},
                                 {"pinpad-pc-interface", sz(c.text)},
                                 {"pinpad-interface", sz(c.text)}});
        EXPECT_EQ(s.terminal.pc_interface, c.expected) << c.text;
        EXPECT_EQ(s.terminal.device_interface, c.expected) << c.text;
        EXPECT_EQ(s.pinpad.pc_interface, c.expected) << c.text;
        EXPECT_EQ(s.pinpad.device_interface, c.expected) << c.text;
    }
    EXPECT_EQ(InterfaceSelection::from_registry(false, std::nullopt),
              InterfaceSelection::automatic());
    EXPECT_EQ(InterfaceSelection::from_registry(true, "aa-bb-cc-dd-ee-ff"),
              InterfaceSelection::terminal());
}

TEST(SettingsLoad, PinpadUseTerminalFlag) {
    struct Case {
        const char* what;
        std::optional<RegistryValue> flag;
        InterfaceSelection expected;
    } cases[] = {
        {"1", dword(1), InterfaceSelection::terminal()},
        {"2", dword(2), InterfaceSelection::by_name("lan0")},
        {"0", dword(0), InterfaceSelection::by_name("lan0")},
        {"1 in the high bits too", dword(0x10001), InterfaceSelection::by_name("lan0")},
        {"1 as text", sz("1"), InterfaceSelection::by_name("lan0")},
        {"three bytes", raw(os::REG_DWORD_TYPE, {1, 0, 0}), InterfaceSelection::by_name("lan0")},
        {"1 as REG_QWORD", raw(os::REG_QWORD_TYPE, {1, 0, 0, 0, 0, 0, 0, 0}),
         InterfaceSelection::by_name("lan0")},
        {"absent", std::nullopt, InterfaceSelection::by_name("lan0")},
    };
    for (const auto& c : cases) {
        FakeKey key{{"pinpad-pc-interface", sz("lan0")}, {"pinpad-interface", sz("usb0")}};
        if (c.flag) {
            ASSERT_TRUE(key.set("pinpad-pc-use-terminal", *c.flag).has_value());
        }
        const Settings s = Settings::load_from(key);
        EXPECT_EQ(s.pinpad.pc_interface, c.expected) << c.what;
        // The flag is about the PC side only.
        EXPECT_EQ(s.pinpad.device_interface, InterfaceSelection::by_name("usb0")) << c.what;
    }
    // The card terminal has no such flag, under any name.
    const Settings s = load({{"pc-use-terminal", dword(1)}, {"use-terminal", dword(1)}});
    EXPECT_EQ(s.terminal.pc_interface, InterfaceSelection::automatic());
    EXPECT_EQ(load({{"pinpad-pc-use-terminal", dword(1)}}).pinpad.pc_interface,
              InterfaceSelection::terminal());
}

TEST(SettingsLoad, OlderNames) {
    // Each older name alone is read into its card-terminal field and never into the PIN pad's.
    struct Case {
        const char* old_name;
        RegistryValue value;
        std::function<bool(const DeviceSettings&)> taken;
    } cases[] = {
        {"host-interface", sz("lan0"),
         [](const DeviceSettings& d) {
             return d.pc_interface == InterfaceSelection::by_name("lan0");
         }},
        {"host-service-discovery-port", dword(1001),
         [](const DeviceSettings& d) { return d.pc_udp_port == 1001; }},
        {"host-sicct-port", dword(1002),
         [](const DeviceSettings& d) { return d.pc_sicct_port == 1002; }},
        {"host-https-port", dword(1003),
         [](const DeviceSettings& d) { return d.pc_https_port == 1003; }},
        {"host-service-announcement-interval", dword(120),
         [](const DeviceSettings& d) { return d.pc_service_announcement_interval == 120s; }},
        {"host-service-announcement-address", sz("10.0.0.7"),
         [](const DeviceSettings& d) {
             return d.announcement_ip_address == Ipv4Addr{{10, 0, 0, 7}};
         }},
        {"host-service-announcement-port", dword(1004),
         [](const DeviceSettings& d) { return d.announcement_udp_port == 1004; }},
        {"usb-interface", sz("usb0"),
         [](const DeviceSettings& d) {
             return d.device_interface == InterfaceSelection::by_name("usb0");
         }},
        {"usb-service-discovery-port", dword(1005),
         [](const DeviceSettings& d) { return d.device_service_discovery_port == 1005; }},
        {"usb-service-discovery-interval", dword(240),
         [](const DeviceSettings& d) { return d.device_service_discovery_interval == 240s; }},
    };
    for (const auto& c : cases) {
        FakeKey key;
        ASSERT_TRUE(key.set(c.old_name, c.value).has_value());
        const Settings s = Settings::load_from(key);
        EXPECT_TRUE(c.taken(s.terminal)) << c.old_name;
        EXPECT_EQ(s.pinpad, DeviceSettings::defaults(DeviceKind::Pinpad)) << c.old_name;
    }
}

TEST(SettingsLoad, CurrentAndOlderNameTogether) {
    // The current name wins when both count.
    EXPECT_EQ(load({{"pc-sicct-port", dword(5000)}, {"host-sicct-port", dword(6000)}})
                  .terminal.pc_sicct_port,
              5000);
    // A current value of another type does not count: the older one is read.
    EXPECT_EQ(load({{"pc-udp-port", sz("5000")}, {"host-service-discovery-port", dword(6000)}})
                  .terminal.pc_udp_port,
              6000);
    EXPECT_EQ(load({{"pc-udp-port", sz("5000")}}).terminal.pc_udp_port, 4742);
    // So does a REG_DWORD too short to hold a number.
    EXPECT_EQ(
        load({{"pc-https-port", raw(os::REG_DWORD_TYPE, {1})}, {"host-https-port", dword(8443)}})
            .terminal.pc_https_port,
        8443);
    // An older value of the wrong type counts no more than a current one.
    EXPECT_EQ(load({{"host-sicct-port", sz("6000")}}).terminal.pc_sicct_port, 4742);
    // A current value that counts but is out of range keeps the default: no fallback.
    EXPECT_EQ(load({{"pc-service-announcement-interval", dword(59)},
                    {"host-service-announcement-interval", dword(120)}})
                  .terminal.pc_service_announcement_interval,
              600s);
    // The PIN pad has no older names.
    const Settings s = load({{"host-sicct-port", dword(6000)}, {"pinpad-pc-sicct-port", sz("1")}});
    EXPECT_EQ(s.terminal.pc_sicct_port, 6000);
    EXPECT_EQ(s.pinpad.pc_sicct_port, 64742);
}

TEST(SettingsLoad, EveryFieldOfBothDevices) {
    const Settings s = load({
        {"loglevel", sz("warn")},
        {"pc-interface", sz("lan0")},
        {"pc-udp-port", dword(1)},
        {"pc-sicct-port", dword(2)},
        {"pc-https-port", dword(3)},
        {"pc-service-announcement-interval", dword(61)},
        {"connector-ip-address", sz("10.0.0.1")},
        {"connector-udp-port", dword(4)},
        {"terminal-interface", sz("01:02:03:04:05:06")},
        {"terminal-service-discovery-port", dword(5)},
        {"terminal-service-discovery-interval", dword(62)},
        {"pinpad-pc-interface", sz("lan1")},
        {"pinpad-pc-udp-port", dword(11)},
        {"pinpad-pc-sicct-port", dword(12)},
        {"pinpad-pc-https-port", dword(13)},
        {"pinpad-pc-service-announcement-interval", dword(71)},
        {"pinpad-terminal-ip-address", sz("10.0.0.2")},
        {"pinpad-terminal-udp-port", dword(14)},
        {"pinpad-interface", sz("usb1")},
        {"pinpad-service-discovery-port", dword(15)},
        {"pinpad-service-discovery-interval", dword(72)},
    });
    DeviceSettings t{InterfaceSelection::by_name("lan0"),
                     1,
                     2,
                     3,
                     61s,
                     Ipv4Addr{{10, 0, 0, 1}},
                     4,
                     InterfaceSelection::by_mac(MacAddress{{1, 2, 3, 4, 5, 6}}),
                     5,
                     62s};
    DeviceSettings p{
        InterfaceSelection::by_name("lan1"), 11, 12, 13, 71s, Ipv4Addr{{10, 0, 0, 2}}, 14,
        InterfaceSelection::by_name("usb1"), 15, 72s};
    EXPECT_EQ(s.log_level, LogLevel::Warn);
    EXPECT_EQ(s.terminal, t);
    EXPECT_EQ(s.pinpad, p);
    EXPECT_EQ(s.to_string(),
              "loglevel: warn, pc-interface: lan0, pc-udp-port: 1, pc-sicct-port: 2, "
              "pc-https-port: 3, pc-service-announcement-interval: 61 s, "
              "connector-ip-address: 10.0.0.1, connector-udp-port: 4, "
              "terminal-interface: 01:02:03:04:05:06, terminal-service-discovery-port: 5, "
              "terminal-service-discovery-interval: 62 s, pinpad-pc-interface: lan1, "
              "pinpad-pc-udp-port: 11, pinpad-pc-sicct-port: 12, pinpad-pc-https-port: 13, "
              "pinpad-pc-service-announcement-interval: 71 s, pinpad-terminal-ip-address: "
              "10.0.0.2, pinpad-terminal-udp-port: 14, pinpad-interface: usb1, "
              "pinpad-service-discovery-port: 15, pinpad-service-discovery-interval: 72 s");
}

TEST(SettingsDisplay, Entries) {
    Settings a;
    a.log_level = LogLevel::Debug;
    a.terminal.pc_sicct_port = 5000;
    EXPECT_EQ(a.to_string(), "loglevel: debug, pc-sicct-port: 5000");

    Settings b;
    b.pinpad.announcement_ip_address = Ipv4Addr{{10, 0, 0, 5}};
    EXPECT_EQ(b.to_string(), "pinpad-terminal-ip-address: 10.0.0.5");

    Settings c;
    c.terminal.device_service_discovery_interval = 120s;
    EXPECT_EQ(c.to_string(), "terminal-service-discovery-interval: 120 s");

    Settings d;
    d.pinpad.pc_interface = InterfaceSelection::terminal();
    d.log_level = LogLevel::Trace;
    EXPECT_EQ(d.to_string(), "loglevel: trace, pinpad-pc-interface: Terminal");

    // Each kind is compared with its own defaults: 4742 is the card terminal's port only.
    Settings e;
    e.terminal.pc_udp_port = 4742;
    e.pinpad.pc_udp_port = 4742;
    e.terminal.pc_interface = InterfaceSelection::by_name("");
    e.pinpad.device_interface =
        InterfaceSelection::by_mac(MacAddress{{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}});
    EXPECT_EQ(e.to_string(),
              "pc-interface: , pinpad-pc-udp-port: 4742, pinpad-interface: 0A:1B:2C:3D:4E:5F");

    Settings f;
    f.log_level = LogLevel::Error;
    f.terminal.pc_interface = InterfaceSelection::automatic();
    EXPECT_EQ(f.to_string(), "loglevel: error");
}
