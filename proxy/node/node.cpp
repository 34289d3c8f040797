// The event node's public handles: NodeHandler and NodeListener hand every call on to the
// node's core (core.hpp), and create() makes the core.

#include "proxy/node/node.hpp"

#include "proxy/node/core.hpp"

namespace tessaro::node {

// --- NodeHandler ---------------------------------------------------------------------------

void NodeHandler::signal(SignalId id) {
    core_->signal(id);
}

void NodeHandler::signal_after(SignalId id, std::chrono::steady_clock::duration delay) {
    core_->signal_after(id, delay);
}

void NodeHandler::stop() {
    core_->stop();
}

bool NodeHandler::is_running() const {
    return core_->is_running();
}

Result<ResourceId> NodeHandler::tcp_listen(SocketAddrV4 addr, const TcpListenOptions& options) {
    return core_->tcp_listen(addr, options);
}

Result<Endpoint> NodeHandler::tcp_connect(SocketAddrV4 remote, const TcpConnectOptions& options) {
    return core_->tcp_connect(remote, options);
}

Result<ResourceId> NodeHandler::udp_listen(SocketAddrV4 addr) {
    return core_->udp_listen(addr);
}

bool NodeHandler::send(const Endpoint& endpoint, std::span<const std::uint8_t> bytes) {
    return core_->send(endpoint, bytes);
}

bool NodeHandler::send(const Endpoint& endpoint, std::vector<std::uint8_t>&& bytes) {
    return core_->send(endpoint, std::move(bytes));
}

Readiness NodeHandler::is_ready(ResourceId id) const {
    return core_->is_ready(id);
}

bool NodeHandler::remove(ResourceId id) {
    return core_->remove(id);
}

bool NodeHandler::shutdown_send(ResourceId id) {
    return core_->shutdown_send(id);
}

void NodeHandler::pause_reading(ResourceId id) {
    core_->pause_reading(id);
}

void NodeHandler::resume_reading(ResourceId id) {
    core_->resume_reading(id);
}

void NodeHandler::couple(ResourceId a, ResourceId b, std::size_t bound) {
    core_->couple(a, b, bound);
}

std::size_t NodeHandler::queued_bytes(ResourceId id) const {
    return core_->queued_bytes(id);
}

std::optional<SocketAddrV4> NodeHandler::local_address(ResourceId id) const {
    return core_->local_address(id);
}

// --- NodeListener --------------------------------------------------------------------------

NodeListener::~NodeListener() = default;

void NodeListener::run(const std::function<void(Event&&)>& callback) {
    if (core_) {
        core_->run(callback);
    }
}

Result<Node> create() {
    os::tune_allocator();
    os::raise_descriptor_limit();
    std::shared_ptr<NodeCore> core;
    try {
        core = std::make_shared<NodeCore>();
    } catch (const std::exception& e) {
        return fail(fmt::format("Could not create the event node: {}", e.what()));
    }
    Node node;
    node.handler = std::make_shared<NodeHandler>(core);
    node.listener = std::make_unique<NodeListener>(core);
    return node;
}

}  // namespace tessaro::node
