// The event node on standalone Asio.
//
// Threads and locks:
// - The thread that calls NodeListener::run drives the io_context (run_for, at most 50 ms at a
//   time); every completion handler runs there. "node-network-thread" waits for due signals.
// - `mutex_` (the node mutex) guards the socket table and every socket object and its state. A
//   completion handler builds its event under it and releases it before delivering, so a callback
//   may call back into the node. Reads, writes and the start of Asio operations on a stream are
//   made without it: whoever holds a stream's read turn (`reading`) or write turn (`writing`)
//   makes them, and counts them in the socket's `in_flight`, so that a close meanwhile leaves the
//   handle and the buffers alone until the last call is back. A new socket is opened and set up
//   before it enters the table, and a closed one's handles are closed once the mutex has been
//   released (NodeLock), so neither is done under it either; work for the loop is posted then
//   too, since posting from another thread wakes the loop with a system call, and so are the
//   settings of a socket's timers (set_timer).
// - `event_mutex_` (the event lock) is held for each delivery. It may be held while taking the
//   node mutex (deliveries re-check under it whether the socket was removed meanwhile), never the
//   other way round.
// - `signal_mutex_` guards the signal queues only; nothing else is taken while it is held.
// - A signal that waits for the event lock goes first: the loop's thread yields before taking
//   the lock while one waits, so that a busy relay does not hold back STOP, CHECK and STATUS.
//
// Completion handlers keep a share of their socket but only a plain pointer to the core: the
// io_context belongs to the core, and destroying it destroys every pending handler unrun. The
// core goes with whoever drops its last share (the loop's thread once run has returned, or the
// owner of a node that never ran); it closes every socket first. "node-network-thread" owns
// nothing and is always joined before run returns.
//
// A removed stream stays in the table, invisible to callers, until it has written its queue,
// shut down sending and seen the peer close, or REMOVE_FLUSH_DEADLINE has passed. A half-closing
// stream whose peer has ended sending stays, still sending, until it is removed, breaks, or it
// and its coupled peer have moved no byte for REMOVE_FLUSH_DEADLINE.
#include "proxy/node.hpp"

#include <array>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <queue>
#include <system_error>
#include <thread>
#include <unordered_map>

#include <asio.hpp>
#include <fmt/format.h>

#include "common/log.hpp"
#include "common/os/system_error.hpp"
#include "proxy/socket_options.hpp"

namespace tessaro::node {

namespace {

using asio::ip::tcp;
using asio::ip::udp;

// Largest chunk read from a stream at once; also the datagram buffer (a UDP payload is smaller).
constexpr std::size_t CHUNK_SIZE = 64 * 1024;
// Longest wait of either loop before it looks at the running flag again.
constexpr std::chrono::milliseconds LOOP_WAIT{50};
// A chunk of at least this many bytes is handed on in the read buffer itself; a smaller one is
// copied out and the buffer kept. So a queued chunk never holds more than four times its bytes,
// and the queue bounds, which count bytes, still bound memory.
constexpr std::size_t HANDOVER_MIN = CHUNK_SIZE / 4;
// Read buffers kept for reuse once their bytes have been written (CHUNK_SIZE each), so that a
// busy relay does not allocate and free a chunk per read.
constexpr std::size_t FREE_BUFFERS_MAX = 32;
// Buffers handed to one gathered write.
constexpr std::size_t MAX_WRITE_BUFFERS = 16;
// Chunks read from one stream in a row before the other sockets' events have their turn.
constexpr int READS_PER_TURN = 16;
// A send of at most this many bytes to a stream that is not writing is written by the sender at
// once: an answer leaves without waiting for the loop. Larger ones are queued for the loop,
// which gathers what has been queued by then into one write.
constexpr std::size_t DIRECT_SEND_MAX = 16 * 1024;
// Pause before accepting again after an accept failed for want of resources (descriptors,
// memory), so that a listener does not spin while the shortage lasts.
constexpr std::chrono::milliseconds ACCEPT_RETRY_DELAY{100};

asio::ip::address_v4 to_asio(Ipv4Addr address) {
    return asio::ip::address_v4(address.to_u32());
}

template <typename Endpoint>
SocketAddrV4 from_asio(const Endpoint& endpoint) {
    SocketAddrV4 result;
    if (endpoint.address().is_v4()) {
        result.ip = Ipv4Addr::from_u32(endpoint.address().to_v4().to_uint());
    }
    result.port = endpoint.port();
    return result;
}

tcp::endpoint tcp_endpoint(SocketAddrV4 address) {
    return {to_asio(address.ip), address.port};
}
udp::endpoint udp_endpoint(SocketAddrV4 address) {
    return {to_asio(address.ip), address.port};
}

// The system's text with its code, as the rest of the program writes system errors.
std::string error_text(const asio::error_code& ec) {
    if (ec.category() == asio::system_category()) {
        return tessaro::os::system_error_text(static_cast<std::uint32_t>(ec.value()));
    }
    return fmt::format("{} (os error {})", ec.message(), ec.value());
}

// An error code as a log argument: its text is looked up only when the line is written.
struct ErrorText {
    asio::error_code ec;
};

}  // namespace
}  // namespace tessaro::node

template <>
struct fmt::formatter<tessaro::node::ErrorText> {
    constexpr auto parse(fmt::format_parse_context& ctx) { return ctx.begin(); }
    auto format(const tessaro::node::ErrorText& error, fmt::format_context& ctx) const {
        return fmt::format_to(ctx.out(), "{}", tessaro::node::error_text(error.ec));
    }
};

namespace tessaro::node {
namespace {

std::vector<std::uint8_t> owned(std::span<const std::uint8_t> bytes) {
    return {bytes.begin(), bytes.end()};
}
std::vector<std::uint8_t> owned(std::vector<std::uint8_t>&& bytes) {
    return std::move(bytes);
}

template <typename Socket>
os::NativeSocket native(Socket& socket) {
    return static_cast<os::NativeSocket>(socket.native_handle());
}

enum class Kind { TcpListener, TcpStream, Udp };

// One receiving socket of a UDP resource with its buffer and the sender of the datagram that
// is being received.
struct UdpPort {
    explicit UdpPort(udp::socket s) : socket(std::move(s)), buffer(CHUNK_SIZE) {}
    udp::socket socket;
    std::vector<std::uint8_t> buffer;
    udp::endpoint sender;
};

// Closes a socket that is bound to an address of its own (a listener, a UDP socket) so that the
// address is free when this returns; see os::release_before_close.
template <typename Socket>
void close_bound(Socket& socket) {
    if (!os::release_before_close() || !socket.is_open()) {
        return;  // the destructor closes it
    }
    asio::error_code ec;
    const auto handle = socket.release(ec);
    if (!ec) {
        os::close_socket(static_cast<os::NativeSocket>(handle));
    }
}

// The system handles of a closed socket, taken out of it to be closed (by their destructors)
// without the node mutex. Pending operations on them end with operation_aborted then.
struct ClosedHandles {
    ClosedHandles() = default;
    ClosedHandles(const ClosedHandles&) = delete;
    ClosedHandles& operator=(const ClosedHandles&) = delete;
    ClosedHandles(ClosedHandles&&) = default;
    ClosedHandles& operator=(ClosedHandles&&) = default;
    ~ClosedHandles() {
        if (acceptor) {
            close_bound(*acceptor);
        }
        for (auto& port : ports) {
            close_bound(port);
        }
    }

