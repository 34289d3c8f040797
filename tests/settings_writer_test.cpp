// The settings writer: whole saves against what the key holds afterwards (the registry-file
// stand-in natively, the real registry under Wine), and failures through a key that refuses one
// call.
#include "winconfig/settings_writer.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>

#include <fmt/format.h>

#include "tests/unique_name.hpp"

#if !defined(_WIN32)
#include <cstdlib>
#include <unistd.h>
#endif

namespace tessaro::winconfig {
namespace {

using namespace std::chrono_literals;
using os::RegistryValue;
using Values = std::map<std::string, RegistryValue>;

RegistryValue sz(std::string_view text) {
    return RegistryValue::from_string(text);
}
RegistryValue dword(std::uint32_t n) {
    return RegistryValue::from_dword(n);
}

// Every name a save may write or delete, spelled out here rather than taken from the writer's
// table, plus names that no save may ever write.
const char* const ALL_NAMES[] = {
    "loglevel",
    "pc-interface",
    "pc-udp-port",
    "pc-sicct-port",
    "pc-https-port",
    "pc-service-announcement-interval",
    "connector-ip-address",
    "connector-udp-port",
    "terminal-interface",
    "terminal-service-discovery-port",
    "terminal-service-discovery-interval",
    "host-interface",
    "host-service-discovery-port",
    "host-sicct-port",
    "host-https-port",
    "host-service-announcement-interval",
    "host-service-announcement-address",
    "host-service-announcement-port",
    "usb-interface",
    "usb-service-discovery-port",
    "usb-service-discovery-interval",
    "pinpad-pc-interface",
    "pinpad-pc-use-terminal",
    "pinpad-pc-udp-port",
    "pinpad-pc-sicct-port",
    "pinpad-pc-https-port",
    "pinpad-pc-service-announcement-interval",
    "pinpad-terminal-ip-address",
    "pinpad-terminal-udp-port",
    "pinpad-interface",
    "pinpad-service-discovery-port",
    "pinpad-service-discovery-interval",
    "pc-use-terminal",
    "use-terminal",
};

Values every_value() {
    Values all;
    for (const char* name : ALL_NAMES) {
        all[name] = dword(1);
    }
    return all;
}

// A key of its own per test: a fresh registry file natively, a fresh key under Wine.
class SettingsWriter : public testing::Test {
  protected:
    void SetUp() override {
        path_ = test::unique_name("SOFTWARE\\Korvel\\TessaroWriterTest");
#if !defined(_WIN32)
        std::string templ = (std::filesystem::temp_directory_path() / "tessaro-writer-XXXXXX");
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        dir_ = templ;
        ASSERT_EQ(setenv("TESSARO_REGISTRY_FILE", (dir_ / "registry.reg").c_str(), 1), 0);
#endif
        auto key = open_settings_key_at(path_);
        ASSERT_TRUE(key.has_value()) << key.error().message();
        key_ = std::move(*key);
    }
    void TearDown() override {
        key_.reset();
        (void)os::delete_local_machine_tree("SOFTWARE\\Korvel", path_.substr(16));
#if !defined(_WIN32)
        unsetenv("TESSARO_REGISTRY_FILE");
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
#endif
    }

    void put(const Values& values) {
        for (const auto& [name, value] : values) {
            ASSERT_TRUE(key_->set(name, value).has_value()) << name;
        }
    }
    Values contents() const {
        Values found;
        for (const char* name : ALL_NAMES) {
            if (auto value = key_->query(name)) {
                found[name] = *value;
            }
        }
        return found;
    }

