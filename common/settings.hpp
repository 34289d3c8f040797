// The whole configuration as one value, and its one registry format: the key
// "SOFTWARE\Korvel\Tessaro" under HKEY_LOCAL_MACHINE. Loading never fails and never logs: whatever
// is missing, of another type or out of range takes its default.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/ipv4.hpp"
#include "common/log.hpp"
#include "common/mac_address.hpp"
#include "common/os/registry.hpp"

namespace tessaro {

inline constexpr std::string_view SETTINGS_KEY_PATH = "SOFTWARE\\Korvel\\Tessaro";

enum class DeviceKind { Terminal, Pinpad };

// "Terminal" or "Pinpad".
std::string_view to_string(DeviceKind kind);
// "terminal" or "pinpad": the suffix of the per-device log targets.
std::string_view log_word(DeviceKind kind);

struct DeviceKindPrefixes {
    std::string_view pc;            // "pc" / "pinpad-pc"
    std::string_view announcement;  // "connector" / "pinpad-terminal"
    std::string_view device;        // "terminal" / "pinpad"
};
DeviceKindPrefixes prefixes(DeviceKind kind);

// Which of a kind's three prefixes a value name takes.
enum class PrefixGroup { Pc, Announcement, Device };
std::string_view prefix(DeviceKind kind, PrefixGroup group);

// The PIN pad's flag beside "pinpad-pc-interface": REG_DWORD 1 when it runs on the card
// terminal's interfaces. The card terminal has no such value.
inline constexpr std::string_view USE_TERMINAL_SUFFIX = "use-terminal";

// How an adapter is chosen.
struct InterfaceSelection {
    struct Automatic {
        bool operator==(const Automatic&) const = default;
    };
    // PIN pad's PC side only: run on the card terminal proxy's interfaces.
    struct Terminal {
        bool operator==(const Terminal&) const = default;
    };
    struct Name {
        std::string name;  // the adapter name; any text, also empty
        bool operator==(const Name&) const = default;
    };
    struct Mac {
        MacAddress mac;
        bool operator==(const Mac&) const = default;
    };
    std::variant<Automatic, Terminal, Name, Mac> value = Automatic{};

    static InterfaceSelection automatic() { return {}; }
    static InterfaceSelection terminal() { return {Terminal{}}; }
    static InterfaceSelection by_name(std::string name) { return {Name{std::move(name)}}; }
    static InterfaceSelection by_mac(MacAddress mac) { return {Mac{mac}}; }

    bool is_terminal() const { return std::holds_alternative<Terminal>(value); }

    // Flag true: Terminal; no text: Automatic; a text that parses as a MAC: Mac; else Name.
    static InterfaceSelection from_registry(bool use_terminal, std::optional<std::string> text);

    // "Automatic", "Terminal", the name itself, or the MAC text form.
    std::string to_string() const;

    bool operator==(const InterfaceSelection&) const = default;
};

struct DeviceSettings {
    InterfaceSelection pc_interface;
    std::uint16_t pc_udp_port = 0;
    std::uint16_t pc_sicct_port = 0;
    std::uint16_t pc_https_port = 0;
    std::chrono::seconds pc_service_announcement_interval{600};
    std::optional<Ipv4Addr> announcement_ip_address;
    std::uint16_t announcement_udp_port = 0;
    InterfaceSelection device_interface;
    std::uint16_t device_service_discovery_port = 0;
    std::chrono::seconds device_service_discovery_interval{600};

    static DeviceSettings defaults(DeviceKind kind);

    // Overwrites every field for which the key yields a usable value.
    void load(const os::RegistryKey& key, DeviceKind kind);

    // Appends one display entry per field that differs from `defaults`.
    void fmt_differences(std::vector<std::string>& entries, DeviceKind kind,
                         const DeviceSettings& defaults) const;

    // Writes every value that differs from `defaults` (of the same kind) and deletes every other
    // one, each with its older name, in the order of DEVICE_VALUES; the first failing write or
    // delete ends it. Only the configuration tool writes settings: this is defined in
    // winconfig/settings_writer.cpp, and only the tool's build links it.
    [[nodiscard]] VoidResult save(os::RegistryKey& key, const DeviceSettings& defaults,
                                  DeviceKind kind) const;

