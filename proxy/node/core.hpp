// The event node's core on standalone Asio: NodeCore, the socket objects and their helpers,
// shared by the node's files, each of which defines the member functions of one concern.
//
// Threads and locks:
// - The thread that calls NodeListener::run drives the io_context (run_for, at most 50 ms at a
//   time); every completion handler runs there. "node-network-thread" waits for due signals.
// - `mutex_` (the node mutex) guards the socket table and every socket object and its state. A
//   completion handler builds its event under it and releases it before delivering, so a callback
//   may call back into the node. No system call on a socket is made under it: each goes through
//   `outside` (the guard Unlocked), which counts it in the socket's `in_flight`, so that a close
//   meanwhile leaves the handle and the buffers alone until the last call is back, and says on
//   return whether the socket was closed. Every such call, by whom:
//   - reads and the start of a wait for input: the holder of the stream's read turn
//     (`Receiving::Turn`, the loop's thread);
//   - writes and the start of an Asio write: the holder of its write turn (`writing`: the loop's
//     thread, or the sender of a small answer);
//   - shut_send: whoever ends sending (a caller's shutdown_send or remove, a writer or the loop
//     once the queue is written);
//   - local_address: any caller;
//   - the start of an accept: tcp_listen's caller, then the loop (after each accept and after
//     the retry's pause);
//   - the start of a connect: tcp_connect's caller;
//   - the starts of a UDP receive (udp_listen's caller, then the loop) and of a datagram send
//     (the sender, then the loop);
//   - the close watch's registrations (watch, and watch_reset after a reported close) and the
//     stall deadline's look at the system's send queues: the loop's thread.
//   A new socket is opened and set up before it enters the table, and a closed one's handles
//   are closed once the mutex has been released (NodeLock), so neither is done under it either;
//   work for the loop is handed over then too when it comes from another thread, since posting
//   from there wakes the loop with a system call; the loop's thread posts at once (post). The
//   settings of a socket's timers are made by posted work (set_timer, watch_stall).
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
// A removed stream drains: it stays in the table, invisible to callers, until it has written its
// queue, shut down sending and seen the peer close, or its stall deadline has passed. A
// half-closing stream whose peer has ended sending stays, still sending, as long as an open one
// would: until it is removed or breaks, or bytes queued on it stop moving for the stall deadline.
//
// What a stream does next and whether its stall deadline runs follow from its state alone: every
// change of what they depend on is followed by the one settling step (settle, settle.cpp), and
// the read turn's holder takes each step turn_step gives.

#pragma once

#include <array>
#include <cassert>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <queue>
#include <system_error>
#include <thread>
#include <tuple>
#include <unordered_map>

#include <asio.hpp>
#include <fmt/format.h>

#include "common/log.hpp"
#include "common/os/system_error.hpp"
#include "proxy/node/socket_options.hpp"
#include "proxy/node/node.hpp"

