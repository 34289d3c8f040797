// A device proxy driven through its states with adapter lists made here, against a simulated
// card terminal behind a veth link in a private namespace; the LAN side is a local veth.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "device_peer.hpp"
#include "log_capture.hpp"
#include "netns_fixture.hpp"
#include "proxy/proxy.hpp"

using namespace tessaro;
using namespace std::chrono_literals;
using nettest::Bytes;

namespace {

const auto* const env =
    ::testing::AddGlobalTestEnvironment(new nettest::PrivateLan("10.67.0.1/24"));

const std::string TARGET = "tessaro::proxy::terminal";
const MacAddress DEVICE_MAC{{2, 0, 0, 0, 1, 2}};
const MacAddress USB_MAC{{2, 0, 0, 0, 1, 1}};
const MacAddress LAN_MAC{{2, 0, 0, 0, 0, 1}};
constexpr std::uint16_t ANNOUNCED_PORT = 4743;

DeviceInterface usb(std::string friendly = "USB link") {
    return DeviceInterface("usb0", std::move(friendly), Ipv4Addr{{10, 67, 1, 1}},
                           Ipv4Addr{{10, 67, 1, 255}}, USB_MAC);
}

PcInterface lan(std::optional<MacAddress> mac = LAN_MAC) {
    return PcInterface("lan0", "LAN", Ipv4Addr{{10, 67, 0, 1}}, mac, Ipv4Addr{{10, 67, 0, 255}});
}

Bytes device_answer(const std::string& name = "KT-Sim") {
    return nettest::terminal_announcement(name, {10, 67, 1, 2}, DEVICE_MAC.bytes, ANNOUNCED_PORT);
}

std::string device_found_line(const std::string& name = "KT-Sim") {
    return "Device found: Kind: SICCT, Name: " + name +
           ", MAC Address: 02:00:00:00:01:02, IP Address: 10.67.1.2, SICCT Port: 4743";
}

class ProxyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        logtest::capture().clear();
        ASSERT_TRUE(peer.ok());
        ASSERT_TRUE(nettest::make_veth(peer, "usb0", "10.67.1.1/24", "dev0", "10.67.1.2/24"));
        device = std::make_unique<nettest::DevicePeer>(
            peer, 0xA0, 4742, "10.67.1.2", std::vector<std::uint16_t>{ANNOUNCED_PORT, 443});
        ASSERT_TRUE(device->ok());
        device->set_answer(device_answer());

        auto n = node::create();
        ASSERT_TRUE(n.has_value());
        handler = n->handler;
        listener = std::move(n->listener);
        DeviceSettings settings = DeviceSettings::defaults(DeviceKind::Terminal);
        settings.device_service_discovery_interval = 2s;
        configure(settings);
        proxy = std::make_unique<Proxy>(settings, handler, DeviceKind::Terminal);
        loop = std::thread([this] {
            listener->run([this](node::Event&& e) {
                std::lock_guard lock(mutex);
                auto taken = proxy->on_event(e);
                if (!taken) {
                    errors.push_back(taken.error().message());
                }
            });
        });
    }
    void TearDown() override {
        handler->stop();
        loop.join();
        proxy.reset();
        device.reset();
        nettest::run_command("ip link del usb0 2>/dev/null");
        EXPECT_TRUE(errors.empty()) << errors.front();
    }
    virtual void configure(DeviceSettings&) {}

    template <typename S>
    bool in_state() {
        std::lock_guard lock(mutex);
        return std::holds_alternative<S>(proxy->state().value);
    }

    template <typename S>
    bool wait_state(std::chrono::milliseconds timeout = 5s) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (in_state<S>()) {
                return true;
            }
            std::this_thread::sleep_for(10ms);
        }
        return in_state<S>();
    }

    void check(const std::vector<DeviceInterface>& devices, const std::vector<PcInterface>& pcs) {
        std::lock_guard lock(mutex);
        proxy->update_device_interface(devices);
        proxy->update_pc_interface(pcs);
    }

    ProxyStatus status() {
        std::lock_guard lock(mutex);
        return proxy->status();
    }

    void run_to_running() {
        check({usb()}, {lan()});
        ASSERT_TRUE(wait_state<ProxyState::Running>());
        ASSERT_TRUE(logtest::capture().wait_for(
            TARGET, "Starting SICCT Service Discovery at 10.67.0.1:4742"));
    }

    nettest::PeerNamespace peer;
    std::unique_ptr<nettest::DevicePeer> device;
    node::SharedHandler handler;
    std::unique_ptr<node::NodeListener> listener;
    std::unique_ptr<Proxy> proxy;
    std::thread loop;
    std::mutex mutex;
    std::vector<std::string> errors;
};

}  // namespace

