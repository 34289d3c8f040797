// The stall deadline, one per stream: the only timer that ends a stream. It is armed while bytes
// of the stream wait and cannot go on by themselves (stall_due), and counted from the later of
// its arming and the last byte that the stream or its coupled peer moved (read or written, or
// taken by the peer from the system's buffers). Idle time is no stall: a stream with nothing
// waiting, half-closed or not, lives until it breaks or is removed; keep-alive bounds a peer that
// is gone.
//
// The settling step arms it under the node mutex; the timer is set and its handler runs on the
// loop's thread. While armed it looks every STALL_LOOK: what the system's buffers hold is
// compared with the previous look (the first base is taken at the arming, before the moment the
// deadline counts from), and a change counts as a byte moved at that look, so a stream ends
// within STALL_DEADLINE + STALL_LOOK of its last byte moved and a stream that moves never ends.
// When STALL_DEADLINE has passed with nothing moved, `stalled` decides, in one table, what ends
// and what is logged.

#include "proxy/node/core.hpp"

namespace tessaro::node {

bool NodeCore::stall_due(const Socket& socket) const {
    if (socket.kind != Kind::TcpStream || socket.closed) {
        return false;
    }
    if (socket.draining()) {
        return true;  // it writes its queue, then waits for the peer's FIN
    }
    // Bytes that wait towards one side once either side of the pair has ended sending: those
    // peers may still send, and read, whenever they like while neither has.
    const Socket* peer = coupled_peer(socket);
    const bool own_end = socket.peer_done_sending();
    if (!own_end && !(peer && peer->peer_done_sending())) {
        return false;
    }
    if (unread_behind_full_peer(socket)) {
        return true;
    }
    // Queued towards its peer. Where only the other side has ended and is held back behind
    // these bytes, that side's own deadline covers the pair, and ends it in its name: the side
    // that ended first.
    return socket.queued > 0 && (own_end || !unread_behind_full_peer(*peer));
}

bool NodeCore::unread_behind_full_peer(const Socket& socket) {
    return socket.receiving == Socket::Receiving::Waiting && socket.peer_full && !socket.paused;
}

void NodeCore::watch_stall(Socket& stream) {
    assert_locked();
    if (stream.stall_armed || !stall_due(stream)) {
        return;
    }
    stream.stall_armed = true;
    if (!stream.stall_timer) {
        stream.stall_timer.emplace(io_);
    }
    // The base of the first look is taken before the moment the deadline counts from, so that
    // nothing the peer takes after it goes unseen.
    post([this, socket = stream.shared_from_this()] {
        {
            NodeLock lock(*this);
            if (socket->closed) {
                return;
            }
            socket->stall_probe = probe_unsent(*socket, lock);
            if (socket->closed) {
                return;
            }
            socket->stall_since = std::chrono::steady_clock::now();
        }
        look_after(socket, STALL_LOOK);
    });
}

// Sets the timer for the next look (loop's thread, without the node mutex).
void NodeCore::look_after(const SocketPtr& socket, std::chrono::steady_clock::duration delay) {
    socket->stall_timer->expires_after(delay);
    socket->stall_timer->async_wait([this, socket](asio::error_code ec) { on_stall(socket, ec); });
}

void NodeCore::on_stall(const SocketPtr& socket, asio::error_code ec) {
    assert_loop_thread();
    if (ec) {
        return;  // cancelled by the close
    }
    std::chrono::steady_clock::duration next{};
    {
        NodeLock lock(*this);
        if (socket->closed) {
            return;
        }
        if (!stall_due(*socket)) {
            socket->stall_armed = false;  // the bytes went on, or the stream's peer came back
            return;
        }
        const auto unsent = probe_unsent(*socket, lock);
        if (socket->closed) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (unsent != socket->stall_probe) {
            // The peer took bytes from the system's buffers (or more went in) since the last
            // look: moving, if slowly.
            socket->stall_probe = unsent;
            socket->last_moved = now;
        }
        const auto from = std::max(socket->stall_since, socket->last_moved);
        if (now - from >= STALL_DEADLINE) {
            stalled(socket, lock);
            return;
        }
        next = std::min<std::chrono::steady_clock::duration>(STALL_LOOK,
                                                             STALL_DEADLINE - (now - from));
    }
    look_after(socket, next);
}

void NodeCore::stalled(const SocketPtr& socket, NodeLock& lock) {
    socket->stall_armed = false;
    if (socket->draining()) {
        if (socket->queued > 0) {
            log_->debug("Socket {} closed with {} bytes not written", socket->id, socket->queued);
        }
        close_socket(*socket);
        return;
    }
    if (socket->receiving == Socket::Receiving::Waiting && socket->queued == 0) {
        // Its pair ended while it waited for the coupled peer, which took nothing since.
        end_held(socket, lock);
        return;
    }
    log_->debug("Connection {} to {} made no progress for {} s after its peer ended sending",
                socket->id, socket->peer, STALL_DEADLINE.count());
    end_stream(socket, lock);
}

std::array<std::size_t, 2> NodeCore::probe_unsent(Socket& socket, NodeLock& lock) {
    std::array<std::size_t, 2> unsent{};
    SocketPtr peer;
    if (Socket* coupled = coupled_peer(socket); coupled && coupled->stream) {
        peer = coupled->shared_from_this();
    }
    if (socket.stream) {
        std::ignore =
            outside(socket, lock, [&] { unsent[0] = os::unsent_bytes(native(*socket.stream)); });
    }
    if (peer && !peer->closed) {
        std::ignore =
            outside(*peer, lock, [&] { unsent[1] = os::unsent_bytes(native(*peer->stream)); });
    }
    return unsent;
}

// Bytes moved on a stream (read or written): progress for it and for its coupled peer, as the
// stall deadline counts it.
void NodeCore::moved(Socket& socket) {
    const auto now = std::chrono::steady_clock::now();
    socket.last_moved = now;
    if (Socket* peer = coupled_peer(socket)) {
        peer->last_moved = now;
    }
}

}  // namespace tessaro::node
