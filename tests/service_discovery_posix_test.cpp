// The discovery client on a simulated USB link and the server on a simulated LAN, each a veth
// pair into a private namespace where the test plays the device or the LAN peer with plain
// sockets. Datagrams on the peer side are composed by hand from the wire format.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "device_peer.hpp"
#include "log_capture.hpp"
#include "netns_fixture.hpp"
#include "proxy/node/node.hpp"
#include "proxy/service_discovery.hpp"

using namespace tessaro;
using namespace std::chrono_literals;
using nettest::Bytes;

namespace {

class PrivateNetwork : public ::testing::Environment {
  public:
    void SetUp() override { ASSERT_TRUE(nettest::enter_private_netns()) << "needs root"; }
};
const auto* const env = ::testing::AddGlobalTestEnvironment(new PrivateNetwork);

// --- the peer's plain sockets -------------------------------------------------------------

struct Udp {
    int fd = -1;
    explicit Udp(std::uint16_t port, const char* ip = "0.0.0.0")
        : fd(nettest::open_socket(SOCK_DGRAM, ip, port)) {}
    ~Udp() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    // One datagram within `timeout`, or none.
    std::optional<Bytes> receive(std::chrono::milliseconds timeout) const {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) {
            return std::nullopt;
        }
        Bytes buf(2048);
        ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
        if (n < 0) {
            return std::nullopt;
        }
        buf.resize(static_cast<std::size_t>(n));
        return buf;
    }
    void send_to(const Bytes& bytes, const char* ip, std::uint16_t port) const {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        ::inet_pton(AF_INET, ip, &a.sin_addr);
        ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
};

using nettest::field;
using nettest::frame;
Bytes text(const std::string& s) {
    return nettest::text_bytes(s);
}

Bytes terminal_announcement(const std::string& name, std::uint8_t last_octet = 2) {
    return frame(0xA1, {field(0x80, {0x01, 0x14}), field(0x81, {10, 66, 1, last_octet}),
                        field(0x83, {2, 0, 0, 0, 1, 2}), field(0x84, text(name)),
                        field(0x82, {0x12, 0x86}), field(0xA3, {0x8A, 0x01, 0x07})});
}

Bytes pinpad_announcement(const std::string& name) {
    return frame(0xE1, {field(0x81, {10, 66, 1, 2}), field(0x83, {2, 0, 0, 0, 1, 2}),
                        field(0x84, text(name)), field(0x82, {0x12, 0x86}), field(0x85, {}),
                        field(0x86, text("lite"))});
}

Bytes request(std::uint8_t tag, std::array<std::uint8_t, 4> ip, std::uint16_t port) {
    return frame(tag, {field(0x80, {0x01, 0x14}), field(0x81, {ip[0], ip[1], ip[2], ip[3]}),
                       field(0x82, {static_cast<std::uint8_t>(port >> 8),
                                    static_cast<std::uint8_t>(port & 0xFF)})});
}

// --- the node side ------------------------------------------------------------------------

// Runs a node loop in a thread and hands its events to whichever endpoint is installed.
class Loop {
  public:
    Loop() {
        auto n = node::create();
        EXPECT_TRUE(n.has_value());
        handler = n->handler;
        listener = std::move(n->listener);
    }
    ~Loop() { stop(); }

    void start(std::function<bool(const node::Event&)> dispatch) {
        dispatch_ = std::move(dispatch);
        thread_ = std::thread([this] {
            listener->run([this](node::Event&& e) {
                std::lock_guard lock(mutex);
                bool taken = dispatch_(e);
                if (const auto* s = std::get_if<node::Signal>(&e)) {
                    signals.push_back({s->id, taken});
                }
                if (std::holds_alternative<node::Data>(e)) {
                    data_taken.push_back(taken);
                }
                after_event();
            });
        });
    }
    void stop() {
        if (thread_.joinable()) {
            handler->stop();
            thread_.join();
        }
    }

    std::mutex mutex;  // held for every delivery; hold it to touch the endpoints
    std::vector<std::pair<SignalId, bool>> signals;
    std::vector<bool> data_taken;
    std::function<void()> after_event = [] {};
    node::SharedHandler handler;
    std::unique_ptr<node::NodeListener> listener;