    std::optional<tcp::acceptor> acceptor;
    std::optional<tcp::socket> stream;
    std::vector<udp::socket> ports;
};

struct Socket : std::enable_shared_from_this<Socket> {
    Socket(ResourceId resource_id, Kind socket_kind) : id(resource_id), kind(socket_kind) {}

    ResourceId id;
    Kind kind;
    SocketAddrV4 peer;  // streams: the peer; listeners and UDP: the local address

    std::optional<tcp::acceptor> acceptor;
    std::optional<KeepAlive> accepted_keepalive;  // listeners: applied to accepted sockets
    std::optional<asio::steady_timer> retry_timer;
    tcp::endpoint accept_peer;    // listeners: the peer of the connection being accepted
    bool accept_failing = false;  // listeners: the last accept failed and was reported

    std::optional<tcp::socket> stream;
    bool connecting = false;
    bool established = false;
    // Streams: the peer's FIN ends reading only (ReadClosed); listeners: so for accepted ones.
    bool half_close = false;

    // The first port sends; on Linux a second one may receive the adapter's broadcasts.
    std::vector<std::unique_ptr<UdpPort>> udp_ports;

    bool removed = false;      // remove() was called: no further events
    bool closed = false;       // closed and out of the table
    bool send_ending = false;  // shutdown_send: sending ends once the queue is written
    bool shut_down = false;    // flushed and shut down for sending
    bool peer_eof = false;     // removed stream: the peer has closed its side
    bool read_closed = false;  // half-closing stream: the peer's FIN was read (ReadClosed)

    // System calls on the socket under way without the node mutex; its handles are closed and
    // its buffers freed only when none is.
    int in_flight = 0;
    // remove() waits for the last of them, to close the handles itself before it returns.
    bool close_awaited = false;
    // Its creating call has not returned its id yet: its events wait for it.
    bool creating = false;

    std::vector<std::uint8_t> read_buffer;
    bool reading = false;    // the read turn is taken: a read or a delivery is under way
    bool readable = false;   // the last read filled its buffer: more is likely waiting
    bool paused = false;     // pause_reading
    bool peer_full = false;  // the coupled peer's queue is above the bound
    std::optional<std::vector<std::uint8_t>> held;  // read while paused, delivered on resume
    bool held_posted = false;
    bool watching = false;     // paused with no read under way: its peer's end ends it
    bool in_watch = false;     // handed to the close watch (at its first pause)
    bool peer_closed = false;  // the close watch saw the peer close or break the connection
    bool peer_broken = false;
    // The peer closed while reading waited for the coupled peer, or a half-closing stream read
    // the peer's FIN: the socket gives up once the pair has made no progress for
    // REMOVE_FLUSH_DEADLINE.
    std::optional<asio::steady_timer> close_timer;
    std::uint64_t progress = 0;       // bytes moved by the socket or its coupled peer
    std::uint64_t progress_mark = 0;  // `progress` when close_timer was last set

    std::deque<std::vector<std::uint8_t>> out;
    std::deque<udp::endpoint> out_destinations;  // UDP: one per datagram in `out`
    std::size_t out_offset = 0;                  // bytes of out.front() already written
    std::size_t queued = 0;
    bool writing = false;  // the write turn is taken
    // The buffers of the gathered write under way, held by the write turn: a pending operation
    // keeps the sequence it was given until it completes.
    std::array<asio::const_buffer, MAX_WRITE_BUFFERS> write_buffers;

    ResourceId coupled = 0;
    std::size_t bound = 0;

    std::optional<asio::steady_timer> flush_timer;
};

using SocketPtr = std::shared_ptr<Socket>;

struct TimedSignal {
    std::chrono::steady_clock::time_point due;
    std::uint64_t sequence;  // keeps signals with the same due time in send order
    SignalId id;

    bool operator>(const TimedSignal& other) const {
        return due != other.due ? due > other.due : sequence > other.sequence;
    }
};

}  // namespace

class NodeCore {
    // The node mutex. Handles closed while it is held are closed for real, and work for the loop
    // is handed to it, only once it has been released, so that neither a close (with its
    // deregistration from the poller) nor the loop's wake-up is made under it.
    class NodeLock {
      public:
        explicit NodeLock(NodeCore& core) : core_(core), lock_(core.mutex_) {}
        NodeLock(const NodeLock&) = delete;
        NodeLock& operator=(const NodeLock&) = delete;
        ~NodeLock() {
            if (lock_.owns_lock()) {
                unlock();
            }
        }

        void lock() { lock_.lock(); }
        // Waits on `cv` with the mutex released meanwhile; work handed over before stays
        // pending until this or another lock is released.
        template <typename Pred>
        void wait(std::condition_variable& cv, Pred pred) {
            cv.wait(lock_, pred);
        }
        void unlock() {
            std::vector<ClosedHandles> closed;
            closed.swap(core_.closed_handles_);
            std::vector<std::function<void()>> posts;
            posts.swap(core_.posts_);
            lock_.unlock();
            for (auto& work : posts) {
                asio::post(core_.io_, std::move(work));
            }
        }

      private:
        NodeCore& core_;
        std::unique_lock<std::mutex> lock_;
    };

  public:
    NodeCore()
        : log_(log::get("tessaro::node")),
          close_watch_(os::CloseWatch::create(
              io_, [this](std::uint64_t id, bool broken) { on_peer_closed(id, broken); })) {}
    NodeCore(const NodeCore&) = delete;
    NodeCore& operator=(const NodeCore&) = delete;

    ~NodeCore() {
        running_.store(false);
        NodeLock lock(*this);
        for (auto& [id, socket] : sockets_) {
            close_handles(*socket);
        }
        sockets_.clear();
    }

    // --- signals ---------------------------------------------------------------------------

    void signal(SignalId id) {
        {
            std::lock_guard lock(signal_mutex_);
            immediate_.push_back(id);
        }
        signal_cv_.notify_one();
    }

    void signal_after(SignalId id, std::chrono::steady_clock::duration delay) {
        auto due = std::chrono::steady_clock::now() + delay;
        {
            std::lock_guard lock(signal_mutex_);
            timed_.push(TimedSignal{due, timed_sequence_++, id});
        }
        signal_cv_.notify_one();
    }

    void stop() {
        running_.store(false);
        signal_cv_.notify_all();
        io_.stop();
    }

    bool is_running() const { return running_.load(); }

    // --- sockets ---------------------------------------------------------------------------

    // The new socket is set up without the node mutex: until it enters the table it is nobody
    // else's, and a failure closes it there too.
    Result<ResourceId> tcp_listen(SocketAddrV4 addr, const TcpListenOptions& options) {
        tcp::acceptor acceptor(io_);
        asio::error_code ec;
        acceptor.open(tcp::v4(), ec);
        if (ec) {
            return fail(error_text(ec));
        }
        if (os::listener_reuses_address()) {
            acceptor.set_option(asio::socket_base::reuse_address(true), ec);
            if (ec) {
                return fail(error_text(ec));
            }
        }
        if (auto r = os::bind_to_device(native(acceptor), options.bind_device); !r) {
            return fail(r.error());
        }
        // Where accepted sockets take their options from the listener they are set here, once;
        // elsewhere on each accepted socket.
        if (os::accepted_inherit_options()) {
            acceptor.set_option(tcp::no_delay(true), ec);
            if (ec) {
                return fail(error_text(ec));
            }
            if (options.keepalive) {
                if (auto r = os::set_keepalive(native(acceptor), *options.keepalive); !r) {
                    return fail(r.error());
                }
            }
        }
        acceptor.bind(tcp_endpoint(addr), ec);
        if (ec) {
            return fail(error_text(ec));
        }
        acceptor.listen(asio::socket_base::max_listen_connections, ec);
        if (ec) {
            return fail(error_text(ec));
        }
        const SocketAddrV4 local = from_asio(acceptor.local_endpoint(ec));
        NodeLock lock(*this);
        auto socket = std::make_shared<Socket>(next_id_++, Kind::TcpListener);
        socket->peer = local;
        socket->acceptor.emplace(std::move(acceptor));
        socket->accepted_keepalive = options.keepalive;
        socket->half_close = options.half_close;
        socket->retry_timer.emplace(io_);
        socket->creating = true;
        sockets_.emplace(socket->id, socket);
        outside(*socket, lock, [&] { start_accept(socket); });
        created(*socket);
        return socket->id;
    }

