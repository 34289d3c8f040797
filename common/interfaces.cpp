// The adapter scan. The platform gives two inputs (the WMI rows naming the devices' USB adapters
// and the system's adapter list); everything after that is the pure classification below, so
// that it behaves the same wherever the inputs come from.
#include "common/interfaces.hpp"

#include "common/log.hpp"
#include "common/os/wmi.hpp"

namespace tessaro {

namespace {

enum class AdapterKind { Pc, Terminal, Pinpad };

// Byte for byte, no case folding: WMI's LIKE in the query treats "_" as a wildcard and ignores
// case, so the rows it gives are only candidates.
bool row_names_adapter(const AdapterRow& row, std::string_view prefix,
                       const std::string& adapter_name) {
    return row.PNPDeviceID.size() >= prefix.size() &&
           std::string_view(row.PNPDeviceID).substr(0, prefix.size()) == prefix &&
           row.guid.has_value() && *row.guid == adapter_name;
}

bool any_row_names_adapter(const std::vector<AdapterRow>& rows, std::string_view prefix,
                           const std::string& adapter_name) {
    for (const AdapterRow& row : rows) {
        if (row_names_adapter(row, prefix, adapter_name)) {
            return true;
        }
    }
    return false;
}

AdapterKind adapter_kind(const std::vector<AdapterRow>& rows, const std::string& adapter_name) {
    if (any_row_names_adapter(rows, TERMINAL_PNP_PREFIX, adapter_name)) {
        return AdapterKind::Terminal;
    }
    if (any_row_names_adapter(rows, PINPAD_PNP_PREFIX, adapter_name)) {
        return AdapterKind::Pinpad;
    }
    return AdapterKind::Pc;
}

bool in_network(Ipv4Addr address, std::uint32_t network, unsigned length) {
    std::uint32_t mask = length == 0 ? 0 : ~std::uint32_t{0} << (32 - length);
    return (address.to_u32() & mask) == network;
}

// Addresses that cannot serve as an adapter's own address. A device's USB link often runs on a
// link-local address, so that range is refused for the LAN side only.
bool excluded_address(Ipv4Addr address, AdapterKind kind) {
    std::uint32_t value = address.to_u32();
    return value == 0xFFFFFFFFu                     // limited broadcast
           || in_network(address, 0x7F000000u, 8)   // loopback
           || in_network(address, 0xC0000200u, 24)  // documentation
           || in_network(address, 0xC6336400u, 24)  // documentation
           || in_network(address, 0xCB007100u, 24)  // documentation
           || in_network(address, 0xE0000000u, 4)   // multicast
           || value == 0                            // unspecified
           || (kind == AdapterKind::Pc && in_network(address, 0xA9FE0000u, 16));  // link-local
}

std::optional<Ipv4Addr> choose_address(const SystemAdapter& adapter, AdapterKind kind) {
    for (const AdapterAddress& address : adapter.unicast) {
        if (address.ipv4.has_value() && !excluded_address(*address.ipv4, kind)) {
            return address.ipv4;
        }
    }
    return std::nullopt;
}

// The first on-link prefix that holds the address gives the broadcast address. Windows lists the
// address itself as a host prefix too, which must not count; the stored prefix address is
// compared unmasked, so a prefix off its network boundary never qualifies.
std::optional<Ipv4Addr> broadcast_address(const SystemAdapter& adapter, Ipv4Addr address) {
    for (const AdapterPrefix& prefix : adapter.prefixes) {
        if (!prefix.address.has_value() || *prefix.address == address) {
            continue;
        }
        std::uint32_t mask = prefix.length == 0    ? 0
                             : prefix.length >= 32 ? ~std::uint32_t{0}
                                                   : ~std::uint32_t{0} << (32 - prefix.length);
        std::uint32_t network = address.to_u32() & mask;
        if (prefix.address->to_u32() == network) {
            return Ipv4Addr::from_u32(network | ~mask);
        }
    }
    return std::nullopt;
}

std::optional<MacAddress> mac_address(const SystemAdapter& adapter) {
    if (adapter.physical_address.size() != 6) {
        return std::nullopt;
    }
    MacAddress mac;
    for (std::size_t i = 0; i < 6; ++i) {
        mac.bytes[i] = adapter.physical_address[i];
    }
    return mac;
}

// WQL string literal form: backslash, quotes and the three control characters escaped.
std::string escaped(std::string_view text) {
    std::string result;
    for (char c : text) {
        switch (c) {
            case '\\':
            case '\'':
            case '"':
                result += '\\';
                result += c;
                break;
            case '\t':
                result += "\\t";
                break;
            case '\r':
                result += "\\r";
                break;
            case '\n':
                result += "\\n";
                break;
            default:
                result += c;
        }
    }
    return result;
}

Interfaces scan(os::WmiConnection& wmi, bool report) {
    std::vector<AdapterRow> rows;
    if (auto queried = wmi.query_adapter_rows(adapter_query_text()); queried.has_value()) {
        rows = std::move(*queried);
    } else if (report) {
        log::get("common::interfaces")->error("WMI query failed: {}", queried.error().message());
    }

    auto adapters = os::list_adapters();
    if (!adapters.has_value()) {
        if (report) {
            log::get("common::interfaces")
                ->error("Could not get network adapters: {}", adapters.error().message());
        }
        return {};
    }
    return classify_adapters(rows, *adapters);
}

}  // namespace

PcInterface PcInterface::from_device(const DeviceInterface& device) {
    return PcInterface(device.adapter_name_, device.friendly_name_, device.ip_address,
                       device.mac_address_value(), device.broadcast_address);
}

Interfaces classify_adapters(const std::vector<AdapterRow>& rows,
                             const std::vector<SystemAdapter>& adapters) {
    Interfaces result;
    for (const SystemAdapter& adapter : adapters) {
        if (!adapter.oper_status_up) {
            continue;
        }
        AdapterKind kind = adapter_kind(rows, adapter.adapter_name);
        std::optional<Ipv4Addr> address = choose_address(adapter, kind);
        if (!address.has_value()) {
            continue;
        }
        std::optional<Ipv4Addr> broadcast = broadcast_address(adapter, *address);
        std::optional<MacAddress> mac = mac_address(adapter);
        if (kind == AdapterKind::Pc) {
            result.pc.emplace_back(adapter.adapter_name, adapter.friendly_name, *address, mac,
                                   broadcast);
            continue;
        }
        // A device is reached by broadcast discovery on its link and announced with a MAC, so
        // without both its adapter is of no use, and it is no LAN adapter either.
        if (!mac.has_value() || !broadcast.has_value()) {
            continue;
        }
        auto& list = kind == AdapterKind::Terminal ? result.terminal : result.pinpad;
        list.emplace_back(adapter.adapter_name, adapter.friendly_name, *address, *broadcast, *mac);
    }
    return result;
}

std::string adapter_query_text() {
    const std::string line_break = "\n" + std::string(17, ' ');
    return "SELECT GUID, PNPDeviceID" + line_break + "FROM Win32_NetworkAdapter" + line_break +
           "WHERE PNPDeviceID LIKE '" + escaped(TERMINAL_PNP_PREFIX) + "%' OR PNPDeviceID LIKE '" +
           escaped(PINPAD_PNP_PREFIX) + "%'";
}

namespace interfaces {

Interfaces get_interfaces(os::WmiConnection& wmi) {
    return scan(wmi, true);
}

Interfaces get_interfaces_quiet(os::WmiConnection& wmi) {
    return scan(wmi, false);
}

}  // namespace interfaces
}  // namespace tessaro
