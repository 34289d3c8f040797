// The settings and the registry seam against the real registry of the test's Wine prefix.
#include <gtest/gtest.h>

#include <string>

#include "common/os/registry.hpp"
#include "common/os/windows.hpp"
#include "common/settings.hpp"

using namespace tessaro;
using namespace std::chrono_literals;

namespace {

constexpr const wchar_t* KEY = L"SOFTWARE\\Korvel\\Tessaro";

void delete_key() {
    LSTATUS status = RegDeleteTreeW(HKEY_LOCAL_MACHINE, KEY);
    ASSERT_TRUE(status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) << status;
}

class SettingsRegistry : public testing::Test {
  protected:
    void SetUp() override { delete_key(); }
    void TearDown() override { delete_key(); }

    HKEY create() {
        HKEY key = nullptr;
        LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, KEY, 0, nullptr, 0,
                                         KEY_READ | KEY_WRITE, nullptr, &key, nullptr);
        EXPECT_EQ(status, ERROR_SUCCESS);
        return key;
    }
    static void set_raw(HKEY key, const wchar_t* name, DWORD type, const void* data, DWORD size) {
        ASSERT_EQ(RegSetValueExW(key, name, 0, type, static_cast<const BYTE*>(data), size),
                  ERROR_SUCCESS)
            << name;
    }
    static void set_text(HKEY key, const wchar_t* name, const std::wstring& text) {
        set_raw(key, name, REG_SZ, text.c_str(),
                static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }
    static void set_dword(HKEY key, const wchar_t* name, DWORD value) {
        set_raw(key, name, REG_DWORD, &value, sizeof value);
    }
};

}  // namespace

TEST_F(SettingsRegistry, AbsentKeyGivesDefaults) {
    const Settings s = Settings::load();
    EXPECT_EQ(s, Settings::defaults());
    EXPECT_EQ(s.to_string(), "Default");
    auto opened = os::open_local_machine_key(SETTINGS_KEY_PATH, os::KEY_READ_ACCESS);
    ASSERT_FALSE(opened.has_value());
    // The system's own text and code follow the operation.
    EXPECT_TRUE(opened.error().message().starts_with(
        "Could not open registry key 'SOFTWARE\\Korvel\\Tessaro': "))
        << opened.error().message();
    EXPECT_TRUE(opened.error().message().ends_with(" (os error 2)")) << opened.error().message();
}

TEST_F(SettingsRegistry, ValuesWrittenByWin32AreLoaded) {
    HKEY key = create();
    ASSERT_NE(key, nullptr);
    set_text(key, L"LOGLEVEL", L"Debug");  // names ignore case
    set_dword(key, L"pc-sicct-port", 5000);
    set_dword(key, L"pc-udp-port", 65536 + 80);
    set_dword(key, L"host-https-port", 8443);  // older name
    set_dword(key, L"pc-service-announcement-interval", 59);
    set_dword(key, L"terminal-service-discovery-interval", 120);
    set_text(key, L"connector-ip-address", L"10.0.0.5");
    set_text(key, L"pc-interface", L"aa-bb-cc-dd-ee-ff");
    // Without its NUL the text does not count. RegSetValueExW adds a forgotten terminator when
    // the character after the data is one, so the buffer goes on with another character.
    const wchar_t unterminated[] = {L'u', L's', L'b', L'x'};
    set_raw(key, L"terminal-interface", REG_SZ, unterminated, 3 * sizeof(wchar_t));
    // Two bytes are no REG_DWORD number.
    const BYTE two[] = {0x10, 0x27};
    set_raw(key, L"terminal-service-discovery-port", REG_DWORD, two, sizeof two);
    set_dword(key, L"pinpad-pc-use-terminal", 1);
    set_text(key, L"pinpad-pc-interface", L"{4D36E972-E325-11CE-BFC1-08002BE10318}");
    const wchar_t lone[] = {L'a', static_cast<wchar_t>(0xD800), 0};
    set_raw(key, L"pinpad-interface", REG_SZ, lone, sizeof lone);
    RegCloseKey(key);

    const Settings s = Settings::load();
    Settings expected;
    expected.log_level = LogLevel::Debug;
    expected.terminal.pc_sicct_port = 5000;
    expected.terminal.pc_udp_port = 80;
    expected.terminal.pc_https_port = 8443;
    expected.terminal.device_service_discovery_interval = 120s;
    expected.terminal.announcement_ip_address = Ipv4Addr{{10, 0, 0, 5}};
    expected.terminal.pc_interface =
        InterfaceSelection::by_mac(MacAddress{{0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}});
    expected.pinpad.pc_interface = InterfaceSelection::terminal();
    expected.pinpad.device_interface = InterfaceSelection::by_name("a\xEF\xBF\xBD");
    EXPECT_EQ(s, expected);
    EXPECT_EQ(s.to_string(),
              "loglevel: debug, pc-interface: AA:BB:CC:DD:EE:FF, pc-udp-port: 80, "
              "pc-sicct-port: 5000, pc-https-port: 8443, connector-ip-address: 10.0.0.5, "
              "terminal-service-discovery-interval: 120 s, pinpad-pc-interface: Terminal, "
              "pinpad-interface: a\xEF\xBF\xBD");
}

