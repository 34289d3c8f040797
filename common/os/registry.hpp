// Registry seam: a key of typed raw values, as Win32 stores them (REG_SZ as UTF-16LE with its
// terminator, REG_DWORD as 4 little-endian bytes, any other type as its raw bytes).
//
// Windows: HKEY calls under HKEY_LOCAL_MACHINE. POSIX stand-in: one registry export file
// ("Windows Registry Editor Version 5.00") at $TESSARO_REGISTRY_FILE, default
// /etc/tessaro/registry.reg, read again by every operation (other processes write it) and
// rewritten atomically; key paths and value names compare case-insensitively (ASCII letters); a
// malformed or unreadable file reads as having no keys, and is never overwritten.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/error.hpp"

namespace tessaro::os {

inline constexpr std::uint32_t REG_NONE_TYPE = 0;
inline constexpr std::uint32_t REG_SZ_TYPE = 1;
inline constexpr std::uint32_t REG_EXPAND_SZ_TYPE = 2;
inline constexpr std::uint32_t REG_BINARY_TYPE = 3;
inline constexpr std::uint32_t REG_DWORD_TYPE = 4;
inline constexpr std::uint32_t REG_DWORD_BIG_ENDIAN_TYPE = 5;
inline constexpr std::uint32_t REG_MULTI_SZ_TYPE = 7;
inline constexpr std::uint32_t REG_QWORD_TYPE = 11;

inline constexpr std::uint32_t KEY_READ_ACCESS = 0x20019;
inline constexpr std::uint32_t KEY_WRITE_ACCESS = 0x20006;

struct RegistryValue {
    std::uint32_t type = REG_NONE_TYPE;
    std::vector<std::uint8_t> data;

    bool operator==(const RegistryValue&) const = default;

    static RegistryValue from_string(std::string_view utf8);  // REG_SZ, UTF-16LE with terminator
    static RegistryValue from_dword(std::uint32_t value);     // REG_DWORD

    // A REG_SZ whose data holds a UTF-16 NUL: the text before the first NUL, in UTF-8. Data
    // without a NUL, or another type, gives none.
    std::optional<std::string> string_value() const;
    // A REG_DWORD of at least four bytes: its first four, little-endian. Shorter data, or another
    // type, gives none.
    std::optional<std::uint32_t> dword_value() const;
};

// What kind of system error a write or delete of a value met; the configuration tool words its
// messages after it.
enum class RegistryErrorKind { NotFound, AccessDenied, Other };

// An error of a value's write or delete: the message as every error has it, plus its kind.
class RegistryError : public Error {
  public:
    RegistryError(RegistryErrorKind kind, std::string message)
        : Error(std::move(message)), kind_(kind) {}

    RegistryErrorKind kind() const { return kind_; }

  private:
    RegistryErrorKind kind_;
};

// The texts that the configuration tool shows for a failed key or value, worded after the kind:
// "Provided path not found: " / "Permission denied for given path: " / "An unknown IO error
// occurred for given path: " + path, and "Data not found for value with name '" / "Permission
// denied for given value name: '" / "An unknown IO error occurred for given value name: '" +
// name + "'".
std::string path_error_text(RegistryErrorKind kind, std::string_view path);
std::string value_error_text(RegistryErrorKind kind, std::string_view name);

// Both convert to Result / VoidResult where the kind is not needed.
template <typename T>
using RegistryResult = std::expected<T, RegistryError>;
using RegistryVoidResult = std::expected<void, RegistryError>;

// One open key. Implementations: the platform's (below) and test fakes.
class RegistryKey {
  public:
    virtual ~RegistryKey() = default;

    // The value of that name, or none when it does not exist or cannot be read.
    virtual std::optional<RegistryValue> query(std::string_view name) const = 0;
    [[nodiscard]] virtual RegistryVoidResult set(std::string_view name,
                                                 const RegistryValue& value) = 0;
    // Deleting a value that does not exist fails with RegistryErrorKind::NotFound.
    [[nodiscard]] virtual RegistryVoidResult remove(std::string_view name) = 0;
};

// Names and paths are UTF-8; paths are relative to HKEY_LOCAL_MACHINE, with "\" between the
// parts. Errors name the operation and carry the system's text.
// Opening, creating and deleting a key tell what kind of system error they met (a missing key is
// NotFound), for callers that word their messages after it; all convert to Result / VoidResult.
[[nodiscard]] RegistryResult<std::unique_ptr<RegistryKey>> open_local_machine_key(
    std::string_view path, std::uint32_t access);
// Opens the key, creating it and every missing key above it. The POSIX stand-in knows no access
// checks on keys: its failures (a bad path, an unreadable or unwritable file) are all Other.
[[nodiscard]] RegistryResult<std::unique_ptr<RegistryKey>> create_local_machine_key(
    std::string_view path, std::uint32_t access);
// Deletes `subkey` of the key at `path` with everything below it; an absent `subkey` is an error.
[[nodiscard]] RegistryVoidResult delete_local_machine_tree(std::string_view path,
                                                           std::string_view subkey);

// UTF-16 helpers for the registry's texts: unpaired surrogates, and bytes that are no UTF-8,
// become U+FFFD.
std::string utf16_to_utf8(std::u16string_view text);
std::u16string utf8_to_utf16(std::string_view text);

}  // namespace tessaro::os
