// Winsock socket options: keep-alive through WSAIoctl, since Windows takes its idle time and
// interval only that way; no device binding, no broadcast lookup.
#include "proxy/node/socket_options.hpp"

#include "common/os/windows.hpp"

#include <asio/io_context.hpp>
#include <asio/windows/overlapped_ptr.hpp>

#include <mstcpip.h>
#include <mswsock.h>

#include "common/os/system_error.hpp"

namespace tessaro::node::os {

namespace {

SOCKET socket_of(NativeSocket socket) {
    return static_cast<SOCKET>(socket);
}

}  // namespace

VoidResult bind_to_device(NativeSocket, const std::string&) {
    return {};
}

VoidResult set_keepalive(NativeSocket socket, const KeepAlive& keepalive) {
    tcp_keepalive values{};
    values.onoff = 1;
    values.keepalivetime = static_cast<ULONG>(keepalive.idle.count() * 1000);
    values.keepaliveinterval = static_cast<ULONG>(keepalive.interval.count() * 1000);
    DWORD returned = 0;
    if (WSAIoctl(socket_of(socket), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0,
                 &returned, nullptr, nullptr) != 0) {
        int code = WSAGetLastError();
        return fail(tessaro::os::system_error_text(static_cast<std::uint32_t>(code)));
    }
    return {};
}

bool streams_io_directly() {
    return false;
}

bool waits_for_readiness() {
    return false;
}

std::size_t unsent_bytes(NativeSocket) {
    return 0;
}

bool release_before_close() {
    return false;
}

void close_socket(NativeSocket socket) {
    closesocket(socket_of(socket));
}

bool listener_reuses_address() {
    return false;
}

// MinGW's headers lack SO_REUSE_UNICASTPORT (Windows 10 and later); this is its value.
#ifndef SO_REUSE_UNICASTPORT
#define SO_REUSE_UNICASTPORT 0x3007
#endif

bool choose_port_at_connect(NativeSocket socket) {
    DWORD on = 1;
    // Systems before Windows 10 refuse the option (WSAENOPROTOOPT or WSAEINVAL): the port is
    // then chosen at the bind, as before.
    return setsockopt(socket_of(socket), SOL_SOCKET, SO_REUSE_UNICASTPORT,
                      reinterpret_cast<const char*>(&on), sizeof on) == 0;
}

bool accepted_inherit_options() {
    return false;
}

void ignore_udp_connection_reset(NativeSocket socket) {
    BOOL report = FALSE;
    DWORD returned = 0;
    // Best effort: without it a stray ICMP message costs one failed receive, which the node
    // skips anyway.
    WSAIoctl(socket_of(socket), SIO_UDP_CONNRESET, &report, sizeof report, nullptr, 0, &returned,
             nullptr, nullptr);
}

std::optional<BroadcastBinding> broadcast_binding_for(Ipv4Addr) {
    return std::nullopt;
}

void tune_allocator() {
    // The Windows heap keeps freed blocks for reuse by itself.
}

void raise_descriptor_limit() {
    // Windows sockets count against no per-process descriptor limit.
}

namespace {

// The AFD driver's poll request, which the system's own poll functions are built on: it reports a
// socket's events without reading it. Its layout is the driver's interface.
constexpr ULONG IOCTL_AFD_POLL = 0x00012024;
constexpr ULONG AFD_POLL_DISCONNECT = 0x0008;   // the peer's FIN
constexpr ULONG AFD_POLL_ABORT = 0x0010;        // a reset
constexpr ULONG AFD_POLL_LOCAL_CLOSE = 0x0020;  // our own handle was closed

struct AfdPollHandleInfo {
    HANDLE handle;
    ULONG events;
    LONG status;
};
struct AfdPollInfo {
    LARGE_INTEGER timeout;
    ULONG number_of_handles;
    ULONG exclusive;
    AfdPollHandleInfo handles[1];
};

using NtDeviceIoControlFile = LONG(NTAPI*)(HANDLE file, HANDLE event, PVOID apc_routine,
                                           PVOID apc_context, PVOID io_status, ULONG code,
                                           PVOID input, ULONG input_length, PVOID output,
                                           ULONG output_length);

// One poll under way per watched stream, through the io_context's completion port (the socket is
// associated with it already): first for the peer's FIN or a reset, after a FIN (once the owner
// asks, by watch_reset) for a reset only, so that each end is reported once. Closing the socket
// ends the poll.
class AfdCloseWatch final : public CloseWatch {
  public:
    AfdCloseWatch(asio::io_context& io, Callback on_closed, NtDeviceIoControlFile control)
        : io_(io), on_closed_(std::move(on_closed)), control_(control) {}