    Result<Endpoint> tcp_connect(SocketAddrV4 remote, const TcpConnectOptions& options) {
        tcp::socket stream(io_);
        asio::error_code ec;
        stream.open(tcp::v4(), ec);
        if (ec) {
            return fail(error_text(ec));
        }
        stream.set_option(tcp::no_delay(true), ec);
        if (ec) {
            return fail(error_text(ec));
        }
        if (os::streams_io_directly()) {
            stream.non_blocking(true, ec);
            if (ec) {
                return fail(error_text(ec));
            }
        }
        if (auto r = os::bind_to_device(native(stream), options.bind_device); !r) {
            return fail(r.error());
        }
        if (options.keepalive) {
            if (auto r = os::set_keepalive(native(stream), *options.keepalive); !r) {
                return fail(r.error());
            }
        }
        if (options.source_address) {
            if (options.source_address->port == 0) {
                os::choose_port_at_connect(native(stream));
            }
            stream.bind(tcp_endpoint(*options.source_address), ec);
            if (ec) {
                return fail(error_text(ec));
            }
        }
        NodeLock lock(*this);
        auto socket = std::make_shared<Socket>(next_id_++, Kind::TcpStream);
        socket->peer = remote;
        socket->connecting = true;
        socket->half_close = options.half_close;
        socket->stream.emplace(std::move(stream));
        socket->creating = true;
        sockets_.emplace(socket->id, socket);
        outside(*socket, lock, [&] {
            socket->stream->async_connect(tcp_endpoint(remote), [this, socket](asio::error_code e) {
                on_connect(socket, e);
            });
        });
        created(*socket);
        return Endpoint{socket->id, remote};
    }

    Result<ResourceId> udp_listen(SocketAddrV4 addr) {
        asio::error_code ec;
        auto open = [&](udp::endpoint at, const std::string& device) -> Result<udp::socket> {
            udp::socket s(io_);
            s.open(udp::v4(), ec);
            if (ec) {
                return fail(error_text(ec));
            }
            s.set_option(asio::socket_base::reuse_address(true), ec);
            if (ec) {
                return fail(error_text(ec));
            }
            s.set_option(asio::socket_base::broadcast(true), ec);
            if (ec) {
                return fail(error_text(ec));
            }
            os::ignore_udp_connection_reset(native(s));
            if (auto r = os::bind_to_device(native(s), device); !r) {
                return fail(r.error());
            }
            s.bind(at, ec);
            if (ec) {
                return fail(error_text(ec));
            }
            return s;
        };
        auto unicast = open(udp_endpoint(addr), {});
        if (!unicast) {
            return fail(unicast.error());
        }
        // Its id is given when it enters the table.
        auto socket = std::make_shared<Socket>(0, Kind::Udp);
        socket->peer = from_asio(unicast->local_endpoint(ec));
        socket->udp_ports.push_back(std::make_unique<UdpPort>(std::move(*unicast)));
        if (auto binding = os::broadcast_binding_for(addr.ip)) {
            auto broadcast = open(udp::endpoint(to_asio(binding->broadcast), socket->peer.port),
                                  binding->device);
            if (!broadcast) {
                return fail(Error::caused(
                    fmt::format("Could not receive the broadcasts of {} at {}: ", binding->device,
                                binding->broadcast.to_string()),
                    broadcast.error()));
            }
            socket->udp_ports.push_back(std::make_unique<UdpPort>(std::move(*broadcast)));
        }
        NodeLock lock(*this);
        socket->id = next_id_++;
        socket->creating = true;
        sockets_.emplace(socket->id, socket);
        outside(*socket, lock, [&] {
            for (auto& port : socket->udp_ports) {
                start_receive(socket, port.get());
            }
        });
        created(*socket);
        return socket->id;
    }

    // `bytes` is a span (copied into the queue) or a vector (moved into it).
    template <typename Bytes>
    bool send(const Endpoint& endpoint, Bytes&& bytes) {
        NodeLock lock(*this);
        SocketPtr socket = find(endpoint.resource_id);
        if (!socket) {
            return false;
        }
        switch (socket->kind) {
            case Kind::TcpListener:
                return false;
            case Kind::TcpStream: {
                if (socket->send_ending) {
                    return false;
                }
                const std::size_t size = bytes.size();
                if (size == 0) {
                    return true;
                }
                socket->queued += size;
                socket->out.push_back(owned(std::forward<Bytes>(bytes)));
                queue_changed(*socket);
                if (os::streams_io_directly() && size <= DIRECT_SEND_MAX &&
                    socket->out.size() == 1 && socket->established && !socket->writing) {
                    socket->writing = true;
                    write_turn(socket, lock);
                } else if (socket->established) {
                    start_write(socket);
                }
                return true;
            }
            case Kind::Udp:
                if (socket->queued + bytes.size() > UDP_QUEUE_BOUND) {
                    log_->debug(
                        "Datagram of {} bytes from {} to {} dropped: {} bytes wait to be "
                        "sent",
                        bytes.size(), socket->peer, endpoint.addr, socket->queued);
                    return false;
                }
                socket->queued += bytes.size();
                socket->out.push_back(owned(std::forward<Bytes>(bytes)));
                socket->out_destinations.push_back(udp_endpoint(endpoint.addr));
                start_send_datagram(socket, lock);
                return true;
        }
        return false;
    }

    Readiness is_ready(ResourceId id) {
        NodeLock lock(*this);
        SocketPtr socket = find(id);
        if (!socket) {
            return Readiness::Unknown;
        }
        if (socket->kind == Kind::TcpStream && !socket->established) {
            return Readiness::NotReady;
        }
        return Readiness::Ready;
    }

    bool remove(ResourceId id) {
        NodeLock lock(*this);
        SocketPtr socket = find(id);
        if (!socket) {
            return false;
        }
        socket->removed = true;
        uncouple(*socket);
        if (socket->kind != Kind::TcpStream) {
            close_socket(*socket);
            await_release(*socket, lock);
            return true;
        }
        socket->held.reset();
        // A half-closed stream has read its peer's FIN already: nothing is left to drain.
        socket->peer_eof = socket->read_closed;
        if (!socket->established && socket->out.empty()) {
            close_socket(*socket);
            return true;
        }
        // Write out what is queued, then shut down sending and read (and drop) until the peer
        // closes: closing a socket with unread input makes the system reset the connection,
        // and a reset can destroy the last answer before the peer has read it.
        socket->flush_timer.emplace(io_);
        set_timer(socket, &Socket::flush_timer, REMOVE_FLUSH_DEADLINE,
                  [this, socket](asio::error_code ec) {
                      if (ec) {
                          return;
                      }
                      NodeLock inner(*this);
                      if (!socket->closed) {
                          log_->debug("Socket {} closed with {} bytes not written", socket->id,
                                      socket->queued);
                          close_socket(*socket);
                      }
                  });
        if (socket->established) {
            if (!socket->reading && !socket->peer_eof) {
                start_read(socket);
            }
            if (!socket->writing && socket->out.empty()) {
                finish_flush(*socket, lock);
            }
        }
        return true;
    }

