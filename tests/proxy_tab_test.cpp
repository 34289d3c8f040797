// The proxy tabs over a fake window: what load shows, and the validation and store rules of
// every control against the saved settings.
#include <functional>

#include <gtest/gtest.h>

#include "fake_config_view.hpp"
#include "winconfig/proxy_tab.hpp"

namespace tessaro::winconfig {
namespace {

using namespace std::chrono_literals;
using testing::FakeConfigView;

const MacAddress ethernet_mac{{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}};

std::vector<PcInterface> pc_adapters() {
    return {
        PcInterface("{GUID-ETH}", "Ethernet", Ipv4Addr{{192, 168, 1, 5}}, ethernet_mac,
                    Ipv4Addr{{192, 168, 1, 255}}),
        PcInterface("{GUID-WLAN}", "WLAN", Ipv4Addr{{10, 0, 0, 5}}, std::nullopt, std::nullopt)};
}

std::vector<DeviceInterface> terminal_adapters() {
    return {DeviceInterface("{GUID-USB}", "Terminal USB", Ipv4Addr{{169, 254, 1, 2}},
                            Ipv4Addr{{169, 254, 255, 255}}, MacAddress{{2, 0, 0, 0, 0, 1}})};
}

DeviceSettings saved_terminal() {
    DeviceSettings saved = DeviceSettings::defaults(DeviceKind::Terminal);
    saved.pc_udp_port = 4742;
    saved.pc_sicct_port = 4742;
    saved.pc_https_port = 443;
    saved.pc_service_announcement_interval = 600s;
    saved.announcement_ip_address = Ipv4Addr{{192, 168, 1, 10}};
    saved.announcement_udp_port = 4742;
    saved.pc_interface = InterfaceSelection::by_mac(ethernet_mac);
    saved.device_interface = InterfaceSelection::automatic();
    return saved;
}

class ProxyTabTest : public ::testing::Test {
  protected:
    std::string text(Field field) { return view.text({Page::Terminal, field}); }
    void set(Field field, std::string value) { view.set_text({Page::Terminal, field}, value); }
    std::optional<std::size_t> selection(Field field) {
        return view.selection({Page::Terminal, field});
    }

