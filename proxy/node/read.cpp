// Reading a stream: one pattern on both systems. An idle stream waits for input (Armed) holding
// no chunk: on Linux a wait for readiness, on Windows a small read (the only way there to learn
// of input); then the loop's thread reads straight into pooled chunks until the system has no
// more, delivering each chunk in order, and waits again. The close watch of a stream that is held
// back, and a draining stream's reads, are here too; what a stream outside its turn does next is
// the settling step's (settle.cpp), and what the turn does next is turn_step's.
//
// The receiving state (Socket::Receiving) lives in the socket under the node mutex: Idle -> Turn
// when an established stream starts reading (start_read, from settle); Idle -> Waiting when it is
// held back before its first read (settle); Turn -> Armed when a read finds nothing more
// (arm_read); Armed -> Turn when input (or its end) comes (on_input); Turn -> Waiting when a pause
// or a full coupled peer stops the turn; Waiting -> Turn on resume or remove (settle); Turn ->
// Ended at the peer's FIN; Turn or Armed -> Idle when the stream was closed meanwhile. The reads
// themselves are made without the mutex by the turn's holder (counted in `in_flight`), and its
// deliveries too (deliver_in_turn). The turn, the wait's completion and the close watch's reports
// run on the loop's thread. Where the peer's end arms the stall deadline, stall.cpp takes over.

#include "proxy/node/core.hpp"

