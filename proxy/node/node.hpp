// The event node: one network poller and one signal channel, delivering events one at a time
// under one event lock. Built on standalone Asio.
//
// The handler (shared by reference count, callable from any thread) sends signals and opens,
// feeds and removes sockets; the listener runs the loop: network events on the calling thread
// (polling at most 50 ms at a time), signals on "node-network-thread" (waiting at most 50 ms for
// the next due one). Every delivery holds the event lock and happens only while the running flag
// holds, so nothing is delivered after a stop. Nothing is read from the network before the loop
// runs, so events that arrive earlier are delivered first, in order, once it does.
//
// Writing never blocks: each socket has an ordered outbound queue. Reading can be paused per
// socket, and two TCP sockets can be coupled so that reading one pauses while the other's queue
// is above its bound (backpressure): a slow peer costs bounded memory.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "common/error.hpp"
#include "common/ipv4.hpp"
#include "proxy/node/signal_id.hpp"

namespace tessaro::node {

// One per socket of the node (listener, accepted or outbound connection, UDP socket); never
// reused within a process.
using ResourceId = std::uint64_t;

struct Endpoint {
    ResourceId resource_id = 0;
    SocketAddrV4 addr;  // the peer's address (for a UDP send: the destination)

    bool operator==(const Endpoint&) const = default;
};

// Outbound connection finished: established or failed.
struct Connected {
    Endpoint endpoint;
    bool established = false;
};
// A listener accepted a connection.
struct Accepted {
    Endpoint endpoint;
    ResourceId listener_id = 0;
};
// One chunk of a stream (up to 64 KiB) or one datagram with its sender.
struct Data {
    Endpoint endpoint;
    std::vector<std::uint8_t> bytes;
};
// The peer ended its sending (a TCP FIN) on a socket opened with `half_close`: every byte it sent
// has been delivered, no further Data follows; the socket stays open for sending until it is shut
// down or removed.
struct ReadClosed {
    Endpoint endpoint;
};
// The peer closed or the connection broke; the node has already dropped the socket.
struct Disconnected {
    Endpoint endpoint;
};
struct Signal {
    SignalId id = 0;
};

using Event = std::variant<Connected, Accepted, Data, ReadClosed, Disconnected, Signal>;

struct KeepAlive {
    std::chrono::seconds idle{25};
    std::chrono::seconds interval{2};
};

struct TcpListenOptions {
    std::string bind_device;  // adapter name; empty for none. Linux: SO_BINDTODEVICE
    std::optional<KeepAlive> keepalive;
    // Accepted sockets inherit it: a FIN from the peer gives ReadClosed instead of Disconnected.
    bool half_close = false;
};

struct TcpConnectOptions {
    std::string bind_device;
    std::optional<SocketAddrV4> source_address;  // port 0: any free port
    std::optional<KeepAlive> keepalive;
    // A FIN from the peer gives ReadClosed instead of Disconnected.
    bool half_close = false;
};

enum class Readiness { Ready, NotReady, Unknown };

// Per-socket bound of the outbound queue above which a coupled reader is paused.
inline constexpr std::size_t DEFAULT_QUEUE_BOUND = 256 * 1024;
// Bytes queued on one UDP socket and not yet sent, beyond which further datagrams are dropped:
// datagrams may be lost on any network, so a socket that cannot send as fast as it is asked to
// costs bounded memory and loses the excess, never the event thread.
inline constexpr std::size_t UDP_QUEUE_BOUND = 256 * 1024;
// The stall deadline: how long bytes of a stream may wait without moving once they cannot go on
// by themselves (queued on a removed stream; queued towards its peer, or unread behind a full
// coupled peer, once either side of the pair has ended its sending) before the node gives the
// stream up. Counted from the last byte the stream or its coupled peer moved, bytes the peer
// takes from the system's buffers included (seen within a second); idle time is no stall.
inline constexpr std::chrono::seconds STALL_DEADLINE{5};

class NodeCore;

class NodeHandler {
  public:
    explicit NodeHandler(std::shared_ptr<NodeCore> core) : core_(std::move(core)) {}

    void signal(SignalId id);
    void signal_after(SignalId id, std::chrono::steady_clock::duration delay);

    void stop();
    bool is_running() const;

