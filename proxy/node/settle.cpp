// The settling step: after anything changes what a stream's reading or stall deadline depends on
// (its pause, its coupled peer's fullness, what the close watch saw of its peer, its receiving
// state, its queue, the chunks it holds, its draining, its coupling), one function decides from
// the stream's state alone what it does next and whether its deadline runs. The places that
// change such state call settle and choose nothing themselves; the read turn's holder asks
// turn_step, the same rules seen from inside the turn.
//
// Everything here runs under the node mutex, on any thread; what must run on the loop's thread
// (a read turn, the end of a stream, the deadline's timer) is posted there.

#include "proxy/node/core.hpp"

namespace tessaro::node {

NodeCore::Next NodeCore::next_step(const Socket& socket) {
    using R = Socket::Receiving;
    if (socket.kind != Kind::TcpStream || socket.closed || !socket.established) {
        return Next::Nothing;
    }
    switch (socket.receiving) {
        case R::Turn:
        case R::Armed:
            return Next::Nothing;  // the turn's holder, or the wait's completion, decides
        case R::Ended:
            // Its peer's FIN has been read: only a reset ends it now.
            return socket.peer_broken() ? Next::End : Next::Nothing;
        case R::Idle:
        case R::Waiting:
            break;
    }
    if (!held_back(socket)) {
        return Next::Read;  // held chunks, a held end and new input are all the turn's
    }
    if (socket.peer_broken()) {
        return Next::End;  // its unread input will never be taken
    }
    if (socket.paused && !socket.half_close && socket.peer_done_sending()) {
        // The caller holds it and its peer is gone: nobody will take its input.
        return Next::End;
    }
    // A half-closing stream the caller paused reads the rest and the FIN once resumed; one that
    // waits for its coupled peer goes on while that peer takes bytes, under the stall deadline.
    return Next::Hold;
}

NodeCore::TurnStep NodeCore::turn_step(const Socket& socket, bool system_empty) {
    if (socket.closed) {
        return TurnStep::Stop;
    }
    if (held_back(socket)) {
        return TurnStep::Hold;
    }
    if (!socket.held.empty()) {
        return TurnStep::DeliverHeld;
    }
    if (socket.held_end) {
        return TurnStep::EndInput;
    }
    return system_empty ? TurnStep::Arm : TurnStep::Read;
}

void NodeCore::settle(const SocketPtr& socket) {
    assert_locked();
    if (socket->kind != Kind::TcpStream || socket->closed) {
        return;
    }
    switch (next_step(*socket)) {
        case Next::Nothing:
            break;
        case Next::Read:
            start_read(socket);
            break;
        case Next::Hold:
            if (socket->receiving == Socket::Receiving::Idle) {
                socket->set_receiving(Socket::Receiving::Waiting);  // before its first read
            }
            break;
        case Next::End:
            end_when_settled(socket);
            break;
    }
    // A stream held back, or one whose peer's FIN has been read, learns of its peer's end (a
    // reset) only from the close watch.
    if (socket->receiving == Socket::Receiving::Waiting ||
        socket->receiving == Socket::Receiving::Ended) {
        enter_watch(socket);
    }
    watch_stall(*socket);
    // The peer's end of one stream is the end of its pair: it may make the coupled peer's queued
    // bytes due too.
    if (Socket* peer = coupled_peer(*socket)) {
        watch_stall(*peer);
    }
}

void NodeCore::end_when_settled(const SocketPtr& socket) {
    post([this, socket] {
        NodeLock lock(*this);
        if (next_step(*socket) == Next::End) {
            end_held(socket, lock);
        }
    });
}

}  // namespace tessaro::node
