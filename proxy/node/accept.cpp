// Listeners, accepting and connecting: opening a listener or an outgoing stream (set up before
// it enters the table, without the node mutex), the accept loop with its retry after a
// shortage, the options of an accepted stream, and a connect's outcome.
//
// tcp_listen and tcp_connect come from any thread; accept and connect completions run on the
// loop's thread and take the node mutex to enter a stream into the table.

#include "proxy/node/core.hpp"

namespace tessaro::node {

// The new socket is set up without the node mutex: until it enters the table it is nobody
// else's, and a failure closes it there too.
Result<ResourceId> NodeCore::tcp_listen(SocketAddrV4 addr, const TcpListenOptions& options) {
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
    // Nobody has its id yet: nobody can have removed it meanwhile.
    std::ignore = outside(*socket, lock, [&] { start_accept(socket); });
    created(*socket);
    return socket->id;
}

Result<Endpoint> NodeCore::tcp_connect(SocketAddrV4 remote, const TcpConnectOptions& options) {
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
    // Reads (and, on Linux, writes) are made straight on the socket once input has come, so it
    // must never block. Asio's own operations are unaffected.
    stream.non_blocking(true, ec);
    if (ec) {
        return fail(error_text(ec));
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
    socket->half_close = options.half_close;
    socket->stream.emplace(std::move(stream));
    prepare_stream(*socket);
    socket->creating = true;
    sockets_.emplace(socket->id, socket);
    // Nobody has its id yet: nobody can have removed it meanwhile.
    std::ignore = outside(*socket, lock, [&] {
        socket->stream->async_connect(
            tcp_endpoint(remote), [this, socket](asio::error_code e) { on_connect(socket, e); });
    });
    created(*socket);
    return Endpoint{socket->id, remote};
}

void NodeCore::on_connect(const SocketPtr& socket, asio::error_code ec) {
    assert_loop_thread();
    NodeLock lock(*this);
    if (socket->closed) {
        return;
    }
    if (socket->draining()) {
        if (ec) {
            close_socket(*socket);
            return;
        }
        socket->established = true;
        settle(socket);
        write_turn_or_flush(socket, lock);
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
    // What was queued before, and a shutdown_send asked for meanwhile, go out now.
    write_turn_or_flush(socket, lock);
    if (socket->closed) {
        return;  // the write failed; its end is reported from the loop
    }
    settle(socket);
    lock.unlock();
    deliver(Connected{endpoint, true}, socket.get());
}

void NodeCore::start_accept(const SocketPtr& listener) {
    listener->acceptor->async_accept(listener->accept_peer,
                                     [this, listener](asio::error_code ec, tcp::socket peer) {
                                         on_accept(listener, ec, std::move(peer));
                                     });
}

void NodeCore::on_accept(const SocketPtr& listener, asio::error_code ec, tcp::socket peer) {
    assert_loop_thread();
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
                          // A close meanwhile ends the accept with operation_aborted.
                          std::ignore = outside(*listener, inner, [&] { start_accept(listener); });
                      }
                  });
        return;
    }
    if (listener->accept_failing) {
        listener->accept_failing = false;
        log_->info("Listener {} accepts connections again", listener->id);
    }
    const SocketAddrV4 remote = from_asio(listener->accept_peer);
    const bool closed = outside(*listener, lock, [&] { start_accept(listener); });
    if (!usable || closed) {
        return;
    }
    auto socket = std::make_shared<Socket>(next_id_++, Kind::TcpStream);
    socket->peer = remote;
    socket->established = true;
    socket->half_close = listener->half_close;
    socket->stream.emplace(std::move(peer));
    prepare_stream(*socket);
    sockets_.emplace(socket->id, socket);
    settle(socket);
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

void NodeCore::prepare_stream(Socket& socket) {
    if (!os::waits_for_readiness()) {
        socket.wait_buffer.resize(WAIT_READ_SIZE);
    }
}

// Sets the options of an accepted socket; false when it cannot be used.
bool NodeCore::prepare_accepted(tcp::socket& peer, const std::optional<KeepAlive>& keepalive) {
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
    peer.non_blocking(true, ec);
    if (ec) {
        log_->warn("Could not accept a connection without blocking: {}", ErrorText{ec});
        return false;
    }
    return true;
}

}  // namespace tessaro::node
