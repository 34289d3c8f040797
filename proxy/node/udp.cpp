// UDP: opening a resource with its receiving ports, receiving datagrams, and sending the
// datagrams queued by send one at a time.
//
// udp_listen comes from any thread and sets the ports up without the node mutex; receive and
// send completions run on the loop's thread and take it for the socket's state.

#include "proxy/node/core.hpp"

namespace tessaro::node {

Result<ResourceId> NodeCore::udp_listen(SocketAddrV4 addr) {
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
        auto broadcast =
            open(udp::endpoint(to_asio(binding->broadcast), socket->peer.port), binding->device);
        if (!broadcast) {
            return fail(Error::caused(fmt::format("Could not receive the broadcasts of {} at {}: ",
                                                  binding->device, binding->broadcast.to_string()),
                                      broadcast.error()));
        }
        socket->udp_ports.push_back(std::make_unique<UdpPort>(std::move(*broadcast)));
    }
    NodeLock lock(*this);
    socket->id = next_id_++;
    socket->creating = true;
    sockets_.emplace(socket->id, socket);
    // Nobody has its id yet: nobody can have removed it meanwhile.
    std::ignore = outside(*socket, lock, [&] {
        for (auto& port : socket->udp_ports) {
            start_receive(socket, port.get());
        }
    });
    created(*socket);
    return socket->id;
}

void NodeCore::start_receive(const SocketPtr& socket, UdpPort* port) {
    port->socket.async_receive_from(asio::buffer(port->buffer), port->sender,
                                    [this, socket, port](asio::error_code ec, std::size_t n) {
                                        on_receive(socket, port, ec, n);
                                    });
}

void NodeCore::on_receive(const SocketPtr& socket, UdpPort* port, asio::error_code ec,
                          std::size_t n) {
    assert_loop_thread();
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
            // A close meanwhile ends the receive with operation_aborted.
            std::ignore = outside(*socket, lock, [&] { start_receive(socket, port); });
        } else if (ec != asio::error::operation_aborted) {
            log_->error("UDP socket {} on {} stopped receiving: {}", socket->id, socket->peer,
                        ErrorText{ec});
        }
        return;
    }
    Data data{{socket->id, from_asio(port->sender)},
              std::vector<std::uint8_t>(port->buffer.begin(),
                                        port->buffer.begin() + static_cast<long>(n))};
    // A close meanwhile ends the receive with operation_aborted, and the delivery checks
    // whether the socket was removed.
    std::ignore = outside(*socket, lock, [&] { start_receive(socket, port); });
    lock.unlock();
    deliver(std::move(data), socket.get());
}

void NodeCore::start_send_datagram(const SocketPtr& socket, NodeLock& lock) {
    if (socket->writing || socket->out.empty() || socket->closed) {
        return;
    }
    socket->writing = true;
    // A close meanwhile ends the send with operation_aborted; its handler gives the turn up.
    std::ignore = outside(*socket, lock, [&] {
        socket->udp_ports.front()->socket.async_send_to(
            asio::buffer(socket->out.front()), socket->out_destinations.front(),
            [this, socket](asio::error_code ec, std::size_t) { on_datagram_sent(socket, ec); });
    });
}

void NodeCore::on_datagram_sent(const SocketPtr& socket, asio::error_code ec) {
    assert_loop_thread();
    NodeLock lock(*this);
    socket->writing = false;
    if (socket->closed) {
        return;
    }
    if (ec) {
        log_->debug("Datagram of {} bytes from {} to {} not sent: {}", socket->out.front().size(),
                    socket->peer, from_asio(socket->out_destinations.front()), ErrorText{ec});
    }
    socket->queued -= socket->out.front().size();
    socket->out.pop_front();
    socket->out_destinations.pop_front();
    start_send_datagram(socket, lock);
}

}  // namespace tessaro::node
