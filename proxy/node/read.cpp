// Reading a stream: one pattern on both systems. An idle stream waits for input (Armed) holding
// no chunk: on Linux a wait for readiness, on Windows a small read (the only way there to learn
// of input); then the loop's thread reads straight into pooled chunks until the system has no
// more, delivering each chunk in order, and waits again. Pausing by the caller and by coupling,
// the close watch of a stream that is held back, and a draining stream's reads are here too.
//
// The receiving state (Socket::Receiving) lives in the socket under the node mutex and moves
// only here: Idle -> Turn when an established stream starts reading (start_read); Idle ->
// Waiting when it is held back before its first read; Turn -> Armed when a read finds nothing
// more (arm_read); Armed -> Turn when input (or its end) comes (on_input); Turn -> Waiting when a
// pause or a full coupled peer stops the turn (wait_for_resume); Waiting -> Turn on resume or
// remove; Turn -> Ended at the peer's FIN; Turn or Armed -> Idle when the stream was closed
// meanwhile. The reads themselves are made without the mutex by the turn's holder (counted in
// `in_flight`), and its deliveries too (deliver_in_turn). pause_reading and resume_reading come
// from any thread; the turn, the wait's completion and the close watch's reports run on the
// loop's thread. Where the peer's end arms the stall deadline, stall.cpp takes over.

#include "proxy/node/core.hpp"

