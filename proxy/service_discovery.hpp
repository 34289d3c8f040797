// The two SICCT service-discovery endpoints of a device proxy, both on node UDP sockets and both
// driven only by node events and their own timed signals:
//   - the client, on the PC's USB link: broadcasts a request at once and then every interval,
//     keeps the last valid announcement of its kind and forgets it when no valid answer arrives
//     within the answer window of a request;
//   - the server, on the chosen LAN adapter: answers each request of its kind at the reply address
//     written inside it, and announces periodically to a configured or broadcast target.
// Each answers whether an event was its own ("taken"), also for datagrams it ignores.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "common/error.hpp"
#include "common/interfaces.hpp"
#include "common/ipv4.hpp"
#include "common/settings.hpp"
#include "proxy/node/node.hpp"
#include "proxy/service_discovery_datagram.hpp"

namespace tessaro {

inline constexpr std::chrono::seconds DISCOVERY_ANSWER_TIMEOUT{1};

class ServiceDiscoveryClient {
  public:
    // Opens the UDP socket at the device interface's address and `port`, sends its request
    // signal at once. `answer_timeout` is the answer window (tests shorten it).
    [[nodiscard]] static Result<std::unique_ptr<ServiceDiscoveryClient>> create(
        DeviceInterface device_iface, std::uint16_t port,
        std::chrono::steady_clock::duration interval, DeviceKind kind, node::SharedHandler handler,
        std::chrono::steady_clock::duration answer_timeout = DISCOVERY_ANSWER_TIMEOUT);

    ServiceDiscoveryClient(const ServiceDiscoveryClient&) = delete;
    ServiceDiscoveryClient& operator=(const ServiceDiscoveryClient&) = delete;
    // Removes the socket; pending signals arrive later and match nobody.
    ~ServiceDiscoveryClient();

    bool handle_event(const node::Event& event);

    const std::optional<ServiceAnnouncement>& announcement() const { return announcement_; }
    node::ResourceId resource_id() const { return resource_id_; }

  private:
    ServiceDiscoveryClient() = default;

    std::optional<ServiceAnnouncement> announcement_;
    node::SharedHandler handler_;
    DeviceInterface device_iface_;
    std::array<std::uint8_t, ServiceDiscoveryRequest::SIZE> request_{};
    std::chrono::steady_clock::duration interval_{};
    std::chrono::steady_clock::duration answer_timeout_{};
    SignalId request_signal_ = 0;
    SignalId timeout_signal_ = 0;
    node::ResourceId resource_id_ = 0;
    std::uint16_t port_ = 0;
    DeviceKind kind_ = DeviceKind::Terminal;
    bool waiting_ = false;
    std::shared_ptr<spdlog::logger> log_;
};

class ServiceDiscoveryServer {
  public:
    // Fails with "Internal error: Got wrong service announcement for service discovery server
    // ({} != {})" when the announcement's kind is not the server's; refuses an announcement that
    // does not fit a datagram.
    [[nodiscard]] static Result<std::unique_ptr<ServiceDiscoveryServer>> create(
        DeviceKind kind, node::SharedHandler handler, SocketAddrV4 listen_address,
        std::optional<Ipv4Addr> target, std::uint16_t target_port,
        std::chrono::steady_clock::duration interval, const ServiceAnnouncement& announcement);

    ServiceDiscoveryServer(const ServiceDiscoveryServer&) = delete;
    ServiceDiscoveryServer& operator=(const ServiceDiscoveryServer&) = delete;
    ~ServiceDiscoveryServer();

    bool handle_event(const node::Event& event);
    void send_announcement(Ipv4Addr address, std::uint16_t port);

    node::ResourceId resource_id() const { return resource_id_; }

  private:
    ServiceDiscoveryServer() = default;

    std::chrono::steady_clock::duration interval_{};
    SignalId announce_signal_ = 0;
    node::ResourceId resource_id_ = 0;
    node::SharedHandler handler_;
    std::vector<std::uint8_t> datagram_;
    std::uint16_t target_port_ = 0;
    DeviceKind kind_ = DeviceKind::Terminal;
    std::optional<Ipv4Addr> target_;
    std::shared_ptr<spdlog::logger> log_;
};

}  // namespace tessaro