    FakeConfigView view;
    ProxyTab tab{view, false};
    DeviceSettings saved = saved_terminal();
};

TEST_F(ProxyTabTest, LoadShowsTheKindTheAdaptersAndTheSavedValues) {
    tab.load(saved, pc_adapters(), terminal_adapters());

    EXPECT_EQ(text(Field::TabCaption), "Terminal-Proxy");
    EXPECT_EQ(text(Field::PcHeading), "PC-Schnittstelle");
    EXPECT_EQ(text(Field::AnnouncementIpLabel), "Konnektor-IP-Adresse:");
    EXPECT_EQ(text(Field::AnnouncementPortLabel), "Konnektor-UDP-Port:");
    EXPECT_EQ(text(Field::DeviceHeading), "Terminal-Schnittstelle");

    EXPECT_EQ(view.control({Page::Terminal, Field::PcInterfaceCombo}).items,
              (std::vector<std::string>{"Automatisch", "Ethernet (0A:1B:2C:3D:4E:5F)", "WLAN"}));
    EXPECT_EQ(view.control({Page::Terminal, Field::DeviceInterfaceCombo}).items,
              (std::vector<std::string>{"Automatisch", "Terminal USB (02:00:00:00:00:01)"}));
    // The adapter saved by its MAC is shown selected.
    EXPECT_EQ(selection(Field::PcInterfaceCombo), 1u);
    EXPECT_EQ(selection(Field::DeviceInterfaceCombo), 0u);

    EXPECT_EQ(text(Field::UdpPort), "4742");
    EXPECT_EQ(text(Field::SicctPort), "4742");
    EXPECT_EQ(text(Field::HttpsPort), "443");
    EXPECT_EQ(text(Field::AnnouncementInterval), "600");
    EXPECT_EQ(text(Field::AnnouncementIp), "192.168.1.10");
    EXPECT_EQ(text(Field::AnnouncementPort), "4742");

    auto check = tab.validate(saved);
    EXPECT_TRUE(check.valid);
    EXPECT_FALSE(check.changed);
}

TEST_F(ProxyTabTest, AnAdapterLoadedByMacIsUnchangedButStoredByName) {
    tab.load(saved, pc_adapters(), terminal_adapters());
    set(Field::SicctPort, "5000");  // some other change, so that a save happens
    EXPECT_TRUE(tab.validate(saved).changed);

    DeviceSettings stored = saved;
    tab.store(stored);
    EXPECT_EQ(stored.pc_interface, InterfaceSelection::by_name("{GUID-ETH}"));
    EXPECT_EQ(stored.pc_sicct_port, 5000);
    // Against what was stored, the tab is unchanged again.
    EXPECT_FALSE(tab.validate(stored).changed);
}

TEST_F(ProxyTabTest, ASavedSelectionMatchingNoItemLeavesNoSelection) {
    // Names compare byte for byte; a MAC no adapter has matches nothing.
    for (auto selection : {InterfaceSelection::by_name("{guid-eth}"),
                           InterfaceSelection::by_mac(MacAddress{{9, 9, 9, 9, 9, 9}}),
                           InterfaceSelection::terminal()}) {
        FakeConfigView fresh_view;
        ProxyTab fresh(fresh_view, false);
        saved.pc_interface = selection;
        fresh.load(saved, pc_adapters(), terminal_adapters());
        EXPECT_EQ(fresh_view.selection({Page::Terminal, Field::PcInterfaceCombo}), std::nullopt)
            << selection.to_string();
        auto check = fresh.validate(saved);
        EXPECT_FALSE(check.valid);
        EXPECT_FALSE(check.changed);
        EXPECT_EQ(fresh_view.text({Page::Terminal, Field::PcInterfaceMarker}), "!");

        // Storing keeps the saved selection.
        DeviceSettings stored = saved;
        fresh.store(stored);
        EXPECT_EQ(stored.pc_interface, selection);
    }
}

TEST(ProxyTabPinpad, AScanWithoutAdaptersOffersTheFixedItemsOnly) {
    FakeConfigView view;
    ProxyTab tab(view, true);
    DeviceSettings saved = DeviceSettings::defaults(DeviceKind::Pinpad);
    saved.pc_interface = InterfaceSelection::terminal();
    tab.load(saved, {}, {});

    EXPECT_EQ(view.text({Page::Pinpad, Field::TabCaption}), "PIN-Pad-Proxy");
    EXPECT_EQ(view.text({Page::Pinpad, Field::PcHeading}), "Terminal-Schnittstelle");
    EXPECT_EQ(view.text({Page::Pinpad, Field::AnnouncementIpLabel}), "Terminal-IP-Addresse");
    EXPECT_EQ(view.text({Page::Pinpad, Field::AnnouncementPortLabel}), "Terminal-UDP-Port");
    EXPECT_EQ(view.text({Page::Pinpad, Field::DeviceHeading}), "PIN-Pad-Schnittstelle");
    EXPECT_EQ(view.control({Page::Pinpad, Field::PcInterfaceCombo}).items,
              (std::vector<std::string>{"Automatisch", "Terminal-Proxy"}));
    EXPECT_EQ(view.control({Page::Pinpad, Field::DeviceInterfaceCombo}).items,
              (std::vector<std::string>{"Automatisch"}));
    EXPECT_EQ(view.selection({Page::Pinpad, Field::PcInterfaceCombo}), 1u);
    // No address saved: the field stays empty.
    EXPECT_EQ(view.text({Page::Pinpad, Field::AnnouncementIp}), "");

    auto check = tab.validate(saved);
    EXPECT_TRUE(check.valid);
    EXPECT_FALSE(check.changed);

    // Choosing Automatic is a change, and is stored.
    view.select({Page::Pinpad, Field::PcInterfaceCombo}, 0);
    EXPECT_TRUE(tab.validate(saved).changed);
    tab.store(saved);
    EXPECT_EQ(saved.pc_interface, InterfaceSelection::automatic());
}

struct FieldCase {
    Field field;
    Field marker;
    std::string text;
    bool valid;
    bool changed;
    // What store makes of the saved settings; nothing for an invalid text.
    std::function<void(DeviceSettings&)> stored;
};

TEST_F(ProxyTabTest, EveryFieldAgainstItsRule) {
    auto udp = [](std::uint16_t p) { return [p](DeviceSettings& s) { s.pc_udp_port = p; }; };
    auto interval = [](std::int64_t v) {
        return [v](DeviceSettings& s) {
            s.pc_service_announcement_interval = std::chrono::seconds(v);
        };
    };
    auto address = [](std::optional<Ipv4Addr> a) {
        return [a](DeviceSettings& s) { s.announcement_ip_address = a; };
    };
    const std::vector<FieldCase> cases = {
        {Field::UdpPort, Field::UdpPortMarker, "65535", true, true, udp(65535)},
        {Field::UdpPort, Field::UdpPortMarker, "65536", false, false, {}},
        {Field::UdpPort, Field::UdpPortMarker, "+80", true, true, udp(80)},
        {Field::UdpPort, Field::UdpPortMarker, "00080", true, true, udp(80)},
        {Field::UdpPort, Field::UdpPortMarker, "0", true, true, udp(0)},
        {Field::UdpPort, Field::UdpPortMarker, "4742", true, false, udp(4742)},
        {Field::UdpPort, Field::UdpPortMarker, "0000000000004742", true, false, udp(4742)},
        {Field::UdpPort, Field::UdpPortMarker, "", false, false, {}},
        {Field::UdpPort, Field::UdpPortMarker, "+", false, false, {}},
        {Field::UdpPort, Field::UdpPortMarker, "-1", false, false, {}},
        {Field::UdpPort, Field::UdpPortMarker, " 80", false, false, {}},
        {Field::UdpPort, Field::UdpPortMarker, "80 ", false, false, {}},
        {Field::UdpPort, Field::UdpPortMarker, "99999999999999999999999", false, false, {}},
        {Field::SicctPort, Field::SicctPortMarker, "443", true, true,
         [](DeviceSettings& s) { s.pc_sicct_port = 443; }},
        {Field::HttpsPort, Field::HttpsPortMarker, "8443", true, true,
         [](DeviceSettings& s) { s.pc_https_port = 8443; }},
        {Field::HttpsPort, Field::HttpsPortMarker, "x", false, false, {}},
        {Field::AnnouncementPort, Field::AnnouncementPortMarker, "4743", true, true,
         [](DeviceSettings& s) { s.announcement_udp_port = 4743; }},
        {Field::AnnouncementInterval, Field::AnnouncementIntervalMarker, "59", false, false, {}},
        {Field::AnnouncementInterval, Field::AnnouncementIntervalMarker, "3601", false, false, {}},
        {Field::AnnouncementInterval, Field::AnnouncementIntervalMarker, "60", true, true,
         interval(60)},
        {Field::AnnouncementInterval, Field::AnnouncementIntervalMarker, "+3600", true, true,
         interval(3600)},
        {Field::AnnouncementInterval, Field::AnnouncementIntervalMarker, "0600", true, false,
         interval(600)},
        {Field::AnnouncementInterval,
         Field::AnnouncementIntervalMarker,
         "18446744073709551615",
         false,
         false,
         {}},
        {Field::AnnouncementInterval,
         Field::AnnouncementIntervalMarker,
         "18446744073709551616",
         false,
         false,
         {}},
        {Field::AnnouncementIp, Field::AnnouncementIpMarker, "", true, true, address(std::nullopt)},
        {Field::AnnouncementIp, Field::AnnouncementIpMarker, "192.168.1.10", true, false,
         address(Ipv4Addr{{192, 168, 1, 10}})},
        {Field::AnnouncementIp, Field::AnnouncementIpMarker, "10.0.0.1", true, true,
         address(Ipv4Addr{{10, 0, 0, 1}})},
        {Field::AnnouncementIp, Field::AnnouncementIpMarker, "192.168.01.10", false, false, {}},
        {Field::AnnouncementIp, Field::AnnouncementIpMarker, "192.168.1.10 ", false, false, {}},
        {Field::AnnouncementIp, Field::AnnouncementIpMarker, "256.1.1.1", false, false, {}},
        {Field::AnnouncementIp, Field::AnnouncementIpMarker, "1.2.3", false, false, {}},
    };
    tab.load(saved, pc_adapters(), terminal_adapters());
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << static_cast<int>(c.field) << " [" << c.text << "]");
        std::string before = text(c.field);
        set(c.field, c.text);

