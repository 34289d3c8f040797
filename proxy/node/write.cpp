// Writing a stream: the queue, the write made at once by the sender (the loop's thread for every
// send, after the chunks of the read it delivers; another thread for a small answer), the Asio
// write that takes what the system did not, the end of sending (shutdown_send) and the flush of a
// draining stream.
//
// The queue lives in the socket under the node mutex; the write turn's holder makes the write
// without it, counted in `in_flight`. send and shutdown_send come from any thread; write
// completions run on the loop's thread.

#include "proxy/node/core.hpp"

namespace tessaro::node {

// `bytes` is a span (copied into the queue) or a vector (moved into it).
template <typename Bytes>
bool NodeCore::send(const Endpoint& endpoint, Bytes&& bytes) {
    NodeLock lock(*this);
    SocketPtr socket = find(endpoint.resource_id);
    if (!socket) {
        return false;
    }
    switch (socket->kind) {
        case Kind::TcpListener:
            return false;
        case Kind::TcpStream: {
            if (socket->sending != Socket::Sending::Open) {
                return false;
            }
            const std::size_t size = bytes.size();
            if (size == 0) {
                return true;
            }
            socket->queued += size;
            socket->out.push_back(owned(std::forward<Bytes>(bytes)));
            queue_changed(*socket);
            settle(socket);
            if (!socket->established || socket->writing) {
                return true;  // on_connect, or the turn's holder, writes it
            }
            if (on_loop_thread()) {
                socket->writing = true;
                if (batching_) {
                    batch_.push_back(socket);  // written once the read's chunks are delivered
                } else {
                    write_turn(socket, lock);
                }
            } else if (os::streams_io_directly() && size <= DIRECT_SEND_MAX &&
                       socket->out.size() == 1) {
                socket->writing = true;
                write_turn(socket, lock);
            } else {
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

bool NodeCore::shutdown_send(ResourceId id) {
    NodeLock lock(*this);
    SocketPtr socket = find(id);
    if (!socket || socket->kind != Kind::TcpStream) {
        return false;
    }
    if (socket->sending == Socket::Sending::Open) {
        socket->set_sending(Socket::Sending::Ending);
        if (socket->established && !socket->writing && socket->out.empty()) {
            shut_send(*socket, lock);
        }
    }
    return true;
}

// Takes the write turn of a stream with bytes queued and runs it on the loop's thread, so
// that chunks queued meanwhile go out together.
void NodeCore::start_write(const SocketPtr& socket) {
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
// one gathered call made without the mutex. Linux writes at once and hands what the system did
// not take to Asio; Windows hands the write to Asio.
void NodeCore::write_turn(const SocketPtr& socket, NodeLock& lock) {
    if (socket->closed) {
        socket->writing = false;
        return;
    }
    if (socket->out.empty()) {
        queue_written(*socket, lock);
        return;
    }
    if (!os::streams_io_directly()) {
        write_async(socket, lock);
        return;
    }
    const auto gathered = gather(*socket);
    asio::error_code ec;
    std::size_t n = 0;
    if (outside(*socket, lock, [&] { n = socket->stream->write_some(gathered, ec); })) {
        socket->writing = false;
        return;
    }
    if (ec == asio::error::would_block || ec == asio::error::try_again) {
        write_async(socket, lock);
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
    // The system took less than was offered: Asio writes the rest once it has room.
    write_async(socket, lock);
}

std::span<const asio::const_buffer> NodeCore::gather(Socket& socket) {
    std::size_t count = std::min(socket.out.size(), MAX_WRITE_BUFFERS);
    std::size_t total = 0;
    for (std::size_t i = 0; i < count; ++i) {
        auto buffer = asio::buffer(socket.out[i]) + (i == 0 ? socket.out_offset : 0);
        if (!os::streams_io_directly() && total + buffer.size() > WHOLE_WRITE_MAX) {
            // Such a write completes only once all of it is taken: kept small, it completes
            // often enough for a slow peer to be seen moving.
            buffer = asio::buffer(buffer, WHOLE_WRITE_MAX - total);
            count = i + 1;
        }
        total += buffer.size();
        socket.write_buffers[i] = buffer;
    }
    return std::span(socket.write_buffers.data(), count);
}

void NodeCore::write_async(const SocketPtr& socket, NodeLock& lock) {
    const auto gathered = gather(*socket);
    // A close meanwhile ends the write with operation_aborted; its handler gives the turn up.
    std::ignore = outside(*socket, lock, [&] {
        socket->stream->async_write_some(
            gathered,
            [this, socket](asio::error_code ec, std::size_t n) { on_write(socket, ec, n); });
    });
}

void NodeCore::on_write(const SocketPtr& socket, asio::error_code ec, std::size_t n) {
    assert_loop_thread();
    NodeLock lock(*this);
    wrote(socket, ec, n, lock);
}

// A write finished (node mutex held, write turn held): accounts for it and goes on.
void NodeCore::wrote(const SocketPtr& socket, asio::error_code ec, std::size_t n, NodeLock& lock) {
    if (socket->closed) {
        socket->writing = false;
        return;
    }
    if (ec) {
        socket->writing = false;
        if (socket->draining()) {
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
void NodeCore::queue_written(Socket& socket, NodeLock& lock) {
    socket.writing = false;
    if (socket.draining()) {
        finish_flush(socket, lock);
    } else if (socket.sending == Socket::Sending::Ending) {
        shut_send(socket, lock);
    }
}

// Takes `n` written bytes off the front of the queue.
void NodeCore::consume(Socket& socket, std::size_t n) {
    if (n > 0) {
        moved(socket);
    }
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

void NodeCore::write_turn_or_flush(const SocketPtr& socket, NodeLock& lock) {
    if (socket->writing) {
        return;
    }
    socket->writing = true;
    write_turn(socket, lock);
}

void NodeCore::write_batch(NodeLock& lock) {
    // Only the loop's thread adds to the batch, and only while it delivers: writing adds none.
    for (std::size_t i = 0; i < batch_.size(); ++i) {
        const SocketPtr socket = batch_[i];
        write_turn(socket, lock);
    }
    batch_.clear();
}

// A draining stream has written everything: shut down sending; it closes when the peer has
// closed too, or at the stall deadline.
void NodeCore::finish_flush(Socket& socket, NodeLock& lock) {
    shut_send(socket, lock);
    if (!socket.closed && socket.receiving == Socket::Receiving::Ended) {
        close_socket(socket);
    }
}

// Shuts down sending on a stream with nothing queued (a FIN to the peer).
void NodeCore::shut_send(Socket& socket, NodeLock& lock) {
    asio::error_code ignored;
    if (!outside(socket, lock,
                 [&] { socket.stream->shutdown(tcp::socket::shutdown_send, ignored); })) {
        socket.set_sending(Socket::Sending::Ended);
    }
}

// The two kinds of bytes NodeHandler::send passes on.
template bool NodeCore::send(const Endpoint&, std::span<const std::uint8_t>&);
template bool NodeCore::send(const Endpoint&, std::vector<std::uint8_t>&&);

}  // namespace tessaro::node