namespace tessaro::node {

// Takes the read turn of a stream and runs it on the loop's thread.
void NodeCore::start_read(const SocketPtr& socket) {
    socket->set_receiving(Socket::Receiving::Turn);
    post([this, socket] {
        NodeLock lock(*this);
        read_turn(socket, lock, false);
    });
}

void NodeCore::read_turn(const SocketPtr& socket, NodeLock& lock, bool system_empty) {
    assert_loop_thread();
    assert(socket->in_turn());
    int reads = 0;
    for (;;) {
        switch (turn_step(*socket, system_empty)) {
            case TurnStep::Stop:
                socket->set_receiving(Socket::Receiving::Idle);
                return;
            case TurnStep::Hold:
                socket->set_receiving(Socket::Receiving::Waiting);
                settle(socket);
                return;
            case TurnStep::DeliverHeld: {
                auto held = std::move(socket->held);
                socket->held.clear();
                deliver_chunks(socket, lock, held);
                break;
            }
            case TurnStep::EndInput: {
                const asio::error_code ec = *socket->held_end;
                socket->held_end.reset();
                input_ended(socket, ec, lock);
                return;
            }
            case TurnStep::Arm:
                arm_read(socket, lock);
                return;
            case TurnStep::Read:
                if (reads == READS_PER_TURN) {
                    // The turn is over: other sockets' events come first.
                    post([this, socket] {
                        NodeLock inner(*this);
                        read_turn(socket, inner, false);
                    });
                    return;
                }
                ++reads;
                system_empty = !read_chunks(socket, lock);
                break;
        }
    }
}

// Turn -> Armed: waits for input. The wait holds no chunk; on Windows its small read's bytes are
// the first of the next turn.
void NodeCore::arm_read(const SocketPtr& socket, NodeLock& lock) {
    assert(socket->held.empty() && !socket->held_end);
    socket->set_receiving(Socket::Receiving::Armed);
    // Closed meanwhile or not, the wait has been started: its handler runs (aborted, if need
    // be) and ends it.
    std::ignore = outside(*socket, lock, [&] {
        if (os::waits_for_readiness()) {
            socket->stream->async_wait(tcp::socket::wait_read, [this, socket](asio::error_code ec) {
                on_input(socket, ec, 0);
            });
        } else {
            socket->stream->async_read_some(
                asio::buffer(socket->wait_buffer),
                [this, socket](asio::error_code ec, std::size_t n) { on_input(socket, ec, n); });
        }
    });
}

void NodeCore::on_input(const SocketPtr& socket, asio::error_code ec, std::size_t n) {
    assert_loop_thread();
    NodeLock lock(*this);
    assert(socket->receiving == Socket::Receiving::Armed);
    socket->set_receiving(Socket::Receiving::Turn);
    if (n > 0) {
        // They begin the next read's first chunk, so that a message is delivered as the system
        // holds it and not cut at the small read's size.
        socket->wait_filled = n;
    } else if (ec && !os::waits_for_readiness() && !socket->closed) {
        // The small read saw the end: it follows what was read before, in order.
        socket->held_end = ec;
    }
    // A wait for readiness that failed leaves the failure to the read that follows.
    read_turn(socket, lock, false);
}

bool NodeCore::read_chunks(const SocketPtr& socket, NodeLock& lock) {
    // As many chunks as the coupled peer's queue has room for below its bound: a read never
    // takes much more than the peer can queue, so reading holds back between reads, not in the
    // middle of one.
    std::size_t count = 1;
    if (const Socket* peer = coupled_peer(*socket)) {
        const std::size_t room = peer->bound > peer->queued ? peer->bound - peer->queued : 0;
        count = std::clamp<std::size_t>((room + CHUNK_SIZE - 1) / CHUNK_SIZE, 1, READ_CHUNKS_MAX);
    }
    std::array<std::vector<std::uint8_t>, READ_CHUNKS_MAX> chunks;
    std::array<asio::mutable_buffer, READ_CHUNKS_MAX> buffers;
    for (std::size_t i = 0; i < count; ++i) {
        chunks[i] = take_buffer();
        buffers[i] = asio::buffer(chunks[i]);
    }
    // Windows: the bytes the small wait read took come first.
    const std::size_t prefix = socket->wait_filled;
    socket->wait_filled = 0;
    if (prefix > 0) {
        std::copy_n(socket->wait_buffer.begin(), prefix, chunks[0].begin());
        buffers[0] += prefix;
    }
    asio::error_code ec;
    std::size_t n = 0;
    // A close meanwhile is seen by the turn's next step; the chunks are ours either way.
    std::ignore = outside(*socket, lock, [&] {
        n = socket->stream->read_some(std::span(buffers.data(), count), ec);
    });
    const bool nothing_more = ec == asio::error::would_block || ec == asio::error::try_again;
    if (nothing_more) {
        ec.clear();
    }
    n += prefix;
    const bool filled = !nothing_more && !ec && n == count * CHUNK_SIZE;
    // The chunks as delivered: a well-filled one hands its buffer on, a small one is copied out
    // so that its buffer serves again.
    std::size_t filled_chunks = 0;
    std::size_t left = n;
    for (std::size_t i = 0; i < count; ++i) {
        std::vector<std::uint8_t>& chunk = chunks[i];
        const std::size_t size = std::min(left, CHUNK_SIZE);
        left -= size;
        if (size >= HANDOVER_MIN) {
            // Every chunk but the last of a read is full, so the filled ones keep their places.
            chunk.resize(size);
            ++filled_chunks;
        } else {
            std::vector<std::uint8_t> buffer = std::move(chunk);
            if (size > 0) {
                chunks[filled_chunks++].assign(buffer.begin(),
                                               buffer.begin() + static_cast<long>(size));
            }
            give_buffer(std::move(buffer));
        }
    }
    // The end (a FIN, a reset, an error) comes after the bytes read before it, whatever happens
    // to them meanwhile: the turn delivers it once nothing is held.
    if (ec && !socket->closed) {
        socket->held_end = ec;
    }
    const auto delivered = std::span(chunks.data(), filled_chunks);
    if (socket->draining() || socket->closed) {
        // Input to a removed stream is dropped until the peer's FIN. It is not progress: a peer
        // that never stops sending does not keep a removed stream for ever.
        for (auto& chunk : delivered) {
            give_buffer(std::move(chunk));
        }
    } else if (!delivered.empty()) {
        moved(*socket);
        deliver_chunks(socket, lock, delivered);
    }
    return filled;
}

void NodeCore::deliver_chunks(const SocketPtr& socket, NodeLock& lock,
                              std::span<std::vector<std::uint8_t>> chunks) {
    if (socket->draining()) {
        return;  // removed while they were held: nobody takes them
    }
    batching_ = true;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        if (socket->closed) {
            break;  // ended by the delivery before: nobody takes the rest
        }
        if (held_back(*socket)) {
            // Held back by the delivery before: the rest waits for the next turn.
            for (std::size_t j = i; j < chunks.size(); ++j) {
                socket->held.push_back(std::move(chunks[j]));
            }
            break;
        }
        deliver_in_turn(socket, lock, Data{{socket->id, socket->peer}, std::move(chunks[i])});
    }
    batching_ = false;
    // These writes may drain the coupled peer's queue and lift the hold: the turn's next step
    // looks again, after them.
    write_batch(lock);
}

