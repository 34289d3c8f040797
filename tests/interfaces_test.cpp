// The adapter scan's classification over hand-made inputs, and the WQL text of its query.
#include <gtest/gtest.h>

#include "common/interfaces.hpp"

using namespace tessaro;

namespace {

Ipv4Addr ip(const char* text) {
    return *Ipv4Addr::parse(text);
}

AdapterPrefix prefix(const char* address, std::uint8_t length) {
    return AdapterPrefix{ip(address), length};
}

const std::vector<std::uint8_t> MAC_BYTES{0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
const MacAddress MAC{{0x02, 0x11, 0x22, 0x33, 0x44, 0x55}};

const std::string TERMINAL_PNP = "USB\\VID_2B7A&PID_0C41&MI_00\\6&1A2B3C4D&0&0000";
const std::string PINPAD_PNP = "USB\\VID_2B7A&PID_0C42&MI_00\\6&5E6F7A8B&0&0000";

// An up adapter "{A}" with one address on a /24 network, a 6-byte MAC and Windows' prefix list
// (host, network, broadcast).
SystemAdapter adapter(const char* name = "{A}", const char* address = "192.168.1.10") {
    Ipv4Addr a = ip(address);
    Ipv4Addr network = Ipv4Addr::from_u32(a.to_u32() & 0xFFFFFF00u);
    Ipv4Addr broadcast = Ipv4Addr::from_u32(network.to_u32() | 0xFFu);
    return SystemAdapter{name,
                         std::string("Friendly ") + name,
                         true,
                         {AdapterAddress{std::nullopt}, AdapterAddress{a}},
                         {AdapterPrefix{std::nullopt, 64}, AdapterPrefix{a, 32},
                          AdapterPrefix{network, 24}, AdapterPrefix{broadcast, 32}},
                         MAC_BYTES};
}

struct Expected {
    // Per list: the adapter names found there.
    std::vector<std::string> pc, terminal, pinpad;
};

void expect_lists(const Interfaces& result, const Expected& expected, const std::string& what) {
    auto names = [](const auto& list) {
        std::vector<std::string> out;
        for (const auto& i : list) {
            out.push_back(i.adapter_name());
        }
        return out;
    };
    EXPECT_EQ(names(result.pc), expected.pc) << what;
    EXPECT_EQ(names(result.terminal), expected.terminal) << what;
    EXPECT_EQ(names(result.pinpad), expected.pinpad) << what;
}

}  // namespace

TEST(ClassifyAdapters, KindByPlugAndPlayRows) {
    struct Case {
        const char* what;
        std::vector<AdapterRow> rows;
        Expected expected;
    };
    const std::string lower = "usb\\vid_2b7a&pid_0c41&mi_00\\x";
    const Case cases[] = {
        {"terminal row", {{"{A}", TERMINAL_PNP}}, {{}, {"{A}"}, {}}},
        {"pin pad row", {{"{A}", PINPAD_PNP}}, {{}, {}, {"{A}"}}},
        {"exactly the prefix", {{"{A}", std::string(TERMINAL_PNP_PREFIX)}}, {{}, {"{A}"}, {}}},
        {"lower-case prefix", {{"{A}", lower}}, {{"{A}"}, {}, {}}},
        {"PNPDeviceID shorter than the prefix",
         {{"{A}", std::string(TERMINAL_PNP_PREFIX.substr(0, 21))}},
         {{"{A}"}, {}, {}}},
        {"absent guid", {{std::nullopt, TERMINAL_PNP}}, {{"{A}"}, {}, {}}},
        {"guid differs in case", {{"{a}", TERMINAL_PNP}}, {{"{A}"}, {}, {}}},
        {"guid with a blank", {{"{A} ", TERMINAL_PNP}}, {{"{A}"}, {}, {}}},
        {"both kinds: terminal wins",
         {{"{A}", PINPAD_PNP}, {"{A}", TERMINAL_PNP}},
         {{}, {"{A}"}, {}}},
        {"rows of other adapters", {{"{B}", TERMINAL_PNP}, {"{C}", PINPAD_PNP}}, {{"{A}"}, {}, {}}},
        {"no rows", {}, {{"{A}"}, {}, {}}},
    };
    for (const Case& c : cases) {
        expect_lists(classify_adapters(c.rows, {adapter()}), c.expected, c.what);
    }
}

TEST(ClassifyAdapters, AddressChoice) {
    struct Case {
        const char* what;
        std::vector<const char*> addresses;
        bool device;
        const char* expected;  // nullptr: not listed
    };
    const Case cases[] = {
        {"loopback then private", {"127.0.0.1", "192.168.1.10"}, false, "192.168.1.10"},
        {"first qualifying wins", {"192.168.1.10", "192.168.1.11"}, false, "192.168.1.10"},
        {"link-local on a PC adapter", {"169.254.10.20"}, false, nullptr},
        {"link-local on a device adapter", {"169.254.10.20"}, true, "169.254.10.20"},
        {"link-local passed over on a PC adapter",
         {"169.254.10.20", "10.1.2.3"},
         false,
         "10.1.2.3"},
        {"only excluded ones",
         {"255.255.255.255", "127.5.5.5", "192.0.2.1", "198.51.100.7", "203.0.113.9", "224.0.0.1",
          "239.255.255.250", "0.0.0.0"},
         true,
         nullptr},
        {"just outside the excluded ranges", {"192.0.3.1"}, false, "192.0.3.1"},
        {"240/4 is not multicast", {"240.0.0.1"}, false, "240.0.0.1"},
        {"no address", {}, false, nullptr},
    };
    for (const Case& c : cases) {
        SystemAdapter a = adapter();
        a.unicast = {AdapterAddress{std::nullopt}};
        for (const char* address : c.addresses) {
            a.unicast.push_back(AdapterAddress{ip(address)});
        }
        // A prefix that qualifies for every address, so that a device adapter is never
        // dropped for want of a broadcast address.
        a.prefixes = {prefix("0.0.0.0", 0)};
        std::vector<AdapterRow> rows;
        if (c.device) {
            rows.push_back({"{A}", TERMINAL_PNP});
        }
        Interfaces result = classify_adapters(rows, {a});
        std::size_t listed = result.pc.size() + result.terminal.size() + result.pinpad.size();
        if (c.expected == nullptr) {
            EXPECT_EQ(listed, 0u) << c.what;
            continue;
        }
        ASSERT_EQ(listed, 1u) << c.what;
        ASSERT_EQ((c.device ? result.terminal.size() : result.pc.size()), 1u) << c.what;
        Ipv4Addr chosen = c.device ? result.terminal[0].ip_address : result.pc[0].ip_address;
        EXPECT_EQ(chosen, ip(c.expected)) << c.what;
    }
}

TEST(ClassifyAdapters, BroadcastFromPrefixList) {
    struct Case {
        const char* what;
        const char* address;
        std::vector<AdapterPrefix> prefixes;
        const char* expected;  // nullptr: none
    };
    const Case cases[] = {
        {"host prefix passed over",
         "192.168.1.10",
         {prefix("192.168.1.10", 32), prefix("192.168.1.0", 24), prefix("192.168.1.255", 32)},
         "192.168.1.255"},
        {"prefix off its network boundary", "10.1.2.3", {prefix("10.0.0.5", 8)}, nullptr},
        {"default prefix", "10.1.2.3", {prefix("0.0.0.0", 0)}, "255.255.255.255"},
        {"first qualifying prefix wins",
         "10.1.2.3",
         {prefix("10.1.0.0", 16), prefix("10.1.2.0", 24)},
         "10.1.255.255"},
        {"other network", "10.1.2.3", {prefix("10.9.9.0", 24)}, nullptr},
        {"IPv6 prefixes passed over",
         "10.1.2.3",
         {AdapterPrefix{std::nullopt, 0}, prefix("10.1.2.0", 24)},
         "10.1.2.255"},
        {"length beyond 32 is a full mask", "10.1.2.3", {prefix("10.1.2.4", 40)}, nullptr},
        {"/31", "10.1.2.3", {prefix("10.1.2.2", 31)}, "10.1.2.3"},
        {"no prefixes", "10.1.2.3", {}, nullptr},
    };
    for (const Case& c : cases) {
        SystemAdapter a = adapter("{A}", c.address);
        a.prefixes = c.prefixes;
        Interfaces result = classify_adapters({}, {a});
        ASSERT_EQ(result.pc.size(), 1u) << c.what;
        if (c.expected == nullptr) {
            EXPECT_FALSE(result.pc[0].broadcast_address.has_value()) << c.what;
        } else {
            EXPECT_EQ(result.pc[0].broadcast_address, ip(c.expected)) << c.what;
        }
    }
}

TEST(ClassifyAdapters, DeviceAdaptersNeedMacAndBroadcast) {
    struct Case {
        const char* what;
        std::vector<std::uint8_t> physical;
        bool has_prefix;
        bool device_listed;
    };
    const Case cases[] = {
        {"MAC and broadcast", MAC_BYTES, true, true},
        {"8-byte physical address", {1, 2, 3, 4, 5, 6, 7, 8}, true, false},
        {"no physical address", {}, true, false},
        {"no qualifying prefix", MAC_BYTES, false, false},
    };
    for (const Case& c : cases) {
        for (const std::string& pnp : {TERMINAL_PNP, PINPAD_PNP}) {
            SystemAdapter a = adapter();
            a.physical_address = c.physical;
            if (!c.has_prefix) {
                a.prefixes = {prefix("192.168.1.10", 32)};
            }
            Interfaces result = classify_adapters({{"{A}", pnp}}, {a});
            EXPECT_TRUE(result.pc.empty()) << c.what;
            EXPECT_EQ(result.terminal.size() + result.pinpad.size(), c.device_listed ? 1u : 0u)
                << c.what;

            // The same adapter without its row is a LAN adapter with what it has.
            Interfaces as_pc = classify_adapters({}, {a});
            ASSERT_EQ(as_pc.pc.size(), 1u) << c.what;
            EXPECT_EQ(as_pc.pc[0].mac.has_value(), c.physical.size() == 6) << c.what;
            EXPECT_EQ(as_pc.pc[0].broadcast_address.has_value(), c.has_prefix) << c.what;
        }
    }
}

TEST(ClassifyAdapters, RecordsAndOrder) {
    SystemAdapter down = adapter("{DOWN}", "10.0.5.1");
    down.oper_status_up = false;
    SystemAdapter pc2 = adapter("{PC2}", "10.0.1.1");
    pc2.physical_address = {};
    std::vector<SystemAdapter> adapters = {
        adapter("{PC1}", "10.0.0.1"),
        adapter("{T1}", "169.254.1.2"),
        adapter("{P1}", "10.0.3.2"),
        down,
        pc2,
        adapter("{T2}", "10.0.4.2"),
    };
    std::vector<AdapterRow> rows = {{"{T2}", TERMINAL_PNP},
                                    {"{P1}", PINPAD_PNP},
                                    {"{T1}", TERMINAL_PNP},
                                    {"{DOWN}", TERMINAL_PNP}};

    Interfaces result = classify_adapters(rows, adapters);
    Interfaces expected;
    expected.pc = {
        PcInterface("{PC1}", "Friendly {PC1}", ip("10.0.0.1"), MAC, ip("10.0.0.255")),
        PcInterface("{PC2}", "Friendly {PC2}", ip("10.0.1.1"), std::nullopt, ip("10.0.1.255"))};
    expected.terminal = {
        DeviceInterface("{T1}", "Friendly {T1}", ip("169.254.1.2"), ip("169.254.1.255"), MAC),
        DeviceInterface("{T2}", "Friendly {T2}", ip("10.0.4.2"), ip("10.0.4.255"), MAC)};
    expected.pinpad = {
        DeviceInterface("{P1}", "Friendly {P1}", ip("10.0.3.2"), ip("10.0.3.255"), MAC)};
    EXPECT_EQ(result, expected);
    EXPECT_EQ(classify_adapters(rows, adapters), result);

    // Without rows (a failed query) the devices' adapters are LAN adapters, kept in place; the
    // link-local one is not usable there.
    expect_lists(classify_adapters({}, adapters), {{"{PC1}", "{P1}", "{PC2}", "{T2}"}, {}, {}},
                 "no rows");
}

TEST(Interfaces, ViewsAndFromDevice) {
    DeviceInterface device("{D}", "USB link", ip("169.254.1.2"), ip("169.254.255.255"), MAC);
    PcInterface pc = PcInterface::from_device(device);
    EXPECT_EQ(pc, PcInterface("{D}", "USB link", ip("169.254.1.2"), MAC, ip("169.254.255.255")));

    const Interface& view = device;
    EXPECT_EQ(&view.adapter_name(), &device.adapter_name_);
    EXPECT_EQ(&view.friendly_name(), &device.friendly_name_);
    EXPECT_EQ(view.mac_address(), MAC);

    PcInterface without_mac("{P}", "LAN", ip("10.0.0.1"), std::nullopt, std::nullopt);
    EXPECT_NE(without_mac, PcInterface("{P}", "LAN", ip("10.0.0.1"), MAC, std::nullopt));
    EXPECT_FALSE(static_cast<const Interface&>(without_mac).mac_address().has_value());
}

TEST(AdapterQuery, Text) {
    const std::string expected =
        "SELECT GUID, PNPDeviceID\n"
        "                 FROM Win32_NetworkAdapter\n"
        "                 WHERE PNPDeviceID LIKE 'USB\\\\VID_2B7A&PID_0C41&%' OR PNPDeviceID "
        "LIKE 'USB\\\\VID_2B7A&PID_0C42&%'";
    EXPECT_EQ(adapter_query_text(), expected);
    EXPECT_EQ(adapter_query_text().size(), 181u);
}
