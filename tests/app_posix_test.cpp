// The application object over real sockets: a card terminal and a PIN pad behind veth links in
// private namespaces, with the adapter lists handed in by the test.
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
#include "proxy/app.hpp"

using namespace tessaro;
using namespace std::chrono_literals;

namespace {

const auto* const env =
    ::testing::AddGlobalTestEnvironment(new nettest::PrivateLan("10.68.0.1/24"));

const std::string APP = "tessaro::app";
const std::string TERMINAL = "tessaro::proxy::terminal";
const std::string PINPAD = "tessaro::proxy::pinpad";

class AppNetworkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        logtest::capture().clear();
        ASSERT_TRUE(terminal_ns.ok() && pinpad_ns.ok());
        ASSERT_TRUE(
            nettest::make_veth(terminal_ns, "usb0", "10.68.1.1/24", "dev0", "10.68.1.2/24"));
        ASSERT_TRUE(nettest::make_veth(pinpad_ns, "pp0", "10.68.2.1/24", "dev0", "10.68.2.2/24"));
        terminal = std::make_unique<nettest::DevicePeer>(terminal_ns, 0xA0, 4742, "10.68.1.2",
                                                         std::vector<std::uint16_t>{4742, 443});
        pinpad = std::make_unique<nettest::DevicePeer>(pinpad_ns, 0xE0, 64742, "10.68.2.2",
                                                       std::vector<std::uint16_t>{4742, 443});
        ASSERT_TRUE(terminal->ok() && pinpad->ok());
        terminal->set_answer(
            nettest::terminal_announcement("KT", {10, 68, 1, 2}, {2, 0, 0, 0, 1, 2}, 4742));
        pinpad->set_answer(
            nettest::pinpad_announcement("PP", {10, 68, 2, 2}, {2, 0, 0, 0, 2, 2}, 4742));
        adapters.pc = {PcInterface("lan0", "LAN", Ipv4Addr{{10, 68, 0, 1}},
                                   MacAddress{{2, 0, 0, 0, 0, 1}}, Ipv4Addr{{10, 68, 0, 255}})};
        adapters.terminal = {DeviceInterface("usb0", "Terminal link", Ipv4Addr{{10, 68, 1, 1}},
                                             Ipv4Addr{{10, 68, 1, 255}},
                                             MacAddress{{2, 0, 0, 0, 1, 1}})};
        adapters.pinpad = {DeviceInterface("pp0", "Pinpad link", Ipv4Addr{{10, 68, 2, 1}},
                                           Ipv4Addr{{10, 68, 2, 255}},
                                           MacAddress{{2, 0, 0, 0, 2, 1}})};
    }
    void TearDown() override {
        if (runner.joinable()) {
            stop();
            runner.join();
        }
        terminal.reset();
        pinpad.reset();
        nettest::run_command("ip link del usb0 2>/dev/null; ip link del pp0 2>/dev/null");
    }

    void start(Settings settings) {
        auto app = App::create(std::move(settings), false, [this] {
            std::lock_guard lock(mutex);
            return adapters;
        });
        ASSERT_TRUE(app.has_value()) << app.error().message();
        stop = (*app)->stop_handle();
        runner = std::thread([app = std::move(*app)]() mutable { App::run(std::move(app)); });
    }

    void set_adapters(Interfaces next) {
        std::lock_guard lock(mutex);
        adapters = std::move(next);
    }

    nettest::PeerNamespace terminal_ns;
    nettest::PeerNamespace pinpad_ns;
    std::unique_ptr<nettest::DevicePeer> terminal;
    std::unique_ptr<nettest::DevicePeer> pinpad;
    std::mutex mutex;
    Interfaces adapters;
    StopHandle stop;
    std::thread runner;
};

}  // namespace

TEST_F(AppNetworkTest, ThePinpadRunsOnTheTerminalsLinkAndFallsBackOnceWhenItStops) {
    Settings settings;
    settings.pinpad.pc_interface = InterfaceSelection::terminal();
    start(settings);

    // The second check finds the card terminal running and hands its interfaces over.
    ASSERT_TRUE(logtest::capture().wait_for(
        PINPAD, "Starting SICCT Service Discovery at 10.68.1.1:64742", 10s));
    auto texts = logtest::capture().texts(PINPAD);
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_EQ(texts[1], "Starting SICCT server at 10.68.1.1:64742");
    EXPECT_EQ(texts[2], "Starting HTTPS server at 10.68.0.1:60443");
    EXPECT_EQ(nettest::round_trip("10.68.1.1", 64742, "to the PIN pad"), "to the PIN pad");
    EXPECT_EQ(nettest::round_trip("10.68.0.1", 60443, "PIN pad HTTPS"), "PIN pad HTTPS");
    EXPECT_EQ(nettest::round_trip("10.68.0.1", 4742, "to the terminal"), "to the terminal");

    Interfaces without_terminal = adapters;
    without_terminal.terminal.clear();
    set_adapters(without_terminal);
    ASSERT_TRUE(logtest::capture().wait_for(PINPAD, "Terminal proxy disconnected!", 10s));
    EXPECT_EQ(logtest::capture().count(TERMINAL, "Device interface removed!"), 1u);
    std::this_thread::sleep_for(3500ms);  // one more check: nothing more from the PIN pad
    EXPECT_EQ(logtest::capture().texts(PINPAD).size(), 5u);
}

TEST_F(AppNetworkTest, AStatusRecordThatDoesNotFitStopsTheProgram) {
    Interfaces big = adapters;
    big.pc[0].friendly_name_ = std::string(4000, 'x');
    set_adapters(big);
    start(Settings::defaults());
    ASSERT_TRUE(logtest::capture().wait_for(
        APP, "App error: Failed to serialize status: io error: failed to write whole buffer", 10s));
    runner.join();  // the run ends by itself
    EXPECT_EQ(logtest::capture().texts(APP).back(), "Stopped.");
}
