// Winsock socket options: keep-alive through WSAIoctl, since Windows takes its idle time and
// interval only that way; no device binding, no broadcast lookup.
#include "proxy/socket_options.hpp"

#include "common/os/windows.hpp"

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

// Winsock offers no way to learn of a peer's close without reading: nothing is watched.
class NoCloseWatch final : public CloseWatch {
  public:
    void watch(NativeSocket, std::uint64_t) override {}
};

}  // namespace

std::unique_ptr<CloseWatch> CloseWatch::create(asio::io_context&, Callback) {
    return std::make_unique<NoCloseWatch>();
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