    bool shutdown_send(ResourceId id) {
        NodeLock lock(*this);
        SocketPtr socket = find(id);
        if (!socket || socket->kind != Kind::TcpStream) {
            return false;
        }
        if (!socket->send_ending) {
            socket->send_ending = true;
            if (socket->established && !socket->writing && socket->out.empty()) {
                shut_send(*socket, lock);
            }
        }
        return true;
    }

    void pause_reading(ResourceId id) {
        NodeLock lock(*this);
        if (SocketPtr socket = find(id); socket && socket->kind == Kind::TcpStream) {
            socket->paused = true;
        }
    }

    void resume_reading(ResourceId id) {
        NodeLock lock(*this);
        if (SocketPtr socket = find(id); socket && socket->kind == Kind::TcpStream) {
            socket->paused = false;
            update_reading(socket);
        }
    }

    void couple(ResourceId a, ResourceId b, std::size_t bound) {
        NodeLock lock(*this);
        SocketPtr first = find(a);
        SocketPtr second = find(b);
        if (!first || !second || first == second || first->kind != Kind::TcpStream ||
            second->kind != Kind::TcpStream) {
            return;
        }
        if (first->coupled != b) {
            uncouple(*first);
        }
        if (second->coupled != a) {
            uncouple(*second);
        }
        first->coupled = b;
        first->bound = bound;
        second->coupled = a;
        second->bound = bound;
        first->peer_full = second->queued > bound;
        second->peer_full = first->queued > bound;
        update_reading(first);
        update_reading(second);
    }

    std::size_t queued_bytes(ResourceId id) {
        NodeLock lock(*this);
        SocketPtr socket = find(id);
        return socket ? socket->queued : 0;
    }

    std::optional<SocketAddrV4> local_address(ResourceId id) {
        NodeLock lock(*this);
        SocketPtr socket = find(id);
        if (!socket) {
            return std::nullopt;
        }
        asio::error_code ec;
        SocketAddrV4 address;
        outside(*socket, lock, [&] {
            if (socket->acceptor) {
                address = from_asio(socket->acceptor->local_endpoint(ec));
            } else if (socket->stream) {
                address = from_asio(socket->stream->local_endpoint(ec));
            } else if (!socket->udp_ports.empty()) {
                address = from_asio(socket->udp_ports.front()->socket.local_endpoint(ec));
            }
        });
        if (ec) {
            return std::nullopt;
        }
        return address;
    }

    // --- the loop --------------------------------------------------------------------------

    void run(const std::function<void(Event&&)>& callback) {
        {
            std::lock_guard lock(event_mutex_);
            callback_ = &callback;
        }
        std::thread signals;
        try {
            signals = std::thread([this] {
                os::set_current_thread_name("node-network-thread");
                try {
                    signal_loop();
                } catch (const std::exception& e) {
                    log_->error("Signal delivery failed: {}", e.what());
                    stop();
                }
            });
        } catch (const std::system_error& e) {
            log_->error("Could not start node-network-thread: {}", e.what());
            stop();
        }
        {
            auto work = asio::make_work_guard(io_);
            while (running_.load()) {
                if (io_.stopped()) {
                    io_.restart();
                }
                try {
                    io_.run_for(LOOP_WAIT);
                } catch (const std::exception& e) {
                    log_->error("Network poll failed: {}", e.what());
                    stop();
                }
            }
        }
        if (signals.joinable()) {
            signals.join();
        }
        std::lock_guard lock(event_mutex_);
        callback_ = nullptr;
    }

  private:
    // --- delivery --------------------------------------------------------------------------

    // Delivers under the event lock while the node runs and, for a socket's event, while the
    // socket has not been removed. Returns whether the callback saw the event.
    bool deliver(Event&& event, const Socket* socket) {
        if (socket != nullptr) {
            // A due signal goes first: the loop's thread would otherwise take the event lock
            // again and again while the relays are busy, and the signal thread could wait long.
            while (signals_waiting_.load(std::memory_order_acquire) > 0) {
                std::this_thread::yield();
            }
        }
        std::unique_lock events(event_mutex_, std::defer_lock);
        if (socket == nullptr) {
            signals_waiting_.fetch_add(1, std::memory_order_acq_rel);
            events.lock();
            signals_waiting_.fetch_sub(1, std::memory_order_acq_rel);
        } else {
            events.lock();
        }
        if (!running_.load() || callback_ == nullptr) {
            return false;
        }
        if (socket != nullptr) {
            NodeLock lock(*this);
            // The creator learns the id only when its call returns.
            lock.wait(created_, [&] { return !socket->creating; });
            if (socket->removed) {
                return false;
            }
        }
        (*callback_)(std::move(event));
        return true;
    }

    void signal_loop() {
        while (running_.load()) {
            std::optional<SignalId> next;
            {
                std::unique_lock lock(signal_mutex_);
                auto now = std::chrono::steady_clock::now();
                if (!immediate_.empty()) {
                    next = immediate_.front();
                    immediate_.pop_front();
                } else if (!timed_.empty() && timed_.top().due <= now) {
                    next = timed_.top().id;
                    timed_.pop();
                } else {
                    auto until = now + LOOP_WAIT;
                    if (!timed_.empty() && timed_.top().due < until) {
                        until = timed_.top().due;
                    }
                    signal_cv_.wait_until(lock, until);
                    continue;
                }
            }
            deliver(Signal{*next}, nullptr);
        }
    }

    // --- socket table (node mutex held) ----------------------------------------------------

    // The call that made a socket is about to return its id: the socket's events may follow.
    void created(Socket& socket) {
        socket.creating = false;
        created_.notify_all();
    }

    // Hands `work` to the loop once the node mutex is released.
    template <typename Work>
    void post(Work&& work) {
        posts_.emplace_back(std::forward<Work>(work));
    }

    SocketPtr find(ResourceId id) const {
        auto it = sockets_.find(id);
        if (it == sockets_.end() || it->second->removed) {
            return nullptr;
        }
        return it->second;
    }

    void close_handles(Socket& socket) {
        socket.closed = true;
        unwatch_close(socket);
        if (socket.flush_timer || socket.close_timer || socket.retry_timer) {
            // After any setting posted before (see set_timer).
            post([owner = socket.shared_from_this()] {
                for (auto* timer :
                     {&owner->flush_timer, &owner->close_timer, &owner->retry_timer}) {
                    if (*timer) {
                        (*timer)->cancel();
                    }
                }
            });
        }
        if (socket.in_flight == 0) {
            release_handles(socket);
        }
    }

    // Hands the handles of a closed socket over to be closed once the node mutex is released,
    // and frees its buffers, once no call on it is under way. Buffers that a pending operation
    // may still use (a read under way, Windows' overlapped writes) stay with the socket object
    // until its last completion handler has let go of it.
    void release_handles(Socket& socket) {
        ClosedHandles handles;
        if (socket.acceptor) {
            handles.acceptor.emplace(std::move(*socket.acceptor));
        }
        if (socket.stream) {
            handles.stream.emplace(std::move(*socket.stream));
        }
        for (auto& port : socket.udp_ports) {
            handles.ports.push_back(std::move(port->socket));
        }
        closed_handles_.push_back(std::move(handles));
        socket.held.reset();
        if (!socket.reading && socket.read_buffer.size() == CHUNK_SIZE) {
            give_buffer(std::move(socket.read_buffer));
        }
        if (!socket.writing) {
            socket.out.clear();
            socket.out_destinations.clear();
        }
        socket.queued = 0;
    }

