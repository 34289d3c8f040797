#include "common/settings.hpp"

#include <array>
#include <type_traits>
#include <utility>

#include <fmt/format.h>

namespace tessaro {

namespace {

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

std::string_view prefix(DeviceKind kind, PrefixGroup group) {
    const DeviceKindPrefixes p = prefixes(kind);
    switch (group) {
        case PrefixGroup::Pc:
            return p.pc;
        case PrefixGroup::Announcement:
            return p.announcement;
        case PrefixGroup::Device:
            break;
    }
    return p.device;
}

bool has_use_terminal_flag(DeviceKind kind, const DeviceValue& value) {
    const auto* field = std::get_if<InterfaceSelection DeviceSettings::*>(&value.field);
    return kind == DeviceKind::Pinpad && field != nullptr &&
           *field == &DeviceSettings::pc_interface;
}

std::string log_level_text(LogLevel level) {
    return lower_case(log_level_name(level));
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
    for (const DeviceValue& value : DEVICE_VALUES) {
        const std::string_view p = prefix(kind, value.group);
        std::visit(
            [&]<typename T>(T DeviceSettings::*field) {
                T& target = this->*field;
                if constexpr (std::is_same_v<T, InterfaceSelection>) {
                    bool use_terminal = false;
                    if (has_use_terminal_flag(kind, value)) {
                        // No older name: the flag came with the PIN pad.
                        auto flag = key.query(value_name(p, USE_TERMINAL_SUFFIX));
                        use_terminal = flag && flag->dword_value() == 1u;
                    }
                    // The text is read even when the flag already decided: the flag wins over
                    // whatever it holds.
                    target = InterfaceSelection::from_registry(
                        use_terminal, read_string_value(key, p, value.suffix));
                } else if constexpr (std::is_same_v<T, std::uint16_t>) {
                    if (auto v = read_u16_value(key, p, value.suffix)) {
                        target = *v;
                    }
                } else if constexpr (std::is_same_v<T, std::chrono::seconds>) {
                    auto v = read_u16_value(key, p, value.suffix);
                    if (v && *v >= MIN_INTERVAL_SECONDS && *v <= MAX_INTERVAL_SECONDS) {
                        target = std::chrono::seconds{*v};
                    }
                } else {
                    // Ipv4Addr::parse is strict; the length test keeps it to what a dotted
                    // address can be.
                    auto text = read_string_value(key, p, value.suffix);
                    if (text && text->size() <= 15) {
                        target = Ipv4Addr::parse(*text);
                    }
                }
            },
            value.field);
    }
}

void DeviceSettings::fmt_differences(std::vector<std::string>& entries, DeviceKind kind,
                                     const DeviceSettings& d) const {
    for (const DeviceValue& value : DEVICE_VALUES) {
        std::visit(
            [&]<typename T>(T DeviceSettings::*field) {
                const T& current = this->*field;
                if (current == d.*field) {
                    return;
                }
                std::string text;
                if constexpr (std::is_same_v<T, InterfaceSelection>) {
                    text = current.to_string();
                } else if constexpr (std::is_same_v<T, std::uint16_t>) {
                    text = fmt::format("{}", current);
                } else if constexpr (std::is_same_v<T, std::chrono::seconds>) {
                    text = fmt::format("{} s", current.count());
                } else {
                    // The default is none, so a set address always differs.
                    text = current->to_string();
                }
                entries.push_back(
                    fmt::format("{}-{}: {}", prefix(kind, value.group), value.suffix, text));
            },
            value.field);
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
    if (auto text = read_string_value(key, DEFAULT_PREFIX, LOG_LEVEL_SUFFIX)) {
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
        entries.push_back(fmt::format("{}: {}", LOG_LEVEL_SUFFIX, log_level_text(log_level)));
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
