// Any request the parser accepts must survive being encoded afresh: the re-encoded 16 bytes parse
// to the same record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "proxy/service_discovery_datagram.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using tessaro::ServiceDiscoveryRequest;
    const auto parsed = ServiceDiscoveryRequest::parse(std::span(data, size));
    if (!parsed) {
        return 0;
    }
    const auto encoded =
        ServiceDiscoveryRequest::encode(parsed->kind, parsed->ip_address, parsed->port);
    const auto again = ServiceDiscoveryRequest::parse(encoded);
    if (!again || *again != *parsed) {
        std::abort();
    }
    return 0;
}
