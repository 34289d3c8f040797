// The status record decoder over arbitrary 4096-byte views: it must never read outside the view
// (the view lies in a heap block of exactly that size), and every record it accepts must survive
// being written afresh: the new record decodes to the same statuses with a matching check value.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

#include "common/status.hpp"

namespace {

// What the writer needs for a status: MAC texts always take 17 bytes there, so a decoded record
// with shorter MAC texts ("a:b:c:d:e:f") can grow beyond the view when it is written again.
std::size_t encoded_size(const tessaro::ProxyStatus& status) {
    const auto* c = std::get_if<tessaro::ProxyStatus::Connected>(&status.value);
    if (c == nullptr) {
        return 4;
    }
    return (c->mac_address ? 71 : 46) + c->interface_name.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tessaro;
    auto view = std::make_unique<std::uint8_t[]>(STATUS_SECTION_SIZE);
    std::copy_n(data, std::min(size, STATUS_SECTION_SIZE), view.get());
    const auto decoded = StatusRecord::decode(std::span(view.get(), STATUS_SECTION_SIZE));
    if (!decoded) {
        return 0;
    }
    const AppStatus& status = decoded->status;
    auto again = std::make_unique<std::uint8_t[]>(STATUS_SECTION_SIZE);
    const bool fits =
        2 + encoded_size(status.terminal) + encoded_size(status.pinpad) + 8 <= STATUS_SECTION_SIZE;
    if (AppStatus::write(again.get(), status).has_value() != fits) {
        std::abort();
    }
    if (!fits) {
        return 0;
    }
    const auto redecoded = StatusRecord::decode(std::span(again.get(), STATUS_SECTION_SIZE));
    if (!redecoded || redecoded->status != status || redecoded->version != 1 ||
        redecoded->second != 0 || !redecoded->check_value_matches()) {
        std::abort();
    }
    return 0;
}
