// The adapter scan: which adapters of this PC can serve the LAN side, and which are the USB
// network adapters of an attached card terminal or PIN pad (recognised by their plug-and-play
// identifiers as WMI reports them).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "common/ipv4.hpp"
#include "common/mac_address.hpp"

namespace tessaro {

inline constexpr std::string_view TERMINAL_PNP_PREFIX = "USB\\VID_2B7A&PID_0C41&";
inline constexpr std::string_view PINPAD_PNP_PREFIX = "USB\\VID_2B7A&PID_0C42&";

// One WMI row of Win32_NetworkAdapter.
struct AdapterRow {
    std::optional<std::string> guid;  // an empty or null property gives none
    std::string PNPDeviceID;          // NOLINT(readability-identifier-naming): the WMI name

    bool operator==(const AdapterRow&) const = default;
};

// The common read-only view of both adapter records.
class Interface {
public:
    virtual ~Interface() = default;
    virtual const std::string& adapter_name() const = 0;
    virtual const std::string& friendly_name() const = 0;
    virtual const std::optional<MacAddress>& mac_address() const = 0;
};

struct DeviceInterface;

// A usable LAN-side adapter.
struct PcInterface : Interface {
    std::string adapter_name_;
    std::string friendly_name_;
    Ipv4Addr ip_address;
    std::optional<MacAddress> mac;
    std::optional<Ipv4Addr> broadcast_address;

    PcInterface() = default;
    PcInterface(std::string adapter_name, std::string friendly_name, Ipv4Addr ip,
                std::optional<MacAddress> mac_address, std::optional<Ipv4Addr> broadcast)
        : adapter_name_(std::move(adapter_name)),
          friendly_name_(std::move(friendly_name)),
          ip_address(ip),
          mac(mac_address),
          broadcast_address(broadcast) {}

    // The PC's adapter on a device's USB link used as a LAN-side adapter.
    static PcInterface from_device(const DeviceInterface& device);

    const std::string& adapter_name() const override { return adapter_name_; }
    const std::string& friendly_name() const override { return friendly_name_; }
    const std::optional<MacAddress>& mac_address() const override { return mac; }

    bool operator==(const PcInterface& other) const {
        return adapter_name_ == other.adapter_name_ && friendly_name_ == other.friendly_name_ &&
               ip_address == other.ip_address && mac == other.mac &&
               broadcast_address == other.broadcast_address;
    }
};

// The PC's adapter on a device's USB link; always has a MAC and a broadcast address.
struct DeviceInterface : Interface {
    std::string adapter_name_;
    std::string friendly_name_;
    Ipv4Addr ip_address;
    Ipv4Addr broadcast_address;
    std::optional<MacAddress> mac;  // always present; optional only to serve the common view

    DeviceInterface() = default;
    DeviceInterface(std::string adapter_name, std::string friendly_name, Ipv4Addr ip,
                    Ipv4Addr broadcast, MacAddress mac_address)
        : adapter_name_(std::move(adapter_name)),
          friendly_name_(std::move(friendly_name)),
          ip_address(ip),
          broadcast_address(broadcast),
          mac(mac_address) {}

    const MacAddress& mac_address_value() const { return *mac; }

    const std::string& adapter_name() const override { return adapter_name_; }
    const std::string& friendly_name() const override { return friendly_name_; }
    const std::optional<MacAddress>& mac_address() const override { return mac; }

    bool operator==(const DeviceInterface& other) const {
        return adapter_name_ == other.adapter_name_ && friendly_name_ == other.friendly_name_ &&
               ip_address == other.ip_address && broadcast_address == other.broadcast_address &&
               mac == other.mac;
    }
};

struct Interfaces {
    std::vector<PcInterface> pc;
    std::vector<DeviceInterface> terminal;
    std::vector<DeviceInterface> pinpad;

    bool operator==(const Interfaces&) const = default;
};

// What the system's adapter list gives for one adapter: the inputs of the classification.
struct AdapterPrefix {
    // An IPv4 prefix; a non-IPv4 prefix has no value.
    std::optional<Ipv4Addr> address;
    std::uint8_t length = 0;
};

struct AdapterAddress {
    std::optional<Ipv4Addr> ipv4;  // none for an IPv6 (or other) address
};

struct SystemAdapter {
    std::string adapter_name;
    std::string friendly_name;
    bool oper_status_up = false;
    std::vector<AdapterAddress> unicast;   // in the system's order
    std::vector<AdapterPrefix> prefixes;   // in the system's order
    std::vector<std::uint8_t> physical_address;
};

// The pure classification of one scan's inputs; after a failed WMI query `rows` is empty.
Interfaces classify_adapters(const std::vector<AdapterRow>& rows,
                             const std::vector<SystemAdapter>& adapters);

// The 181-character WQL text of the device-adapter query.
std::string adapter_query_text();

namespace os {
class WmiConnection;
}

namespace interfaces {

// One scan over an open WMI connection. Never fails: a failed WMI query is logged
// ("WMI query failed: ...") and leaves every adapter in `pc`; a failed adapter list is logged
// ("Could not get network adapters: ...") and leaves all lists empty.
Interfaces get_interfaces(os::WmiConnection& wmi);

// The same, but silent: the configuration tool's scan.
Interfaces get_interfaces_quiet(os::WmiConnection& wmi);

}  // namespace interfaces
}  // namespace tessaro