    std::string path_;
    std::filesystem::path dir_;
    std::unique_ptr<os::RegistryKey> key_;
};

TEST_F(SettingsWriter, WholeSaves) {
    struct Case {
        const char* what;
        Values before;
        std::function<void(Settings&)> edit;
        Values after;
    } cases[] = {
        {"all defaults on an empty key", {}, [](Settings&) {}, {}},
        {"all defaults delete every value and every older name",
         every_value(),
         [](Settings&) {},
         // A card terminal has no use-terminal value: nothing writes or deletes those names.
         {{"pc-use-terminal", dword(1)}, {"use-terminal", dword(1)}}},
        {"PIN pad on the card terminal's interfaces",
         {{"pinpad-pc-interface", sz("lan0")}},
         [](Settings& s) { s.pinpad.pc_interface = InterfaceSelection::terminal(); },
         {{"pinpad-pc-use-terminal", dword(1)}}},
        {"any other PIN-pad selection deletes the flag",
         {{"pinpad-pc-use-terminal", dword(1)}},
         [](Settings& s) { s.pinpad.pc_interface = InterfaceSelection::by_name("lan1"); },
         {{"pinpad-pc-interface", sz("lan1")}}},
        {"a name in braces replaces the older name",
         {{"host-interface", sz("eth0")}},
         [](Settings& s) {
             s.terminal.pc_interface =
                 InterfaceSelection::by_name("{4D36E972-E325-11CE-BFC1-08002BE10318}");
         },
         {{"pc-interface", sz("{4D36E972-E325-11CE-BFC1-08002BE10318}")}}},
        {"a MAC is written upper-case",
         {},
         [](Settings& s) {
             s.terminal.device_interface =
                 InterfaceSelection::by_mac(MacAddress{{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}});
         },
         {{"terminal-interface", sz("0A:1B:2C:3D:4E:5F")}}},
        {"port 0",
         {},
         [](Settings& s) { s.terminal.pc_sicct_port = 0; },
         {{"pc-sicct-port", dword(0)}}},
        {"443 is the card terminal's default only",
         {{"pc-https-port", dword(443)}, {"host-https-port", dword(8443)}},
         [](Settings& s) {
             s.terminal.pc_https_port = 443;
             s.pinpad.pc_https_port = 443;
         },
         {{"pinpad-pc-https-port", dword(443)}}},
        {"4742 is the card terminal's default only",
         {},
         [](Settings& s) {
             s.terminal.pc_udp_port = 4742;
             s.pinpad.announcement_udp_port = 4742;
         },
         {{"pinpad-terminal-udp-port", dword(4742)}}},
        {"600 s deletes, 120 s writes",
         {{"pinpad-service-discovery-interval", dword(300)},
          {"usb-service-discovery-interval", dword(300)}},
         [](Settings& s) {
             s.terminal.pc_service_announcement_interval = 120s;
             s.pinpad.device_service_discovery_interval = 600s;
         },
         {{"pc-service-announcement-interval", dword(120)}}},
        {"announcement addresses as dotted text",
         {{"host-service-announcement-address", sz("10.9.9.9")}},
         [](Settings& s) {
             s.terminal.announcement_ip_address = Ipv4Addr{{192, 168, 1, 10}};
             s.pinpad.announcement_ip_address = Ipv4Addr{{10, 0, 0, 5}};
         },
         {{"connector-ip-address", sz("192.168.1.10")},
          {"pinpad-terminal-ip-address", sz("10.0.0.5")}}},
        {"log level error",
         {},
         [](Settings& s) { s.log_level = LogLevel::Error; },
         {{"loglevel", sz("error")}}},
        {"log level warn",
         {},
         [](Settings& s) { s.log_level = LogLevel::Warn; },
         {{"loglevel", sz("warn")}}},
        {"log level debug",
         {},
         [](Settings& s) { s.log_level = LogLevel::Debug; },
         {{"loglevel", sz("debug")}}},
        {"log level trace",
         {},
         [](Settings& s) { s.log_level = LogLevel::Trace; },
         {{"loglevel", sz("trace")}}},
        {"log level info deletes", {{"loglevel", sz("debug")}}, [](Settings&) {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        for (const char* name : ALL_NAMES) {
            (void)key_->remove(name);
        }
        put(c.before);
        Settings settings;
        c.edit(settings);
        auto saved = save_settings(settings, *key_);
        ASSERT_TRUE(saved.has_value()) << saved.error().message();
        EXPECT_EQ(contents(), c.after);
        // What was written loads back as what was saved; the loader never takes "trace" (the
        // tool does not offer it either).
        if (settings.log_level != LogLevel::Trace) {
            EXPECT_EQ(Settings::load_from(*key_), settings);
        }
    }
}

TEST_F(SettingsWriter, AnOlderNameMovesToTheCurrentOneOnTheFirstSave) {
    put({{"host-sicct-port", dword(5000)}});
    const Settings loaded = Settings::load_from(*key_);
    EXPECT_EQ(loaded.terminal.pc_sicct_port, 5000);
    ASSERT_TRUE(save_settings(loaded, *key_).has_value());
    EXPECT_EQ(contents(), (Values{{"pc-sicct-port", dword(5000)}}));
}

TEST_F(SettingsWriter, EverySettingRoundTrips) {
    Settings s;
    s.log_level = LogLevel::Warn;
    s.terminal = DeviceSettings{InterfaceSelection::by_name("lan0"),
                                1,
                                2,
                                3,
                                61s,
                                Ipv4Addr{{10, 0, 0, 1}},
                                4,
                                InterfaceSelection::by_mac(MacAddress{{1, 2, 3, 4, 5, 6}}),
                                5,
                                3600s};
    s.pinpad = DeviceSettings{
        InterfaceSelection::terminal(),  11, 12, 13, 60s, Ipv4Addr{{10, 0, 0, 2}}, 14,
        InterfaceSelection::by_name(""), 15, 72s};
    ASSERT_TRUE(save_settings(s, *key_).has_value());
    EXPECT_EQ(Settings::load_from(*key_), s);
    EXPECT_EQ(contents().size(), 21u);
}

TEST(SettingsWriterTexts, KindsOfFailure) {
    using os::RegistryErrorKind;
    EXPECT_EQ(os::value_error_text(RegistryErrorKind::NotFound, "pc-udp-port"),
              "Data not found for value with name 'pc-udp-port'");
    EXPECT_EQ(os::value_error_text(RegistryErrorKind::AccessDenied, "pc-udp-port"),
              "Permission denied for given value name: 'pc-udp-port'");
    EXPECT_EQ(os::value_error_text(RegistryErrorKind::Other, "pc-udp-port"),
              "An unknown IO error occurred for given value name: 'pc-udp-port'");
    EXPECT_EQ(os::path_error_text(RegistryErrorKind::NotFound, SETTINGS_KEY_PATH),
              "Provided path not found: SOFTWARE\\Korvel\\Tessaro");
    EXPECT_EQ(os::path_error_text(RegistryErrorKind::AccessDenied, SETTINGS_KEY_PATH),
              "Permission denied for given path: SOFTWARE\\Korvel\\Tessaro");
    EXPECT_EQ(os::path_error_text(RegistryErrorKind::Other, SETTINGS_KEY_PATH),
              "An unknown IO error occurred for given path: SOFTWARE\\Korvel\\Tessaro");
}

// A key that records every call and refuses one of them.
class FailingKey : public os::RegistryKey {
  public:
    enum class Call { Query, Set, Remove };

    FailingKey(Values values, Call fail_call, std::string fail_name, os::RegistryErrorKind kind)
        : values_(std::move(values)),
          fail_call_(fail_call),
          fail_name_(std::move(fail_name)),
          kind_(kind) {}

    std::optional<RegistryValue> query(std::string_view name) const override {
        calls.emplace_back(Call::Query, std::string(name));
        auto it = values_.find(std::string(name));
        if (it == values_.end()) {
            return std::nullopt;
        }
        return it->second;
    }
    os::RegistryVoidResult set(std::string_view name, const RegistryValue& value) override {
        calls.emplace_back(Call::Set, std::string(name));
        if (fail_call_ == Call::Set && name == fail_name_) {
            return std::unexpected(os::RegistryError(kind_, "refused"));
        }
        values_[std::string(name)] = value;
        return {};
    }
    os::RegistryVoidResult remove(std::string_view name) override {
        calls.emplace_back(Call::Remove, std::string(name));
        if (fail_call_ == Call::Remove && name == fail_name_) {
            return std::unexpected(os::RegistryError(kind_, "refused"));
        }
        values_.erase(std::string(name));
        return {};
    }

    const Values& values() const { return values_; }
    mutable std::vector<std::pair<Call, std::string>> calls;

  private:
    Values values_;
    Call fail_call_;
    std::string fail_name_;
    os::RegistryErrorKind kind_;
};

TEST(SettingsWriterFailure, AFailureInTheCardTerminalsPartEndsTheSave) {
    Settings s;
    s.log_level = LogLevel::Debug;
    s.terminal.pc_interface = InterfaceSelection::by_name("lan0");
    s.terminal.pc_sicct_port = 5000;
    s.terminal.pc_https_port = 8443;
    s.pinpad.pc_sicct_port = 1;
    FailingKey key({{"host-sicct-port", dword(6000)},
                    {"host-service-discovery-port", dword(7)},
                    {"pinpad-pc-udp-port", dword(9)}},
                   FailingKey::Call::Set, "pc-sicct-port", os::RegistryErrorKind::AccessDenied);

    auto saved = save_settings(s, key);
    ASSERT_FALSE(saved.has_value());
    EXPECT_EQ(saved.error().message(), "Permission denied for given value name: 'pc-sicct-port'");
    // What came before the failing call is written and deleted; the older name of the failed
    // value stays, as does everything after it.
    EXPECT_EQ(key.values(), (Values{{"loglevel", sz("debug")},
                                    {"pc-interface", sz("lan0")},
                                    {"host-sicct-port", dword(6000)},
                                    {"pinpad-pc-udp-port", dword(9)}}));
    EXPECT_EQ(key.calls.back(),
              std::make_pair(FailingKey::Call::Set, std::string("pc-sicct-port")));
    for (const auto& [call, name] : key.calls) {
        EXPECT_FALSE(name.starts_with("pinpad")) << name;
    }
}

TEST(SettingsWriterFailure, TheErrorNamesTheValueOfTheFailingCall) {
    struct Case {
        FailingKey::Call call;
        const char* name;
        os::RegistryErrorKind kind;
        const char* expected;
    } cases[] = {
        // Deleting the older name after a successful write.
        {FailingKey::Call::Remove, "host-interface", os::RegistryErrorKind::AccessDenied,
         "Permission denied for given value name: 'host-interface'"},
        // Deleting a value at its default.
        {FailingKey::Call::Remove, "pinpad-pc-udp-port", os::RegistryErrorKind::Other,
         "An unknown IO error occurred for given value name: 'pinpad-pc-udp-port'"},
        {FailingKey::Call::Set, "pinpad-pc-use-terminal", os::RegistryErrorKind::AccessDenied,
         "Permission denied for given value name: 'pinpad-pc-use-terminal'"},
        {FailingKey::Call::Set, "loglevel", os::RegistryErrorKind::Other,
         "An unknown IO error occurred for given value name: 'loglevel'"},
    };
    for (const auto& c : cases) {
        Settings s;
        s.log_level = LogLevel::Warn;
        s.terminal.pc_interface = InterfaceSelection::by_name("lan0");
        s.pinpad.pc_interface = InterfaceSelection::terminal();
        FailingKey key({{"host-interface", dword(1)}, {"pinpad-pc-udp-port", dword(9)}}, c.call,
                       c.name, c.kind);
        auto saved = save_settings(s, key);
        ASSERT_FALSE(saved.has_value()) << c.name;
        EXPECT_EQ(saved.error().message(), c.expected);
        EXPECT_EQ(key.calls.back().second, c.name);
    }
}

TEST(SettingsWriterFailure, AbsentValuesAreNeverDeleted) {
    // A query that finds nothing (absent, or unreadable) means there is nothing to delete: a key
    // that refuses every delete does not fail a save of the defaults.
    FailingKey key({}, FailingKey::Call::Remove, "", os::RegistryErrorKind::AccessDenied);
    ASSERT_TRUE(save_settings(Settings{}, key).has_value());
    for (const auto& [call, name] : key.calls) {
        EXPECT_EQ(call, FailingKey::Call::Query) << name;
    }
}

TEST(SettingsWriterFailure, AValueGoneByTheTimeOfItsDeleteCountsAsDeleted) {
    // The query finds the value, but its delete finds it gone (another program deleted it in
    // between): the save goes on and succeeds, for a value at its default and for an older name.
    for (const char* gone : {"pinpad-pc-udp-port", "host-interface"}) {
        Settings s;
        s.terminal.pc_interface = InterfaceSelection::by_name("lan0");
        FailingKey key({{"host-interface", dword(1)}, {"pinpad-pc-udp-port", dword(9)}},
                       FailingKey::Call::Remove, gone, os::RegistryErrorKind::NotFound);
        auto saved = save_settings(s, key);
        EXPECT_TRUE(saved.has_value()) << gone << ": " << saved.error().message();
        // Every later value was still handled.
        EXPECT_EQ(key.calls.back(),
                  std::make_pair(FailingKey::Call::Query,
                                 std::string("pinpad-service-discovery-interval")))
            << gone;
    }
}

TEST(SettingsWriterKey, AKeyThatCannotBeCreatedNamesThePath) {
    // A path that the registry refuses: the names of its keys are too long (255 characters at
    // most) on Windows, and the stand-in refuses an empty key name.
    const std::string path = "SOFTWARE\\" + std::string(300, 'k') + "\\\\x";
    auto key = open_settings_key_at(path);
    ASSERT_FALSE(key.has_value());
    EXPECT_EQ(key.error().message(), "An unknown IO error occurred for given path: " + path);
}

TEST(SettingsWriterFormats, AddressesAndMacs) {
    EXPECT_EQ(format_ipv4(Ipv4Addr{{192, 168, 1, 10}}), "192.168.1.10");
    EXPECT_EQ(format_ipv4(Ipv4Addr{}), "0.0.0.0");
    EXPECT_EQ(format_mac(MacAddress{{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}}), "0A:1B:2C:3D:4E:5F");
    EXPECT_EQ(format_mac(MacAddress{}), "00:00:00:00:00:00");
}

}  // namespace
}  // namespace tessaro::winconfig
