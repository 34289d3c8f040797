// One device proxy: follows its card terminal or PIN pad from Idle (no adapter known) through
// DeviceFound (the device's USB adapter is known) and Discovering (a LAN adapter is chosen and the
// device is asked for its announcement) to Running (SICCT relay, HTTPS relay and LAN discovery
// server up), and back whenever an adapter disappears or changes or the announcement changes or
// stops. Driven by the application's periodic check and by node events, always under the
// application's event lock.
#pragma once

#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "common/error.hpp"
#include "common/interfaces.hpp"
#include "common/settings.hpp"
#include "common/status.hpp"
#include "proxy/node/node.hpp"
#include "proxy/service_discovery.hpp"
#include "proxy/service_discovery_datagram.hpp"
#include "proxy/tcp_proxy.hpp"

namespace tessaro {

using SharedDeviceInterface = std::shared_ptr<const DeviceInterface>;
using SharedPcInterface = std::shared_ptr<const PcInterface>;

struct ProxyState {
    struct Idle {};
    struct DeviceFound {
        SharedDeviceInterface device_iface;
    };
    struct Discovering {
        SharedDeviceInterface device_iface;
        SharedPcInterface sicct_iface;
        SharedPcInterface https_iface;
        // The state must hold the only reference whenever the proxy uses the client.
        std::shared_ptr<ServiceDiscoveryClient> client;
    };
    struct Running {
        SharedDeviceInterface device_iface;
        SharedPcInterface sicct_iface;
        SharedPcInterface https_iface;
        std::shared_ptr<ServiceDiscoveryClient> client;
        ServiceAnnouncement announcement;  // the device's own, as first accepted
        std::unique_ptr<TcpProxy> sicct_relay;
        std::unique_ptr<TcpProxy> https_relay;
        std::unique_ptr<ServiceDiscoveryServer> server;
    };
    std::variant<Idle, DeviceFound, Discovering, Running> value;
};

class Proxy {
  public:
    Proxy(DeviceSettings device_settings, node::SharedHandler handler, DeviceKind kind);
    Proxy(const Proxy&) = delete;
    Proxy& operator=(const Proxy&) = delete;
    ~Proxy();

    void update_device_interface(const std::vector<DeviceInterface>& devices);
    void update_pc_interface(const std::vector<PcInterface>& pcs);
    void start_discovery(SharedPcInterface sicct_iface, SharedPcInterface https_iface);
    void terminal_disconnected();

    // Whether the event was taken; an error stops the whole program. A relay that takes a Data
    // event moves its bytes out.
    [[nodiscard]] Result<bool> on_event(node::Event& event);

    ProxyStatus status() const;

    const ProxyState& state() const { return state_; }
    bool is_running() const { return std::holds_alternative<ProxyState::Running>(state_.value); }
    // The running proxy's USB and SICCT-side adapters; none unless Running.
    SharedDeviceInterface running_device_iface() const;
    SharedPcInterface running_sicct_iface() const;

  private:
    // Releases what the state holds, in order, and leaves it hollow (a Running state with no
    // relays): only a transition, which enters the next state at once, may call it.
    void stop();
    void start_servers();

    DeviceSettings device_settings_;
    node::SharedHandler handler_;
    DeviceKind kind_;
    ProxyState state_;
    std::shared_ptr<spdlog::logger> log_;
};

}  // namespace tessaro
