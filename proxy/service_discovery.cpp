#include "proxy/service_discovery.hpp"

#include <string>

#include "common/log.hpp"

namespace tessaro {

namespace {

std::shared_ptr<spdlog::logger> discovery_log(DeviceKind kind) {
    return log::get("tessaro::service_discovery::" + std::string(log_word(kind)));
}

const node::Data* datagram_on(const node::Event& event, node::ResourceId socket) {
    const auto* data = std::get_if<node::Data>(&event);
    return data != nullptr && data->endpoint.resource_id == socket ? data : nullptr;
}

const node::Signal* signal_of(const node::Event& event) {
    return std::get_if<node::Signal>(&event);
}

}  // namespace

Result<std::unique_ptr<ServiceDiscoveryClient>> ServiceDiscoveryClient::create(
    DeviceInterface device_iface, std::uint16_t port, std::chrono::steady_clock::duration interval,
    DeviceKind kind, node::SharedHandler handler,
    std::chrono::steady_clock::duration answer_timeout) {
    // The socket sits at the PC's own address on the USB link, where the device answers.
    auto socket = handler->udp_listen(SocketAddrV4{device_iface.ip_address, port});
    if (!socket) {
        return fail(socket.error());
    }
    std::unique_ptr<ServiceDiscoveryClient> client(new ServiceDiscoveryClient());
    client->handler_ = std::move(handler);
    client->resource_id_ = *socket;

    auto request_signal = next_signal_id();
    if (!request_signal) {
        return fail(request_signal.error());
    }
    client->request_signal_ = *request_signal;
    client->handler_->signal(client->request_signal_);

    client->request_ = ServiceDiscoveryRequest::encode(kind, device_iface.ip_address, port);

    auto timeout_signal = next_signal_id();
    if (!timeout_signal) {
        return fail(timeout_signal.error());
    }
    client->timeout_signal_ = *timeout_signal;
    client->device_iface_ = std::move(device_iface);
    client->interval_ = interval;
    client->answer_timeout_ = answer_timeout;
    client->port_ = port;
    client->kind_ = kind;
    client->log_ = discovery_log(kind);
    return client;
}

ServiceDiscoveryClient::~ServiceDiscoveryClient() {
    if (handler_) {
        handler_->remove(resource_id_);
    }
}

bool ServiceDiscoveryClient::handle_event(const node::Event& event) {
    if (const auto* signal = signal_of(event)) {
        if (signal->id == request_signal_) {
            waiting_ = true;
            handler_->signal_after(timeout_signal_, answer_timeout_);
            log_->debug("Send ServiceDiscoveryRequest to {}:{}", device_iface_.broadcast_address,
                        port_);
            handler_->send(node::Endpoint{resource_id_, {device_iface_.broadcast_address, port_}},
                           request_);
            handler_->signal_after(request_signal_, interval_);
            return true;
        }
        if (signal->id == timeout_signal_) {
            if (waiting_) {
                announcement_.reset();
            }
            return true;
        }
        return false;
    }
    const node::Data* data = datagram_on(event, resource_id_);
    if (data == nullptr) {
        return false;
    }
    auto received = ServiceAnnouncement::parse(data->bytes);
    if (received && device_kind(received->kind) == kind_) {
        log_->debug("Received ServiceAnnouncement from {}", received->ip_address);
        waiting_ = false;
        announcement_ = std::move(*received);
    }
    return true;
}

Result<std::unique_ptr<ServiceDiscoveryServer>> ServiceDiscoveryServer::create(
    DeviceKind kind, node::SharedHandler handler, SocketAddrV4 listen_address,
    std::optional<Ipv4Addr> target, std::uint16_t target_port,
    std::chrono::steady_clock::duration interval, const ServiceAnnouncement& announcement) {
    if (device_kind(announcement.kind) != kind) {
        return fail(
            fmt::format("Internal error: Got wrong service announcement for service discovery "
                        "server ({} != {})",
                        to_string(device_kind(announcement.kind)), to_string(kind)));
    }
    // Encoded before anything is opened: an announcement that cannot be sent is no server.
    auto datagram = announcement.encode();
    if (!datagram) {
        return fail(datagram.error());
    }
    auto socket = handler->udp_listen(listen_address);
    if (!socket) {
        return fail(socket.error());
    }
    std::unique_ptr<ServiceDiscoveryServer> server(new ServiceDiscoveryServer());
    server->handler_ = std::move(handler);
    server->resource_id_ = *socket;

    auto announce_signal = next_signal_id();
    if (!announce_signal) {
        return fail(announce_signal.error());
    }
    server->announce_signal_ = *announce_signal;
    if (target) {
        server->handler_->signal(server->announce_signal_);
    }
    server->datagram_ = std::move(*datagram);
    server->interval_ = interval;
    server->target_ = target;
    server->target_port_ = target_port;
    server->kind_ = kind;
    server->log_ = discovery_log(kind);
    return server;
}

ServiceDiscoveryServer::~ServiceDiscoveryServer() {
    if (handler_) {
        handler_->remove(resource_id_);
    }
}

bool ServiceDiscoveryServer::handle_event(const node::Event& event) {
    if (const auto* signal = signal_of(event)) {
        if (signal->id != announce_signal_) {
            return false;
        }
        if (target_) {
            send_announcement(*target_, target_port_);
            handler_->signal_after(announce_signal_, interval_);
        }
        return true;
    }
    const node::Data* data = datagram_on(event, resource_id_);
    if (data == nullptr) {
        return false;
    }
    auto request = ServiceDiscoveryRequest::parse(data->bytes);
    if (request && request->kind == kind_) {
        // The answer goes where the request asks for it, not to the datagram's sender.
        log_->debug("Received ServiceDiscoveryRequest from {}", request->ip_address);
        send_announcement(request->ip_address, request->port);
    }
    return true;
}

void ServiceDiscoveryServer::send_announcement(Ipv4Addr address, std::uint16_t port) {
    log_->debug("Send ServiceAnnouncement to {}:{}", address, port);
    handler_->send(node::Endpoint{resource_id_, {address, port}}, datagram_);
}

}  // namespace tessaro
