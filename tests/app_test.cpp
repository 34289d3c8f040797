// The application object with a fake adapter source: construction, its ids, the status
// section, the order of its first events, stopping, events that nobody takes, and the proxies'
// errors.
#include <atomic>
#include <chrono>
#include <cstring>
#include <limits>
#include <thread>

#include <gtest/gtest.h>

#include "common/status.hpp"
#include "log_capture.hpp"
#include "proxy/app.hpp"
#include "proxy/proxy.hpp"

using namespace tessaro;
using namespace std::chrono_literals;

namespace {

const std::string APP = "tessaro::app";

struct Scans {
    std::atomic<int> count{0};
    AdapterSource source() {
        return [this] {
            ++count;
            return Interfaces{};
        };
    }
};

class AppTest : public ::testing::Test {
  protected:
    void SetUp() override { logtest::capture().clear(); }
    void TearDown() override { set_signal_id_counter_for_test(1000); }
};

}  // namespace

TEST_F(AppTest, TheFirstAppOfAProcessTakesIdsFromZeroAndAStopBeforeRunStillLetsCheckRun) {
    set_signal_id_counter_for_test(0);
    Scans scans;
    auto app = App::create(Settings::defaults(), false, scans.source());
    ASSERT_TRUE(app.has_value()) << app.error().message();
    StopHandle stop = (*app)->stop_handle();
    EXPECT_EQ(stop.stop_signal, 0u);
    EXPECT_EQ(next_signal_id().value(), 3u);  // CHECK took 1, STATUS 2
    EXPECT_EQ(scans.count, 0);                // nothing is delivered before run

    stop();
    App::run(std::move(*app));
    EXPECT_EQ(scans.count, 1);
    EXPECT_EQ(
        logtest::capture().texts(APP),
        (std::vector<std::string>{"Korvel Tessaro 1.3.2", "Configuration: Default", "Stopped."}));
}

TEST_F(AppTest, TheSettingsTextIsLogged) {
    Settings settings;
    settings.log_level = LogLevel::Debug;
    settings.terminal.pc_sicct_port = 5000;
    auto app = App::create(settings, false, Scans{}.source());
    ASSERT_TRUE(app.has_value());
    EXPECT_EQ(logtest::capture().texts(APP)[1],
              "Configuration: loglevel: debug, pc-sicct-port: 5000");
}

TEST_F(AppTest, ACounterThatCannotGiveThreeIdsFailsTheConstruction) {
    const auto max = std::numeric_limits<std::uint64_t>::max();
    set_signal_id_counter_for_test(max - 2);
    auto app = App::create(Settings::defaults(), false, Scans{}.source());
    ASSERT_FALSE(app.has_value());
    EXPECT_EQ(app.error().message(), "Error: Exhausted Signal IDs");
    set_signal_id_counter_for_test(max - 3);
    EXPECT_TRUE(App::create(Settings::defaults(), false, Scans{}.source()).has_value());
}

TEST_F(AppTest, TheSectionHoldsTheFirstRecordAndASecondInstanceReusesIt) {
    static const std::uint8_t first_record[] = {0x01, 0x00, 0,    0,    0,    0,    0,    0,   0, 0,
                                                0xE6, 0x80, 0x14, 0x7B, 0x2E, 0x7E, 0x8F, 0x36};
    auto first = App::create(Settings::defaults(), false, Scans{}.source());
    ASSERT_TRUE(first.has_value()) << first.error().message();
    auto reader = SharedMemory::open(STATUS_SECTION_NAME_CONSOLE);
    ASSERT_TRUE(reader.has_value()) << reader.error().message();
    EXPECT_EQ(std::memcmp(reader->view(), first_record, sizeof first_record), 0);

    {
        // Spoilt through an owner: a reader's view may be read-only.
        auto spoiler = SharedMemory::create(false);
        ASSERT_TRUE(spoiler.has_value()) << spoiler.error().message();
        std::memset(spoiler->view(), 0xAA, sizeof first_record);
    }
    auto second = App::create(Settings::defaults(), false, Scans{}.source());
    ASSERT_TRUE(second.has_value()) << second.error().message();
    EXPECT_EQ(std::memcmp(reader->view(), first_record, sizeof first_record), 0);
}