    void close_socket(Socket& socket) {
        close_handles(socket);
        auto it = sockets_.find(socket.id);
        if (it != sockets_.end() && it->second.get() == &socket) {
            sockets_.erase(it);
        }
    }

    // The node drops a broken or closed connection itself; its peer's reading no longer waits
    // for it.
    void drop(Socket& socket) {
        uncouple(socket);
        close_socket(socket);
    }

    // Bytes moved on a stream (read or written): progress for it and for its coupled peer.
    void moved(Socket& socket) {
        ++socket.progress;
        if (socket.coupled != 0) {
            if (auto it = sockets_.find(socket.coupled); it != sockets_.end()) {
                ++it->second->progress;
            }
        }
    }

    void uncouple(Socket& socket) {
        if (socket.coupled == 0) {
            return;
        }
        auto it = sockets_.find(socket.coupled);
        if (it != sockets_.end() && it->second->coupled == socket.id) {
            const SocketPtr& peer = it->second;
            peer->coupled = 0;
            peer->peer_full = false;
            update_reading(peer);
        }
        socket.coupled = 0;
        socket.peer_full = false;
    }

    // Called whenever a stream's queue grew or shrank: pauses or resumes its coupled reader.
    void queue_changed(Socket& socket) {
        if (socket.coupled == 0) {
            return;
        }
        SocketPtr reader = find(socket.coupled);
        if (!reader) {
            return;
        }
        ++reader->progress;
        if (socket.queued > socket.bound) {
            reader->peer_full = true;
        } else if (reader->peer_full && socket.queued <= socket.bound / 2) {
            reader->peer_full = false;
            update_reading(reader);
        }
    }

    // --- reading ---------------------------------------------------------------------------

    void update_reading(const SocketPtr& socket) {
        if (socket->kind != Kind::TcpStream || socket->closed || !socket->established ||
            socket->reading || socket->read_closed) {
            return;
        }
        if (socket->removed) {
            start_read(socket);
            return;
        }
        if (socket->paused || socket->peer_full) {
            watch_close(socket);
            return;
        }
        if (socket->held) {
            if (!socket->held_posted) {
                socket->held_posted = true;
                post([this, socket] { deliver_held(socket); });
            }
            return;
        }
        start_read(socket);
    }

    // Takes the read turn of a stream and runs it on the loop's thread.
    void start_read(const SocketPtr& socket) {
        unwatch_close(*socket);
        socket->reading = true;
        post([this, socket] { read_turn(socket); });
    }

    // One turn of reading a stream (the read turn held): up to READS_PER_TURN chunks, each
    // delivered before the next is read, pause and coupling checked before each read. While
    // the last read filled its buffer more is likely waiting and is read at once; otherwise Asio
    // waits for the socket (and reads the first chunk), so that no read comes back empty.
    void read_turn(const SocketPtr& socket) {
        NodeLock lock(*this);
        for (int turn = 0; turn < READS_PER_TURN; ++turn) {
            if (socket->closed) {
                socket->reading = false;
                return;
            }
            if (!socket->removed && (socket->paused || socket->peer_full)) {
                socket->reading = false;
                watch_close(socket);
                return;
            }
            if (socket->read_buffer.size() != CHUNK_SIZE) {
                socket->read_buffer = take_buffer();
            }
            auto buffer = asio::buffer(socket->read_buffer);
            if (!socket->readable) {
                outside(*socket, lock, [&] {
                    socket->stream->async_read_some(
                        buffer, [this, socket](asio::error_code ec, std::size_t n) {
                            NodeLock inner(*this);
                            if (took_chunk(socket, ec, n, inner)) {
                                inner.unlock();
                                read_turn(socket);
                            }
                        });
                });
                if (socket->closed) {
                    socket->reading = false;
                }
                return;
            }
            asio::error_code ec;
            std::size_t n = 0;
            outside(*socket, lock, [&] { n = socket->stream->read_some(buffer, ec); });
            if (!took_chunk(socket, ec, n, lock)) {
                return;
            }
        }
        // The turn is over: other sockets' events come first.
        post([this, socket] { read_turn(socket); });
    }

    // The outcome of one read (node mutex held, read turn held): delivers the chunk or the end
    // of the stream. True when the turn goes on; false when it has ended.
    bool took_chunk(const SocketPtr& socket, asio::error_code ec, std::size_t n, NodeLock& lock) {
        if (socket->closed) {
            socket->reading = false;
            return false;
        }
        if (ec == asio::error::would_block || ec == asio::error::try_again) {
            socket->readable = false;
            return true;
        }
        if (socket->removed) {
            // Draining a removed stream: input is dropped until the peer closes.
            if (!ec) {
                socket->readable = os::streams_io_directly() && n == CHUNK_SIZE;
                return true;
            }
            socket->reading = false;
            if (ec == asio::error::eof) {
                socket->peer_eof = true;
                if (socket->shut_down) {
                    close_socket(*socket);
                }
            } else {
                close_socket(*socket);
            }
            return false;
        }
        Endpoint endpoint{socket->id, socket->peer};
        if (ec == asio::error::eof && socket->half_close) {
            // Only the peer's sending has ended: the other direction goes on until the stream is
            // shut down or removed, or the pair stops moving bytes.
            socket->reading = false;
            socket->read_closed = true;
            enter_watch(socket);
            if (!socket->close_timer) {
                socket->close_timer.emplace(io_);
            }
            await_progress(socket);
            lock.unlock();
            deliver(ReadClosed{endpoint}, socket.get());
            return false;
        }
        if (ec) {
            if (ec != asio::error::eof) {
                log_->debug("Connection {} to {} broke: {}", socket->id, socket->peer,
                            ErrorText{ec});
            }
            socket->reading = false;
            drop(*socket);
            lock.unlock();
            deliver(Disconnected{endpoint}, socket.get());
            return false;
        }
        // A full buffer leaves more waiting, most likely.
        socket->readable = os::streams_io_directly() && n == CHUNK_SIZE;
        std::vector<std::uint8_t> chunk;
        if (n >= HANDOVER_MIN) {
            chunk = std::move(socket->read_buffer);
            chunk.resize(n);
            socket->read_buffer.clear();
        } else {
            chunk.assign(socket->read_buffer.begin(),
                         socket->read_buffer.begin() + static_cast<long>(n));
        }
        moved(*socket);
        if (socket->paused || socket->peer_full) {
            socket->held = std::move(chunk);
            socket->reading = false;
            watch_close(socket);
            return false;
        }
        lock.unlock();
        deliver(Data{endpoint, std::move(chunk)}, socket.get());
        lock.lock();
        return true;
    }

    void deliver_held(const SocketPtr& socket) {
        NodeLock lock(*this);
        socket->held_posted = false;
        if (socket->closed || socket->removed || !socket->held || socket->reading) {
            return;
        }
        if (socket->paused || socket->peer_full) {
            watch_close(socket);
            return;
        }
        Data data{{socket->id, socket->peer}, std::move(*socket->held)};
        socket->held.reset();
        unwatch_close(*socket);
        socket->reading = true;
        lock.unlock();
        deliver(std::move(data), socket.get());
        read_turn(socket);
    }