namespace tessaro::node {

using asio::ip::tcp;
using asio::ip::udp;

// Largest chunk of a stream delivered at once; also the datagram buffer (a UDP payload is
// smaller).
constexpr std::size_t CHUNK_SIZE = 64 * 1024;
// Chunks one read of a coupled stream fills at the most (one system call for up to 256 KiB), as
// far as its coupled peer's queue has room for them below the bound; an uncoupled stream reads
// one chunk at a time.
constexpr std::size_t READ_CHUNKS_MAX = 4;
// Windows: the small read that waits for input, the only buffer an idle stream holds there.
constexpr std::size_t WAIT_READ_SIZE = 1024;
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
// Where a write completes only once all of it has been taken (Windows' overlapped writes), the
// bytes one write carries: so that a slow peer that takes 10 KiB a second still completes a
// write well within the stall deadline, and a moving stream never looks stalled.
constexpr std::size_t WHOLE_WRITE_MAX = 32 * 1024;
// How often an armed stall deadline looks at what the system's buffers still hold: bytes a peer
// takes from them count as moved at the next look, so a stream ends at most this much later
// than STALL_DEADLINE after its last byte moved, and a stream whose peer is reading never ends.
constexpr std::chrono::seconds STALL_LOOK{1};
// Reads of one stream in a row before the other sockets' events have their turn.
constexpr int READS_PER_TURN = 16;
// A send of at most this many bytes to a stream that is not writing, from a thread other than
// the loop's, is written by the sender at once: an answer leaves without waiting for the loop.
// Larger ones are queued for the loop. The loop's thread itself writes every send at once (after
// the chunks of the read it delivers), as a minimal relay does: send, then read again.
constexpr std::size_t DIRECT_SEND_MAX = 16 * 1024;
// Pause before accepting again after an accept failed for want of resources (descriptors,
// memory), so that a listener does not spin while the shortage lasts.
constexpr std::chrono::milliseconds ACCEPT_RETRY_DELAY{100};

inline asio::ip::address_v4 to_asio(Ipv4Addr address) {
    return asio::ip::address_v4(address.to_u32());
}

template <typename Endpoint>
inline SocketAddrV4 from_asio(const Endpoint& endpoint) {
    SocketAddrV4 result;
    if (endpoint.address().is_v4()) {
        result.ip = Ipv4Addr::from_u32(endpoint.address().to_v4().to_uint());
    }
    result.port = endpoint.port();
    return result;
}

inline tcp::endpoint tcp_endpoint(SocketAddrV4 address) {
    return {to_asio(address.ip), address.port};
}
inline udp::endpoint udp_endpoint(SocketAddrV4 address) {
    return {to_asio(address.ip), address.port};
}

// The system's text with its code, as the rest of the program writes system errors.
inline std::string error_text(const asio::error_code& ec) {
    if (ec.category() == asio::system_category()) {
        return tessaro::os::system_error_text(static_cast<std::uint32_t>(ec.value()));
    }
    return fmt::format("{} (os error {})", ec.message(), ec.value());
}

// An error code as a log argument: its text is looked up only when the line is written.
struct ErrorText {
    asio::error_code ec;
};

}  // namespace tessaro::node

template <>
struct fmt::formatter<tessaro::node::ErrorText> {
    constexpr auto parse(fmt::format_parse_context& ctx) { return ctx.begin(); }
    auto format(const tessaro::node::ErrorText& error, fmt::format_context& ctx) const {
        return fmt::format_to(ctx.out(), "{}", tessaro::node::error_text(error.ec));
    }
};