    bool operator==(const DeviceSettings&) const = default;
};

// One registry value of a device: the field it holds and its name (the kind's prefix of `group`,
// "-", `suffix`). The field's type says how it is stored: a selection as REG_SZ (the name, or the
// MAC text), a port as REG_DWORD, an interval as REG_DWORD seconds (60 to 3600 are read), an
// address as dotted REG_SZ. Its default is the same field of DeviceSettings::defaults(kind).
struct DeviceValue {
    using Field =
        std::variant<InterfaceSelection DeviceSettings::*, std::uint16_t DeviceSettings::*,
                     std::chrono::seconds DeviceSettings::*,
                     std::optional<Ipv4Addr> DeviceSettings::*>;
    Field field;
    PrefixGroup group;
    std::string_view suffix;
};

// The values of one device, in the order in which they are read, shown and written. The PIN pad's
// use-terminal flag is not among them: it belongs to the PC-side "interface" value.
inline constexpr std::array<DeviceValue, 10> DEVICE_VALUES{{
    {&DeviceSettings::pc_interface, PrefixGroup::Pc, "interface"},
    {&DeviceSettings::pc_udp_port, PrefixGroup::Pc, "udp-port"},
    {&DeviceSettings::pc_sicct_port, PrefixGroup::Pc, "sicct-port"},
    {&DeviceSettings::pc_https_port, PrefixGroup::Pc, "https-port"},
    {&DeviceSettings::pc_service_announcement_interval, PrefixGroup::Pc,
     "service-announcement-interval"},
    {&DeviceSettings::announcement_ip_address, PrefixGroup::Announcement, "ip-address"},
    {&DeviceSettings::announcement_udp_port, PrefixGroup::Announcement, "udp-port"},
    {&DeviceSettings::device_interface, PrefixGroup::Device, "interface"},
    {&DeviceSettings::device_service_discovery_port, PrefixGroup::Device, "service-discovery-port"},
    {&DeviceSettings::device_service_discovery_interval, PrefixGroup::Device,
     "service-discovery-interval"},
}};

// Whether `value` of that kind carries the use-terminal flag beside it (the PIN pad's PC side).
bool has_use_terminal_flag(DeviceKind kind, const DeviceValue& value);

struct Settings {
    DeviceSettings terminal = DeviceSettings::defaults(DeviceKind::Terminal);
    DeviceSettings pinpad = DeviceSettings::defaults(DeviceKind::Pinpad);
    LogLevel log_level = LogLevel::Info;

    static Settings defaults() { return {}; }

    // Reads HKEY_LOCAL_MACHINE\SOFTWARE\Korvel\Tessaro; a key that cannot be opened gives the
    // defaults.
    static Settings load();
    // The same over a key that is already open (tests pass a fake one).
    static Settings load_from(const os::RegistryKey& key);

    // "Default", or the entries that differ from the defaults joined by ", ".
    std::string to_string() const;

    bool operator==(const Settings&) const = default;
};

// "loglevel" is the one value without a device: its pseudo-prefix "default" makes its name the
// bare suffix.
inline constexpr std::string_view DEFAULT_PREFIX = "default";
inline constexpr std::string_view LOG_LEVEL_SUFFIX = "loglevel";

// The stored and shown form of a level: its name in lower case ("warn").
std::string log_level_text(LogLevel level);

// "prefix-suffix", or the bare suffix for the pseudo-prefix "default".
std::string value_name(std::string_view prefix, std::string_view suffix);

// The older name of a card-terminal value, honoured when the current one gives nothing.
std::optional<std::string_view> old_value_name(std::string_view name);

std::optional<std::string> read_string_value(const os::RegistryKey& key, std::string_view prefix,
                                             std::string_view suffix);
std::optional<std::uint16_t> read_u16_value(const os::RegistryKey& key, std::string_view prefix,
                                            std::string_view suffix);

}  // namespace tessaro