    // Runs `call` (a system call on the socket, or the start of an Asio operation, which may
    // make one) without the node mutex. The socket's handle is not closed while calls on it are
    // under way: a close in the meantime waits for the last of them.
    template <typename Call>
    void outside(Socket& socket, NodeLock& lock, Call&& call) {
        ++socket.in_flight;
        lock.unlock();
        call();
        lock.lock();
        if (--socket.in_flight == 0 && socket.closed) {
            if (socket.close_awaited) {
                released_.notify_all();
            } else {
                release_handles(socket);
            }
        }
    }

    // Waits until no call on a closed listener or UDP socket is under way any more (such as the
    // loop's restart of an accept), then hands its handles over to be closed when `lock` is
    // released: so that whoever removes a listener finds its address free once remove returns.
    // The calls counted are system calls and starts of Asio operations, which never call back
    // into the node or the callback, so the wait is short and never for the waiting thread.
    void await_release(Socket& socket, NodeLock& lock) {
        if (socket.in_flight == 0) {
            return;  // released by the close itself
        }
        socket.close_awaited = true;
        lock.wait(released_, [&] { return socket.in_flight == 0; });
        release_handles(socket);
    }

    // --- the end of a paused stream ---------------------------------------------------------

    // Reading stops for a pause: from now on the peer's end ends the socket, also an end that
    // was seen while it was still being read.
    void watch_close(const SocketPtr& socket) {
        if (socket->watching || socket->reading || socket->closed) {
            return;
        }
        socket->watching = true;
        enter_watch(socket);
        if (socket->peer_closed) {
            post([this, socket] {
                NodeLock lock(*this);
                if (!socket->closed && !socket->removed && socket->watching) {
                    peer_ended(socket, lock);
                }
            });
        }
    }

    static void unwatch_close(Socket& socket) { socket.watching = false; }

    // Hands a stream to the close watch, once per stream: at its first pause (most streams are
    // never paused) or once it has read its peer's FIN (a reset then still ends it). The watch
    // reports an end that came before too.
    void enter_watch(const SocketPtr& socket) {
        if (!close_watch_ || socket->in_watch) {
            return;
        }
        socket->in_watch = true;
        post([this, socket] {
            NodeLock lock(*this);
            if (!socket->closed) {
                outside(*socket, lock,
                        [&] { close_watch_->watch(native(*socket->stream), socket->id); });
            }
        });
    }

    // The peer of a stream that is not being read closed or broke the connection. A broken one
    // and one that the caller paused itself end at once: their unread input would never be
    // taken. One that waits for its coupled peer still hands on its input while that peer takes
    // it, and ends once the peer has made no progress for REMOVE_FLUSH_DEADLINE; so a peer that
    // is slow loses nothing, and one that has stopped reading holds the pair no longer than a
    // removed socket's flush.
    void on_peer_closed(ResourceId id, bool broken) {
        NodeLock lock(*this);
        SocketPtr socket = find(id);
        if (!socket) {
            return;
        }
        socket->peer_closed = true;
        socket->peer_broken = socket->peer_broken || broken;
        if (socket->read_closed) {
            // Its peer's FIN has been read: only a reset ends it now.
            if (broken) {
                log_->debug("Connection {} to {} broke after its peer ended sending", socket->id,
                            socket->peer);
                end_stream(socket, lock);
            }
            return;
        }
        // A socket that is being read learns of the end by reading.
        if (socket->watching) {
            peer_ended(socket, lock);
        }
    }

    void peer_ended(const SocketPtr& socket, NodeLock& lock) {
        if (socket->peer_broken || socket->paused) {
            end_paused(socket, lock);
            return;
        }
        // Waiting for the coupled peer: the stream goes on reading while that peer takes bytes
        // (a half-closing one then reads the FIN in order, after the data before it), and ends
        // only once the pair has moved nothing for the deadline, so a peer that has stopped
        // reading holds a closed client no longer than a removed socket's flush.
        if (socket->close_timer) {
            return;
        }
        socket->close_timer.emplace(io_);
        await_progress(socket);
    }

    void await_progress(const SocketPtr& socket) {
        socket->progress_mark = socket->progress;
        set_timer(socket, &Socket::close_timer, REMOVE_FLUSH_DEADLINE,
                  [this, socket](asio::error_code ec) {
                      if (ec) {
                          return;
                      }
                      NodeLock lock(*this);
                      if (socket->closed || socket->removed) {
                          return;
                      }
                      if (socket->reading || socket->progress != socket->progress_mark) {
                          await_progress(socket);
                          return;
                      }
                      if (socket->read_closed) {
                          log_->debug(
                              "Connection {} to {} made no progress for {} s after its peer "
                              "ended sending",
                              socket->id, socket->peer, REMOVE_FLUSH_DEADLINE.count());
                          end_stream(socket, lock);
                      } else {
                          end_paused(socket, lock);
                      }
                  });
    }

    // Sets one of a socket's timers (node mutex held). Setting and cancelling a timer may reach
    // the system at once inside Asio, so both are done by posted work, without the mutex: on the
    // loop's thread alone, which also runs the timers' handlers, and in the order posted, so a
    // cancel always comes after the setting it undoes.
    template <typename Handler>
    void set_timer(const SocketPtr& socket, std::optional<asio::steady_timer> Socket::*timer,
                   std::chrono::steady_clock::duration delay, Handler handler) {
        post([this, socket, timer, delay, handler] {
            {
                NodeLock lock(*this);
                if (socket->closed) {
                    return;
                }
            }
            asio::steady_timer& t = *((*socket).*timer);
            t.expires_after(delay);
            t.async_wait(handler);
        });
    }

    void end_paused(const SocketPtr& socket, NodeLock& lock) {
        log_->debug("Connection {} to {} ended while its reading was paused", socket->id,
                    socket->peer);
        end_stream(socket, lock);
    }

    // The node ends a stream that is not being read: drops it and says so.
    void end_stream(const SocketPtr& socket, NodeLock& lock) {
        Endpoint endpoint{socket->id, socket->peer};
        drop(*socket);
        lock.unlock();
        deliver(Disconnected{endpoint}, socket.get());
    }

    // A read buffer of CHUNK_SIZE bytes, reused when one is free.
    std::vector<std::uint8_t> take_buffer() {
        if (free_buffers_.empty()) {
            return std::vector<std::uint8_t>(CHUNK_SIZE);
        }
        std::vector<std::uint8_t> buffer = std::move(free_buffers_.back());
        free_buffers_.pop_back();
        buffer.resize(CHUNK_SIZE);
        return buffer;
    }

    // Keeps a written chunk's storage for a later read when it is a read buffer.
    void give_buffer(std::vector<std::uint8_t>&& buffer) {
        if (buffer.capacity() == CHUNK_SIZE && free_buffers_.size() < FREE_BUFFERS_MAX) {
            free_buffers_.push_back(std::move(buffer));
        }
    }

    // --- writing ---------------------------------------------------------------------------

    // Takes the write turn of a stream with bytes queued and runs it on the loop's thread, so
    // that chunks queued meanwhile go out together.
    void start_write(const SocketPtr& socket) {
        if (socket->writing || socket->out.empty() || socket->closed || !socket->established) {
            return;
        }
        socket->writing = true;
        post([this, socket] {
            NodeLock lock(*this);
            write_turn(socket, lock);
        });
    }

