// The stall deadline, one per stream: the only timer that ends a stream. It is armed while bytes
// of the stream wait and cannot go on by themselves (stall_due), and counted from the later of
// its arming and the last byte that the stream or its coupled peer moved (read or written, or
// taken by the peer from the system's buffers). Idle time is no stall: a stream with nothing
// waiting, half-closed or not, lives until it breaks or is removed; keep-alive bounds a peer that
// is gone.
//
// watch_stall is called under the node mutex wherever what stall_due reads changes; the timer is
// set and its handler runs on the loop's thread (see set_timer). When it fires with nothing moved,
// `stalled` decides, in one table, what ends and what is logged.

#include "proxy/node/core.hpp"

namespace tessaro::node {

bool NodeCore::stall_due(const Socket& socket) {
    if (socket.kind != Kind::TcpStream || socket.closed) {
        return false;
    }
    if (socket.draining()) {
        return true;  // it writes its queue, then waits for the peer's FIN
    }
    if (!socket.peer_ended()) {
        return false;  // the peer may still send, and read, whenever it likes
    }
    // Queued towards a peer that has ended sending, or unread behind a full coupled peer.
    return socket.queued > 0 ||
           (socket.receiving == Socket::Receiving::Waiting && socket.peer_full && !socket.paused);
}

void NodeCore::watch_stall(const SocketPtr& socket) {
    assert_locked();
    if (socket->stall_armed || !stall_due(*socket)) {
        return;
    }
    socket->stall_armed = true;
    socket->stall_since = std::chrono::steady_clock::now();
    if (!socket->stall_timer) {
        socket->stall_timer.emplace(io_);
    }
    arm_stall(socket, STALL_DEADLINE);
}

// Takes what the system holds unsent at this moment as the base of the next look, then sets the
// timer (on the loop's thread, without the node mutex).
void NodeCore::arm_stall(const SocketPtr& socket, std::chrono::steady_clock::duration delay) {
    post([this, socket, delay] {
        {
            NodeLock lock(*this);
            if (socket->closed) {
                return;
            }
            socket->stall_probe = probe_unsent(*socket, lock);
            if (socket->closed) {
                return;
            }
        }
        socket->stall_timer->expires_after(delay);
        socket->stall_timer->async_wait(
            [this, socket](asio::error_code ec) { on_stall(socket, ec); });
    });
}

void NodeCore::on_stall(const SocketPtr& socket, asio::error_code ec) {
    assert_loop_thread();
    if (ec) {
        return;  // cancelled by the close
    }
    NodeLock lock(*this);
    if (socket->closed) {
        return;
    }
    if (!stall_due(*socket)) {
        socket->stall_armed = false;  // the bytes went on, or the stream's peer came back
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    const auto from = std::max(socket->stall_since, socket->last_moved);
    if (now - from < STALL_DEADLINE) {
        arm_stall(socket, STALL_DEADLINE - (now - from));
        return;
    }
    const auto before = socket->stall_probe;
    const auto unsent = probe_unsent(*socket, lock);
    if (socket->closed) {
        return;
    }
    if (unsent != before) {
        // The peer took bytes from the system's buffers (or more went in): moving, if slowly.
        socket->stall_since = now;
        arm_stall(socket, STALL_DEADLINE);
        return;
    }
    stalled(socket, lock);
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
        // Its peer ended while it waited for the coupled peer, which took nothing since.
        end_paused(socket, lock);
        return;
    }
    log_->debug("Connection {} to {} made no progress for {} s after its peer ended sending",
                socket->id, socket->peer, STALL_DEADLINE.count());
    end_stream(socket, lock);
}

std::array<std::size_t, 2> NodeCore::probe_unsent(Socket& socket, NodeLock& lock) {
    std::array<std::size_t, 2> unsent{};
    SocketPtr peer;
    if (socket.coupled != 0) {
        if (auto it = sockets_.find(socket.coupled); it != sockets_.end() && it->second->stream) {
            peer = it->second;
        }
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

}  // namespace tessaro::node