void NodeCore::input_ended(const SocketPtr& socket, asio::error_code ec, NodeLock& lock) {
    assert(socket->in_turn());
    const bool fin = ec == asio::error::eof;
    if (socket->draining()) {
        if (fin) {
            socket->set_receiving(Socket::Receiving::Ended);
            if (socket->sending == Socket::Sending::Ended) {
                close_socket(*socket);
            }
        } else {
            socket->set_receiving(Socket::Receiving::Idle);
            close_socket(*socket);
        }
        return;
    }
    Endpoint endpoint{socket->id, socket->peer};
    if (fin && socket->half_close) {
        // Only the peer's sending has ended: the other direction lives on as an open stream
        // does, until it is shut down, removed or breaks (the close watch reports a reset), or
        // bytes queued towards the peer stop moving.
        socket->set_receiving(Socket::Receiving::Ended);
        settle(socket);
        lock.unlock();
        deliver(ReadClosed{endpoint}, socket.get());
        lock.lock();
        return;
    }
    if (!fin) {
        log_->debug("Connection {} to {} broke: {}", socket->id, socket->peer, ErrorText{ec});
    }
    socket->set_receiving(Socket::Receiving::Idle);
    drop(*socket);
    lock.unlock();
    deliver(Disconnected{endpoint}, socket.get());
    lock.lock();
}

// The turn's holder delivers an event of the stream with the node mutex released meanwhile, so
// that the callback may call back into the node (even remove the stream).
void NodeCore::deliver_in_turn(const SocketPtr& socket, NodeLock& lock, Event&& event) {
    assert_loop_thread();
    assert(socket->in_turn());
    lock.unlock();
    deliver(std::move(event), socket.get());
    lock.lock();
}

// Hands a stream to the close watch, once per stream: at its first hold (most streams are never
// held back) or once it has read its peer's FIN (a reset then still ends it). The watch reports
// an end that came before too.
void NodeCore::enter_watch(const SocketPtr& socket) {
    if (!close_watch_ || socket->in_watch) {
        return;
    }
    socket->in_watch = true;
    post([this, socket] {
        NodeLock lock(*this);
        if (!socket->closed) {
            // A close meanwhile takes the stream out of the watch with its handle.
            std::ignore = outside(
                *socket, lock, [&] { close_watch_->watch(native(*socket->stream), socket->id); });
        }
    });
}

void NodeCore::on_peer_closed(ResourceId id, bool broken) {
    assert_loop_thread();
    NodeLock lock(*this);
    SocketPtr socket = find(id);
    if (!socket) {
        return;
    }
    socket->peer_end =
        std::max(socket->peer_end, broken ? Socket::PeerEnd::Broken : Socket::PeerEnd::Closed);
    // A stream that is being read or waits for input learns of the end by reading; one held back
    // or past its peer's FIN learns of it here.
    settle(socket);
    if (!broken && !socket->closed) {
        // The close is known; only a reset after it is still news. The watch looks for it while
        // the socket is held open by this call.
        std::ignore = outside(
            *socket, lock, [&] { close_watch_->watch_reset(native(*socket->stream), socket->id); });
    }
}

void NodeCore::end_held(const SocketPtr& socket, NodeLock& lock) {
    if (socket->draining()) {
        close_socket(*socket);
        return;
    }
    if (socket->receiving == Socket::Receiving::Ended) {
        log_->debug("Connection {} to {} broke after its peer ended sending", socket->id,
                    socket->peer);
    } else {
        log_->debug("Connection {} to {} ended while its reading was held back", socket->id,
                    socket->peer);
    }
    end_stream(socket, lock);
}

// The node ends a stream that is not being read: drops it and says so.
void NodeCore::end_stream(const SocketPtr& socket, NodeLock& lock) {
    Endpoint endpoint{socket->id, socket->peer};
    drop(*socket);
    lock.unlock();
    deliver(Disconnected{endpoint}, socket.get());
}

std::vector<std::uint8_t> NodeCore::take_buffer() {
    if (free_buffers_.empty()) {
        return std::vector<std::uint8_t>(CHUNK_SIZE);
    }
    std::vector<std::uint8_t> buffer = std::move(free_buffers_.back());
    free_buffers_.pop_back();
    buffer.resize(CHUNK_SIZE);
    return buffer;
}

void NodeCore::give_buffer(std::vector<std::uint8_t>&& buffer) {
    if (buffer.capacity() == CHUNK_SIZE && free_buffers_.size() < FREE_BUFFERS_MAX) {
        free_buffers_.push_back(std::move(buffer));
    }
}

}  // namespace tessaro::node
