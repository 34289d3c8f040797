#include "common/settings.hpp"

#include <array>
#include <utility>

#include <fmt/format.h>

namespace tessaro {

namespace {

constexpr std::string_view DEFAULT_PREFIX = "default";

// Card-terminal values that older versions stored under other names.
constexpr std::array<std::pair<std::string_view, std::string_view>, 10> OLD_VALUE_NAMES{{
    {"pc-interface", "host-interface"},
    {"pc-udp-port", "host-service-discovery-port"},
    {"pc-sicct-port", "host-sicct-port"},
    {"pc-https-port", "host-https-port"},
    {"pc-service-announcement-interval", "host-service-announcement-interval"},
    {"connector-ip-address", "host-service-announcement-address"},
    {"connector-udp-port", "host-service-announcement-port"},
    {"terminal-interface", "usb-interface"},
    {"terminal-service-discovery-port", "usb-service-discovery-port"},
    {"terminal-service-discovery-interval", "usb-service-discovery-interval"},
}};

constexpr std::uint16_t MIN_INTERVAL_SECONDS = 60;
constexpr std::uint16_t MAX_INTERVAL_SECONDS = 3600;

// The value of that name if it has the wanted type, else the value of its older name if that has
// it. A current value of the right type wins even when its content is rejected later.
template <typename Extract>
auto read_with_old_name(const os::RegistryKey& key, const std::string& name, Extract extract)
    -> decltype(extract(os::RegistryValue{})) {
    if (auto value = key.query(name)) {
        if (auto result = extract(*value)) {
            return result;
        }
    }
    if (auto old_name = old_value_name(name)) {
        if (auto value = key.query(*old_name)) {
            return extract(*value);
        }
    }
    return std::nullopt;
}

std::optional<std::chrono::seconds> read_interval(const os::RegistryKey& key,
                                                  std::string_view prefix,
                                                  std::string_view suffix) {
    auto value = read_u16_value(key, prefix, suffix);
    if (!value || *value < MIN_INTERVAL_SECONDS || *value > MAX_INTERVAL_SECONDS) {
        return std::nullopt;
    }
    return std::chrono::seconds{*value};
}

bool equals_ignoring_ascii_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

// "OFF" and "TRACE" are level names too, but neither is ever loaded: both leave info.
std::optional<LogLevel> parse_log_level(std::string_view text) {
    static constexpr std::array<std::pair<std::string_view, std::optional<LogLevel>>, 6> names{{
        {"OFF", std::nullopt},
        {"ERROR", LogLevel::Error},
        {"WARN", LogLevel::Warn},
        {"INFO", LogLevel::Info},
        {"DEBUG", LogLevel::Debug},
        {"TRACE", std::nullopt},
    }};
    for (const auto& [name, level] : names) {
        if (equals_ignoring_ascii_case(text, name)) {
            return level;
        }
    }
    return std::nullopt;
}

std::string lower_case(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c + 32);
        }
    }
    return out;
}

}  // namespace

std::string_view to_string(DeviceKind kind) {
    return kind == DeviceKind::Terminal ? "Terminal" : "Pinpad";
}

std::string_view log_word(DeviceKind kind) {
    return kind == DeviceKind::Terminal ? "terminal" : "pinpad";
}

DeviceKindPrefixes prefixes(DeviceKind kind) {
    if (kind == DeviceKind::Terminal) {
        return {"pc", "connector", "terminal"};
    }
    return {"pinpad-pc", "pinpad-terminal", "pinpad"};
}

InterfaceSelection InterfaceSelection::from_registry(bool use_terminal,
                                                     std::optional<std::string> text) {
    if (use_terminal) {
        return terminal();
    }
    if (!text) {
        return automatic();
    }
    if (auto mac = MacAddress::parse(*text)) {
        return by_mac(*mac);
    }
    return by_name(std::move(*text));
}

std::string InterfaceSelection::to_string() const {
    struct Visitor {
        std::string operator()(const Automatic&) const { return "Automatic"; }
        std::string operator()(const Terminal&) const { return "Terminal"; }
        std::string operator()(const Name& n) const { return n.name; }
        std::string operator()(const Mac& m) const { return m.mac.to_string(); }
    };
    return std::visit(Visitor{}, value);
}

DeviceSettings DeviceSettings::defaults(DeviceKind kind) {
    DeviceSettings s;
    const std::uint16_t port = kind == DeviceKind::Terminal ? 4742 : 64742;
    s.pc_udp_port = port;
    s.pc_sicct_port = port;
    s.pc_https_port = kind == DeviceKind::Terminal ? 443 : 60443;
    s.announcement_udp_port = port;
    s.device_service_discovery_port = port;
    return s;
}