    // Opening a socket (tcp_listen, tcp_connect, udp_listen): its events are delivered only after
    // the call has returned its id. A callback runs with the event lock held, so one that opens a
    // socket records the id before any event of it can come. Any other thread records it safely
    // by holding a mutex of its own across the call and the recording and taking that mutex in
    // the callback before it looks the id up: the call never waits for the event lock, so this
    // cannot deadlock; an id recorded only after the call, without that mutex held across it,
    // may come too late for the socket's first event.
    [[nodiscard]] Result<ResourceId> tcp_listen(SocketAddrV4 addr, const TcpListenOptions& options);
    // Returns at once; the outcome arrives as a Connected event.
    [[nodiscard]] Result<Endpoint> tcp_connect(SocketAddrV4 remote,
                                               const TcpConnectOptions& options);
    // Broadcast sending and local address reuse enabled. On Linux the socket also receives the
    // broadcasts of the adapter that holds `addr`, as Windows does for a unicast-bound socket.
    [[nodiscard]] Result<ResourceId> udp_listen(SocketAddrV4 addr);

    // TCP: into the stream of endpoint.resource_id. UDP: one datagram from the socket
    // endpoint.resource_id to endpoint.addr, dropped when UDP_QUEUE_BOUND bytes already wait on
    // that socket. False when the socket is unknown or the datagram was dropped.
    bool send(const Endpoint& endpoint, std::span<const std::uint8_t> bytes);
    // The same, taking the bytes over instead of copying them.
    bool send(const Endpoint& endpoint, std::vector<std::uint8_t>&& bytes);

    Readiness is_ready(ResourceId id) const;

    // Ends the socket's events at once; bytes already queued on it are still written (given up
    // once none has moved for STALL_DEADLINE), then it shuts down and closes once the peer has.
    // False when the socket is unknown.
    bool remove(ResourceId id);

    // Ends sending on a TCP stream after every byte already queued on it (a FIN to the peer);
    // reading goes on, and later sends return false. False when the socket is unknown (or not a
    // stream).
    bool shutdown_send(ResourceId id);

    // Backpressure: reading `id` is paused until resumed. The node learns of a paused socket's
    // peer's end without reading it (Linux: an epoll watch; Windows: the AFD driver's poll, which
    // under Wine reports a FIN behind unread bytes only once they are read): one whose peer
    // resets ends with a Disconnected event at once, and so does one whose peer closes, unless
    // it was opened with `half_close`: that one reads the rest and the FIN in order once
    // resumed. A socket paused only by its coupling goes on reading while its coupled peer takes
    // bytes; once its peer has closed it ends when neither it nor its coupled peer has moved a
    // byte for STALL_DEADLINE. A reset ends it at once. A socket opened with `half_close`
    // delivers ReadClosed after all data of its peer and then lives as an open one: until it
    // breaks, is removed, or bytes queued on it (or on its coupled peer) have not moved for
    // STALL_DEADLINE.
    void pause_reading(ResourceId id);
    void resume_reading(ResourceId id);
    // Reading `a` pauses while `b`'s outbound queue holds more than `bound` bytes, and the other
    // way round; both resume when the queue has drained to half the bound.
    void couple(ResourceId a, ResourceId b, std::size_t bound = DEFAULT_QUEUE_BOUND);
    // Bytes queued and not yet written on a socket (0 when unknown).
    std::size_t queued_bytes(ResourceId id) const;
    // The address a socket is bound to (for a listener or UDP socket bound to port 0: the port
    // the system chose); nothing when the socket is unknown.
    std::optional<SocketAddrV4> local_address(ResourceId id) const;

    const std::shared_ptr<NodeCore>& core() const { return core_; }

  private:
    std::shared_ptr<NodeCore> core_;
};

using SharedHandler = std::shared_ptr<NodeHandler>;

class NodeListener {
  public:
    explicit NodeListener(std::shared_ptr<NodeCore> core) : core_(std::move(core)) {}
    NodeListener(NodeListener&&) = default;
    NodeListener& operator=(NodeListener&&) = default;
    ~NodeListener();

    // Runs until the running flag is cleared; returns after "node-network-thread" has ended.
    // `callback` is called once per event with the event lock held.
    void run(const std::function<void(Event&&)>& callback);

  private:
    std::shared_ptr<NodeCore> core_;
};

struct Node {
    SharedHandler handler;
    std::unique_ptr<NodeListener> listener;
};

[[nodiscard]] Result<Node> create();

}  // namespace tessaro::node
