#include "proxy/proxy.hpp"

#include <string>

namespace tessaro {

namespace {

constexpr std::uint16_t DEVICE_HTTPS_PORT = 443;

// The first adapter that the selection names; Automatic (and Terminal, which never reaches a
// list) takes the first adapter of the list.
template <typename Record>
const Record* choose(const std::vector<Record>& list, const InterfaceSelection& selection) {
    if (const auto* name = std::get_if<InterfaceSelection::Name>(&selection.value)) {
        for (const Record& r : list) {
            if (r.adapter_name() == name->name) {
                return &r;
            }
        }
        return nullptr;
    }
    if (const auto* mac = std::get_if<InterfaceSelection::Mac>(&selection.value)) {
        for (const Record& r : list) {
            if (r.mac_address() == mac->mac) {
                return &r;
            }
        }
        return nullptr;
    }
    return list.empty() ? nullptr : &list.front();
}

template <typename Record>
const Record* find_by_name(const std::vector<Record>& list, const std::string& adapter_name) {
    for (const Record& r : list) {
        if (r.adapter_name() == adapter_name) {
            return &r;
        }
    }
    return nullptr;
}

template <typename Record>
bool same_record(const std::shared_ptr<const Record>& a, const std::shared_ptr<const Record>& b) {
    return a == b || (a && b && *a == *b);
}

// Releases a state's holdings in a fixed order: interfaces, client, announcement, relays, server.
void release(ProxyState::Discovering& s) {
    s.device_iface.reset();
    s.sicct_iface.reset();
    s.https_iface.reset();
    s.client.reset();
}

void release(ProxyState::Running& s) {
    s.device_iface.reset();
    s.sicct_iface.reset();
    s.https_iface.reset();
    s.client.reset();
    s.announcement = ServiceAnnouncement{};
    s.sicct_relay.reset();
    s.https_relay.reset();
    s.server.reset();
}

}  // namespace

Proxy::Proxy(DeviceSettings device_settings, node::SharedHandler handler, DeviceKind kind)
    : device_settings_(std::move(device_settings)),
      handler_(std::move(handler)),
      kind_(kind),
      state_{ProxyState::Idle{}},
      log_(log::get("tessaro::proxy::" + std::string(log_word(kind)))) {}

Proxy::~Proxy() {
    stop();
}

void Proxy::stop() {
    std::visit(
        [](auto& s) {
            using S = std::decay_t<decltype(s)>;
            if constexpr (std::is_same_v<S, ProxyState::DeviceFound>) {
                s.device_iface.reset();
            } else if constexpr (std::is_same_v<S, ProxyState::Discovering> ||
                                 std::is_same_v<S, ProxyState::Running>) {
                release(s);
            }
        },
        state_.value);
}

SharedDeviceInterface Proxy::running_device_iface() const {
    const auto* running = std::get_if<ProxyState::Running>(&state_.value);
    return running ? running->device_iface : nullptr;
}

SharedPcInterface Proxy::running_sicct_iface() const {
    const auto* running = std::get_if<ProxyState::Running>(&state_.value);
    return running ? running->sicct_iface : nullptr;
}

namespace {

SharedDeviceInterface current_device_iface(const ProxyState& state) {
    return std::visit(
        [](const auto& s) -> SharedDeviceInterface {
            if constexpr (requires { s.device_iface; }) {
                return s.device_iface;
            } else {
                return nullptr;
            }
        },
        state.value);
}

// The SICCT-side and HTTPS-side records of a Discovering or Running state.
std::pair<SharedPcInterface, SharedPcInterface> current_pc_ifaces(const ProxyState& state) {
    return std::visit(
        [](const auto& s) -> std::pair<SharedPcInterface, SharedPcInterface> {
            if constexpr (requires { s.sicct_iface; }) {
                return {s.sicct_iface, s.https_iface};
            } else {
                return {};
            }
        },
        state.value);
}

}  // namespace

void Proxy::update_device_interface(const std::vector<DeviceInterface>& devices) {
    if (std::holds_alternative<ProxyState::Idle>(state_.value)) {
        if (const DeviceInterface* found = choose(devices, device_settings_.device_interface)) {
            state_.value = ProxyState::DeviceFound{std::make_shared<const DeviceInterface>(*found)};
        }
        return;
    }
    SharedDeviceInterface current = current_device_iface(state_);
    const DeviceInterface* found = find_by_name(devices, current->adapter_name());
    if (found == nullptr) {
        log_->info("Device interface removed!");
        stop();
        state_.value = ProxyState::Idle{};
        return;
    }
    if (*found == *current) {
        return;
    }
    log_->info("Device interface changed!");
    stop();
    state_.value = ProxyState::DeviceFound{std::make_shared<const DeviceInterface>(*found)};
}

void Proxy::update_pc_interface(const std::vector<PcInterface>& pcs) {
    if (std::holds_alternative<ProxyState::Idle>(state_.value)) {
        return;
    }
    if (std::holds_alternative<ProxyState::DeviceFound>(state_.value)) {
        if (const PcInterface* found = choose(pcs, device_settings_.pc_interface)) {
            auto shared = std::make_shared<const PcInterface>(*found);
            start_discovery(shared, shared);
        } else {
            log_->debug("PC interface not found!");
        }
        return;
    }
    SharedPcInterface current = current_pc_ifaces(state_).first;
    if (const PcInterface* found = find_by_name(pcs, current->adapter_name())) {
        auto shared = std::make_shared<const PcInterface>(*found);
        start_discovery(shared, shared);
        return;
    }
    log_->info("PC interface removed!");
    SharedDeviceInterface device = current_device_iface(state_);
    stop();
    state_.value = ProxyState::DeviceFound{std::move(device)};
}

void Proxy::start_discovery(SharedPcInterface sicct_iface, SharedPcInterface https_iface) {
    if (std::holds_alternative<ProxyState::Idle>(state_.value)) {
        return;
    }
    if (!std::holds_alternative<ProxyState::DeviceFound>(state_.value)) {
        auto [current_sicct, current_https] = current_pc_ifaces(state_);
        if (same_record(sicct_iface, current_sicct) && same_record(https_iface, current_https)) {
            return;
        }
    }
    SharedDeviceInterface device = current_device_iface(state_);
    auto client = ServiceDiscoveryClient::create(
        *device, device_settings_.device_service_discovery_port,
        device_settings_.device_service_discovery_interval, kind_, handler_);
    if (!client) {
        log_->error("Could not start service discovery client: {}", client.error().message());
        stop();
        state_.value = ProxyState::Idle{};
        return;
    }
    stop();
    state_.value =
        ProxyState::Discovering{std::move(device), std::move(sicct_iface), std::move(https_iface),
                                std::shared_ptr<ServiceDiscoveryClient>(std::move(*client))};
}

void Proxy::terminal_disconnected() {
    if (!std::holds_alternative<ProxyState::Discovering>(state_.value) &&
        !std::holds_alternative<ProxyState::Running>(state_.value)) {
        return;
    }
    log_->info("Terminal proxy disconnected!");
    SharedDeviceInterface device = current_device_iface(state_);
    stop();
    state_.value = ProxyState::DeviceFound{std::move(device)};
}

Result<bool> Proxy::on_event(node::Event& event) {
    std::shared_ptr<ServiceDiscoveryClient>* client = nullptr;
    if (auto* d = std::get_if<ProxyState::Discovering>(&state_.value)) {
        client = &d->client;
    } else if (auto* r = std::get_if<ProxyState::Running>(&state_.value)) {
        client = &r->client;
    } else {
        return false;
    }
    if (client->use_count() != 1) {
        return fail("Internal error: service discovery client is locked");
    }
    bool client_took = (*client)->handle_event(event);

    if (std::holds_alternative<ProxyState::Discovering>(state_.value)) {
        if (!client_took) {
            return false;
        }
        if ((*client)->announcement().has_value()) {
            start_servers();
        }
        return true;
    }

    auto& running = std::get<ProxyState::Running>(state_.value);
    if (client_took) {
        const auto& current = running.client->announcement();
        if (!current.has_value() || !(*current == running.announcement)) {
            log_->warn("Service announcement from device changed! Stopping proxy...");
            stop();
            state_.value = ProxyState::Idle{};
        }
        return true;
    }
    if (running.server->handle_event(event)) {
        return true;
    }
    if (running.sicct_relay->handle_event(event)) {
        return true;
    }
    return running.https_relay->handle_event(event);
}

void Proxy::start_servers() {
    auto& d = std::get<ProxyState::Discovering>(state_.value);
    const ServiceAnnouncement& a = *d.client->announcement();

    log_->info("Device found: {}", a);

    SocketAddrV4 sicct_listen{d.sicct_iface->ip_address, device_settings_.pc_sicct_port};
    log_->info("Starting SICCT server at {}", sicct_listen);
    auto sicct_relay = TcpProxy::create(kind_, handler_, sicct_listen, d.sicct_iface,
                                        SocketAddrV4{a.ip_address, a.port}, d.device_iface);
    if (!sicct_relay) {
        log_->error("Could not start SICCT proxy: {}", sicct_relay.error().message());
        return;
    }

    SocketAddrV4 https_listen{d.https_iface->ip_address, device_settings_.pc_https_port};
    log_->info("Starting HTTPS server at {}", https_listen);
    auto https_relay =
        TcpProxy::create(kind_, handler_, https_listen, d.https_iface,
                         SocketAddrV4{a.ip_address, DEVICE_HTTPS_PORT}, d.device_iface);
    if (!https_relay) {
        log_->error("Could not start HTTPS proxy: {}", https_relay.error().message());
        return;
    }

    // The LAN sees the PC adapter as the service: its address, its MAC (or, lacking one, the
    // MAC of the PC's USB adapter) and the relay's port; the rest stays as the device sent it.
    ServiceAnnouncement lan = a;
    lan.ip_address = d.sicct_iface->ip_address;
    lan.mac_address = d.sicct_iface->mac.value_or(d.device_iface->mac_address_value());
    lan.port = device_settings_.pc_sicct_port;

    std::optional<Ipv4Addr> target = device_settings_.announcement_ip_address;
    if (!target) {
        target = d.sicct_iface->broadcast_address;
    }

    SocketAddrV4 udp_listen{d.sicct_iface->ip_address, device_settings_.pc_udp_port};
    log_->info("Starting SICCT Service Discovery at {}", udp_listen);
    auto server = ServiceDiscoveryServer::create(
        kind_, handler_, udp_listen, target, device_settings_.announcement_udp_port,
        device_settings_.pc_service_announcement_interval, lan);
    if (!server) {
        log_->error("Could not start Service Discovery server: {}", server.error().message());
        return;
    }

    ProxyState::Running running{
        d.device_iface,          d.sicct_iface,           d.https_iface,     d.client, a,
        std::move(*sicct_relay), std::move(*https_relay), std::move(*server)};
    // The Discovering state hands its interfaces and client over rather than releasing them.
    release(d);
    state_.value = std::move(running);
}

ProxyStatus Proxy::status() const {
    const auto* running = std::get_if<ProxyState::Running>(&state_.value);
    if (running == nullptr) {
        return ProxyStatus{};
    }
    return ProxyStatus{ProxyStatus::Connected{
        running->sicct_iface->friendly_name(), running->sicct_iface->ip_address,
        running->sicct_iface->mac, running->announcement.ip_address,
        running->announcement.mac_address}};
}

}  // namespace tessaro