void DeviceSettings::load(const os::RegistryKey& key, DeviceKind kind) {
    const DeviceKindPrefixes p = prefixes(kind);

    bool use_terminal = false;
    if (kind == DeviceKind::Pinpad) {
        // No older name: the flag came with the PIN pad.
        auto flag = key.query(value_name(p.pc, "use-terminal"));
        use_terminal = flag && flag->dword_value() == 1u;
    }
    // The text is read even when the flag already decided: the flag wins over whatever it holds.
    pc_interface =
        InterfaceSelection::from_registry(use_terminal, read_string_value(key, p.pc, "interface"));

    if (auto v = read_u16_value(key, p.pc, "udp-port")) {
        pc_udp_port = *v;
    }
    if (auto v = read_u16_value(key, p.pc, "sicct-port")) {
        pc_sicct_port = *v;
    }
    if (auto v = read_u16_value(key, p.pc, "https-port")) {
        pc_https_port = *v;
    }
    if (auto v = read_interval(key, p.pc, "service-announcement-interval")) {
        pc_service_announcement_interval = *v;
    }
    if (auto text = read_string_value(key, p.announcement, "ip-address")) {
        // Ipv4Addr::parse is strict; the length test keeps it to what a dotted address can be.
        if (text->size() <= 15) {
            announcement_ip_address = Ipv4Addr::parse(*text);
        }
    }
    if (auto v = read_u16_value(key, p.announcement, "udp-port")) {
        announcement_udp_port = *v;
    }
    device_interface =
        InterfaceSelection::from_registry(false, read_string_value(key, p.device, "interface"));
    if (auto v = read_u16_value(key, p.device, "service-discovery-port")) {
        device_service_discovery_port = *v;
    }
    if (auto v = read_interval(key, p.device, "service-discovery-interval")) {
        device_service_discovery_interval = *v;
    }
}

void DeviceSettings::fmt_differences(std::vector<std::string>& entries, DeviceKind kind,
                                     const DeviceSettings& d) const {
    const DeviceKindPrefixes p = prefixes(kind);
    auto add = [&entries](std::string_view prefix, std::string_view suffix, const auto& text) {
        entries.push_back(fmt::format("{}-{}: {}", prefix, suffix, text));
    };
    auto seconds = [](std::chrono::seconds s) { return fmt::format("{} s", s.count()); };

    if (pc_interface != d.pc_interface) {
        add(p.pc, "interface", pc_interface.to_string());
    }
    if (pc_udp_port != d.pc_udp_port) {
        add(p.pc, "udp-port", pc_udp_port);
    }
    if (pc_sicct_port != d.pc_sicct_port) {
        add(p.pc, "sicct-port", pc_sicct_port);
    }
    if (pc_https_port != d.pc_https_port) {
        add(p.pc, "https-port", pc_https_port);
    }
    if (pc_service_announcement_interval != d.pc_service_announcement_interval) {
        add(p.pc, "service-announcement-interval", seconds(pc_service_announcement_interval));
    }
    if (announcement_ip_address) {
        add(p.announcement, "ip-address", announcement_ip_address->to_string());
    }
    if (announcement_udp_port != d.announcement_udp_port) {
        add(p.announcement, "udp-port", announcement_udp_port);
    }
    if (device_interface != d.device_interface) {
        add(p.device, "interface", device_interface.to_string());
    }
    if (device_service_discovery_port != d.device_service_discovery_port) {
        add(p.device, "service-discovery-port", device_service_discovery_port);
    }
    if (device_service_discovery_interval != d.device_service_discovery_interval) {
        add(p.device, "service-discovery-interval", seconds(device_service_discovery_interval));
    }
}

Settings Settings::load() {
    auto key = os::open_local_machine_key(SETTINGS_KEY_PATH, os::KEY_READ_ACCESS);
    if (!key) {
        return defaults();
    }
    return load_from(**key);
}

Settings Settings::load_from(const os::RegistryKey& key) {
    Settings settings;
    if (auto text = read_string_value(key, DEFAULT_PREFIX, "loglevel")) {
        if (auto level = parse_log_level(*text)) {
            settings.log_level = *level;
        }
    }
    settings.terminal.load(key, DeviceKind::Terminal);
    settings.pinpad.load(key, DeviceKind::Pinpad);
    return settings;
}

std::string Settings::to_string() const {
    const Settings d = defaults();
    std::vector<std::string> entries;
    if (log_level != d.log_level) {
        entries.push_back(fmt::format("loglevel: {}", lower_case(log_level_name(log_level))));
    }
    terminal.fmt_differences(entries, DeviceKind::Terminal, d.terminal);
    pinpad.fmt_differences(entries, DeviceKind::Pinpad, d.pinpad);
    if (entries.empty()) {
        return "Default";
    }
    std::string text;
    for (const std::string& entry : entries) {
        if (!text.empty()) {
            text += ", ";
        }
        text += entry;
    }
    return text;
}

std::string value_name(std::string_view prefix, std::string_view suffix) {
    if (prefix == DEFAULT_PREFIX) {
        return std::string(suffix);
    }
    return fmt::format("{}-{}", prefix, suffix);
}

std::optional<std::string_view> old_value_name(std::string_view name) {
    for (const auto& [current, old] : OLD_VALUE_NAMES) {
        if (current == name) {
            return old;
        }
    }
    return std::nullopt;
}

std::optional<std::string> read_string_value(const os::RegistryKey& key, std::string_view prefix,
                                             std::string_view suffix) {
    return read_with_old_name(key, value_name(prefix, suffix),
                              [](const os::RegistryValue& v) { return v.string_value(); });
}

std::optional<std::uint16_t> read_u16_value(const os::RegistryKey& key, std::string_view prefix,
                                            std::string_view suffix) {
    return read_with_old_name(key, value_name(prefix, suffix),
                              [](const os::RegistryValue& v) -> std::optional<std::uint16_t> {
                                  if (auto n = v.dword_value()) {
                                      return static_cast<std::uint16_t>(*n & 0xFFFF);
                                  }
                                  return std::nullopt;
                              });
}

}  // namespace tessaro
