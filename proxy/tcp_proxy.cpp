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
    for (const auto& [device_id, client_id] : by_device_) {
        handler_->remove(device_id);
    }
    for (const auto& [client_id, pair] : pairs_) {
        handler_->remove(client_id);
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
    if (auto pair = pairs_.find(id); pair != pairs_.end()) {
        return PairRef{pair->second, Side::Client};
    }
    if (auto device = by_device_.find(id); device != by_device_.end()) {
        return PairRef{pairs_.at(device->second), Side::Device};
    }
    return std::nullopt;
}

// The device side's connection result: Connecting becomes Established (or ClientEnded, when the
// client's FIN came meanwhile), or the pair ends.
bool TcpProxy::on_connected(const node::Connected& event) {
    const node::ResourceId id = event.endpoint.resource_id;
    if (id == listener_id_) {
        if (!event.established) {
            log_->error("Could not open TCP proxy!");
        }
        return true;
    }
    // Only a device side has a connection result.
    auto ref = by_device_.contains(id) ? find_pair(id) : std::nullopt;
    if (!ref) {
        return false;
    }
    TcpProxyPair& pair = ref->pair;
    if (!event.established) {
        log_->warn("Could not establish TCP connection to {}!", AddrText{pair.device.addr});
        close_pair(pair.client.resource_id, pair.device.resource_id);
        return true;
    }
    log_->debug("Connection {} <-> {} established", AddrText{pair.client.addr},
                AddrText{pair.device.addr});
    pair.state = PairState::Established;
    // The held bytes go first and whole, so that no later chunk can overtake them; a FIN that
    // came with them follows them.
    if (!pair.pending.empty()) {
        handler_->send(pair.device, std::move(pair.pending));
        std::vector<std::uint8_t>().swap(pair.pending);
    }
    if (pair.client_fin_held) {
        handler_->shutdown_send(pair.device.resource_id);
        pair.state = PairState::ClientEnded;
    }
    handler_->couple(pair.client.resource_id, pair.device.resource_id, TCP_PROXY_QUEUE_BOUND);
    if (pair.reading_paused) {
        pair.reading_paused = false;
        handler_->resume_reading(pair.client.resource_id);
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
    // The node never gives an id twice, so the client's id is new here.
    TcpProxyPair pair;
    pair.client = client;
    pair.device = *device;
    pairs_.emplace(client.resource_id, std::move(pair));
    by_device_.emplace(device->resource_id, client.resource_id);
    return true;
}

// A chunk goes to the other side; while Connecting, a client's chunk is held instead. (Connected
// is the device side's first event on the loop's thread, right after its connection is made, so
// no client chunk comes between the two: every chunk of a Connecting pair is held.)
bool TcpProxy::on_data(node::Data& event) {
    auto ref = find_pair(event.endpoint.resource_id);
    if (!ref) {
        return false;
    }
    TcpProxyPair& pair = ref->pair;
    if (ref->side == Side::Device) {
        log_->debug("Connection {} <-  {}: {} Bytes", AddrText{pair.client.addr},
                    AddrText{pair.device.addr}, event.bytes.size());
        handler_->send(pair.client, std::move(event.bytes));
        return true;
    }
    log_->debug("Connection {}  -> {}: {} Bytes", AddrText{pair.client.addr},
                AddrText{pair.device.addr}, event.bytes.size());
    if (pair.state != PairState::Connecting) {
        handler_->send(pair.device, std::move(event.bytes));
        return true;
    }
    if (pair.pending.empty()) {
        pair.pending = std::move(event.bytes);
    } else {
        pair.pending.insert(pair.pending.end(), event.bytes.begin(), event.bytes.end());
    }
    if (pair.pending.size() >= TCP_PROXY_PENDING_BOUND && !pair.reading_paused) {
        pair.reading_paused = true;
        handler_->pause_reading(pair.client.resource_id);
    }
    return true;
}

// A side's FIN, after all its bytes: passed on to the other side, which becomes half-closed; held
// with the pending bytes while Connecting; it ends a pair whose other direction had ended
// already.
bool TcpProxy::on_read_closed(const node::ReadClosed& event) {
    auto ref = find_pair(event.endpoint.resource_id);
    if (!ref) {
        return false;
    }
    TcpProxyPair& pair = ref->pair;
    switch (pair.state) {
        case PairState::Connecting:
            // Only the client can have ended: the device side is not established.
            pair.client_fin_held = true;
            break;
        case PairState::Established:
            if (ref->side == Side::Client) {
                handler_->shutdown_send(pair.device.resource_id);
                pair.state = PairState::ClientEnded;
            } else {
                handler_->shutdown_send(pair.client.resource_id);
                pair.state = PairState::DeviceEnded;
            }
            break;
        case PairState::ClientEnded:
        case PairState::DeviceEnded:
            end_pair(pair, ref->side);
            break;
    }
    return true;
}

// A reset or failure of either side, or the node's end of a side whose bytes stopped moving: the
// pair ends at once, in every state.
bool TcpProxy::on_disconnected(const node::Disconnected& event) {
    auto ref = find_pair(event.endpoint.resource_id);
    if (!ref) {
        return false;
    }
    end_pair(ref->pair, ref->side);
    return true;
}

void TcpProxy::end_pair(const TcpProxyPair& pair, Side side) {
    Side first = side;
    if (pair.state == PairState::ClientEnded || pair.client_fin_held) {
        first = Side::Client;
    } else if (pair.state == PairState::DeviceEnded) {
        first = Side::Device;
    }
    const AddrText client{pair.client.addr};
    const AddrText device{pair.device.addr};
    if (first == Side::Client) {
        log_->debug("Connection {} <-> {} closed by client", client, device);
    } else {
        log_->debug("Connection {} <-> {} closed by remote host", client, device);
    }
    close_pair(pair.client.resource_id, pair.device.resource_id);
}

void TcpProxy::close_pair(node::ResourceId client_id, node::ResourceId device_id) {
    // What is already queued towards either side is still written by the node before it closes.
    handler_->remove(client_id);
    handler_->remove(device_id);
    pairs_.erase(client_id);
    by_device_.erase(device_id);
}

}  // namespace tessaro
