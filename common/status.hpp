// The status record that the service program publishes in a named shared section, its byte
// format and its check value (SipHash-1-3, key of 16 zero bytes, over a hash stream of its own).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "common/error.hpp"
#include "common/ipv4.hpp"
#include "common/mac_address.hpp"

namespace tessaro {

inline constexpr std::size_t STATUS_SECTION_SIZE = 4096;
inline constexpr const char* STATUS_SECTION_NAME_SERVICE = "Global\\Korvel-QM4410-LAN-Proxy";
inline constexpr const char* STATUS_SECTION_NAME_CONSOLE = "Local\\Korvel-QM4410-LAN-Proxy";

// SipHash with a 16-byte key, fed in pieces and finished over the total length. The check value
// uses the 1-3 variant (one compression round per block, three finalisation rounds); the round
// counts are parameters so that the implementation can be checked against the published 2-4
// reference vectors. Both variants are instantiated in status.cpp.
template <int CompressionRounds, int FinalizationRounds>
class SipHasher {
  public:
    explicit SipHasher(std::uint64_t k0 = 0, std::uint64_t k1 = 0);
    void write(std::span<const std::uint8_t> bytes);
    void write_u8(std::uint8_t v);
    void write_u64(std::uint64_t v);  // little-endian
    std::uint64_t finish() const;

  private:
    std::uint64_t v0_, v1_, v2_, v3_;
    std::uint64_t tail_ = 0;  // the bytes of an unfinished 8-byte block, little-endian
    std::size_t ntail_ = 0;
    std::size_t length_ = 0;
    void compress(std::uint64_t m);
};

using SipHasher13 = SipHasher<1, 3>;

// A bounded cursor over the view: refuses to write past its end.
class StatusCursor {
  public:
    explicit StatusCursor(std::span<std::uint8_t> view) : view_(view) {}
    [[nodiscard]] VoidResult write(std::span<const std::uint8_t> bytes);
    std::size_t position() const { return pos_; }

  private:
    std::span<std::uint8_t> view_;
    std::size_t pos_ = 0;
};

// A bounded reader over the bytes of a record: every fixed-width field needs its whole width, and
// a counted text's count is compared with what is left before anything is taken or allocated for
// it. Each read consumes from the front and gives none when the field is cut off or invalid; the
// decoder keeps no detail of why.
class StatusInput {
  public:
    explicit StatusInput(std::span<const std::uint8_t> bytes) : rest_(bytes) {}
    std::optional<std::uint8_t> read_u8();
    std::optional<std::uint32_t> read_u32();  // little-endian
    std::optional<std::uint64_t> read_u64();  // little-endian
    // Four octets, first octet first.
    std::optional<Ipv4Addr> read_ipv4();
    // A 64-bit byte count, then that many bytes of valid UTF-8.
    std::optional<std::string> read_string();
    // A text as read_string gives it that MacAddress::parse accepts: the writer's 17 upper-case
    // characters, and also "-" separators or lower-case digits.
    std::optional<MacAddress> read_mac();

  private:
    std::optional<std::span<const std::uint8_t>> take(std::size_t count);
    std::span<const std::uint8_t> rest_;
};

struct ProxyStatus {
    struct NotConnected {
        bool operator==(const NotConnected&) const = default;
    };
    struct Connected {
        std::string interface_name;
        Ipv4Addr ip_address;
        std::optional<MacAddress> mac_address;
        Ipv4Addr device_ip_address;
        MacAddress device_mac_address;
        bool operator==(const Connected&) const = default;
    };
    std::variant<NotConnected, Connected> value = NotConnected{};

    bool is_connected() const { return std::holds_alternative<Connected>(value); }

    [[nodiscard]] VoidResult serialize(StatusCursor& cursor) const;
    void hash(SipHasher13& hasher) const;
    // The counterpart of `serialize`: a variant index other than 0 and 1, or a presence byte
    // other than 0 and 1, gives none, as does any field that does not decode.
    static std::optional<ProxyStatus> deserialize(StatusInput& input);

    bool operator==(const ProxyStatus&) const = default;
};

struct AppStatus {
    ProxyStatus terminal;
    ProxyStatus pinpad;

    // The check value over version 1, second byte 0 and both statuses.
    std::uint64_t check_value(std::uint8_t version = 1, std::uint8_t second = 0) const;

    // Writes the whole record at the start of the 4096-byte view; "Failed to serialize status:
    // io error: failed to write whole buffer" when it does not fit.
    [[nodiscard]] static VoidResult write(std::uint8_t* view, AppStatus status);

