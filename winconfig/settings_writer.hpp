// The configuration tool's writer of the settings key: it stores only what differs from the
// defaults, deletes every other value, and removes the older name of every value it writes or
// deletes, so that an unchanged installation holds no values and one save leaves no older name.
// A save is not atomic: values are written one by one and the first failing write or delete ends
// it, leaving what came before it in place.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/ipv4.hpp"
#include "common/mac_address.hpp"
#include "common/os/registry.hpp"
#include "common/settings.hpp"

namespace tessaro::winconfig {

// Creates or opens HKEY_LOCAL_MACHINE\SOFTWARE\Korvel\Tessaro for reading and writing. The error
// names the path after the kind of failure ("Provided path not found: ", "Permission denied for
// given path: ", "An unknown IO error occurred for given path: ").
[[nodiscard]] Result<std::unique_ptr<os::RegistryKey>> open_settings_key();
// The same for another key path, so that tests can keep off the real key.
[[nodiscard]] Result<std::unique_ptr<os::RegistryKey>> open_settings_key_at(std::string_view path);

// Each of these names the value of its failing call after the kind of the failure ("Data not
// found for value with name '…'", "Permission denied for given value name: '…'", "An unknown IO
// error occurred for given value name: '…'"). A value that is absent is no error: it is queried
// first and deleted only when the query finds it, and one that is gone by the time of its delete
// counts as deleted.

// Deletes the value prefix-suffix ("default" for the bare suffix), then its older name.
[[nodiscard]] VoidResult delete_value(os::RegistryKey& key, std::string_view prefix,
                                      std::string_view suffix);
// Deletes the older name of the complete value name `name`, if it has one and it exists.
[[nodiscard]] VoidResult delete_old_value(os::RegistryKey& key, std::string_view name);
// Sets prefix-suffix to REG_SZ `text`; the older name is deleted only after the write succeeded.
[[nodiscard]] VoidResult write_string_value(os::RegistryKey& key, std::string_view prefix,
                                            std::string_view suffix, std::string_view text);
// Sets prefix-suffix to REG_DWORD `value` (upper 16 bits zero), then deletes the older name.
[[nodiscard]] VoidResult write_u32_value(os::RegistryKey& key, std::string_view prefix,
                                         std::string_view suffix, std::uint16_t value);

// "192.168.1.10".
std::string format_ipv4(Ipv4Addr address);
// "0A:1B:2C:3D:4E:5F".
std::string format_mac(const MacAddress& mac);

// One whole save: "loglevel", then the card terminal's values against its defaults, then the PIN
// pad's against its own; a step runs only if every step before it succeeded.
[[nodiscard]] VoidResult save_settings(const Settings& settings, os::RegistryKey& key);

}  // namespace tessaro::winconfig