TEST_F(ProxyTest, ANormalStartRunsWithinOneCheckAndRelaysToTheAnnouncedPortAnd443) {
    {
        std::lock_guard lock(mutex);
        proxy->update_device_interface({usb()});
        EXPECT_TRUE(std::holds_alternative<ProxyState::DeviceFound>(proxy->state().value));
        proxy->update_pc_interface({lan()});
        EXPECT_TRUE(std::holds_alternative<ProxyState::Discovering>(proxy->state().value));
        EXPECT_FALSE(proxy->status().is_connected());  // not while discovering
    }
    ASSERT_TRUE(wait_state<ProxyState::Running>());
    ASSERT_TRUE(
        logtest::capture().wait_for(TARGET, "Starting SICCT Service Discovery at 10.67.0.1:4742"));
    EXPECT_EQ(
        logtest::capture().texts(TARGET),
        (std::vector<std::string>{device_found_line(), "Starting SICCT server at 10.67.0.1:4742",
                                  "Starting HTTPS server at 10.67.0.1:443",
                                  "Starting SICCT Service Discovery at 10.67.0.1:4742"}));
    // Published: the PC adapter, and the device's own address and MAC.
    EXPECT_EQ(status(),
              (ProxyStatus{ProxyStatus::Connected{"LAN", Ipv4Addr{{10, 67, 0, 1}}, LAN_MAC,
                                                  Ipv4Addr{{10, 67, 1, 2}}, DEVICE_MAC}}));
    EXPECT_EQ(nettest::round_trip("10.67.0.1", 4742, "SICCT through the relay"),
              "SICCT through the relay");
    EXPECT_EQ(nettest::round_trip("10.67.0.1", 443, "HTTPS through the relay"),
              "HTTPS through the relay");
}

