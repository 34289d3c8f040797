#include "winconfig/status_dialog.hpp"

#include <gtest/gtest.h>

namespace tessaro::winconfig {
namespace {

ProxyStatus connected(std::optional<MacAddress> pc_mac) {
    return {ProxyStatus::Connected{
        .interface_name = "Ethernet 2",
        .ip_address = Ipv4Addr{{192, 168, 1, 10}},
        .mac_address = pc_mac,
        .device_ip_address = Ipv4Addr{{169, 254, 7, 1}},
        .device_mac_address = MacAddress{{0x00, 0x1B, 0xA0, 0x0C, 0xDE, 0xF1}},
    }};
}

TEST(StatusDialogTexts, ByKindAndSnapshot) {
    const MacAddress pc_mac{{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}};
    struct Case {
        const char* name;
        DeviceKind kind;
        ProxyStatus snapshot;
        StatusDialogTexts expected;
    };
    const Case cases[] = {
        {"terminal connected with a PC MAC",
         DeviceKind::Terminal,
         connected(pc_mac),
         {"Terminal-Proxy Status", "Terminal IP-Adresse", "Terminal MAC-Adresse", "Ethernet 2",
          "192.168.1.10", "0A:1B:2C:3D:4E:5F", "169.254.7.1", "00:1B:A0:0C:DE:F1"}},
        {"pin pad connected without a PC MAC",
         DeviceKind::Pinpad,
         connected(std::nullopt),
         {"PIN-Pad-Proxy Status", "PIN-Pad IP-Adresse", "PIN-Pad MAC-Adresse", "Ethernet 2",
          "192.168.1.10", "Nicht verfügbar", "169.254.7.1", "00:1B:A0:0C:DE:F1"}},
        {"not connected",
         DeviceKind::Pinpad,
         ProxyStatus{},
         {"PIN-Pad-Proxy Status", "PIN-Pad IP-Adresse", "PIN-Pad MAC-Adresse", "...", "...", "...",
          "...", "..."}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(status_dialog_texts(c.kind, c.snapshot), c.expected) << c.name;
    }
}

}  // namespace
}  // namespace tessaro::winconfig
