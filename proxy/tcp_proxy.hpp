// The TCP relay of one server kind (SICCT or HTTPS) of one device proxy: it listens on the LAN
// side and, for every client that connects, opens one connection to the device over the PC's USB
// link and passes bytes unchanged both ways until either side closes.
//
// A relay owns no thread: it is offered every node event (under the application's event lock)
// and answers whether the event was its own. Sockets come in pairs, a client and its device side;
// both close together. Memory per pair is bounded: client bytes that arrive before the device
// side is established are held up to TCP_PROXY_PENDING_BOUND, and each direction's outbound queue
// up to TCP_PROXY_QUEUE_BOUND; at a bound the sending side is no longer read until the bytes have
// moved on, so nothing is dropped.
//
// A side that is not read still ends its pair when its peer goes: on Linux the node learns of a
// close or reset without reading. A client that closes while its held bytes keep it unread ends
// the pair at once (the held bytes are discarded); one whose device side has stopped taking
// bytes ends it once that side has taken nothing for the node's flush deadline. Windows can tell
// neither without reading: there such a pair ends when the device side goes, or when a write to
// the client fails.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include <spdlog/logger.h>

#include "common/error.hpp"
#include "common/interfaces.hpp"
#include "common/ipv4.hpp"
#include "common/settings.hpp"
#include "proxy/node.hpp"

namespace tessaro {

// Keep-alive of both sockets of a pair, so that a vanished peer is noticed within a minute.
inline constexpr std::chrono::seconds TCP_KEEPALIVE_TIME{25};
inline constexpr std::chrono::seconds TCP_KEEPALIVE_INTERVAL{2};

// Client bytes held for one pair while its device side is still connecting; above this the
// client is not read until the held bytes have been handed to the device side.
inline constexpr std::size_t TCP_PROXY_PENDING_BOUND = 256 * 1024;
// Bytes queued towards one side of an established pair; above this the other side is not read
// until the queue has drained to half.
inline constexpr std::size_t TCP_PROXY_QUEUE_BOUND = node::DEFAULT_QUEUE_BOUND;

// One relayed socket. A client entry holds the client's address, a device entry the device's.
struct TcpProxyConnection {
    node::Endpoint endpoint;
    node::ResourceId peer_id = 0;  // the other socket of the same pair
    // Client bytes that arrived before the device side was established; a device entry's buffer
    // stays empty.
    std::vector<std::uint8_t> pending;
    // Whether this relay paused reading the client because `pending` reached its bound.
    bool reading_paused = false;
};

class TcpProxy {
  public:
    // Listens on `listen_address` bound to the listening interface's adapter. The interface
    // records are shared: `listening_interface` only for its adapter name during the call,
    // `device_interface` for every outbound connection. Fails with the node's listening error
    // unchanged.
    [[nodiscard]] static Result<std::unique_ptr<TcpProxy>> create(
        DeviceKind kind, node::SharedHandler handler, SocketAddrV4 listen_address,
        std::shared_ptr<const PcInterface> listening_interface, SocketAddrV4 remote_address,
        std::shared_ptr<const DeviceInterface> device_interface);

    TcpProxy(const TcpProxy&) = delete;
    TcpProxy& operator=(const TcpProxy&) = delete;

    // Removes the listener, then every device-side socket, then every client socket; logs
    // nothing. What is already queued on a socket is still written by the node.
    ~TcpProxy();

    // True when the event belongs to this relay's listener or to one of its pairs. Signals are
    // never taken. The bytes of a Data event that is taken are moved on, not copied; an event
    // that is not taken is left as it was.
    bool handle_event(node::Event& event);

    // Closes both sockets of a pair and forgets it; held client bytes are discarded.
    void close_pair(node::ResourceId client_id, node::ResourceId device_id);

    DeviceKind kind() const { return kind_; }
    node::ResourceId listener_id() const { return listener_id_; }
    // The pairs, keyed by each socket's own resource id.
    const std::map<node::ResourceId, TcpProxyConnection>& clients() const { return clients_; }
    const std::map<node::ResourceId, TcpProxyConnection>& remotes() const { return remotes_; }

  private:
    TcpProxy(DeviceKind kind, node::SharedHandler handler, node::ResourceId listener_id,
             SocketAddrV4 remote_address, std::shared_ptr<const DeviceInterface> device_interface);

    bool on_connected(const node::Connected& event);
    bool on_accepted(const node::Accepted& event);
    bool on_data(node::Data& event);
    bool on_disconnected(const node::Disconnected& event);

    std::map<node::ResourceId, TcpProxyConnection> remotes_;
    std::map<node::ResourceId, TcpProxyConnection> clients_;
    node::ResourceId listener_id_ = 0;
    node::SharedHandler handler_;
    std::shared_ptr<const DeviceInterface> device_interface_;
    SocketAddrV4 remote_address_;
    DeviceKind kind_;
    std::shared_ptr<spdlog::logger> log_;
};

}  // namespace tessaro