TEST_F(ProxyTest, TheLanAnnouncementCarriesThePcAdaptersAddressMacAndTheRelayPort) {
    run_to_running();
    int fd = nettest::open_socket(SOCK_DGRAM, "10.67.0.1", 5999);
    ASSERT_GE(fd, 0);
    Bytes req = nettest::frame(0xA0, {nettest::field(0x81, {10, 67, 0, 1}),
                                      nettest::field(0x82, nettest::port_bytes(5999))});
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(4742);
    ::inet_pton(AF_INET, "10.67.0.1", &to.sin_addr);
    ::sendto(fd, req.data(), req.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    pollfd p{fd, POLLIN, 0};
    Bytes got(512);
    ssize_t n = ::poll(&p, 1, 3000) == 1 ? ::recv(fd, got.data(), got.size(), 0) : -1;
    ::close(fd);
    ASSERT_GT(n, 0);
    got.resize(static_cast<std::size_t>(n));
    using nettest::field;
    EXPECT_EQ(
        got, nettest::frame(
                 0xA1, {field(0x80, {0x01, 0x14}), field(0x81, {10, 67, 0, 1}),
                        field(0x83, {2, 0, 0, 0, 0, 1}), field(0x84, nettest::text_bytes("KT-Sim")),
                        field(0x82, nettest::port_bytes(4742)), field(0xA3, {0x8A, 0x01, 0x01})}));
}

TEST_F(ProxyTest, TheDeviceAdapterIsFollowedByItsNameAndAChangedRecordRestartsDiscovery) {
    run_to_running();
    logtest::capture().clear();
    DeviceInterface other("usb9", "Other", Ipv4Addr{{10, 67, 9, 1}}, Ipv4Addr{{10, 67, 9, 255}},
                          USB_MAC);
    // The same record again, and another device adapter ahead of it: nothing changes.
    check({usb()}, {lan()});
    check({other, usb()}, {lan()});
    EXPECT_TRUE(in_state<ProxyState::Running>());
    EXPECT_TRUE(logtest::capture().texts(TARGET).empty());

    {
        std::lock_guard lock(mutex);
        proxy->update_device_interface({other, usb("Renamed link")});
        EXPECT_TRUE(std::holds_alternative<ProxyState::DeviceFound>(proxy->state().value));
        proxy->update_pc_interface({lan()});
        EXPECT_TRUE(std::holds_alternative<ProxyState::Discovering>(proxy->state().value));
    }
    EXPECT_EQ(logtest::capture().count(TARGET, "Device interface changed!"), 1u);
    EXPECT_TRUE(wait_state<ProxyState::Running>());

    check({other}, {lan()});
    EXPECT_EQ(logtest::capture().count(TARGET, "Device interface removed!"), 1u);
    EXPECT_TRUE(in_state<ProxyState::Idle>());
}

TEST_F(ProxyTest, APcAdapterThatLosesItsMacRestartsDiscoveryAndOneThatGoesAwayStopsIt) {
    run_to_running();
    {
        // Looked at under the same lock: the device answers the new discovery at once, and the
        // loop may be Running again by the time the lock is taken anew.
        std::lock_guard lock(mutex);
        proxy->update_device_interface({usb()});
        proxy->update_pc_interface({lan(std::nullopt)});
        EXPECT_TRUE(std::holds_alternative<ProxyState::Discovering>(proxy->state().value));
    }
    ASSERT_TRUE(wait_state<ProxyState::Running>());
    auto s = status();
    ASSERT_TRUE(s.is_connected());
    EXPECT_FALSE(std::get<ProxyStatus::Connected>(s.value).mac_address.has_value());

    logtest::capture().clear();
    check({usb()}, {});
    EXPECT_EQ(logtest::capture().texts(TARGET),
              (std::vector<std::string>{"PC interface removed!"}));
    EXPECT_TRUE(in_state<ProxyState::DeviceFound>());
    check({usb()}, {});
    EXPECT_EQ(logtest::capture().texts(TARGET),
              (std::vector<std::string>{"PC interface removed!", "PC interface not found!"}));
}

TEST_F(ProxyTest, AChangedOrMissingAnnouncementStopsTheRunningProxy) {
    const std::string warning = "Service announcement from device changed! Stopping proxy...";
    run_to_running();
    device->set_answer(device_answer("Other name"));
    ASSERT_TRUE(logtest::capture().wait_for(TARGET, warning, 5s));
    EXPECT_TRUE(in_state<ProxyState::Idle>());

    device->set_answer(device_answer());
    run_to_running();
    device->set_answer(std::nullopt);  // stops answering
    ASSERT_TRUE(logtest::capture().wait_for(TARGET, warning, 5s, 2));
    EXPECT_TRUE(in_state<ProxyState::Idle>());
    EXPECT_FALSE(status().is_connected());
}

TEST_F(ProxyTest, ASicctPortInUseIsReportedAndRetriedWhileTheAnnouncementIsHeld) {
    int blocker = nettest::open_socket(SOCK_STREAM, "10.67.0.1", 4742);
    ASSERT_GE(blocker, 0);
    check({usb()}, {lan()});
    // The first attempt on the answer, the retry on the answer window's end.
    ASSERT_TRUE(
        logtest::capture().wait_for(TARGET, "Starting SICCT server at 10.67.0.1:4742", 5s, 2));
    ::close(blocker);
    auto lines = logtest::capture().lines(TARGET);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines[0].text, device_found_line());
    EXPECT_EQ(lines[1].text, "Starting SICCT server at 10.67.0.1:4742");
    EXPECT_EQ(lines[2].level, spdlog::level::err);
    EXPECT_TRUE(lines[2].text.starts_with("Could not start SICCT proxy: ")) << lines[2].text;
    EXPECT_EQ(lines[3].text, device_found_line());
    EXPECT_TRUE(in_state<ProxyState::Discovering>() || in_state<ProxyState::Running>());
}