    // Writes what is queued (node mutex held, write turn held), up to MAX_WRITE_BUFFERS chunks in
    // one gathered call made without the mutex. Linux writes at once and waits for room only
    // when the system takes nothing more; Windows hands the write to Asio.
    void write_turn(const SocketPtr& socket, NodeLock& lock) {
        if (socket->closed) {
            socket->writing = false;
            return;
        }
        if (socket->out.empty()) {
            queue_written(*socket, lock);
            return;
        }
        std::size_t count = std::min(socket->out.size(), MAX_WRITE_BUFFERS);
        for (std::size_t i = 0; i < count; ++i) {
            socket->write_buffers[i] =
                asio::buffer(socket->out[i]) + (i == 0 ? socket->out_offset : 0);
        }
        const auto gathered = std::span(socket->write_buffers.data(), count);
        if (!os::streams_io_directly()) {
            outside(*socket, lock, [&] {
                socket->stream->async_write_some(
                    gathered, [this, socket](asio::error_code ec, std::size_t n) {
                        on_write(socket, ec, n);
                    });
            });
            return;
        }
        asio::error_code ec;
        std::size_t n = 0;
        outside(*socket, lock, [&] { n = socket->stream->write_some(gathered, ec); });
        if (socket->closed) {
            socket->writing = false;
            return;
        }
        if (ec == asio::error::would_block || ec == asio::error::try_again) {
            outside(*socket, lock, [&] {
                socket->stream->async_wait(tcp::socket::wait_write,
                                           [this, socket](asio::error_code e) {
                                               NodeLock inner(*this);
                                               wrote(socket, e, 0, inner);
                                           });
            });
            return;
        }
        if (ec) {
            // The caller may hold the event lock: the end is reported from the loop.
            post([this, socket, ec] { on_write(socket, ec, 0); });
            return;
        }
        consume(*socket, n);
        if (socket->out.empty()) {
            queue_written(*socket, lock);
            return;
        }
        // The system took less than was offered: go on from the loop, after other events.
        post([this, socket] {
            NodeLock inner(*this);
            write_turn(socket, inner);
        });
    }

    void on_write(const SocketPtr& socket, asio::error_code ec, std::size_t n) {
        NodeLock lock(*this);
        wrote(socket, ec, n, lock);
    }

    // A write finished (node mutex held, write turn held): accounts for it and goes on.
    void wrote(const SocketPtr& socket, asio::error_code ec, std::size_t n, NodeLock& lock) {
        if (socket->closed) {
            socket->writing = false;
            return;
        }
        if (ec) {
            socket->writing = false;
            if (socket->removed) {
                close_socket(*socket);
                return;
            }
            log_->debug("Connection {} to {} broke while writing: {}", socket->id, socket->peer,
                        ErrorText{ec});
            Endpoint endpoint{socket->id, socket->peer};
            drop(*socket);
            lock.unlock();
            deliver(Disconnected{endpoint}, socket.get());
            return;
        }
        consume(*socket, n);
        write_turn(socket, lock);
    }

    // The write turn found the queue written out (node mutex held): gives the turn up, and ends
    // sending where that is due.
    void queue_written(Socket& socket, NodeLock& lock) {
        socket.writing = false;
        if (socket.removed) {
            finish_flush(socket, lock);
        } else if (socket.send_ending && !socket.shut_down) {
            shut_send(socket, lock);
        }
    }

    // Takes `n` written bytes off the front of the queue.
    void consume(Socket& socket, std::size_t n) {
        moved(socket);
        socket.queued -= n;
        while (n > 0) {
            std::size_t rest = socket.out.front().size() - socket.out_offset;
            if (n < rest) {
                socket.out_offset += n;
                break;
            }
            n -= rest;
            give_buffer(std::move(socket.out.front()));
            socket.out.pop_front();
            socket.out_offset = 0;
        }
        queue_changed(socket);
    }

    // A removed stream has written everything: shut down sending; it closes when the peer has
    // closed too, or at the flush deadline.
    void finish_flush(Socket& socket, NodeLock& lock) {
        shut_send(socket, lock);
        if (!socket.closed && socket.peer_eof) {
            close_socket(socket);
        }
    }

    // Shuts down sending on a stream with nothing queued (a FIN to the peer).
    void shut_send(Socket& socket, NodeLock& lock) {
        asio::error_code ignored;
        outside(socket, lock,
                [&] { socket.stream->shutdown(tcp::socket::shutdown_send, ignored); });
        if (!socket.closed) {
            socket.shut_down = true;
        }
    }

    // --- connecting and accepting ----------------------------------------------------------

    void on_connect(const SocketPtr& socket, asio::error_code ec) {
        NodeLock lock(*this);
        socket->connecting = false;
        if (socket->closed) {
            return;
        }
        if (socket->removed) {
            if (ec) {
                close_socket(*socket);
                return;
            }
            socket->established = true;
            start_read(socket);
            start_write(socket);
            return;
        }
        Endpoint endpoint{socket->id, socket->peer};
        if (ec) {
            log_->debug("Connection {} to {} failed: {}", socket->id, socket->peer, ErrorText{ec});
            drop(*socket);
            lock.unlock();
            deliver(Connected{endpoint, false}, socket.get());
            return;
        }
        socket->established = true;
        start_write(socket);
        if (socket->send_ending && !socket->writing && socket->out.empty()) {
            shut_send(*socket, lock);
        }
        update_reading(socket);
        lock.unlock();
        deliver(Connected{endpoint, true}, socket.get());
    }

    void start_accept(const SocketPtr& listener) {
        listener->acceptor->async_accept(listener->accept_peer,
                                         [this, listener](asio::error_code ec, tcp::socket peer) {
                                             on_accept(listener, ec, std::move(peer));
                                         });
    }

    void on_accept(const SocketPtr& listener, asio::error_code ec, tcp::socket peer) {
        // The new socket is nobody else's yet: its options are set without the node mutex.
        const bool usable = !ec && prepare_accepted(peer, listener->accepted_keepalive);
        NodeLock lock(*this);
        if (listener->closed) {
            return;
        }
        if (ec) {
            if (ec == asio::error::operation_aborted) {
                return;
            }
            // Once per episode: while descriptors or memory are short every retry fails again.
            if (!listener->accept_failing) {
                listener->accept_failing = true;
                log_->warn("Listener {} could not accept a connection: {}", listener->id,
                           ErrorText{ec});
            }
            bool transient =
                ec == asio::error::connection_aborted || ec == asio::error::connection_reset;
            set_timer(listener, &Socket::retry_timer,
                      transient ? std::chrono::milliseconds(0) : ACCEPT_RETRY_DELAY,
                      [this, listener](asio::error_code e) {
                          NodeLock inner(*this);
                          if (!e && !listener->closed) {
                              outside(*listener, inner, [&] { start_accept(listener); });
                          }
                      });
            return;
        }
        if (listener->accept_failing) {
            listener->accept_failing = false;
            log_->info("Listener {} accepts connections again", listener->id);
        }
        const SocketAddrV4 remote = from_asio(listener->accept_peer);
        outside(*listener, lock, [&] { start_accept(listener); });
        if (!usable || listener->closed) {
            return;
        }
        auto socket = std::make_shared<Socket>(next_id_++, Kind::TcpStream);
        socket->peer = remote;
        socket->established = true;
        socket->half_close = listener->half_close;
        socket->stream.emplace(std::move(peer));
        sockets_.emplace(socket->id, socket);
        update_reading(socket);
        Accepted accepted{{socket->id, socket->peer}, listener->id};
        lock.unlock();
        if (!deliver(std::move(accepted), listener.get())) {
            // Nobody learnt of this connection: it must not linger.
            NodeLock inner(*this);
            if (!socket->closed && !socket->removed) {
                close_socket(*socket);
            }
        }
    }