  private:
    std::function<bool(const node::Event&)> dispatch_;
    std::thread thread_;
};

DeviceInterface usb_iface() {
    return DeviceInterface("usb0", "usb0", Ipv4Addr{{10, 66, 1, 1}}, Ipv4Addr{{10, 66, 1, 255}},
                           MacAddress{{2, 0, 0, 0, 1, 1}});
}

const std::string DISCOVERY = "tessaro::service_discovery::terminal";

// The debug lines of one target, as (level, text).
std::vector<logtest::LogLine> discovery_lines() {
    return logtest::capture().lines(DISCOVERY);
}

logtest::LogLine debug_line(std::string text) {
    return {DISCOVERY, spdlog::level::debug, std::move(text)};
}

class ClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        logtest::capture().clear();
        ASSERT_TRUE(peer.ok());
        ASSERT_TRUE(nettest::make_veth(peer, "usb0", "10.66.1.1/24", "dev0", "10.66.1.2/24"));
    }
    void TearDown() override {
        loop.stop();
        client.reset();
        nettest::run_command("ip link del usb0 2>/dev/null");
    }

    void start_client(std::chrono::milliseconds interval, std::chrono::milliseconds window) {
        auto c = ServiceDiscoveryClient::create(usb_iface(), 4742, interval, DeviceKind::Terminal,
                                                loop.handler, window);
        ASSERT_TRUE(c.has_value()) << c.error().message();
        client = std::move(*c);
        loop.start([this](const node::Event& e) { return client && client->handle_event(e); });
    }

    std::optional<std::string> held_name() {
        std::lock_guard lock(loop.mutex);
        if (!client->announcement()) {
            return std::nullopt;
        }
        return client->announcement()->name;
    }

    // The device side: waits for a request and answers it with `answer` after `delay`.
    std::optional<Bytes> answer_next(const Udp& dev, const Bytes& answer,
                                     std::chrono::milliseconds delay = 0ms) {
        return peer.run([&] {
            auto req = dev.receive(2000ms);
            if (req) {
                std::this_thread::sleep_for(delay);
                dev.send_to(answer, "10.66.1.1", 4742);
            }
            return req;
        });
    }

    nettest::PeerNamespace peer;
    Loop loop;
    std::unique_ptr<ServiceDiscoveryClient> client;
};

}  // namespace

TEST_F(ClientTest, RequestsGoOutAtOnceAndEveryIntervalWhileNobodyAnswers) {
    auto dev = peer.run([] { return std::make_unique<Udp>(4742); });
    ASSERT_GE(dev->fd, 0);
    auto started = std::chrono::steady_clock::now();
    start_client(1000ms, 100ms);
    std::vector<std::chrono::steady_clock::duration> arrivals;
    peer.run([&] {
        while (arrivals.size() < 4) {
            auto req = dev->receive(3000ms);
            if (!req) {
                break;
            }
            EXPECT_EQ(*req, request(0xA0, {10, 66, 1, 1}, 4742));
            arrivals.push_back(std::chrono::steady_clock::now() - started);
        }
        return 0;
    });
    ASSERT_EQ(arrivals.size(), 4u);
    // The first one does not wait for the interval; the others keep it (with a generous
    // allowance for slow sanitizer builds on either side).
    EXPECT_LT(arrivals[0], 700ms);
    for (std::size_t i = 1; i < arrivals.size(); ++i) {
        EXPECT_GE(arrivals[i] - arrivals[i - 1], 900ms);
    }
    EXPECT_FALSE(held_name().has_value());
    peer.run([&] {
        dev.reset();
        return 0;
    });
}