    void watch(NativeSocket socket, std::uint64_t key) override {
        watch_for(socket, key, AFD_POLL_DISCONNECT | AFD_POLL_ABORT | AFD_POLL_LOCAL_CLOSE);
    }
    void watch_reset(NativeSocket socket, std::uint64_t key) override {
        watch_for(socket, key, AFD_POLL_ABORT | AFD_POLL_LOCAL_CLOSE);
    }

  private:
    void watch_for(NativeSocket socket, std::uint64_t key, ULONG events) {
        SOCKET base = INVALID_SOCKET;
        DWORD bytes = 0;
        // A layered provider puts a socket of its own over the system's; a poll of the base
        // socket would not report to this io_context's port, so such a stream is not watched
        // (it learns of its peer's end by reading, as without a watch).
        if (WSAIoctl(socket_of(socket), SIO_BASE_HANDLE, nullptr, 0, &base, sizeof base, &bytes,
                     nullptr, nullptr) != 0 ||
            base != socket_of(socket)) {
            return;
        }
        poll(reinterpret_cast<HANDLE>(base), key, events);
    }

    void poll(HANDLE handle, std::uint64_t key, ULONG events) {
        auto info = std::make_shared<AfdPollInfo>();
        info->timeout.QuadPart = INT64_MAX;
        info->number_of_handles = 1;
        info->exclusive = FALSE;
        info->handles[0].handle = handle;
        info->handles[0].events = events;
        asio::windows::overlapped_ptr operation(
            io_, [this, info, handle, key, events](asio::error_code ec, std::size_t) {
                polled(ec, info->handles[0].events, handle, key, events);
            });
        OVERLAPPED* overlapped = operation.get();
        const LONG status =
            control_(handle, nullptr, nullptr, overlapped, &overlapped->Internal, IOCTL_AFD_POLL,
                     info.get(), sizeof *info, info.get(), sizeof *info);
        // An error status queues no completion: the stream goes unwatched, as without a watch.
        if ((static_cast<ULONG>(status) >> 30) == 3) {
            return;
        }
        operation.release();
    }

    // `got`: the events the poll reported; `asked`: those it was asked for.
    void polled(asio::error_code ec, ULONG got, HANDLE handle, std::uint64_t key, ULONG asked) {
        if (ec || (got & AFD_POLL_LOCAL_CLOSE) != 0) {
            return;  // the socket was closed
        }
        if ((got & AFD_POLL_ABORT) != 0) {
            on_closed_(key, true);
            return;
        }
        if ((got & AFD_POLL_DISCONNECT) != 0) {
            // The owner may close the socket in its callback, and its handle may be reused at
            // once: the owner, not this poll, watches again (watch_reset).
            on_closed_(key, false);
            return;
        }
        poll(handle, key, asked);
    }

    asio::io_context& io_;
    Callback on_closed_;
    NtDeviceIoControlFile control_;
};

// Where the driver's poll cannot be reached, nothing is watched: a stream learns of its peer's
// close only by reading.
class NoCloseWatch final : public CloseWatch {
  public:
    void watch(NativeSocket, std::uint64_t) override {}
    void watch_reset(NativeSocket, std::uint64_t) override {}
};

}  // namespace

std::unique_ptr<CloseWatch> CloseWatch::create(asio::io_context& io, Callback on_closed) {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto control = ntdll == nullptr
                       ? nullptr
                       : reinterpret_cast<NtDeviceIoControlFile>(reinterpret_cast<void*>(
                             GetProcAddress(ntdll, "NtDeviceIoControlFile")));
    if (control == nullptr) {
        return std::make_unique<NoCloseWatch>();
    }
    return std::make_unique<AfdCloseWatch>(io, std::move(on_closed), control);
}

void set_current_thread_name(const char* name) {
    // SetThreadDescription exists from Windows 10 1607 on; older systems and some Wine versions
    // lack it, so it is looked up rather than linked.
    using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr) {
        return;
    }
    auto set_description = reinterpret_cast<SetDescription>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetThreadDescription")));
    if (set_description == nullptr) {
        return;
    }
    wchar_t wide[64] = {};
    for (std::size_t i = 0; i + 1 < sizeof wide / sizeof wide[0] && name[i] != '\0'; ++i) {
        wide[i] = static_cast<wchar_t>(static_cast<unsigned char>(name[i]));
    }
    set_description(GetCurrentThread(), wide);
}

}  // namespace tessaro::node::os
