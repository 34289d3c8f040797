// The socket table: looking sockets up for callers, pausing and coupling, removing, and closing a
// socket and handing its handles over to be closed once the node mutex is released.
//
// Everything here runs under the node mutex, on any thread (callers' calls and the loop's
// completion handlers alike); await_release and remove wait on it for calls under way without
// it to come back.

#include "proxy/node/core.hpp"

namespace tessaro::node {

Readiness NodeCore::is_ready(ResourceId id) {
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

bool NodeCore::remove(ResourceId id) {
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
    socket->held.clear();
    socket->held_end.reset();
    if (!socket->established && socket->out.empty()) {
        close_socket(*socket);
        return true;
    }
    // The stream drains: it writes out what is queued, then shuts down sending and reads (and
    // drops) until the peer closes: closing a socket with unread input makes the system reset
    // the connection, and a reset can destroy the last answer before the peer has read it. The
    // stall deadline bounds every step. A stream that has read its peer's FIN (Ended) has nothing
    // left to drain; one that waits for input or is in its turn drains there.
    settle(socket);
    if (socket->established && !socket->writing && socket->out.empty()) {
        finish_flush(*socket, lock);
    }
    return true;
}

void NodeCore::pause_reading(ResourceId id) {
    NodeLock lock(*this);
    if (SocketPtr socket = find(id); socket && socket->kind == Kind::TcpStream) {
        socket->paused = true;
        settle(socket);
    }
}

void NodeCore::resume_reading(ResourceId id) {
    NodeLock lock(*this);
    if (SocketPtr socket = find(id); socket && socket->kind == Kind::TcpStream) {
        socket->paused = false;
        settle(socket);
    }
}

void NodeCore::couple(ResourceId a, ResourceId b, std::size_t bound) {
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
    settle(first);
    settle(second);
}

std::size_t NodeCore::queued_bytes(ResourceId id) {
    NodeLock lock(*this);
    SocketPtr socket = find(id);
    return socket ? socket->queued : 0;
}

std::optional<SocketAddrV4> NodeCore::local_address(ResourceId id) {
    NodeLock lock(*this);
    SocketPtr socket = find(id);
    if (!socket) {
        return std::nullopt;
    }
    asio::error_code ec;
    SocketAddrV4 address;
    // The address read is the answer even if a remove came meanwhile.
    std::ignore = outside(*socket, lock, [&] {
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

// The call that made a socket is about to return its id: the socket's events may follow.
void NodeCore::created(Socket& socket) {
    assert_locked();
    socket.creating = false;
    created_.notify_all();
}

void NodeCore::close_handles(Socket& socket) {
    socket.closed = true;
    if (socket.stall_timer || socket.retry_timer) {
        // After any setting posted before (see set_timer).
        post([owner = socket.shared_from_this()] {
            for (auto* timer : {&owner->stall_timer, &owner->retry_timer}) {
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
void NodeCore::release_handles(Socket& socket) {
    assert_locked();
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
    if (!socket.in_turn()) {
        socket.held.clear();
    }
    if (!socket.writing) {
        socket.out.clear();
        socket.out_destinations.clear();
    }
    socket.queued = 0;
}

void NodeCore::close_socket(Socket& socket) {
    assert_locked();
    close_handles(socket);
    auto it = sockets_.find(socket.id);
    if (it != sockets_.end() && it->second.get() == &socket) {
        sockets_.erase(it);
    }
}

// The node drops a broken or closed connection itself; its peer's reading no longer waits
// for it.
void NodeCore::drop(Socket& socket) {
    uncouple(socket);
    close_socket(socket);
}

void NodeCore::uncouple(Socket& socket) {
    if (socket.coupled == 0) {
        return;
    }
    auto it = sockets_.find(socket.coupled);
    if (it != sockets_.end() && it->second->coupled == socket.id) {
        const SocketPtr& peer = it->second;
        peer->coupled = 0;
        peer->peer_full = false;
        settle(peer);
    }
    socket.coupled = 0;
    socket.peer_full = false;
}

// Called whenever a stream's queue grew or shrank: pauses or resumes its coupled reader.
void NodeCore::queue_changed(Socket& socket) {
    assert_locked();
    if (socket.coupled == 0) {
        return;
    }
    SocketPtr reader = find(socket.coupled);
    if (!reader) {
        return;
    }
    if (socket.queued > socket.bound) {
        reader->peer_full = true;
        settle(reader);
    } else if (reader->peer_full && socket.queued <= socket.bound / 2) {
        reader->peer_full = false;
        settle(reader);
    }
}

Socket* NodeCore::coupled_peer(const Socket& socket) const {
    if (socket.coupled == 0) {
        return nullptr;
    }
    auto it = sockets_.find(socket.coupled);
    return it == sockets_.end() ? nullptr : it->second.get();
}

// Waits until no call on a closed listener or UDP socket is under way any more (such as the
// loop's restart of an accept), then hands its handles over to be closed when `lock` is
// released: so that whoever removes a listener finds its address free once remove returns.
// The calls counted are system calls and starts of Asio operations, which never call back
// into the node or the callback, so the wait is short and never for the waiting thread.
void NodeCore::await_release(Socket& socket, NodeLock& lock) {
    if (socket.in_flight == 0) {
        return;  // released by the close itself
    }
    socket.close_awaited = true;
    lock.wait(released_, [&] { return socket.in_flight == 0; });
    release_handles(socket);
}

}  // namespace tessaro::node