namespace tessaro::node {

void NodeCore::pause_reading(ResourceId id) {
    NodeLock lock(*this);
    if (SocketPtr socket = find(id); socket && socket->kind == Kind::TcpStream) {
        socket->paused = true;
    }
}

void NodeCore::resume_reading(ResourceId id) {
    NodeLock lock(*this);
    if (SocketPtr socket = find(id); socket && socket->kind == Kind::TcpStream) {
        socket->paused = false;
        update_reading(socket);
    }
}

void NodeCore::update_reading(const SocketPtr& socket) {
    assert_locked();
    using R = Socket::Receiving;
    if (socket->kind != Kind::TcpStream || socket->closed || !socket->established ||
        (socket->receiving != R::Idle && socket->receiving != R::Waiting)) {
        return;  // the turn's holder or the wait's completion looks again
    }
    if (held_back(*socket)) {
        if (socket->receiving == R::Idle) {
            wait_for_resume(socket);  // held back before its first read
        }
        return;
    }
    start_read(socket);
}

// Takes the read turn of a stream and runs it on the loop's thread.
void NodeCore::start_read(const SocketPtr& socket) {
    socket->set_receiving(Socket::Receiving::Turn);
    post([this, socket] {
        NodeLock lock(*this);
        read_turn(socket, lock);
    });
}

void NodeCore::read_turn(const SocketPtr& socket, NodeLock& lock) {
    assert_loop_thread();
    assert(socket->in_turn());
    for (int round = 0; round < READS_PER_TURN; ++round) {
        if (socket->closed) {
            socket->set_receiving(Socket::Receiving::Idle);
            return;
        }
        if (held_back(*socket)) {
            wait_for_resume(socket);
            return;
        }
        if (!socket->held.empty()) {
            auto held = std::move(socket->held);
            socket->held.clear();
            if (!deliver_chunks(socket, lock, held)) {
                return;
            }
            continue;
        }
        if (socket->held_end) {
            const asio::error_code ec = *socket->held_end;
            socket->held_end.reset();
            input_ended(socket, ec, lock);
            return;
        }
        if (!read_chunks(socket, lock)) {
            return;
        }
    }
    // The turn is over: other sockets' events come first.
    post([this, socket] {
        NodeLock inner(*this);
        read_turn(socket, inner);
    });
}

// Turn -> Armed: waits for input. The wait holds no chunk; on Windows its small read's bytes are
// the first of the next turn.
void NodeCore::arm_read(const SocketPtr& socket, NodeLock& lock) {
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
    if (socket->closed) {
        socket->set_receiving(Socket::Receiving::Idle);
        return;
    }
    socket->set_receiving(Socket::Receiving::Turn);
    if (n > 0) {
        // They begin the next read's first chunk, so that a message is delivered as the system
        // holds it and not cut at the small read's size.
        socket->wait_filled = n;
    } else if (ec && !os::waits_for_readiness()) {
        // The small read saw the end: it follows what was read before, in order.
        socket->held_end = ec;
    }
    // A wait for readiness that failed leaves the failure to the read that follows.
    read_turn(socket, lock);
}

bool NodeCore::read_chunks(const SocketPtr& socket, NodeLock& lock) {
    // As many chunks as the coupled peer's queue has room for below its bound: a read never
    // takes much more than the peer can queue, so reading holds back between reads, not in the
    // middle of one.
    std::size_t count = 1;
    if (socket->coupled != 0) {
        if (auto it = sockets_.find(socket->coupled); it != sockets_.end()) {
            const Socket& peer = *it->second;
            const std::size_t room = peer.bound > peer.queued ? peer.bound - peer.queued : 0;
            count =
                std::clamp<std::size_t>((room + CHUNK_SIZE - 1) / CHUNK_SIZE, 1, READ_CHUNKS_MAX);
        }
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
    // A close meanwhile is seen at the top of the turn; the chunks are ours either way.
    std::ignore = outside(*socket, lock, [&] {
        n = socket->stream->read_some(std::span(buffers.data(), count), ec);
    });
    const bool nothing_more = ec == asio::error::would_block || ec == asio::error::try_again;
    if (nothing_more) {
        ec.clear();
    }
    n += prefix;
    if (n == 0) {
        for (std::size_t i = 0; i < count; ++i) {
            give_buffer(std::move(chunks[i]));
        }
        if (socket->closed) {
            socket->set_receiving(Socket::Receiving::Idle);
        } else if (ec) {
            input_ended(socket, ec, lock);
        } else {
            arm_read(socket, lock);
        }
        return false;
    }
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
    const auto delivered = std::span(chunks.data(), filled_chunks);
    if (socket->draining()) {
        // Input to a removed stream is dropped until the peer's FIN. It is not progress: a peer
        // that never stops sending does not keep a removed stream for ever.
        for (auto& chunk : delivered) {
            give_buffer(std::move(chunk));
        }
    } else {
        moved(*socket);
        if (!deliver_chunks(socket, lock, delivered)) {
            return false;
        }
    }
    if (filled) {
        return true;
    }
    // The system had no more just now (or the input ended behind the bytes delivered): wait for
    // the next input rather than ask again.
    if (socket->closed) {
        socket->set_receiving(Socket::Receiving::Idle);
    } else if (held_back(*socket)) {
        if (ec) {
            socket->held_end = ec;  // the end follows the held bytes once resumed
        }
        wait_for_resume(socket);
    } else if (ec) {
        input_ended(socket, ec, lock);
    } else {
        arm_read(socket, lock);
    }
    return false;
}

bool NodeCore::deliver_chunks(const SocketPtr& socket, NodeLock& lock,
                              std::span<std::vector<std::uint8_t>> chunks) {
    if (socket->draining()) {
        return true;  // removed while they were held: nobody takes them
    }
    batching_ = true;
    bool going_on = true;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        if (held_back(*socket)) {
            // Paused by the delivery before: the rest waits for the next turn.
            for (std::size_t j = i; j < chunks.size(); ++j) {
                socket->held.push_back(std::move(chunks[j]));
            }
            break;
        }
        if (deliver_in_turn(socket, lock, Data{{socket->id, socket->peer}, std::move(chunks[i])})) {
            going_on = false;
            break;
        }
    }
    batching_ = false;
    write_batch(lock);
    if (going_on && socket->closed) {
        socket->set_receiving(Socket::Receiving::Idle);
        going_on = false;
    }
    return going_on;
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
        enter_watch(socket);
        watch_stall(socket);
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

// Reading is held back (a pause or a full coupled peer) and no read is under way, or the turn's
// holder gives the turn up for it: from now on the peer's end, as the close watch reports it,
// ends the stream or arms the stall deadline.
void NodeCore::wait_for_resume(const SocketPtr& socket) {
    socket->set_receiving(Socket::Receiving::Waiting);
    enter_watch(socket);
    if (socket->peer_end != Socket::PeerEnd::Unseen) {
        // An end seen while the stream was still being read counts now.
        post([this, socket] {
            NodeLock lock(*this);
            if (!socket->closed && !socket->removed &&
                socket->receiving == Socket::Receiving::Waiting) {
                peer_ended(socket, lock);
            }
        });
    }
}

// The turn's holder delivers an event of the stream with the node mutex released meanwhile, so
// that the callback may call back into the node (even remove the stream); true when the stream
// was closed meanwhile, which ends the turn.
bool NodeCore::deliver_in_turn(const SocketPtr& socket, NodeLock& lock, Event&& event) {
    assert_loop_thread();
    assert(socket->in_turn());
    lock.unlock();
    deliver(std::move(event), socket.get());
    lock.lock();
    if (socket->closed) {
        socket->set_receiving(Socket::Receiving::Idle);
        return true;
    }
    return false;
}

// Hands a stream to the close watch, once per stream: at its first pause (most streams are
// never paused) or once it has read its peer's FIN (a reset then still ends it). The watch
// reports an end that came before too.
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
    if (socket->receiving == Socket::Receiving::Ended) {
        // Its peer's FIN has been read: only a reset ends it now.
        if (broken) {
            log_->debug("Connection {} to {} broke after its peer ended sending", socket->id,
                        socket->peer);
            end_stream(socket, lock);
        }
        return;
    }
    // A stream that is being read or waits for input learns of the end by reading.
    if (socket->receiving == Socket::Receiving::Waiting) {
        peer_ended(socket, lock);
    }
}

void NodeCore::peer_ended(const SocketPtr& socket, NodeLock& lock) {
    if (socket->peer_end == Socket::PeerEnd::Broken) {
        end_paused(socket, lock);
        return;
    }
    if (socket->paused) {
        // The caller holds it: a half-closing stream reads the rest and the FIN once resumed;
        // any other has nobody to take its input.
        if (!socket->half_close) {
            end_paused(socket, lock);
        }
        return;
    }
    // Waiting for the coupled peer: the stream goes on reading while that peer takes bytes
    // (a half-closing one then reads the FIN in order, after the data before it), and ends only
    // once the pair has moved nothing for the stall deadline.
    watch_stall(socket);
}

void NodeCore::end_paused(const SocketPtr& socket, NodeLock& lock) {
    log_->debug("Connection {} to {} ended while its reading was paused", socket->id, socket->peer);
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
