// The configuration tool's reader of the status record that the service program rewrites in its
// named section every 500 ms, without a lock. A reader lives for one status tick: opened by name,
// read once, dropped, so that the tool follows whichever service program runs.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <functional>
#include <string_view>

#include "common/error.hpp"
#include "common/status.hpp"

namespace tessaro::winconfig {

// Why a read gave no record; the tool shows the text after its prefix once per change.
enum class StatusReadError { Deserialization, Checksum, Version };

// "Deserialisierung fehlgeschlagen", "Prüfsumme ungültig", "Version inkompatibel".
std::string_view to_string(StatusReadError error);

// Decode-and-verify attempts of one read: a pass that meets a record being rewritten fails to
// decode or to match its check value, and the next one is made at once.
inline constexpr int STATUS_READ_ATTEMPTS = 6;

class AppStatusReader {
  public:
    // The service's "Global\" section, else the console's "Local\" one; when neither opens, the
    // error of the "Local\" attempt. A section whose view cannot be read does not open ("Could
    // not create shared memory view: "), so the tool never faults on a section of the console's
    // name that another program made without committing its pages.
    [[nodiscard]] static Result<AppStatusReader> open();
    // The same over other names, so that tests running side by side keep to their own sections.
    [[nodiscard]] static Result<AppStatusReader> open_named(const char* global_name,
                                                            const char* local_name);

    // Decodes and verifies the record, with up to STATUS_READ_ATTEMPTS passes: decode failures
    // and check-value mismatches draw on the same attempts and the last one's error is returned;
    // a record that matches its check value but has a version other than 1 is refused at once.
    // The texts are copied out: nothing refers to the section afterwards.
    std::expected<AppStatus, StatusReadError> read() const;

    // One copy of the whole view, taken afresh for each attempt.
    using ViewCopy = std::array<std::uint8_t, STATUS_SECTION_SIZE>;
    // `read` over copies that `take_copy` makes (the live view's, or crafted ones in tests). A
    // copy that could not be taken (false: a page of the view could not be read) is an attempt
    // that failed to decode.
    static std::expected<AppStatus, StatusReadError> read_copies(
        const std::function<bool(ViewCopy&)>& take_copy);

  private:
    explicit AppStatusReader(SharedMemory memory) : memory_(std::move(memory)) {}

    SharedMemory memory_;
};

}  // namespace tessaro::winconfig
