// Reading a stream: the read turn (one owner at a time, on the loop's thread), the chunk held
// while the stream is paused, pausing by the caller and by coupling, the close watch of a stream
// that is not being read, and the deadline of a peer's end that waits for the coupled peer.
//
// The receiving state (Socket::Receiving) lives in the socket under the node mutex and moves
// only here: Idle -> Turn when an established stream starts reading (start_read); Idle ->
// Waiting when it is held back before its first read; Turn -> Waiting when a pause or a full
// coupled peer stops the turn (wait_for_resume); Waiting -> Turn on resume or remove (a read, or
// the posted delivery of the held chunk); Turn -> Ended at the peer's FIN; Turn -> Idle when the
// stream was closed during the turn. The reads themselves are made without the mutex by the turn's
// holder (counted in `in_flight`), and its deliveries too (deliver_in_turn). pause_reading and
// resume_reading come from any thread; the turn, the close watch's reports and the timers' handlers
// run on the loop's thread.

#include "proxy/node_core.hpp"

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
    if (socket->kind != Kind::TcpStream || socket->closed || !socket->established ||
        socket->in_turn() || socket->receiving == Socket::Receiving::Ended) {
        return;
    }
    if (socket->removed) {
        start_read(socket);
        return;
    }
    if (held_back(*socket)) {
        if (socket->receiving == Socket::Receiving::Idle) {
            wait_for_resume(socket);  // held back before its first read
        }
        return;
    }
    if (socket->held) {
        // The posted delivery holds the turn, so that nothing reads past the held chunk.
        socket->set_receiving(Socket::Receiving::Turn);
        post([this, socket] { deliver_held(socket); });
        return;
    }
    start_read(socket);
}

// Takes the read turn of a stream and runs it on the loop's thread.
void NodeCore::start_read(const SocketPtr& socket) {
    socket->set_receiving(Socket::Receiving::Turn);
    post([this, socket] { read_turn(socket); });
}