namespace {
class NamedSelectionTest : public ProxyTest {
    void configure(DeviceSettings& s) override {
        s.device_interface = InterfaceSelection::by_name("usb7");
    }
};
}  // namespace

TEST_F(NamedSelectionTest, ANamedDeviceAdapterThatIsAbsentLeavesTheProxyIdleSilently) {
    check({usb()}, {lan()});
    check({usb()}, {lan()});
    EXPECT_TRUE(in_state<ProxyState::Idle>());
    EXPECT_TRUE(logtest::capture().texts(TARGET).empty());
}

TEST_F(ProxyTest, AnHttpsRelayOrServerThatCannotStartReleasesWhatStartedAndIsRetried) {
    struct Case {
        int type;  // the socket that takes the port first
        std::uint16_t port;
        std::vector<std::string> attempt;  // the lines of one attempt after "Device found"
        std::string error;
    } cases[] = {
        {SOCK_STREAM,
         443,
         {"Starting SICCT server at 10.67.0.1:4742", "Starting HTTPS server at 10.67.0.1:443"},
         "Could not start HTTPS proxy: "},
        {SOCK_DGRAM,
         4742,
         {"Starting SICCT server at 10.67.0.1:4742", "Starting HTTPS server at 10.67.0.1:443",
          "Starting SICCT Service Discovery at 10.67.0.1:4742"},
         "Could not start Service Discovery server: "},
    };
    for (const auto& c : cases) {
        logtest::capture().clear();
        // Without SO_REUSEADDR, so that the node's UDP socket cannot share the port either.
        int blocker = ::socket(AF_INET, c.type, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(c.port);
        ::inet_pton(AF_INET, "10.67.0.1", &at.sin_addr);
        ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&at), sizeof at), 0) << c.error;
        if (c.type == SOCK_STREAM) {
            ASSERT_EQ(::listen(blocker, 1), 0);
        }

        check({usb()}, {lan()});
        // The first attempt on the answer, the retry on a later event of the client.
        ASSERT_TRUE(logtest::capture().wait_for(TARGET, device_found_line(), 5s, 3)) << c.error;
        ::close(blocker);
        auto lines = logtest::capture().lines(TARGET);
        // The retry starts the relays again on the same ports: the failed attempt had closed
        // every listener that it opened.
        for (int attempt = 0; attempt < 2; ++attempt) {
            std::size_t at_line = static_cast<std::size_t>(attempt) * (c.attempt.size() + 2);
            ASSERT_GE(lines.size(), at_line + c.attempt.size() + 2);
            EXPECT_EQ(lines[at_line].text, device_found_line());
            for (std::size_t i = 0; i < c.attempt.size(); ++i) {
                EXPECT_EQ(lines[at_line + 1 + i].text, c.attempt[i]);
            }
            const auto& failure = lines[at_line + 1 + c.attempt.size()];
            EXPECT_EQ(failure.level, spdlog::level::err);
            EXPECT_TRUE(failure.text.starts_with(c.error)) << failure.text;
        }
        EXPECT_TRUE(wait_state<ProxyState::Running>()) << c.error;
        check({usb()}, {});  // back to DeviceFound for the next case
        ASSERT_TRUE(in_state<ProxyState::DeviceFound>());
    }
}