        auto check = tab.validate(saved);
        EXPECT_EQ(check.valid, c.valid);
        EXPECT_EQ(check.changed, c.changed);
        EXPECT_EQ(text(c.marker), c.valid ? "" : "!");

        DeviceSettings stored = saved;
        tab.store(stored);
        DeviceSettings expected = saved;
        if (c.stored) {
            c.stored(expected);
        }
        // The MAC selection becomes its name in every store.
        expected.pc_interface = InterfaceSelection::by_name("{GUID-ETH}");
        EXPECT_EQ(stored, expected);

        set(c.field, before);
    }
    // Every marker is set on every call: after the last edit is undone, all are clear again.
    auto check = tab.validate(saved);
    EXPECT_TRUE(check.valid);
    EXPECT_FALSE(check.changed);
    for (Field marker :
         {Field::PcInterfaceMarker, Field::UdpPortMarker, Field::SicctPortMarker,
          Field::HttpsPortMarker, Field::AnnouncementIntervalMarker, Field::AnnouncementIpMarker,
          Field::AnnouncementPortMarker, Field::DeviceInterfaceMarker}) {
        EXPECT_EQ(text(marker), "");
    }
}

TEST(LogLevelItem, DisplayTexts) {
    EXPECT_EQ(LogLevelItem{LogLevel::Error}.to_string(), "Fehler");
    EXPECT_EQ(LogLevelItem{LogLevel::Warn}.to_string(), "Warnungen");
    EXPECT_EQ(LogLevelItem{LogLevel::Info}.to_string(), "Informationen");
    EXPECT_EQ(LogLevelItem{LogLevel::Debug}.to_string(), "Debug");
    EXPECT_EQ(LogLevelItem{LogLevel::Trace}.to_string(), "Trace");
}

}  // namespace
}  // namespace tessaro::winconfig