    // Sets the options of an accepted socket; false when it cannot be used.
    bool prepare_accepted(tcp::socket& peer, const std::optional<KeepAlive>& keepalive) {
        asio::error_code ec;
        if (!os::accepted_inherit_options()) {
            peer.set_option(tcp::no_delay(true), ec);
            if (ec) {
                log_->warn("Could not disable delayed sending on an accepted connection: {}",
                           ErrorText{ec});
            }
        }
        if (keepalive && !os::accepted_inherit_options()) {
            if (auto r = os::set_keepalive(native(peer), *keepalive); !r) {
                log_->warn("Could not set keep-alive on an accepted connection: {}",
                           r.error().message());
            }
        }
        if (os::streams_io_directly()) {
            peer.non_blocking(true, ec);
            if (ec) {
                log_->warn("Could not accept a connection without blocking: {}", ErrorText{ec});
                return false;
            }
        }
        return true;
    }

    // --- UDP -------------------------------------------------------------------------------

    void start_receive(const SocketPtr& socket, UdpPort* port) {
        port->socket.async_receive_from(asio::buffer(port->buffer), port->sender,
                                        [this, socket, port](asio::error_code ec, std::size_t n) {
                                            on_receive(socket, port, ec, n);
                                        });
    }

    void on_receive(const SocketPtr& socket, UdpPort* port, asio::error_code ec, std::size_t n) {
        NodeLock lock(*this);
        if (socket->closed || socket->removed) {
            return;
        }
        if (ec) {
            // ICMP errors for earlier datagrams (Windows) and oversized datagrams concern one
            // datagram only; anything else ends receiving on this socket.
            if (ec == asio::error::connection_reset || ec == asio::error::connection_refused ||
                ec == asio::error::message_size || ec == asio::error::network_unreachable ||
                ec == asio::error::host_unreachable) {
                outside(*socket, lock, [&] { start_receive(socket, port); });
            } else if (ec != asio::error::operation_aborted) {
                log_->error("UDP socket {} on {} stopped receiving: {}", socket->id, socket->peer,
                            ErrorText{ec});
            }
            return;
        }
        Data data{{socket->id, from_asio(port->sender)},
                  std::vector<std::uint8_t>(port->buffer.begin(),
                                            port->buffer.begin() + static_cast<long>(n))};
        outside(*socket, lock, [&] { start_receive(socket, port); });
        lock.unlock();
        deliver(std::move(data), socket.get());
    }

    void start_send_datagram(const SocketPtr& socket, NodeLock& lock) {
        if (socket->writing || socket->out.empty() || socket->closed) {
            return;
        }
        socket->writing = true;
        outside(*socket, lock, [&] {
            socket->udp_ports.front()->socket.async_send_to(
                asio::buffer(socket->out.front()), socket->out_destinations.front(),
                [this, socket](asio::error_code ec, std::size_t) { on_datagram_sent(socket, ec); });
        });
    }

    void on_datagram_sent(const SocketPtr& socket, asio::error_code ec) {
        NodeLock lock(*this);
        socket->writing = false;
        if (socket->closed) {
            return;
        }
        if (ec) {
            log_->debug("Datagram of {} bytes from {} to {} not sent: {}",
                        socket->out.front().size(), socket->peer,
                        from_asio(socket->out_destinations.front()), ErrorText{ec});
        }
        socket->queued -= socket->out.front().size();
        socket->out.pop_front();
        socket->out_destinations.pop_front();
        start_send_datagram(socket, lock);
    }

    // Destroyed last: the sockets above and the handlers inside refer to it.
    asio::io_context io_;
    std::shared_ptr<spdlog::logger> log_;
    // Null when the system would not give one: paused streams then learn of a close on resuming.
    std::unique_ptr<os::CloseWatch> close_watch_;

    std::atomic<bool> running_{true};

    std::mutex event_mutex_;
    const std::function<void(Event&&)>* callback_ = nullptr;
    std::atomic<int> signals_waiting_{0};  // signals waiting for the event lock

    std::mutex signal_mutex_;
    std::condition_variable signal_cv_;
    std::deque<SignalId> immediate_;
    std::priority_queue<TimedSignal, std::vector<TimedSignal>, std::greater<>> timed_;
    std::uint64_t timed_sequence_ = 0;

    mutable std::mutex mutex_;
    // Signalled when the last call on a closed socket whose remove waits is back.
    std::condition_variable released_;
    // Signalled when a creating call is about to return a new socket's id.
    std::condition_variable created_;
    // Handles of closed sockets and work for the loop, closed and posted when the node mutex is
    // next released (see NodeLock).
    std::vector<ClosedHandles> closed_handles_;
    std::vector<std::function<void()>> posts_;
    std::unordered_map<ResourceId, SocketPtr> sockets_;
    std::vector<std::vector<std::uint8_t>> free_buffers_;
    ResourceId next_id_ = 1;
};

// --- NodeHandler ---------------------------------------------------------------------------

void NodeHandler::signal(SignalId id) {
    core_->signal(id);
}

void NodeHandler::signal_after(SignalId id, std::chrono::steady_clock::duration delay) {
    core_->signal_after(id, delay);
}

void NodeHandler::stop() {
    core_->stop();
}

bool NodeHandler::is_running() const {
    return core_->is_running();
}

Result<ResourceId> NodeHandler::tcp_listen(SocketAddrV4 addr, const TcpListenOptions& options) {
    return core_->tcp_listen(addr, options);
}

Result<Endpoint> NodeHandler::tcp_connect(SocketAddrV4 remote, const TcpConnectOptions& options) {
    return core_->tcp_connect(remote, options);
}

Result<ResourceId> NodeHandler::udp_listen(SocketAddrV4 addr) {
    return core_->udp_listen(addr);
}

bool NodeHandler::send(const Endpoint& endpoint, std::span<const std::uint8_t> bytes) {
    return core_->send(endpoint, bytes);
}

bool NodeHandler::send(const Endpoint& endpoint, std::vector<std::uint8_t>&& bytes) {
    return core_->send(endpoint, std::move(bytes));
}

Readiness NodeHandler::is_ready(ResourceId id) const {
    return core_->is_ready(id);
}

bool NodeHandler::remove(ResourceId id) {
    return core_->remove(id);
}

bool NodeHandler::shutdown_send(ResourceId id) {
    return core_->shutdown_send(id);
}

void NodeHandler::pause_reading(ResourceId id) {
    core_->pause_reading(id);
}

void NodeHandler::resume_reading(ResourceId id) {
    core_->resume_reading(id);
}

void NodeHandler::couple(ResourceId a, ResourceId b, std::size_t bound) {
    core_->couple(a, b, bound);
}

std::size_t NodeHandler::queued_bytes(ResourceId id) const {
    return core_->queued_bytes(id);
}

std::optional<SocketAddrV4> NodeHandler::local_address(ResourceId id) const {
    return core_->local_address(id);
}

// --- NodeListener --------------------------------------------------------------------------

NodeListener::~NodeListener() = default;

void NodeListener::run(const std::function<void(Event&&)>& callback) {
    if (core_) {
        core_->run(callback);
    }
}

Result<Node> create() {
    os::tune_allocator();
    os::raise_descriptor_limit();
    std::shared_ptr<NodeCore> core;
    try {
        core = std::make_shared<NodeCore>();
    } catch (const std::exception& e) {
        return fail(fmt::format("Could not create the event node: {}", e.what()));
    }
    Node node;
    node.handler = std::make_shared<NodeHandler>(core);
    node.listener = std::make_unique<NodeListener>(core);
    return node;
}

}  // namespace tessaro::node
