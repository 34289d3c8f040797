// The platform bits of the event node: socket options that Asio does not cover and the few
// places where Linux and Windows sockets behave differently.
//
// Every function takes the socket's native handle (a file descriptor on POSIX, a SOCKET on
// Windows, both carried as an integer) and returns the system's error text on failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/error.hpp"
#include "common/ipv4.hpp"
#include "proxy/node/node.hpp"

namespace asio {
class io_context;
}

namespace tessaro::node::os {

using NativeSocket = std::uintptr_t;

// Linux: SO_BINDTODEVICE, so that the socket only uses that adapter. Windows: nothing, since the
// bound source address already selects the adapter there. An empty name does nothing. An address
// label such as "eth0:1" (what getifaddrs names a labelled address by) binds to its link, "eth0":
// the system knows no device by the label.
[[nodiscard]] VoidResult bind_to_device(NativeSocket socket, const std::string& device);

// Keep-alive on with the given idle time and probe interval. Linux: SO_KEEPALIVE, TCP_KEEPIDLE,
// TCP_KEEPINTVL. Windows: SIO_KEEPALIVE_VALS.
[[nodiscard]] VoidResult set_keepalive(NativeSocket socket, const KeepAlive& keepalive);

// Whether a TCP listener sets SO_REUSEADDR. POSIX: yes, so that a restarted server can bind
// while old connections linger in TIME_WAIT. Windows: no, since there it lets another socket
// take over a port that is in use.
bool listener_reuses_address();

// Before a connection from a source address with port 0: Linux leaves the choice of the port to
// the connect (IP_BIND_ADDRESS_NO_PORT), which takes a port that is free towards that peer. A
// port chosen by the bind itself must be free of every connection of the address, those in
// TIME_WAIT included, so a relay that opens connections quickly runs out of ports after some
// 28,000 within a minute and then fails to connect until they age out. Windows 10 and later:
// SO_REUSE_UNICASTPORT, to the same end. A system that lacks the option is left as it is: the
// bind works all the same. Returns whether the option was set.
bool choose_port_at_connect(NativeSocket socket);

// Whether a listener or UDP socket is taken out of Asio's poller (released) before it is closed,
// so that its address is free once the close returns. Linux: yes; epoll pins a socket's file
// while it reports the socket ready on the loop's thread, and a close made meanwhile by another
// thread leaves the socket bound until the loop lets go of it, while taking it out of the epoll
// set waits for that. Windows: no, the close frees the address at once (and Asio cannot release
// a socket from its completion port on every system).
bool release_before_close();
// Closes a native socket handle that was released from Asio.
void close_socket(NativeSocket socket);

// Whether the node writes a stream itself, without the node mutex, and hands Asio only what the
// system did not take: small sends written at once by the sender. POSIX: yes. Windows: no, its
// writes are Asio's own operations (completion ports), started without the node mutex too.
// (Reads are made by the node itself on both, once input has come: see waits_for_readiness.)
bool streams_io_directly();

// Whether a stream that waits for input waits for readiness, holding no buffer (Linux: Asio's
// wait on epoll), or must keep a read pending, with a buffer, to learn of input (Windows:
// completion ports tell only of finished operations).
bool waits_for_readiness();

// Bytes written to a stream that the system still holds, not yet taken by the peer: they shrink
// while a slow peer reads, so a stream whose own writes wait for room is still seen to move.
// Linux: SIOCOUTQ. Windows: 0 (not known; there a write completes once the system has taken
// it, and writes are kept small enough to complete often).
std::size_t unsent_bytes(NativeSocket socket);

// Whether an accepted socket takes over keep-alive (with its idle time and interval) and
// disabled delayed sending from its listener, so that they are set once on the listener instead
// of on every connection. Linux: yes, it copies them into each accepted socket. Windows: no.
bool accepted_inherit_options();

// Windows reports an ICMP "port unreachable" for an earlier datagram as a failed receive on the
// UDP socket (WSAECONNRESET); this turns that off (SIO_UDP_CONNRESET). POSIX: nothing.
void ignore_udp_connection_reset(NativeSocket socket);

// The adapter that holds `address` and its broadcast address, when it has one. Linux only: a
// socket bound to a unicast address receives none of its adapter's broadcasts there, so the node
// binds a second socket to this. Windows delivers them to the unicast socket and gets nothing.
struct BroadcastBinding {
    std::string device;
    Ipv4Addr broadcast;
};
std::optional<BroadcastBinding> broadcast_binding_for(Ipv4Addr address);

// Linux (glibc): keeps the allocator from handing memory back to the system and taking it again
// for every chunk that passes through the node. By default glibc trims the top of the heap as
// soon as more than 128 KiB lie free there and moves its mmap threshold with each large free, so
// the 64 KiB chunks of a busy relay make it shrink and grow the heap all the time, each time
// with a system call that can take milliseconds. Freed memory is still reused and returned
// beyond the trim threshold. Windows: nothing. Safe to call more than once.
void tune_allocator();

// Linux: raises the soft limit of open descriptors to the hard limit, so that the relays are not
// stopped near 500 pairs by the usual soft limit of 1024. Windows: nothing (no such limit).
void raise_descriptor_limit();

// Tells when the peer of a stream has closed or reset it, without reading the stream: a socket
// whose reading is paused would otherwise learn of its peer's end only when it reads again.
// `on_closed` runs on the io_context's thread with the socket's key and whether the connection
// broke (error or reset) rather than ended in order. Linux: an epoll set of its own with
// edge-triggered EPOLLRDHUP, watched through the io_context; a stream that has shut down its own
// sending after its peer's FIN is reported again, as ended in order. Windows: the AFD driver's
// poll of the socket (disconnect and abort events), completed through the io_context's port, as
// the system's own poll functions do; a socket layered by another provider is not watched. The
// owner watches again, through watch_reset, after a close was reported.
class CloseWatch {
  public:
    using Callback = std::function<void(std::uint64_t key, bool broken)>;

    [[nodiscard]] static std::unique_ptr<CloseWatch> create(asio::io_context& io,
                                                            Callback on_closed);
    virtual ~CloseWatch() = default;

    // Watches a stream from now until it is closed; each end of it is reported once, also one
    // that happened before. The socket must stay open during the call.
    virtual void watch(NativeSocket socket, std::uint64_t key) = 0;
    // After an ordered close was reported: watches the stream for a reset only. The owner calls
    // it while the socket is open and still its, so that a watch is never placed on a handle
    // that was closed (and perhaps given to another socket) meanwhile. Linux: nothing, the epoll
    // set keeps watching.
    virtual void watch_reset(NativeSocket socket, std::uint64_t key) = 0;
};

// Names the calling thread where the platform lets us (Linux: pthread_setname_np; Windows:
// SetThreadDescription when kernel32 has it).
void set_current_thread_name(const char* name);

}  // namespace tessaro::node::os
