// The TCP relay of one server kind (SICCT or HTTPS) of one device proxy: it listens on the LAN
// side and, for every client that connects, opens one connection to the device over the PC's USB
// link and passes bytes unchanged both ways.
//
// A relay owns no thread: it is offered every node event (under the application's event lock)
// and answers whether the event was its own. Sockets come in pairs, a client and its device side,
// held in one record with the pair's state, and both are removed together. TCP ends one
// direction at a time: a side's FIN is passed on to the other socket once every byte queued
// towards it has been written, and the other direction goes on, so that a client which ends its
// request with a half-close still gets the answer, however late the device sends it. A client's
// FIN that comes while the device side is still connecting follows the held bytes once it is
// established: TCP cannot tell a half-close from a close, and dropping the request would lose
// it. A pair ends when both directions have ended, at once when either side resets or fails
// (keep-alive included), when the device cannot be reached, and when bytes that wait for a side
// whose peer has ended stop moving for the node's stall deadline. A half-closed pair with
// nothing waiting lives as an open one does.
//
// Memory per pair is bounded: client bytes that arrive before the device side is established are
// held up to TCP_PROXY_PENDING_BOUND, and each direction's outbound queue up to
// TCP_PROXY_QUEUE_BOUND; at a bound the sending side is no longer read until the bytes have moved
// on, so nothing is dropped.
//
// A side that is not read still ends its pair when its peer resets: the node's close watch
// learns of it without reading. A client that closes while its device side has stopped taking
// bytes ends the pair once that side has taken nothing for the stall deadline; that needs the
// watch to see a FIN behind unread bytes, which Linux does (under Wine the watch sees it only once
// those bytes are read, so there such a pair ends when the device side goes, a write to the client
// fails, or keep-alive gives up).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include <spdlog/logger.h>

#include "common/error.hpp"
#include "common/interfaces.hpp"
#include "common/ipv4.hpp"
#include "common/settings.hpp"
#include "proxy/node/node.hpp"

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

// Where a pair stands. A pair whose two directions have both ended is closed at once, so that
// state has no name; the half-closed states say which side ended its sending first.
enum class PairState {
    Connecting,   // the device side is not yet established; client bytes are held
    Established,  // bytes pass both ways
    ClientEnded,  // the client's FIN was passed on to the device; the device's direction goes on
    DeviceEnded,  // the device's FIN was passed on to the client; the client's direction goes on
};

// One relayed connection: the client and its device side, with the pair's state.
struct TcpProxyPair {
    node::Endpoint client;  // the client's address
    node::Endpoint device;  // the device's address
    PairState state = PairState::Connecting;
    // Client bytes that arrived while Connecting, sent first and whole once established.
    std::vector<std::uint8_t> pending;
    // Whether this relay paused reading the client because `pending` reached its bound.
    bool reading_paused = false;
    // The client's FIN came while Connecting: it follows the pending bytes to the device.
    bool client_fin_held = false;
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
    // The pairs, keyed by the client socket's resource id.
    const std::map<node::ResourceId, TcpProxyPair>& pairs() const { return pairs_; }

  private:
    TcpProxy(DeviceKind kind, node::SharedHandler handler, node::ResourceId listener_id,
             SocketAddrV4 remote_address, std::shared_ptr<const DeviceInterface> device_interface);

    enum class Side { Client, Device };
    // A pair found from either of its sockets, with the side that socket is.
    struct PairRef {
        TcpProxyPair& pair;
        Side side;
    };
    std::optional<PairRef> find_pair(node::ResourceId id);

    // One handler per event kind; each answers whether the event was this relay's.
    bool on_connected(const node::Connected& event);
    bool on_accepted(const node::Accepted& event);
    bool on_data(node::Data& event);
    bool on_read_closed(const node::ReadClosed& event);
    bool on_disconnected(const node::Disconnected& event);

    // Logs the pair's end, naming the side that closed first, and closes it. `side` is the side
    // whose event ends the pair; it is named unless the other side had ended its sending before.
    void end_pair(const TcpProxyPair& pair, Side side);

    std::map<node::ResourceId, TcpProxyPair> pairs_;          // by the client's id
    std::map<node::ResourceId, node::ResourceId> by_device_;  // device id -> client id
    node::ResourceId listener_id_ = 0;
    node::SharedHandler handler_;
    std::shared_ptr<const DeviceInterface> device_interface_;
    SocketAddrV4 remote_address_;
    DeviceKind kind_;
    std::shared_ptr<spdlog::logger> log_;
};

}  // namespace tessaro