// Reading is held back (a pause or a full coupled peer) and no read is under way, or the turn's
// holder gives the turn up for it: from now on the peer's end, as the close watch reports it,
// ends the stream or starts the deadline.
void NodeCore::wait_for_resume(const SocketPtr& socket) {
    socket->set_receiving(Socket::Receiving::Waiting);
    enter_watch(socket);
    if (socket->peer_end != Socket::PeerEnd::Unseen) {
        // An end seen while the stream was still being read ends it now.
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

// One turn of reading a stream (the read turn held): up to READS_PER_TURN chunks, each
// delivered before the next is read, pause and coupling checked before each read. While
// the last read filled its buffer more is likely waiting and is read at once; otherwise Asio
// waits for the socket (and reads the first chunk), so that no read comes back empty.
void NodeCore::read_turn(const SocketPtr& socket) {
    assert_loop_thread();
    NodeLock lock(*this);
    assert(socket->in_turn());
    for (int turn = 0; turn < READS_PER_TURN; ++turn) {
        if (socket->closed) {
            socket->set_receiving(Socket::Receiving::Idle);
            return;
        }
        if (!socket->removed && held_back(*socket)) {
            wait_for_resume(socket);
            return;
        }
        if (socket->read_buffer.size() != CHUNK_SIZE) {
            socket->read_buffer = take_buffer();
        }
        auto buffer = asio::buffer(socket->read_buffer);
        if (!socket->readable) {
            // Closed meanwhile or not, the read has been started: its handler runs (aborted, if
            // need be) and ends the turn in took_chunk.
            std::ignore = outside(*socket, lock, [&] {
                socket->stream->async_read_some(buffer,
                                                [this, socket](asio::error_code ec, std::size_t n) {
                                                    NodeLock inner(*this);
                                                    if (took_chunk(socket, ec, n, inner)) {
                                                        inner.unlock();
                                                        read_turn(socket);
                                                    }
                                                });
            });
            return;
        }
        asio::error_code ec;
        std::size_t n = 0;
        // took_chunk sees a close meanwhile, as it does for a read that Asio completes.
        std::ignore = outside(*socket, lock, [&] { n = socket->stream->read_some(buffer, ec); });
        if (!took_chunk(socket, ec, n, lock)) {
            return;
        }
    }
    // The turn is over: other sockets' events come first.
    post([this, socket] { read_turn(socket); });
}

// The outcome of one read (node mutex held, read turn held): delivers the chunk or the end
// of the stream. True when the turn goes on; false when it has ended.
bool NodeCore::took_chunk(const SocketPtr& socket, asio::error_code ec, std::size_t n,
                          NodeLock& lock) {
    assert_loop_thread();
    assert_locked();
    assert(socket->in_turn());
    if (socket->closed) {
        socket->set_receiving(Socket::Receiving::Idle);
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
        if (ec == asio::error::eof) {
            socket->set_receiving(Socket::Receiving::Ended);
            if (socket->sending == Socket::Sending::Ended) {
                close_socket(*socket);
            }
        } else {
            socket->set_receiving(Socket::Receiving::Idle);
            close_socket(*socket);
        }
        return false;
    }
    Endpoint endpoint{socket->id, socket->peer};
    if (ec == asio::error::eof && socket->half_close) {
        // Only the peer's sending has ended: the other direction goes on until the stream is
        // shut down or removed, or the pair stops moving bytes.
        socket->set_receiving(Socket::Receiving::Ended);
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
            log_->debug("Connection {} to {} broke: {}", socket->id, socket->peer, ErrorText{ec});
        }
        socket->set_receiving(Socket::Receiving::Idle);
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
    if (held_back(*socket)) {
        socket->held = std::move(chunk);
        wait_for_resume(socket);
        return false;
    }
    return !deliver_in_turn(socket, lock, Data{endpoint, std::move(chunk)});
}

// Delivers the chunk held while reading was held back (read turn held: see update_reading),
// then reads on in the same turn.
void NodeCore::deliver_held(const SocketPtr& socket) {
    assert_loop_thread();
    NodeLock lock(*this);
    assert(socket->in_turn());
    if (socket->closed) {
        socket->set_receiving(Socket::Receiving::Idle);
        return;
    }
    if (!socket->removed) {
        if (held_back(*socket)) {
            wait_for_resume(socket);
            return;
        }
        // remove() drops the held chunk; only a removed stream is without one here.
        assert(socket->held);
        Data data{{socket->id, socket->peer}, std::move(*socket->held)};
        socket->held.reset();
        if (deliver_in_turn(socket, lock, std::move(data))) {
            return;
        }
    }
    // A removed stream drains its input in the turn it holds.
    lock.unlock();
    read_turn(socket);
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

// The peer of a stream that is not being read closed or broke the connection. A broken one
// and one that the caller paused itself end at once: their unread input would never be
// taken. One that waits for its coupled peer still hands on its input while that peer takes
// it, and ends once the peer has made no progress for REMOVE_FLUSH_DEADLINE; so a peer that
// is slow loses nothing, and one that has stopped reading holds the pair no longer than a
// removed socket's flush.
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
    // A socket that is being read learns of the end by reading.
    if (socket->receiving == Socket::Receiving::Waiting) {
        peer_ended(socket, lock);
    }
}

void NodeCore::peer_ended(const SocketPtr& socket, NodeLock& lock) {
    if (socket->peer_end == Socket::PeerEnd::Broken || socket->paused) {
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

void NodeCore::await_progress(const SocketPtr& socket) {
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
                  if (socket->in_turn() || socket->progress != socket->progress_mark) {
                      await_progress(socket);
                      return;
                  }
                  if (socket->receiving == Socket::Receiving::Ended) {
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

// A read buffer of CHUNK_SIZE bytes, reused when one is free.
std::vector<std::uint8_t> NodeCore::take_buffer() {
    if (free_buffers_.empty()) {
        return std::vector<std::uint8_t>(CHUNK_SIZE);
    }
    std::vector<std::uint8_t> buffer = std::move(free_buffers_.back());
    free_buffers_.pop_back();
    buffer.resize(CHUNK_SIZE);
    return buffer;
}

// Keeps a written chunk's storage for a later read when it is a read buffer.
void NodeCore::give_buffer(std::vector<std::uint8_t>&& buffer) {
    if (buffer.capacity() == CHUNK_SIZE && free_buffers_.size() < FREE_BUFFERS_MAX) {
        free_buffers_.push_back(std::move(buffer));
    }
}

}  // namespace tessaro::node
