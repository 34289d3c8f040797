// The device proxy without a device: what its interface lets a caller do, and how it chooses
// adapters. Discovery sockets go to loopback and nothing is sent, since no event loop runs.
#include <gtest/gtest.h>

#include <limits>

#include "log_capture.hpp"
#include "proxy/proxy.hpp"
#include "proxy/node/node.hpp"

using namespace tessaro;

namespace {

// Releasing the state's holdings is the first half of a transition; done from outside it would
// leave a Running state with its relays and interfaces gone, which `status()` reads.
template <typename P>
concept CanStopFromOutside = requires(P& proxy) {
    proxy.stop();
};
static_assert(!CanStopFromOutside<Proxy>);

const std::string TARGET = "tessaro::proxy::terminal";
const MacAddress WANTED{{2, 0, 0, 0, 0, 7}};
const MacAddress OTHER{{2, 0, 0, 0, 0, 8}};

DeviceInterface device(std::string name, MacAddress mac) {
    return DeviceInterface(std::move(name), "USB", Ipv4Addr{{127, 0, 0, 1}},
                           Ipv4Addr{{127, 255, 255, 255}}, mac);
}

PcInterface pc(std::string name, std::optional<MacAddress> mac) {
    return PcInterface(std::move(name), "LAN", Ipv4Addr{{127, 0, 0, 1}}, mac, std::nullopt);
}

class ProxySelectionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        logtest::capture().clear();
        auto created = node::create();
        ASSERT_TRUE(created.has_value()) << created.error().message();
        node = std::move(*created);
    }
    void TearDown() override { node.handler->stop(); }

    std::unique_ptr<Proxy> make(InterfaceSelection device_selection,
                                InterfaceSelection pc_selection) {
        DeviceSettings settings = DeviceSettings::defaults(DeviceKind::Terminal);
        settings.device_interface = std::move(device_selection);
        settings.pc_interface = std::move(pc_selection);
        settings.device_service_discovery_port = 0;  // any free port
        return std::make_unique<Proxy>(settings, node.handler, DeviceKind::Terminal);
    }

    node::Node node;
};

}  // namespace

TEST_F(ProxySelectionTest, AMacSelectionTakesTheFirstAdapterWithThatMacAndNeverOneWithout) {
    auto proxy = make(InterfaceSelection::by_mac(WANTED), InterfaceSelection::by_mac(WANTED));
    proxy->update_device_interface({device("usb1", OTHER), device("usb2", WANTED)});
    const auto* found = std::get_if<ProxyState::DeviceFound>(&proxy->state().value);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->device_iface->adapter_name(), "usb2");

    // A PC adapter without a MAC is no match, whatever the selection's MAC.
    proxy->update_pc_interface({pc("nomac", std::nullopt), pc("other", OTHER)});
    EXPECT_TRUE(std::holds_alternative<ProxyState::DeviceFound>(proxy->state().value));
    EXPECT_EQ(
        logtest::capture().lines(TARGET),
        (std::vector<logtest::LogLine>{{TARGET, spdlog::level::debug, "PC interface not found!"}}));

    proxy->update_pc_interface(
        {pc("nomac", std::nullopt), pc("first", WANTED), pc("second", WANTED)});
    const auto* discovering = std::get_if<ProxyState::Discovering>(&proxy->state().value);
    ASSERT_NE(discovering, nullptr);
    EXPECT_EQ(discovering->sicct_iface->adapter_name(), "first");
    EXPECT_EQ(discovering->https_iface, discovering->sicct_iface);
}

TEST_F(ProxySelectionTest, AClientThatCannotStartDropsTheProxyToIdleAndTheNextCheckTriesAgain) {
    auto proxy = make(InterfaceSelection::automatic(), InterfaceSelection::automatic());
    // The client's socket opens, but no ids are left for its signals.
    set_signal_id_counter_for_test(std::numeric_limits<std::uint64_t>::max());
    for (std::size_t check = 1; check <= 2; ++check) {
        proxy->update_device_interface({device("usb1", WANTED)});
        proxy->update_pc_interface({pc("lan", std::nullopt)});
        EXPECT_TRUE(std::holds_alternative<ProxyState::Idle>(proxy->state().value));
        EXPECT_EQ(logtest::capture().lines(TARGET),
                  std::vector<logtest::LogLine>(
                      check, {TARGET, spdlog::level::err,
                              "Could not start service discovery client: Error: Exhausted Signal "
                              "IDs"}));
    }
    set_signal_id_counter_for_test(1000);
}
