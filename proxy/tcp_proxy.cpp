#include "proxy/tcp_proxy.hpp"

#include <string>
#include <utility>
#include <variant>

#include <fmt/format.h>

#include "common/log.hpp"

namespace tessaro {
namespace {

// An address as the log lines write it, formatted only when a line is actually written.
struct AddrText {
    const SocketAddrV4& addr;
};

template <typename... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};
template <typename... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

node::KeepAlive keepalive() {
    return node::KeepAlive{TCP_KEEPALIVE_TIME, TCP_KEEPALIVE_INTERVAL};
}

}  // namespace
}  // namespace tessaro

template <>
struct fmt::formatter<tessaro::AddrText> {
    constexpr auto parse(fmt::format_parse_context& ctx) { return ctx.begin(); }
    auto format(const tessaro::AddrText& text, fmt::format_context& ctx) const {
        const auto& o = text.addr.ip.octets;
        return fmt::format_to(ctx.out(), "{}.{}.{}.{}:{}", o[0], o[1], o[2], o[3], text.addr.port);
    }
};

namespace tessaro {

Result<std::unique_ptr<TcpProxy>> TcpProxy::create(
    DeviceKind kind, node::SharedHandler handler, SocketAddrV4 listen_address,
    std::shared_ptr<const PcInterface> listening_interface, SocketAddrV4 remote_address,
    std::shared_ptr<const DeviceInterface> device_interface) {
    node::TcpListenOptions options;
    options.bind_device = listening_interface->adapter_name();
    options.keepalive = keepalive();
    listening_interface.reset();

    auto listener = handler->tcp_listen(listen_address, options);
    if (!listener) {
        return fail(std::move(listener.error()));
    }
    return std::unique_ptr<TcpProxy>(new TcpProxy(kind, std::move(handler), *listener,
                                                  remote_address, std::move(device_interface)));
}

TcpProxy::TcpProxy(DeviceKind kind, node::SharedHandler handler, node::ResourceId listener_id,
                   SocketAddrV4 remote_address,
                   std::shared_ptr<const DeviceInterface> device_interface)
    : listener_id_(listener_id),
      handler_(std::move(handler)),
      device_interface_(std::move(device_interface)),
      remote_address_(remote_address),
      kind_(kind),
      log_(log::get(fmt::format("tessaro::tcp_proxy::{}", log_word(kind)))) {}

TcpProxy::~TcpProxy() {
    handler_->remove(listener_id_);
    for (const auto& [id, remote] : remotes_) {
        handler_->remove(id);
    }
    for (const auto& [id, client] : clients_) {
        handler_->remove(id);
    }
}

bool TcpProxy::handle_event(node::Event& event) {
    return std::visit(Overloaded{
                          [this](const node::Connected& e) { return on_connected(e); },
                          [this](const node::Accepted& e) { return on_accepted(e); },
                          [this](node::Data& e) { return on_data(e); },
                          [](const node::ReadClosed&) { return false; },
                          [this](const node::Disconnected& e) { return on_disconnected(e); },
                          [](const node::Signal&) { return false; },
                      },
                      event);
}

bool TcpProxy::on_connected(const node::Connected& event) {
    const node::ResourceId id = event.endpoint.resource_id;
    if (id == listener_id_) {
        if (!event.established) {
            log_->error("Could not open TCP proxy!");
        }
        return true;
    }
    auto remote = remotes_.find(id);
    if (remote == remotes_.end()) {
        return false;
    }
    const node::ResourceId client_id = remote->second.peer_id;
    TcpProxyConnection& client = clients_.at(client_id);
    if (!event.established) {
        log_->warn("Could not establish TCP connection to {}!",
                   AddrText{remote->second.endpoint.addr});
        close_pair(client_id, id);
        return true;
    }
    log_->debug("Connection {} <-> {} established", AddrText{client.endpoint.addr},
                AddrText{remote->second.endpoint.addr});
    // The held bytes go first and whole, so that no later chunk can overtake them.
    if (!client.pending.empty()) {
        handler_->send(remote->second.endpoint, std::move(client.pending));
        std::vector<std::uint8_t>().swap(client.pending);
    }
    handler_->couple(client_id, id, TCP_PROXY_QUEUE_BOUND);
    if (client.reading_paused) {
        client.reading_paused = false;
        handler_->resume_reading(client_id);
    }
    return true;
}

bool TcpProxy::on_accepted(const node::Accepted& event) {
    if (event.listener_id != listener_id_) {
        return false;
    }
    const node::Endpoint& client = event.endpoint;
    log_->debug("Client connected from {}", AddrText{client.addr});

    node::TcpConnectOptions options;
    options.bind_device = device_interface_->adapter_name();
    options.source_address = SocketAddrV4{device_interface_->ip_address, 0};
    options.keepalive = keepalive();
    auto device = handler_->tcp_connect(remote_address_, options);
    if (!device) {
        log_->warn("Could not connect to remote server: {}", device.error().message());
        handler_->remove(client.resource_id);
        return true;
    }
    remotes_.insert_or_assign(device->resource_id,
                              TcpProxyConnection{*device, client.resource_id, {}, false});
    clients_.insert_or_assign(client.resource_id,
                              TcpProxyConnection{client, device->resource_id, {}, false});
    return true;
}

bool TcpProxy::on_data(node::Data& event) {
    const node::ResourceId id = event.endpoint.resource_id;
    if (auto found = clients_.find(id); found != clients_.end()) {
        TcpProxyConnection& client = found->second;
        const TcpProxyConnection& remote = remotes_.at(client.peer_id);
        log_->debug("Connection {}  -> {}: {} Bytes", AddrText{client.endpoint.addr},
                    AddrText{remote.endpoint.addr}, event.bytes.size());
        // Bytes still held must leave first; they do when the device side reports established.
        if (client.pending.empty() &&
            handler_->is_ready(client.peer_id) == node::Readiness::Ready) {
            handler_->send(remote.endpoint, std::move(event.bytes));
            return true;
        }
        if (client.pending.empty()) {
            client.pending = std::move(event.bytes);
        } else {
            client.pending.insert(client.pending.end(), event.bytes.begin(), event.bytes.end());
        }
        if (client.pending.size() >= TCP_PROXY_PENDING_BOUND && !client.reading_paused) {
            client.reading_paused = true;
            handler_->pause_reading(id);
        }
        return true;
    }
    if (auto found = remotes_.find(id); found != remotes_.end()) {
        const TcpProxyConnection& remote = found->second;
        const TcpProxyConnection& client = clients_.at(remote.peer_id);
        log_->debug("Connection {} <-  {}: {} Bytes", AddrText{client.endpoint.addr},
                    AddrText{remote.endpoint.addr}, event.bytes.size());
        handler_->send(client.endpoint, std::move(event.bytes));
        return true;
    }
    return false;
}

bool TcpProxy::on_disconnected(const node::Disconnected& event) {
    const node::ResourceId id = event.endpoint.resource_id;
    if (auto found = clients_.find(id); found != clients_.end()) {
        const node::ResourceId device_id = found->second.peer_id;
        log_->debug("Connection {} <-> {} closed by client", AddrText{found->second.endpoint.addr},
                    AddrText{remotes_.at(device_id).endpoint.addr});
        close_pair(id, device_id);
        return true;
    }
    if (auto found = remotes_.find(id); found != remotes_.end()) {
        const node::ResourceId client_id = found->second.peer_id;
        log_->debug("Connection {} <-> {} closed by remote host",
                    AddrText{clients_.at(client_id).endpoint.addr},
                    AddrText{found->second.endpoint.addr});
        close_pair(client_id, id);
        return true;
    }
    return false;
}

void TcpProxy::close_pair(node::ResourceId client_id, node::ResourceId device_id) {
    // What is already queued towards either side is still written by the node before it closes.
    handler_->remove(client_id);
    handler_->remove(device_id);
    clients_.erase(client_id);
    remotes_.erase(device_id);
}

}  // namespace tessaro
