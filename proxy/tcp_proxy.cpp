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
    options.half_close = true;
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

// The relay's event table: which handler an event goes to. Within each handler the pair's state
// decides.
bool TcpProxy::handle_event(node::Event& event) {
    return std::visit(Overloaded{
                          [this](const node::Connected& e) { return on_connected(e); },
                          [this](const node::Accepted& e) { return on_accepted(e); },
                          [this](node::Data& e) { return on_data(e); },
                          [this](const node::ReadClosed& e) { return on_read_closed(e); },
                          [this](const node::Disconnected& e) { return on_disconnected(e); },
                          [](const node::Signal&) { return false; },
                      },
                      event);
}

std::optional<TcpProxy::PairRef> TcpProxy::find_pair(node::ResourceId id) {
    if (auto client = clients_.find(id); client != clients_.end()) {
        const node::ResourceId device_id = client->second.peer_id;
        return PairRef{id, client->second, device_id, remotes_.at(device_id), Side::Client};
    }
    if (auto device = remotes_.find(id); device != remotes_.end()) {
        const node::ResourceId client_id = device->second.peer_id;
        return PairRef{client_id, clients_.at(client_id), id, device->second, Side::Device};
    }
    return std::nullopt;
}

// The device side's connection result: Connecting becomes Established, or the pair ends.
bool TcpProxy::on_connected(const node::Connected& event) {
    const node::ResourceId id = event.endpoint.resource_id;
    if (id == listener_id_) {
        if (!event.established) {
            log_->error("Could not open TCP proxy!");
        }
        return true;
    }
    // Only a device side has a connection result.
    auto pair = remotes_.contains(id) ? find_pair(id) : std::nullopt;
    if (!pair) {
        return false;
    }
    if (!event.established) {
        log_->warn("Could not establish TCP connection to {}!",
                   AddrText{pair->device.endpoint.addr});
        close_pair(pair->client_id, pair->device_id);
        return true;
    }
    TcpProxyConnection& client = pair->client;
    log_->debug("Connection {} <-> {} established", AddrText{client.endpoint.addr},
                AddrText{pair->device.endpoint.addr});
    client.state = PairState::Established;
    // The held bytes go first and whole, so that no later chunk can overtake them.
    if (!client.pending.empty()) {
        handler_->send(pair->device.endpoint, std::move(client.pending));
        std::vector<std::uint8_t>().swap(client.pending);
    }
    handler_->couple(pair->client_id, pair->device_id, TCP_PROXY_QUEUE_BOUND);
    if (client.reading_paused) {
        client.reading_paused = false;
        handler_->resume_reading(pair->client_id);
    }
    return true;
}

// A new client: its pair starts Connecting.
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
    options.half_close = true;
    auto device = handler_->tcp_connect(remote_address_, options);
    if (!device) {
        log_->warn("Could not connect to remote server: {}", device.error().message());
        handler_->remove(client.resource_id);
        return true;
    }
    remotes_.insert_or_assign(
        device->resource_id,
        TcpProxyConnection{*device, client.resource_id, {}, false, PairState::Connecting});
    clients_.insert_or_assign(
        client.resource_id,
        TcpProxyConnection{client, device->resource_id, {}, false, PairState::Connecting});
    return true;
}

// A chunk goes to the other side; while Connecting, a client's chunk is held instead, unless the
// device side can already take it and nothing is held before it.
bool TcpProxy::on_data(node::Data& event) {
    auto pair = find_pair(event.endpoint.resource_id);
    if (!pair) {
        return false;
    }
    TcpProxyConnection& client = pair->client;
    if (pair->side == Side::Device) {
        log_->debug("Connection {} <-  {}: {} Bytes", AddrText{client.endpoint.addr},
                    AddrText{pair->device.endpoint.addr}, event.bytes.size());
        handler_->send(client.endpoint, std::move(event.bytes));
        return true;
    }
    log_->debug("Connection {}  -> {}: {} Bytes", AddrText{client.endpoint.addr},
                AddrText{pair->device.endpoint.addr}, event.bytes.size());
    if (client.state != PairState::Connecting ||
        (client.pending.empty() && handler_->is_ready(pair->device_id) == node::Readiness::Ready)) {
        handler_->send(pair->device.endpoint, std::move(event.bytes));
        return true;
    }
    if (client.pending.empty()) {
        client.pending = std::move(event.bytes);
    } else {
        client.pending.insert(client.pending.end(), event.bytes.begin(), event.bytes.end());
    }
    if (client.pending.size() >= TCP_PROXY_PENDING_BOUND && !client.reading_paused) {
        client.reading_paused = true;
        handler_->pause_reading(pair->client_id);
    }
    return true;
}

// A side's FIN, after all its bytes: passed on to the other side of an Established pair, which
// becomes half-closed; it ends a pair whose other direction had ended already, and, as any close
// of the client does, a pair that is still Connecting.
bool TcpProxy::on_read_closed(const node::ReadClosed& event) {
    auto pair = find_pair(event.endpoint.resource_id);
    if (!pair) {
        return false;
    }
    if (pair->client.state != PairState::Established) {
        end_pair(*pair, pair->side);
        return true;
    }
    if (pair->side == Side::Client) {
        handler_->shutdown_send(pair->device_id);
        pair->client.state = PairState::ClientEnded;
    } else {
        handler_->shutdown_send(pair->client_id);
        pair->client.state = PairState::DeviceEnded;
    }
    return true;
}

// A reset or failure of either side, or the node's end of a half-closed side that saw no
// progress for its flush deadline: the pair ends at once, in every state.
bool TcpProxy::on_disconnected(const node::Disconnected& event) {
    auto pair = find_pair(event.endpoint.resource_id);
    if (!pair) {
        return false;
    }
    end_pair(*pair, pair->side);
    return true;
}

void TcpProxy::end_pair(const PairRef& pair, Side side) {
    Side first = side;
    if (pair.client.state == PairState::ClientEnded) {
        first = Side::Client;
    } else if (pair.client.state == PairState::DeviceEnded) {
        first = Side::Device;
    }
    const AddrText client{pair.client.endpoint.addr};
    const AddrText device{pair.device.endpoint.addr};
    if (first == Side::Client) {
        log_->debug("Connection {} <-> {} closed by client", client, device);
    } else {
        log_->debug("Connection {} <-> {} closed by remote host", client, device);
    }
    close_pair(pair.client_id, pair.device_id);
}

void TcpProxy::close_pair(node::ResourceId client_id, node::ResourceId device_id) {
    // What is already queued towards either side is still written by the node before it closes.
    handler_->remove(client_id);
    handler_->remove(device_id);
    clients_.erase(client_id);
    remotes_.erase(device_id);
}

}  // namespace tessaro