TEST_F(ClientTest, AnswersWithinTheWindowAreKeptAndTheLaterOfTwoWins) {
    auto dev = peer.run([] { return std::make_unique<Udp>(4742); });
    start_client(600ms, 300ms);
    ASSERT_TRUE(answer_next(*dev, terminal_announcement("first")));
    peer.run([&] {
        dev->send_to(terminal_announcement("second"), "10.66.1.1", 4742);
        return 0;
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(held_name(), "second");
    // The address inside the announcement, not the sender's.
    EXPECT_EQ(discovery_lines(),
              (std::vector<logtest::LogLine>{debug_line("Send ServiceDiscoveryRequest to "
                                                        "10.66.1.255:4742"),
                                             debug_line("Received ServiceAnnouncement from "
                                                        "10.66.1.2"),
                                             debug_line("Received ServiceAnnouncement from "
                                                        "10.66.1.2")}));
    // Answered promptly again and again: held across every window.
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(answer_next(*dev, terminal_announcement("second")));
        std::this_thread::sleep_for(400ms);  // past this request's window
        EXPECT_EQ(held_name(), "second") << i;
    }
    peer.run([&] {
        dev.reset();
        return 0;
    });
}

TEST_F(ClientTest, ALateAnswerIsDroppedAtTheWindowsEndAndStoredAgainOnArrival) {
    auto dev = peer.run([] { return std::make_unique<Udp>(4742); });
    std::vector<bool> presence;
    loop.after_event = [&] { presence.push_back(client && client->announcement().has_value()); };
    start_client(1200ms, 200ms);
    ASSERT_TRUE(answer_next(*dev, terminal_announcement("late"), 600ms));
    ASSERT_TRUE(answer_next(*dev, terminal_announcement("late"), 600ms));
    std::this_thread::sleep_for(200ms);
    loop.stop();
    // Never held at first; stored on the late answer; dropped at the next window's end; again.
    std::vector<bool> changes;
    for (bool p : presence) {
        if (changes.empty() || changes.back() != p) {
            changes.push_back(p);
        }
    }
    EXPECT_EQ(changes, (std::vector<bool>{false, true, false, true}));
    peer.run([&] {
        dev.reset();
        return 0;
    });
}

TEST_F(ClientTest, OtherKindsAndGarbageAreTakenButIgnored) {
    auto dev = peer.run([] { return std::make_unique<Udp>(4742); });
    start_client(10s, 5s);
    ASSERT_TRUE(answer_next(*dev, pinpad_announcement("pinpad")));
    peer.run([&] {
        dev->send_to({0xA1, 0x05, 0x01}, "10.66.1.1", 4742);
        dev->send_to(request(0xA0, {10, 66, 1, 2}, 4742), "10.66.1.1", 4742);
        return 0;
    });
    std::this_thread::sleep_for(200ms);
    EXPECT_FALSE(held_name().has_value());
    std::lock_guard lock(loop.mutex);
    // Three from the device, and on Linux the client's own broadcast looped back: all taken.
    EXPECT_GE(loop.data_taken.size(), 3u);
    EXPECT_EQ(std::count(loop.data_taken.begin(), loop.data_taken.end(), false), 0);
    peer.run([&] {
        dev.reset();
        return 0;
    });
}

TEST_F(ClientTest, ANewClientNeverAnswersToAnOldClientsSignals) {
    auto first_id = next_signal_id();
    ASSERT_TRUE(first_id.has_value());
    start_client(150ms, 100ms);
    std::this_thread::sleep_for(50ms);
    std::size_t replaced_at = 0;
    {
        std::lock_guard lock(loop.mutex);
        replaced_at = loop.signals.size();
        client.reset();
        auto c = ServiceDiscoveryClient::create(usb_iface(), 4742, 150ms, DeviceKind::Terminal,
                                                loop.handler, 100ms);
        ASSERT_TRUE(c.has_value()) << c.error().message();
        client = std::move(*c);
    }
    std::this_thread::sleep_for(400ms);
    std::lock_guard lock(loop.mutex);
    // The old client's ids come right after first_id: its request and its timeout. Once it is
    // gone they still arrive, and nobody takes them.
    ASSERT_GT(loop.signals.size(), replaced_at);
    for (std::size_t i = replaced_at; i < loop.signals.size(); ++i) {
        const auto& [id, taken] = loop.signals[i];
        if (id == *first_id + 1 || id == *first_id + 2) {
            EXPECT_FALSE(taken) << id;
        } else {
            EXPECT_TRUE(taken) << id;
        }
    }
}

namespace {

class ServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        logtest::capture().clear();
        ASSERT_TRUE(peer.ok());
        ASSERT_TRUE(nettest::make_veth(peer, "lan0", "10.66.2.1/24", "peer0", "10.66.2.2/24"));
    }
    void TearDown() override {
        loop.stop();
        server.reset();
        nettest::run_command("ip link del lan0 2>/dev/null");
    }

    ServiceAnnouncement lan_announcement() const {
        return ServiceAnnouncement{"KT", Sicct{{7}}, Ipv4Addr{{10, 66, 2, 1}},
                                   MacAddress{{2, 0, 0, 0, 2, 1}}, 4742};
    }

    void start_server(std::optional<Ipv4Addr> target, std::chrono::milliseconds interval,
                      Ipv4Addr address = Ipv4Addr{{10, 66, 2, 1}}) {
        auto s = ServiceDiscoveryServer::create(DeviceKind::Terminal, loop.handler,
                                                SocketAddrV4{address, 4742}, target, 4800, interval,
                                                lan_announcement());
        ASSERT_TRUE(s.has_value()) << s.error().message();
        server = std::move(*s);
        loop.start([this](const node::Event& e) { return server && server->handle_event(e); });
    }

    nettest::PeerNamespace peer;
    Loop loop;
    std::unique_ptr<ServiceDiscoveryServer> server;
};

const Bytes expected_lan_datagram = frame(
    0xA1, {field(0x80, {0x01, 0x14}), field(0x81, {10, 66, 2, 1}), field(0x83, {2, 0, 0, 0, 2, 1}),
           field(0x84, text("KT")), field(0x82, {0x12, 0x86}), field(0xA3, {0x8A, 0x01, 0x07})});

}  // namespace

