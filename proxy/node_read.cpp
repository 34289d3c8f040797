// Reading a stream: the read turn (one owner at a time, on the loop's thread), the chunk held
// while the stream is paused, pausing by the caller and by coupling, the close watch of a stream
// that is not being read, and the deadline of a peer's end that waits for the coupled peer.
//
// The turn's state lives in the socket under the node mutex; the reads themselves are made
// without it by the turn's holder (counted in `in_flight`). pause_reading and resume_reading
// come from any thread; the turn, the close watch's reports and the timers' handlers run on the
// loop's thread.

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
    if (socket->kind != Kind::TcpStream || socket->closed || !socket->established ||
        socket->reading || socket->read_closed) {
        return;
    }
    if (socket->removed) {
        start_read(socket);
        return;
    }
    if (socket->paused || socket->peer_full) {
        watch_close(socket);
        return;
    }
    if (socket->held) {
        if (!socket->held_posted) {
            socket->held_posted = true;
            post([this, socket] { deliver_held(socket); });
        }
        return;
    }
    start_read(socket);
}

// Takes the read turn of a stream and runs it on the loop's thread.
void NodeCore::start_read(const SocketPtr& socket) {
    unwatch_close(*socket);
    socket->reading = true;
    post([this, socket] { read_turn(socket); });
}

// One turn of reading a stream (the read turn held): up to READS_PER_TURN chunks, each
// delivered before the next is read, pause and coupling checked before each read. While
// the last read filled its buffer more is likely waiting and is read at once; otherwise Asio
// waits for the socket (and reads the first chunk), so that no read comes back empty.
void NodeCore::read_turn(const SocketPtr& socket) {
    NodeLock lock(*this);
    for (int turn = 0; turn < READS_PER_TURN; ++turn) {
        if (socket->closed) {
            socket->reading = false;
            return;
        }
        if (!socket->removed && (socket->paused || socket->peer_full)) {
            socket->reading = false;
            watch_close(socket);
            return;
        }
        if (socket->read_buffer.size() != CHUNK_SIZE) {
            socket->read_buffer = take_buffer();
        }
        auto buffer = asio::buffer(socket->read_buffer);
        if (!socket->readable) {
            const bool closed = outside(*socket, lock, [&] {
                socket->stream->async_read_some(buffer,
                                                [this, socket](asio::error_code ec, std::size_t n) {
                                                    NodeLock inner(*this);
                                                    if (took_chunk(socket, ec, n, inner)) {
                                                        inner.unlock();
                                                        read_turn(socket);
                                                    }
                                                });
            });
            if (closed) {
                socket->reading = false;
            }
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
    if (socket->closed) {
        socket->reading = false;
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
        socket->reading = false;
        if (ec == asio::error::eof) {
            socket->peer_eof = true;
            if (socket->sending == Socket::Sending::Ended) {
                close_socket(*socket);
            }
        } else {
            close_socket(*socket);
        }
        return false;
    }
    Endpoint endpoint{socket->id, socket->peer};
    if (ec == asio::error::eof && socket->half_close) {
        // Only the peer's sending has ended: the other direction goes on until the stream is
        // shut down or removed, or the pair stops moving bytes.
        socket->reading = false;
        socket->read_closed = true;
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
        socket->reading = false;
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
    if (socket->paused || socket->peer_full) {
        socket->held = std::move(chunk);
        socket->reading = false;
        watch_close(socket);
        return false;
    }
    lock.unlock();
    deliver(Data{endpoint, std::move(chunk)}, socket.get());
    lock.lock();
    return true;
}

void NodeCore::deliver_held(const SocketPtr& socket) {
    NodeLock lock(*this);
    socket->held_posted = false;
    if (socket->closed || socket->removed || !socket->held || socket->reading) {
        return;
    }
    if (socket->paused || socket->peer_full) {
        watch_close(socket);
        return;
    }
    Data data{{socket->id, socket->peer}, std::move(*socket->held)};
    socket->held.reset();
    unwatch_close(*socket);
    socket->reading = true;
    lock.unlock();
    deliver(std::move(data), socket.get());
    read_turn(socket);
}

// Reading stops for a pause: from now on the peer's end ends the socket, also an end that
// was seen while it was still being read.
void NodeCore::watch_close(const SocketPtr& socket) {
    if (socket->watching || socket->reading || socket->closed) {
        return;
    }
    socket->watching = true;
    enter_watch(socket);
    if (socket->peer_closed) {
        post([this, socket] {
            NodeLock lock(*this);
            if (!socket->closed && !socket->removed && socket->watching) {
                peer_ended(socket, lock);
            }
        });
    }
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
    socket->peer_closed = true;
    socket->peer_broken = socket->peer_broken || broken;
    if (socket->read_closed) {
        // Its peer's FIN has been read: only a reset ends it now.
        if (broken) {
            log_->debug("Connection {} to {} broke after its peer ended sending", socket->id,
                        socket->peer);
            end_stream(socket, lock);
        }
        return;
    }
    // A socket that is being read learns of the end by reading.
    if (socket->watching) {
        peer_ended(socket, lock);
    }
}

void NodeCore::peer_ended(const SocketPtr& socket, NodeLock& lock) {
    if (socket->peer_broken || socket->paused) {
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
                  if (socket->reading || socket->progress != socket->progress_mark) {
                      await_progress(socket);
                      return;
                  }
                  if (socket->read_closed) {
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
