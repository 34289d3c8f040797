#include "winconfig/settings_writer.hpp"

#include <chrono>
#include <optional>
#include <type_traits>
#include <variant>

namespace tessaro {

namespace {

VoidResult remove_if_present(os::RegistryKey& key, std::string_view name) {
    // A failed query means there is nothing to delete, whatever the reason.
    if (!key.query(name)) {
        return {};
    }
    // A value deleted by someone else since the query is gone all the same.
    if (auto removed = key.remove(name);
        !removed && removed.error().kind() != os::RegistryErrorKind::NotFound) {
        return fail(os::value_error_text(removed.error().kind(), name));
    }
    return {};
}

VoidResult write_value(os::RegistryKey& key, std::string_view prefix, std::string_view suffix,
                       const os::RegistryValue& value) {
    const std::string name = value_name(prefix, suffix);
    if (auto set = key.set(name, value); !set) {
        return fail(os::value_error_text(set.error().kind(), name));
    }
    return winconfig::delete_old_value(key, name);
}

}  // namespace

// Defined here rather than in common/settings.cpp: the service program never writes settings,
// and only the configuration tool's build links this file.
VoidResult DeviceSettings::save(os::RegistryKey& key, const DeviceSettings& defaults,
                                DeviceKind kind) const {
    using namespace winconfig;
    for (const DeviceValue& value : DEVICE_VALUES) {
        const std::string_view p = prefix(kind, value.group);
        VoidResult done = std::visit(
            [&]<typename T>(T DeviceSettings::*field) -> VoidResult {
                const T& current = this->*field;
                if constexpr (std::is_same_v<T, InterfaceSelection>) {
                    VoidResult r;
                    if (const auto* name = std::get_if<InterfaceSelection::Name>(&current.value)) {
                        r = write_string_value(key, p, value.suffix, name->name);
                    } else if (const auto* mac =
                                   std::get_if<InterfaceSelection::Mac>(&current.value)) {
                        r = write_string_value(key, p, value.suffix, format_mac(mac->mac));
                    } else {
                        r = delete_value(key, p, value.suffix);
                    }
                    if (!r || !has_use_terminal_flag(kind, value)) {
                        return r;
                    }
                    if (current.is_terminal()) {
                        return write_u32_value(key, p, USE_TERMINAL_SUFFIX, 1);
                    }
                    return delete_value(key, p, USE_TERMINAL_SUFFIX);
                } else if constexpr (std::is_same_v<T, std::optional<Ipv4Addr>>) {
                    if (current) {
                        return write_string_value(key, p, value.suffix, format_ipv4(*current));
                    }
                    return delete_value(key, p, value.suffix);
                } else {
                    if (current == defaults.*field) {
                        return delete_value(key, p, value.suffix);
                    }
                    if constexpr (std::is_same_v<T, std::chrono::seconds>) {
                        return write_u32_value(
                            key, p, value.suffix,
                            static_cast<std::uint16_t>(current.count() & 0xFFFF));
                    } else {
                        return write_u32_value(key, p, value.suffix, current);
                    }
                }
            },
            value.field);
        if (!done) {
            return done;
        }
    }
    return {};
}

namespace winconfig {

Result<std::unique_ptr<os::RegistryKey>> open_settings_key() {
    return open_settings_key_at(SETTINGS_KEY_PATH);
}

Result<std::unique_ptr<os::RegistryKey>> open_settings_key_at(std::string_view path) {
    auto key = os::create_local_machine_key(path, os::KEY_READ_ACCESS | os::KEY_WRITE_ACCESS);
    if (!key) {
        return fail(os::path_error_text(key.error().kind(), path));
    }
    return std::move(*key);
}

VoidResult delete_value(os::RegistryKey& key, std::string_view prefix, std::string_view suffix) {
    const std::string name = value_name(prefix, suffix);
    if (auto removed = remove_if_present(key, name); !removed) {
        return removed;
    }
    return delete_old_value(key, name);
}

VoidResult delete_old_value(os::RegistryKey& key, std::string_view name) {
    if (auto old_name = old_value_name(name)) {
        return remove_if_present(key, *old_name);
    }
    return {};
}

VoidResult write_string_value(os::RegistryKey& key, std::string_view prefix,
                              std::string_view suffix, std::string_view text) {
    return write_value(key, prefix, suffix, os::RegistryValue::from_string(text));
}

VoidResult write_u32_value(os::RegistryKey& key, std::string_view prefix, std::string_view suffix,
                           std::uint16_t value) {
    return write_value(key, prefix, suffix, os::RegistryValue::from_dword(value));
}

std::string format_ipv4(Ipv4Addr address) {
    return address.to_string();
}

std::string format_mac(const MacAddress& mac) {
    return mac.to_string();
}

VoidResult save_settings(const Settings& settings, os::RegistryKey& key) {
    const Settings defaults = Settings::defaults();
    VoidResult r = settings.log_level == LogLevel::Info
                       ? delete_value(key, DEFAULT_PREFIX, LOG_LEVEL_SUFFIX)
                       : write_string_value(key, DEFAULT_PREFIX, LOG_LEVEL_SUFFIX,
                                            log_level_text(settings.log_level));
    if (r) {
        r = settings.terminal.save(key, defaults.terminal, DeviceKind::Terminal);
    }
    if (r) {
        r = settings.pinpad.save(key, defaults.pinpad, DeviceKind::Pinpad);
    }
    return r;
}

}  // namespace winconfig
}  // namespace tessaro