TEST_F(ServerTest, AnswersAtTheReplyAddressWrittenInTheRequest) {
    start_server(std::nullopt, 10s);
    struct Case {
        const char* to;
        std::uint8_t tag;
        bool answered;
    } cases[] = {
        {"10.66.2.1", 0xA0, true},    // unicast
        {"10.66.2.255", 0xA0, true},  // the LAN's broadcast address
        {"10.66.2.1", 0xE0, false},   // the other device's request
    };
    for (const auto& c : cases) {
        auto answer = peer.run([&] {
            Udp sender(5000);
            Udp reply(6000);
            sender.send_to(request(c.tag, {10, 66, 2, 2}, 6000), c.to, 4742);
            return reply.receive(c.answered ? 2000ms : 300ms);
        });
        ASSERT_EQ(answer.has_value(), c.answered) << c.to << " " << int(c.tag);
        if (answer) {
            EXPECT_EQ(*answer, expected_lan_datagram);
        }
    }
    // The request's own address, and where the answer went; nothing for the other kind.
    const auto received = debug_line("Received ServiceDiscoveryRequest from 10.66.2.2");
    const auto sent = debug_line("Send ServiceAnnouncement to 10.66.2.2:6000");
    EXPECT_EQ(discovery_lines(), (std::vector<logtest::LogLine>{received, sent, received, sent}));
}

TEST_F(ServerTest, AServerOnALabelledAddressReceivesTheBroadcastsOfItsLink) {
    // `ip addr ... label` names the address "lan0:1"; the link it lies on is still lan0.
    ASSERT_TRUE(nettest::run_command("ip addr add 10.66.3.1/24 brd + dev lan0 label lan0:1"));
    ASSERT_TRUE(peer.shell("ip addr add 10.66.3.2/24 brd + dev peer0"));
    start_server(std::nullopt, 10s, Ipv4Addr{{10, 66, 3, 1}});
    auto answer = peer.run([&] {
        Udp sender(5000);
        Udp reply(6000);
        sender.send_to(request(0xA0, {10, 66, 3, 2}, 6000), "10.66.3.255", 4742);
        return reply.receive(2000ms);
    });
    EXPECT_TRUE(answer.has_value());
}

TEST_F(ServerTest, AnnouncesToTheTargetAtOnceAndThenEveryInterval) {
    auto listener = peer.run([] { return std::make_unique<Udp>(4800); });
    auto started = std::chrono::steady_clock::now();
    start_server(Ipv4Addr{{10, 66, 2, 255}}, 1000ms);
    std::vector<std::chrono::steady_clock::duration> arrivals;
    peer.run([&] {
        while (arrivals.size() < 3) {
            auto got = listener->receive(3000ms);
            if (!got) {
                break;
            }
            EXPECT_EQ(*got, expected_lan_datagram);
            arrivals.push_back(std::chrono::steady_clock::now() - started);
        }
        listener.reset();
        return 0;
    });
    ASSERT_EQ(arrivals.size(), 3u);
    EXPECT_LT(arrivals[0], 700ms);
    EXPECT_GE(arrivals[2] - arrivals[1], 900ms);
}

TEST_F(ServerTest, WithoutATargetNothingIsAnnouncedButRequestsAreAnswered) {
    auto listener = peer.run([] { return std::make_unique<Udp>(4800); });
    start_server(std::nullopt, 100ms);
    auto periodic = peer.run([&] { return listener->receive(500ms); });
    EXPECT_FALSE(periodic.has_value());
    auto answer = peer.run([&] {
        listener->send_to(request(0xA0, {10, 66, 2, 2}, 4800), "10.66.2.1", 4742);
        auto got = listener->receive(2000ms);
        listener.reset();
        return got;
    });
    EXPECT_TRUE(answer.has_value());
}

TEST(ServerCreate, RefusesTheOtherKindsAnnouncementAndOpensNothing) {
    auto n = node::create();
    ASSERT_TRUE(n.has_value());
    ServiceAnnouncement pinpad{"PP", SicctLite{"lite", {}}, Ipv4Addr{{127, 0, 0, 1}}, MacAddress{},
                               4742};
    auto s = ServiceDiscoveryServer::create(DeviceKind::Terminal, n->handler,
                                            SocketAddrV4{Ipv4Addr{{127, 0, 0, 1}}, 0}, std::nullopt,
                                            4742, 600s, pinpad);
    ASSERT_FALSE(s.has_value());
    EXPECT_EQ(s.error().message(),
              "Internal error: Got wrong service announcement for service discovery server "
              "(Pinpad != Terminal)");
}
