// The adapter scan over the real platform calls: WMI through COM and GetAdaptersAddresses.
//
// COM security can be set only once per process, so the one service-style connection of this
// program is made in one test; the test without COM runs first, while no apartment exists.
#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>

#include <objbase.h>

#include <iostream>
#include <sstream>
#include <thread>

#include "common/interfaces.hpp"
#include "common/log.hpp"
#include "common/os/wmi.hpp"

using namespace tessaro;

namespace {

bool excluded_for_lan(Ipv4Addr a) {
    std::uint32_t v = a.to_u32();
    auto in = [&](std::uint32_t network, unsigned length) {
        return (v & (~std::uint32_t{0} << (32 - length))) == network;
    };
    return v == 0xFFFFFFFFu || v == 0 || in(0x7F000000u, 8) || in(0xC0000200u, 24) ||
           in(0xC6336400u, 24) || in(0xCB007100u, 24) || in(0xE0000000u, 4) || in(0xA9FE0000u, 16);
}

}  // namespace

// The WMI library's text with the failing result code (CO_E_NOTINITIALIZED): what the tool's box
// shows when it cannot connect at start.
TEST(WmiConnection, WithoutComFailsWithTheResultCode) {
    std::string message;
    // A fresh thread has no apartment, and no other thread has made one yet.
    std::thread([&] {
        auto wmi = os::WmiConnection::connect_in_apartment();
        message = wmi.has_value() ? "connected" : wmi.error().message();
    }).join();
    EXPECT_EQ(message, "HRESULT Call failed with: 0x800401F0");
}

TEST(WmiConnection, ToolConnectsOnItsApartment) {
    std::string outcome;
    std::thread([&] {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
        {
            auto wmi = os::WmiConnection::connect_in_apartment();
            outcome = wmi.has_value() ? "connected" : wmi.error().message();
        }
        // The connection left COM to its owner: this is the apartment's only reference.
        CoUninitialize();
    }).join();
    EXPECT_EQ(outcome, "connected");
}

TEST(AdapterScan, RealScanListsOnlyQualifyingAdapters) {
    EXPECT_EQ(adapter_query_text().size(), 181u);

    static std::ostringstream logged;  // the sink outlives the test
    auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(logged);
    sink->set_pattern("%n|%l|%v");
    log::install_sink(sink);

    auto wmi = os::WmiConnection::connect_service();
    ASSERT_TRUE(wmi.has_value()) << wmi.error().message();

    auto rows = (*wmi)->query_adapter_rows(adapter_query_text());
    auto adapters = os::list_adapters();
    ASSERT_TRUE(adapters.has_value()) << adapters.error().message();
    std::cout << "WMI query: "
              << (rows.has_value() ? std::to_string(rows->size()) + " rows"
                                   : rows.error().message())
              << "\nadapters listed: " << adapters->size() << "\n";
    for (const SystemAdapter& a : *adapters) {
        std::cout << "  " << a.adapter_name << " '" << a.friendly_name
                  << "' up=" << a.oper_status_up << " unicast=" << a.unicast.size()
                  << " prefixes=" << a.prefixes.size() << " physical=" << a.physical_address.size()
                  << "\n";
        for (const AdapterAddress& u : a.unicast) {
            std::cout << "    address " << (u.ipv4 ? u.ipv4->to_string() : "(not IPv4)") << "\n";
        }
        for (const AdapterPrefix& p : a.prefixes) {
            std::cout << "    prefix " << (p.address ? p.address->to_string() : "(not IPv4)") << "/"
                      << int{p.length} << "\n";
        }
    }

    // Every adapter of the class: the row conversion over whatever the system has.
    auto all = (*wmi)->query_adapter_rows("SELECT GUID, PNPDeviceID FROM Win32_NetworkAdapter");
    std::cout << "all adapters' rows: "
              << (all.has_value() ? std::to_string(all->size()) + " rows" : all.error().message())
              << "\n";
    ASSERT_TRUE(all.has_value()) << all.error().message();
    // "guid" reads the class's GUID property (WMI property names ignore case), which is the
    // adapter list's name of the same adapter.
    bool guid_names_an_adapter = false;
    for (const AdapterRow& row : *all) {
        std::cout << "  " << row.guid.value_or("(no guid)") << " " << row.PNPDeviceID << "\n";
        EXPECT_FALSE(row.PNPDeviceID.empty());
        for (const SystemAdapter& a : *adapters) {
            guid_names_an_adapter = guid_names_an_adapter || row.guid == a.adapter_name;
        }
    }
    EXPECT_TRUE(guid_names_an_adapter);

    Interfaces result = interfaces::get_interfaces(**wmi);
    for (const PcInterface& pc : result.pc) {
        std::cout << "  pc " << pc.adapter_name() << " " << pc.ip_address.to_string() << "\n";
        EXPECT_FALSE(excluded_for_lan(pc.ip_address)) << pc.ip_address.to_string();
    }
    // No card terminal or PIN pad is attached here.
    EXPECT_TRUE(result.terminal.empty());
    EXPECT_TRUE(result.pinpad.empty());
    // The scan is the classification of what the two calls give.
    EXPECT_EQ(result,
              classify_adapters(rows.has_value() ? *rows : std::vector<AdapterRow>{}, *adapters));
    if (rows.has_value()) {
        EXPECT_EQ(logged.str(), "");
    } else {
        EXPECT_EQ(logged.str().rfind(
                      "common::interfaces|error|WMI query failed: " + rows.error().message(), 0),
                  0u)
            << logged.str();
    }
}