    bool operator==(const AppStatus&) const = default;
};

// A record as found in a view, before its check value is compared: the two header bytes as they
// stand, both statuses and the stored check value.
struct StatusRecord {
    std::uint8_t version = 0;
    std::uint8_t second = 0;
    AppStatus status;
    std::uint64_t stored_check_value = 0;

    // Decodes the record at the start of `view`; bytes behind the check value are ignored. None
    // when the record does not decode within the view.
    static std::optional<StatusRecord> decode(std::span<const std::uint8_t> view);

    // Whether the stored check value is the one over the header bytes as read (not over the
    // constants 1 and 0) and the decoded statuses.
    bool check_value_matches() const {
        return status.check_value(version, second) == stored_check_value;
    }
};

// One run of pages of the same kind, as the system tells it for an address inside a view: the
// bytes from that address to the end of the run, and whether all of them can be read.
struct PageRun {
    std::size_t bytes = 0;
    bool readable = false;
};

// Whether the first `size` bytes of a view can all be read, asking `query` for the run at each
// offset still to check (none when the system cannot tell). A run of no bytes, or one the system
// cannot describe, counts as unreadable: nothing here assumes a page it was not told of.
bool view_pages_readable(std::size_t size,
                         const std::function<std::optional<PageRun>(std::size_t offset)>& query);

// A named 4096-byte pagefile-backed section and a view of it, read/write but for a POSIX reader's
// (below). Released in the destructor: view unmapped, then handle closed; failures of either are
// ignored.
//
// An existing section of the same name is reused unchanged; one smaller than 4096 bytes cannot be
// mapped and fails with "Could not create shared memory view: ".
//
// POSIX stand-in: shm_open + mmap. POSIX object names allow no "/" after the leading one, so the
// section name becomes "/" + name with every "\" replaced by "_"
// ("/Local_Korvel-QM4410-LAN-Proxy"). Windows keeps a section while any handle is open and drops it
// with the last one; POSIX objects persist until unlinked, so the last of the owners made by
// `create` that ends unlinks the name, and no section outlives the programs that use it. Owners
// made by `open` never unlink. Console mode creates the object readable and writable by its user
// only; service mode lets every account read it and only its user write it (mode 0644, the
// counterpart of the service's DACL): an object that others could write could also be shrunk
// under a reader. For the same reason `create` reuses an existing object only when it belongs to
// the process's own user, no other account may write it and it has no second name (a hard link);
// any other fails with "Could not create shared memory: " and EACCES's text, and stays as it is.
// The name is shared by all accounts of the machine, so `open` opens and maps the object
// read-only, which lets any account read the service's object (writing through such a view
// faults), and takes it only when the service could have made it: owned by root or by the
// reader's own user, writable by no one else, with no second name; any other fails with "Could
// not open shared memory: " and a text that names the owner's uid.
class SharedMemory {
  public:
    // The service ("Global\" name, inheritable handle, a DACL that lets every account open and
    // read the section, and only SYSTEM, the Administrators and the creating account write it or
    // change its security) or the console ("Local\" name, default security).
    [[nodiscard]] static Result<SharedMemory> create(bool service_mode);
    // As `create`, under another name, so that tests running side by side do not share a section.
    [[nodiscard]] static Result<SharedMemory> create_named(const char* name, bool service_mode);
    // Opens an existing section by name and maps 4096 bytes (read-only on POSIX); never creates
    // one.
    [[nodiscard]] static Result<SharedMemory> open(const char* name);

    SharedMemory(SharedMemory&& other) noexcept;
    SharedMemory& operator=(SharedMemory&& other) noexcept;
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;
    ~SharedMemory();

    std::uint8_t* view() const { return view_; }

    // Copies the whole view into `out`. A page that cannot be read gives the system's error in
    // place of a fault: any program of the same account can make a section of the console's name
    // whose pages were never committed (Windows) or that it shrinks under the view (POSIX, where
    // touching a page past the end raises SIGBUS; the copy reads the object through its
    // descriptor instead, and an object shorter than the view fails it). `create` and `open` copy
    // the view once before they hand it out, and fail with "Could not create shared memory view: "
    // and that error.
    [[nodiscard]] VoidResult copy_view(std::span<std::uint8_t, STATUS_SECTION_SIZE> out) const;

  private:
    SharedMemory() = default;
    void release();

    std::uint8_t* view_ = nullptr;
    std::intptr_t handle_ = -1;  // the section handle (Windows) or descriptor (POSIX)
    std::string unlink_name_;    // POSIX: the name the creator unlinks
};

}  // namespace tessaro