TEST_F(AppTest, EventsNobodyTakesAreDroppedAndAStopFromAnotherThreadEndsTheRun) {
    Scans scans;
    auto app = App::create(Settings::defaults(), false, scans.source());
    ASSERT_TRUE(app.has_value());
    StopHandle stop = (*app)->stop_handle();
    stop.handler->signal(987654321);  // nobody's
    std::thread stopper([&] {
        while (scans.count < 2) {  // the second CHECK comes 3 s after the first
            std::this_thread::sleep_for(10ms);
        }
        stop();
    });
    App::run(std::move(*app));
    stopper.join();
    EXPECT_EQ(scans.count, 2);
    auto texts = logtest::capture().texts(APP);
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(), "Stopped.");
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "Stopped."), 1);
}

TEST_F(AppTest, CheckRunsBeforeStatus) {
    // CHECK spoils the record; only a STATUS after it can have written it again before the stop
    // that was queued behind both.
    auto app = App::create(Settings::defaults(), false, [] {
        auto section = SharedMemory::create(false);  // an owner: a reader's view may be read-only
        if (section.has_value()) {
            std::memset(section->view(), 0xAA, 18);
        }
        return Interfaces{};
    });
    ASSERT_TRUE(app.has_value()) << app.error().message();
    auto reader = SharedMemory::open(STATUS_SECTION_NAME_CONSOLE);
    ASSERT_TRUE(reader.has_value()) << reader.error().message();
    (*app)->stop_handle()();
    App::run(std::move(*app));
    EXPECT_EQ(reader->view()[0], 1);
    EXPECT_EQ(reader->view()[10], 0xE6);  // the first byte of the check value
}

namespace {

// A proxy that is Discovering on loopback, and a second reference to its discovery client, which
// it must never meet when it uses the client.
struct LockedClient {
    std::unique_ptr<Proxy> proxy;
    std::shared_ptr<ServiceDiscoveryClient> second_reference;

    LockedClient(DeviceKind kind, node::SharedHandler handler) {
        DeviceSettings settings = DeviceSettings::defaults(kind);
        settings.device_service_discovery_port = 0;
        proxy = std::make_unique<Proxy>(settings, handler, kind);
        proxy->update_device_interface(
            {DeviceInterface("usb", "USB", Ipv4Addr{{127, 0, 0, 1}}, Ipv4Addr{{127, 255, 255, 255}},
                             MacAddress{{2, 0, 0, 0, 0, 1}})});
        proxy->update_pc_interface(
            {PcInterface("lan", "LAN", Ipv4Addr{{127, 0, 0, 1}}, std::nullopt, std::nullopt)});
        const auto* discovering = std::get_if<ProxyState::Discovering>(&proxy->state().value);
        if (discovering != nullptr) {
            second_reference = discovering->client;
        }
    }
};

}  // namespace

TEST_F(AppTest, AProxysErrorIsLoggedWithItsKindAndStopsTheProgram) {
    const std::string locked = "Internal error: service discovery client is locked";
    struct Case {
        bool terminal_fails;
        std::string line;
    } cases[] = {{true, "Terminal proxy error: " + locked},
                 {false, "Pinpad proxy error: " + locked}};
    for (const auto& c : cases) {
        logtest::capture().clear();
        auto node = node::create();
        ASSERT_TRUE(node.has_value()) << node.error().message();
        auto handler = node->handler;
        Proxy idle(DeviceSettings::defaults(DeviceKind::Terminal), handler, DeviceKind::Terminal);
        LockedClient failing(c.terminal_fails ? DeviceKind::Terminal : DeviceKind::Pinpad, handler);
        ASSERT_TRUE(failing.second_reference) << c.line;

        node::Event event = node::Signal{987654321};
        if (c.terminal_fails) {
            offer_to_proxies(event, *failing.proxy, idle, *handler);
        } else {
            offer_to_proxies(event, idle, *failing.proxy, *handler);
        }
        EXPECT_FALSE(handler->is_running()) << c.line;
        EXPECT_EQ(logtest::capture().lines(APP),
                  (std::vector<logtest::LogLine>{{APP, spdlog::level::err, c.line}}));
        failing.second_reference.reset();
        failing.proxy.reset();
    }
}