namespace tessaro::node {

inline std::vector<std::uint8_t> owned(std::span<const std::uint8_t> bytes) {
    return {bytes.begin(), bytes.end()};
}
inline std::vector<std::uint8_t> owned(std::vector<std::uint8_t>&& bytes) {
    return std::move(bytes);
}

template <typename Socket>
inline os::NativeSocket native(Socket& socket) {
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
inline void close_bound(Socket& socket) {
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
    bool established = false;
    // Streams: the peer's FIN ends reading only (ReadClosed); listeners: so for accepted ones.
    bool half_close = false;

    // The first port sends; on Linux a second one may receive the adapter's broadcasts.
    std::vector<std::unique_ptr<UdpPort>> udp_ports;

    bool removed = false;  // remove() was called: no further events
    bool closed = false;   // closed and out of the table
    // Streams: the sending side. Open; Ending once shutdown_send was called (the queue is
    // written first); Ended once sending was shut down (a FIN sent), after shutdown_send or by
    // the flush of a removed stream. It moves only forward, through set_sending.
    enum class Sending { Open, Ending, Ended };
    Sending sending = Sending::Open;
    void set_sending(Sending next) {
        // Ended may come again: a removed stream's flush shuts down sending also where
        // shutdown_send already has.
        assert(next > sending || next == Sending::Ended);
        sending = next;
    }
    // System calls on the socket under way without the node mutex; its handles are closed and
    // its buffers freed only when none is.
    int in_flight = 0;
    // remove() waits for the last of them, to close the handles itself before it returns.
    bool close_awaited = false;
    // Its creating call has not returned its id yet: its events wait for it.
    bool creating = false;

    // Streams: the receiving side, moved only through set_receiving, which checks each step.
    // - Idle: nothing under way: a stream not established yet, or one closed during its turn.
    // - Armed: a wait for input is under way in Asio and nothing else reads: where the system
    //   tells readiness (Linux) a wait that holds no buffer, elsewhere a read into the small
    //   `wait_buffer`. Its completion takes the turn.
    // - Turn: the read turn is taken, on the loop's thread: reads straight into pooled chunks
    //   and delivers them. Its holder alone reads and touches `held`.
    // - Waiting: reading is held back (paused, or the coupled peer is full) and no read is under
    //   way: the peer's end, as the close watch reports it, ends the stream or arms the stall
    //   deadline.
    // - Ended: the peer's FIN was read, in order after all its data: by a half-closing stream
    //   (ReadClosed delivered; sending goes on) or by a draining stream.
    // Ended is final. A close leaves the state as it is: `closed` says the rest.
    enum class Receiving { Idle, Armed, Turn, Waiting, Ended };
    Receiving receiving = Receiving::Idle;
    void set_receiving(Receiving next) {
        assert(receiving_step_allowed(receiving, next));
        receiving = next;
    }
    static constexpr bool receiving_step_allowed(Receiving from, Receiving to) {
        switch (from) {
            case Receiving::Idle:
                return to == Receiving::Turn || to == Receiving::Waiting;
            case Receiving::Armed:
                return to == Receiving::Turn || to == Receiving::Idle;
            case Receiving::Turn:
                return to == Receiving::Idle || to == Receiving::Armed ||
                       to == Receiving::Waiting || to == Receiving::Ended;
            case Receiving::Waiting:
                return to == Receiving::Turn;
            case Receiving::Ended:
                return false;
        }
        return false;
    }
    bool in_turn() const { return receiving == Receiving::Turn; }
    // A removed stream drains: it writes its queue, shuts down sending and reads (dropping the
    // input) until the peer's FIN, then closes; no event of it is delivered any more.
    bool draining() const { return removed && kind == Kind::TcpStream; }

    // What holds reading back, beside the state. The caller's pause and the coupling's
    // backpressure are two flags because two parties set and clear them independently (either
    // holds reading back while it lasts), and because they end a stream differently once its
    // peer has closed: a caller's pause at once (or, for a half-closing stream, not at all: its
    // FIN is read in order once the caller resumes), since the caller decides; a full coupled
    // peer only when the stall deadline passes.
    bool paused = false;     // pause_reading
    bool peer_full = false;  // the coupled peer's queue is above the bound
    // Chunks read but not delivered, because reading was held back in the middle of one read;
    // the next turn delivers them first. Empty nearly always, so a vector: an empty one costs no
    // allocation.
    std::vector<std::vector<std::uint8_t>> held;
    // The end of input a read saw behind bytes it delivered while reading became held back (or,
    // on Windows, that the small wait read saw): delivered, after `held`, by the next turn.
    std::optional<asio::error_code> held_end;
    // Windows: the buffer of the small read that waits for input (see Armed), and how many bytes
    // it took that the next read has not delivered yet; empty elsewhere.
    std::vector<std::uint8_t> wait_buffer;
    std::size_t wait_filled = 0;

    // What the close watch reported of the peer, only ever worse: nothing yet, an ordered close
    // (its FIN), or a broken connection (a reset or an error).
    enum class PeerEnd { Unseen, Closed, Broken };
    PeerEnd peer_end = PeerEnd::Unseen;
    // Whether the peer has ended its sending, as far as the node knows: its FIN was read (or a
    // read saw the end behind bytes still held), or the close watch saw the peer close or break.
    bool peer_done_sending() const {
        return receiving == Receiving::Ended || peer_end != PeerEnd::Unseen || held_end.has_value();
    }
    // Whether the connection is known to be broken: a reset or error, seen by the close watch or
    // by a read behind bytes still held.
    bool peer_broken() const {
        return peer_end == PeerEnd::Broken || (held_end && *held_end != asio::error::eof);
    }
    // Handed to the close watch (at its first pause, or once Ended), which keeps it until it
    // closes: a registration made once per stream, not a state of reading.
    bool in_watch = false;

    // The stall deadline: armed while bytes of the stream wait and cannot go on by themselves
    // (see NodeCore::stall_due); it looks at the stream every STALL_LOOK and ends it once
    // STALL_DEADLINE has passed since the later of its arming and the last byte moved by the
    // stream or its coupled peer; what then happens, one table decides (NodeCore::stalled).
    std::optional<asio::steady_timer> stall_timer;
    bool stall_armed = false;
    std::chrono::steady_clock::time_point stall_since;
    std::chrono::steady_clock::time_point last_moved;
    // What the system held unsent or unacknowledged on the stream and its coupled peer at the
    // deadline's last look (or its arming, which comes first): a change since then means the
    // peer took bytes from the system's buffers, which is moving too.
    std::array<std::size_t, 2> stall_probe{};

    std::deque<std::vector<std::uint8_t>> out;
    std::deque<udp::endpoint> out_destinations;  // UDP: one per datagram in `out`
    std::size_t out_offset = 0;                  // bytes of out.front() already written
    std::size_t queued = 0;
    // The write turn: its holder alone writes. A flag beside `sending`, not a state of it: a
    // write is under way in every sending state (the queue goes out before the FIN, and a
    // draining stream flushes its queue), while on the receiving side a read excludes waiting and
    // ending, which is why there the turn is one of the states.
    bool writing = false;
    // The buffers of the gathered write under way, held by the write turn: a pending operation
    // keeps the sequence it was given until it completes.
    std::array<asio::const_buffer, MAX_WRITE_BUFFERS> write_buffers;

    ResourceId coupled = 0;
    std::size_t bound = 0;
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

class NodeCore {
    // The node mutex. Handles closed while it is held are closed for real, and work for the loop
    // is handed to it, only once it has been released, so that neither a close (with its
    // deregistration from the poller) nor the loop's wake-up is made under it.
    class NodeLock {
      public:
        explicit NodeLock(NodeCore& core) : core_(core), lock_(core.mutex_) { core_.took_mutex(); }
        NodeLock(const NodeLock&) = delete;
        NodeLock& operator=(const NodeLock&) = delete;
        ~NodeLock() {
            if (lock_.owns_lock()) {
                unlock();
            }
        }

        void lock() {
            lock_.lock();
            core_.took_mutex();
        }
        // Waits on `cv` with the mutex released meanwhile; work handed over before stays
        // pending until this or another lock is released.
        template <typename Pred>
        void wait(std::condition_variable& cv, Pred pred) {
            core_.leaving_mutex();
            cv.wait(lock_, pred);
            core_.took_mutex();
        }
        void unlock() {
            if (core_.closed_handles_.empty() && core_.posts_.empty()) {
                core_.leaving_mutex();
                lock_.unlock();
                return;
            }
            std::vector<ClosedHandles> closed;
            closed.swap(core_.closed_handles_);
            std::vector<std::function<void()>> posts;
            posts.swap(core_.posts_);
            core_.leaving_mutex();
            lock_.unlock();
            for (auto& work : posts) {
                asio::post(core_.io_, std::move(work));
            }
        }

      private:
        NodeCore& core_;
        std::unique_lock<std::mutex> lock_;
    };

    // Hands `work` to the loop: from the loop's own thread at once (Asio queues it there without
    // a lock or a wake-up), from any other once the node mutex is released.
    template <typename Work>
    void post(Work&& work) {
        if (on_loop_thread()) {
            asio::post(io_, std::forward<Work>(work));
        } else {
            posts_.emplace_back(std::forward<Work>(work));
        }
    }
    bool on_loop_thread() const {
        return loop_thread_.load(std::memory_order_relaxed) == std::this_thread::get_id();
    }

    SocketPtr find(ResourceId id) const {
        auto it = sockets_.find(id);
        if (it == sockets_.end() || it->second->removed) {
            return nullptr;
        }
        return it->second;
    }

    // Debug builds check which thread holds the node mutex and that completion handlers run on
    // the loop's thread; release builds compile the checks out.
#ifndef NDEBUG
    void took_mutex() {
        mutex_owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    }
    void leaving_mutex() {
        assert_locked();
        mutex_owner_.store(std::thread::id{}, std::memory_order_relaxed);
    }
    void assert_locked() const {
        assert(mutex_owner_.load(std::memory_order_relaxed) == std::this_thread::get_id());
    }
    void assert_loop_thread() const {
        assert(loop_thread_.load(std::memory_order_relaxed) == std::this_thread::get_id());
    }
#else
    void took_mutex() {}
    void leaving_mutex() {}
    void assert_locked() const {}
    void assert_loop_thread() const {}
#endif

    // A call on a socket made without the node mutex (a system call, or the start of an Asio
    // operation, which may make one): counts it in the socket's `in_flight` and releases the
    // mutex; reacquire() (or the destructor) re-takes it and, once the last such call is back,
    // hands a socket closed meanwhile over for closing. The socket's handle is not closed while
    // calls on it are under way: a close in the meantime waits for the last of them. closed()
    // tells whether that close came, which whoever goes on with the socket must know.
    class Unlocked {
      public:
        Unlocked(NodeCore& core, Socket& socket, NodeLock& lock)
            : core_(core), socket_(socket), lock_(lock) {
            core_.assert_locked();
            ++socket_.in_flight;
            lock_.unlock();
        }
        Unlocked(const Unlocked&) = delete;
        Unlocked& operator=(const Unlocked&) = delete;
        ~Unlocked() { reacquire(); }

        void reacquire() {
            if (held_) {
                return;
            }
            held_ = true;
            lock_.lock();
            if (--socket_.in_flight == 0 && socket_.closed) {
                if (socket_.close_awaited) {
                    core_.released_.notify_all();
                } else {
                    core_.release_handles(socket_);
                }
            }
        }
        // Re-takes the mutex if need be; true when the socket was closed meanwhile.
        [[nodiscard]] bool closed() {
            reacquire();
            return socket_.closed;
        }

      private:
        NodeCore& core_;
        Socket& socket_;
        NodeLock& lock_;
        bool held_ = false;
    };

    // Runs `call` on the socket without the node mutex (see Unlocked); true when the socket was
    // closed meanwhile.
    template <typename Call>
    [[nodiscard]] bool outside(Socket& socket, NodeLock& lock, Call&& call) {
        Unlocked unlocked(*this, socket, lock);
        call();
        return unlocked.closed();
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

    bool is_running() const {
        return running_.load();
    }

    // --- signals, delivery and the loop (signals.cpp) --------------------------------------
    void signal(SignalId id);
    void signal_after(SignalId id, std::chrono::steady_clock::duration delay);
    void stop();
    void run(const std::function<void(Event&&)>& callback);

    // --- the socket table (core.cpp) -------------------------------------------------------
    Readiness is_ready(ResourceId id);
    bool remove(ResourceId id);
    void couple(ResourceId a, ResourceId b, std::size_t bound);
    std::size_t queued_bytes(ResourceId id);
    std::optional<SocketAddrV4> local_address(ResourceId id);

    // --- listeners, accepting and connecting (accept.cpp) ----------------------------------
    // The new socket is set up without the node mutex: until it enters the table it is nobody
    // else's, and a failure closes it there too.
    Result<ResourceId> tcp_listen(SocketAddrV4 addr, const TcpListenOptions& options);
    Result<Endpoint> tcp_connect(SocketAddrV4 remote, const TcpConnectOptions& options);

    // --- reading a stream (read.cpp) -------------------------------------------------------
    void pause_reading(ResourceId id);
    void resume_reading(ResourceId id);

    // --- writing a stream (write.cpp) ------------------------------------------------------
    // `bytes` is a span (copied into the queue) or a vector (moved into it).
    template <typename Bytes>
    bool send(const Endpoint& endpoint, Bytes&& bytes);
    bool shutdown_send(ResourceId id);

    // --- UDP (udp.cpp) ---------------------------------------------------------------------
    Result<ResourceId> udp_listen(SocketAddrV4 addr);

  private:
    // --- signals, delivery and the loop (signals.cpp) --------------------------------------
    // Delivers under the event lock while the node runs and, for a socket's event, while the
    // socket has not been removed. Returns whether the callback saw the event.
    bool deliver(Event&& event, const Socket* socket);
    void signal_loop();

    // --- the socket table (core.cpp) -------------------------------------------------------
    // The call that made a socket is about to return its id: the socket's events may follow.
    void created(Socket& socket);
    void close_handles(Socket& socket);
    // Hands the handles of a closed socket over to be closed once the node mutex is released,
    // and frees its buffers, once no call on it is under way. Buffers that a pending operation
    // may still use (a read under way, Windows' overlapped writes) stay with the socket object
    // until its last completion handler has let go of it.
    void release_handles(Socket& socket);
    void close_socket(Socket& socket);
    // The node drops a broken or closed connection itself; its peer's reading no longer waits
    // for it.
    void drop(Socket& socket);
    void uncouple(Socket& socket);
    // Called whenever a stream's queue grew or shrank: pauses or resumes its coupled reader.
    void queue_changed(Socket& socket);
    // The coupled peer of a stream in the table, or null.
    Socket* coupled_peer(const Socket& socket) const;
    // Waits until no call on a closed listener or UDP socket is under way any more (such as the
    // loop's restart of an accept), then hands its handles over to be closed when `lock` is
    // released: so that whoever removes a listener finds its address free once remove returns.
    // The calls counted are system calls and starts of Asio operations, which never call back
    // into the node or the callback, so the wait is short and never for the waiting thread.
    void await_release(Socket& socket, NodeLock& lock);

    // --- listeners, accepting and connecting (accept.cpp) ----------------------------------
    void on_connect(const SocketPtr& socket, asio::error_code ec);
    void start_accept(const SocketPtr& listener);
    void on_accept(const SocketPtr& listener, asio::error_code ec, tcp::socket peer);
    // What every stream needs before it enters the table (the small wait read's buffer where
    // input is learnt of by reading).
    static void prepare_stream(Socket& socket);
    // Sets the options of an accepted socket; false when it cannot be used.
    bool prepare_accepted(tcp::socket& peer, const std::optional<KeepAlive>& keepalive);

    // --- the settling step (settle.cpp) ----------------------------------------------------
    // What a stream that holds neither the read turn nor a wait for input does next, from its
    // state alone.
    enum class Next {
        Nothing,  // not readable yet, or its turn or wait decides, or its input ended in order
        Read,     // Idle or Waiting -> Turn
        Hold,     // held back: Idle -> Waiting, or stays Waiting
        End,      // its input will never be taken, or it broke: the node ends it
    };
    static Next next_step(const Socket& socket);
    // What the holder of the read turn does next.
    enum class TurnStep {
        Stop,         // closed meanwhile: Turn -> Idle
        Hold,         // held back: Turn -> Waiting
        DeliverHeld,  // chunks held from an earlier read go first
        EndInput,     // the end read behind them follows
        Arm,          // the system has no more just now: Turn -> Armed
        Read,         // read again
    };
    static TurnStep turn_step(const Socket& socket, bool system_empty);
    // A draining stream is never held back: it reads to drop its input.
    static bool held_back(const Socket& socket) {
        return !socket.draining() && (socket.paused || socket.peer_full);
    }
    // The one settling step, called (node mutex held, any thread) after anything changes what a
    // stream's reading or stall deadline depends on: takes the step next_step decides, hands the
    // stream to the close watch where it needs one, and arms the stall deadline of the stream
    // and of its coupled peer where stall_due says so. Cheap when nothing is due.
    void settle(const SocketPtr& socket);
    // next_step said End: the end is delivered from the loop, where no caller holds the event
    // lock, once next_step still says so there.
    void end_when_settled(const SocketPtr& socket);

    // --- reading a stream (read.cpp) -------------------------------------------------------
    // Takes the read turn of a stream and runs it on the loop's thread.
    void start_read(const SocketPtr& socket);
    // One turn of reading a stream (the read turn held, node mutex held), each step chosen by
    // turn_step: the chunks held from before first, then up to READS_PER_TURN reads straight
    // into pooled chunks, each chunk delivered in order; the writes the deliveries asked for go
    // out after each read. `system_empty`: the last read found nothing more.
    void read_turn(const SocketPtr& socket, NodeLock& lock, bool system_empty);
    // Turn -> Armed: waits for input (see Socket::Receiving).
    void arm_read(const SocketPtr& socket, NodeLock& lock);
    // The wait for input ended (Armed -> Turn): goes on with the turn.
    void on_input(const SocketPtr& socket, asio::error_code ec, std::size_t n);
    // One read straight into pooled chunks, made without the node mutex. Delivers its chunks
    // (or drops them while draining) and keeps an end it saw in `held_end`, behind them; true
    // when the read filled every chunk, so that more may wait in the system.
    bool read_chunks(const SocketPtr& socket, NodeLock& lock);
    // Delivers the chunks of one read in order; those left when reading is held back in between
    // stay held for the next turn, and so do all once the stream is closed.
    void deliver_chunks(const SocketPtr& socket, NodeLock& lock,
                        std::span<std::vector<std::uint8_t>> chunks);
    // The stream's input ended: the peer's FIN, a reset or an error (read turn held); ends the
    // turn.
    void input_ended(const SocketPtr& socket, asio::error_code ec, NodeLock& lock);
    // The turn's holder delivers an event of the stream with the node mutex released meanwhile,
    // so that the callback may call back into the node (even remove the stream), and re-takes
    // it; the turn's next step sees whether the stream was closed meanwhile.
    void deliver_in_turn(const SocketPtr& socket, NodeLock& lock, Event&& event);
    // Hands a stream to the close watch, once per stream: at its first hold (most streams are
    // never held back) or once it has read its peer's FIN (a reset then still ends it). The
    // watch reports an end that came before too.
    void enter_watch(const SocketPtr& socket);
    // The peer of a stream closed or broke the connection, as the close watch saw it.
    void on_peer_closed(ResourceId id, bool broken);
    // The node ends a stream whose input will not be taken or that broke (next_step's End):
    // drops it and says so.
    void end_held(const SocketPtr& socket, NodeLock& lock);
    // The node ends a stream that is not being read: drops it and delivers Disconnected. Returns
    // with the node mutex released.
    void end_stream(const SocketPtr& socket, NodeLock& lock);
    // Chunk buffers of CHUNK_SIZE bytes, reused when free; a chunk's storage comes back once
    // its bytes have been written or copied out.
    std::vector<std::uint8_t> take_buffer();
    void give_buffer(std::vector<std::uint8_t>&& buffer);

    // --- the stall deadline (stall.cpp) ----------------------------------------------------
    // Whether bytes of the stream wait and cannot go on by themselves: it is draining, or one end
    // of its pair (its own peer, or its coupled peer's) has ended sending, and bytes are queued
    // towards its peer or lie unread behind a full coupled peer. Idle time is no stall: nothing
    // waiting, no deadline.
    bool stall_due(const Socket& socket) const;
    // Held back by a full coupled peer (and not by the caller), with no read under way.
    static bool unread_behind_full_peer(const Socket& socket);
    // Arms the deadline where it is due and not armed yet (settle calls it).
    void watch_stall(Socket& stream);
    // Looks at the stream after `delay`.
    void look_after(const SocketPtr& socket, std::chrono::steady_clock::duration delay);
    void on_stall(const SocketPtr& socket, asio::error_code ec);
    // Bytes moved on a stream (read or written): progress for it and for its coupled peer.
    void moved(Socket& socket);
    // The deadline passed without a byte moving: one table decides what ends.
    void stalled(const SocketPtr& socket, NodeLock& lock);
    // What the system holds unsent on the stream and its coupled peer (node mutex held; the
    // system calls are made without it).
    std::array<std::size_t, 2> probe_unsent(Socket& socket, NodeLock& lock);

    // --- writing a stream (write.cpp) ------------------------------------------------------
    // Takes the write turn of a stream with bytes queued and runs it on the loop's thread.
    void start_write(const SocketPtr& socket);
    // Writes what is queued (node mutex held, write turn held), up to MAX_WRITE_BUFFERS chunks in
    // one gathered call made without the mutex. Linux writes at once and hands what the system
    // did not take to Asio; Windows hands the write to Asio (WHOLE_WRITE_MAX at a time).
    void write_turn(const SocketPtr& socket, NodeLock& lock);
    // The queue's front as the buffers of one gathered write, held in the socket (write turn
    // held): up to MAX_WRITE_BUFFERS chunks, WHOLE_WRITE_MAX bytes where a write completes only
    // once all of it is taken.
    static std::span<const asio::const_buffer> gather(Socket& socket);
    // Starts an Asio write of the queue's front (write turn held).
    void write_async(const SocketPtr& socket, NodeLock& lock);
    void on_write(const SocketPtr& socket, asio::error_code ec, std::size_t n);
    // A write finished (node mutex held, write turn held): accounts for it and goes on.
    void wrote(const SocketPtr& socket, asio::error_code ec, std::size_t n, NodeLock& lock);
    // The write turn found the queue written out (node mutex held): gives the turn up, and ends
    // sending where that is due.
    void queue_written(Socket& socket, NodeLock& lock);
    // Takes `n` written bytes off the front of the queue.
    void consume(Socket& socket, std::size_t n);
    // A draining stream has written everything: shut down sending; it closes when the peer has
    // closed too, or at the stall deadline.
    void finish_flush(Socket& socket, NodeLock& lock);
    // Shuts down sending on a stream with nothing queued (a FIN to the peer).
    void shut_send(Socket& socket, NodeLock& lock);
    // A stream just established (or draining) takes the write turn: writes what was queued
    // before, or ends sending where shutdown_send or the flush asked for it.
    void write_turn_or_flush(const SocketPtr& socket, NodeLock& lock);
    // Writes that the loop's deliveries of one read asked for, made once the read's chunks are
    // all delivered.
    void write_batch(NodeLock& lock);

    // --- UDP (udp.cpp) ---------------------------------------------------------------------
    void start_receive(const SocketPtr& socket, UdpPort* port);
    void on_receive(const SocketPtr& socket, UdpPort* port, asio::error_code ec, std::size_t n);
    void start_send_datagram(const SocketPtr& socket, NodeLock& lock);
    void on_datagram_sent(const SocketPtr& socket, asio::error_code ec);

    // --- the state (core.cpp) --------------------------------------------------------------
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
#ifndef NDEBUG
    // The thread that holds the node mutex, for the assertions that it is held where the state is
    // touched. Atomic so that a wrong thread's check reads it without a race of its own.
    std::atomic<std::thread::id> mutex_owner_;
#endif
    // The thread that runs the io_context, on which every completion handler runs.
    std::atomic<std::thread::id> loop_thread_;
    // The loop's thread delivers the chunks of one read (loop's thread only): the writes asked
    // for meanwhile wait in `batch_` until all are delivered, then go out together.
    bool batching_ = false;
    std::vector<SocketPtr> batch_;
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

}  // namespace tessaro::node
