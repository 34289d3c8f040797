// The registry seam on Windows: keys under HKEY_LOCAL_MACHINE through the wide-character HKEY
// calls of advapi32. Names and data pass through unchanged; only the names are converted from
// UTF-8.
#include "common/os/registry.hpp"

#include "common/os/system_error.hpp"
#include "common/os/unique_handle.hpp"
#include "common/os/windows.hpp"

#include <fmt/format.h>

namespace tessaro::os {

namespace {

std::wstring wide(std::string_view utf8) {
    std::u16string units = utf8_to_utf16(utf8);
    return std::wstring(units.begin(), units.end());
}

RegistryErrorKind kind_of(LSTATUS status) {
    switch (status) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return RegistryErrorKind::NotFound;
        case ERROR_ACCESS_DENIED:
            return RegistryErrorKind::AccessDenied;
        default:
            return RegistryErrorKind::Other;
    }
}

std::string failure(std::string_view operation, std::string_view name, LSTATUS status) {
    return fmt::format("{} '{}': {}", operation, name,
                       system_error_text(static_cast<std::uint32_t>(status)));
}

// One open HKEY, closed once.
struct KeyTraits {
    using handle_type = HKEY;
    static handle_type invalid() { return nullptr; }
    static void close(handle_type key) { RegCloseKey(key); }
};
using OwnedKey = UniqueHandle<KeyTraits>;

class WinRegistryKey final : public RegistryKey {
  public:
    explicit WinRegistryKey(OwnedKey key) : key_(std::move(key)) {}

    std::optional<RegistryValue> query(std::string_view name) const override {
        const std::wstring wname = wide(name);
        // The value may grow between the size query and the read (another process writes it):
        // try again with the new size a few times.
        DWORD type = 0;
        DWORD size = 0;
        LSTATUS status =
            RegQueryValueExW(key_.get(), wname.c_str(), nullptr, &type, nullptr, &size);
        for (int attempt = 0; attempt < 8 && status == ERROR_SUCCESS; ++attempt) {
            RegistryValue value;
            value.data.resize(size);
            DWORD read = size;
            status = RegQueryValueExW(key_.get(), wname.c_str(), nullptr, &type,
                                      value.data.empty() ? nullptr : value.data.data(), &read);
            if (status == ERROR_SUCCESS) {
                value.type = type;
                value.data.resize(read);
                return value;
            }
            if (status == ERROR_MORE_DATA) {
                size = read;
                status = ERROR_SUCCESS;
            }
        }
        return std::nullopt;
    }

    RegistryVoidResult set(std::string_view name, const RegistryValue& value) override {
        LSTATUS status = RegSetValueExW(key_.get(), wide(name).c_str(), 0, value.type,
                                        value.data.empty() ? nullptr : value.data.data(),
                                        static_cast<DWORD>(value.data.size()));
        if (status != ERROR_SUCCESS) {
            return std::unexpected(RegistryError(
                kind_of(status), failure("Could not set registry value", name, status)));
        }
        return {};
    }

    RegistryVoidResult remove(std::string_view name) override {
        LSTATUS status = RegDeleteValueW(key_.get(), wide(name).c_str());
        if (status != ERROR_SUCCESS) {
            return std::unexpected(RegistryError(
                kind_of(status), failure("Could not delete registry value", name, status)));
        }
        return {};
    }

  private:
    OwnedKey key_;
};

}  // namespace

RegistryResult<std::unique_ptr<RegistryKey>> open_local_machine_key(std::string_view path,
                                                                    std::uint32_t access) {
    // Owned only once the call has succeeded: what it leaves in `key` on failure is no handle.
    HKEY key = nullptr;
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, wide(path).c_str(), 0, access, &key);
    if (status != ERROR_SUCCESS) {
        return std::unexpected(
            RegistryError(kind_of(status), failure("Could not open registry key", path, status)));
    }
    return std::make_unique<WinRegistryKey>(OwnedKey(key));
}

RegistryResult<std::unique_ptr<RegistryKey>> create_local_machine_key(std::string_view path,
                                                                      std::uint32_t access) {
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, wide(path).c_str(), 0, nullptr,
                                     REG_OPTION_NON_VOLATILE, access, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) {
        return std::unexpected(
            RegistryError(kind_of(status), failure("Could not create registry key", path, status)));
    }
    return std::make_unique<WinRegistryKey>(OwnedKey(key));
}

RegistryVoidResult delete_local_machine_tree(std::string_view path, std::string_view subkey) {
    HKEY parent = nullptr;
    // Reading the parent is enough: RegDeleteTreeW opens the subkey and its children for deletion
    // itself, and DELETE is checked on them. Asking for more would fail for an account that may
    // not change the parent (the event-log key, for one) before a missing subkey is even noticed.
    LSTATUS status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, wide(path).c_str(), 0, KEY_READ, &parent);
    if (status != ERROR_SUCCESS) {
        return std::unexpected(
            RegistryError(kind_of(status), failure("Could not open registry key", path, status)));
    }
    OwnedKey owner(parent);
    status = RegDeleteTreeW(owner.get(), wide(subkey).c_str());
    if (status != ERROR_SUCCESS) {
        return std::unexpected(RegistryError(
            kind_of(status),
            failure("Could not delete registry key", fmt::format("{}\\{}", path, subkey), status)));
    }
    return {};
}

}  // namespace tessaro::os