TEST_F(SettingsRegistry, SeamWritesWhatWin32Reads) {
    auto created =
        os::create_local_machine_key(SETTINGS_KEY_PATH, os::KEY_READ_ACCESS | os::KEY_WRITE_ACCESS);
    ASSERT_TRUE(created.has_value()) << created.error().message();
    os::RegistryKey& key = **created;
    ASSERT_TRUE(key.set("pc-sicct-port", os::RegistryValue::from_dword(5000)).has_value());
    ASSERT_TRUE(key.set("pc-interface", os::RegistryValue::from_string("Gr\xC3\xBC\xC3\x9F\x65"))
                    .has_value());
    const os::RegistryValue binary{os::REG_BINARY_TYPE, {1, 2, 3}};
    ASSERT_TRUE(key.set("blob", binary).has_value());

    DWORD number = 0;
    DWORD size = sizeof number;
    ASSERT_EQ(RegGetValueW(HKEY_LOCAL_MACHINE, KEY, L"PC-SICCT-PORT", RRF_RT_REG_DWORD, nullptr,
                           &number, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(number, 5000u);
    wchar_t text[16] = {};
    size = sizeof text;
    ASSERT_EQ(
        RegGetValueW(HKEY_LOCAL_MACHINE, KEY, L"pc-interface", RRF_RT_REG_SZ, nullptr, text, &size),
        ERROR_SUCCESS);
    EXPECT_EQ(std::wstring(text), L"Gr\u00FC\u00DFe");
    EXPECT_EQ(key.query("BLOB"), binary);
    EXPECT_EQ(key.query("pc-interface"), os::RegistryValue::from_string("Gr\xC3\xBC\xC3\x9F\x65"));
    EXPECT_EQ(Settings::load().terminal.pc_sicct_port, 5000);

    ASSERT_TRUE(key.remove("blob").has_value());
    EXPECT_FALSE(key.query("blob").has_value());
    auto absent = key.remove("blob");
    ASSERT_FALSE(absent.has_value());
    EXPECT_EQ(absent.error().kind(), os::RegistryErrorKind::NotFound);
    EXPECT_TRUE(absent.error().message().starts_with("Could not delete registry value 'blob': "))
        << absent.error().message();

    auto read_only = os::open_local_machine_key(SETTINGS_KEY_PATH, os::KEY_READ_ACCESS);
    ASSERT_TRUE(read_only.has_value()) << read_only.error().message();
    auto denied = (*read_only)->set("pc-sicct-port", os::RegistryValue::from_dword(1));
    ASSERT_FALSE(denied.has_value());
    EXPECT_EQ(denied.error().kind(), os::RegistryErrorKind::AccessDenied)
        << denied.error().message();

    created->reset();
    read_only->reset();
    ASSERT_TRUE(os::delete_local_machine_tree("SOFTWARE\\Korvel", "Tessaro").has_value());
    EXPECT_EQ(Settings::load(), Settings::defaults());
    EXPECT_FALSE(os::delete_local_machine_tree("SOFTWARE\\Korvel", "Tessaro").has_value());
}
