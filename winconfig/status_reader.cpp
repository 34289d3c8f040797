#include "winconfig/status_reader.hpp"

#include <memory>

namespace tessaro::winconfig {

std::string_view to_string(StatusReadError error) {
    switch (error) {
        case StatusReadError::Deserialization:
            return "Deserialisierung fehlgeschlagen";
        case StatusReadError::Checksum:
            return "Pr\u00fcfsumme ung\u00fcltig";
        case StatusReadError::Version:
            break;
    }
    return "Version inkompatibel";
}

Result<AppStatusReader> AppStatusReader::open() {
    return open_named(STATUS_SECTION_NAME_SERVICE, STATUS_SECTION_NAME_CONSOLE);
}

Result<AppStatusReader> AppStatusReader::open_named(const char* global_name,
                                                    const char* local_name) {
    // The first error is dropped: no service section is the normal case of a console run.
    auto memory = SharedMemory::open(global_name);
    if (!memory) {
        memory = SharedMemory::open(local_name);
    }
    if (!memory) {
        return fail(std::move(memory.error()));
    }
    return AppStatusReader(std::move(*memory));
}

std::expected<AppStatus, StatusReadError> AppStatusReader::read() const {
    // The service rewrites the view at any moment: each attempt decodes its own copy, so that no
    // field is read twice with different contents. The copy reports a page that cannot be read
    // instead of faulting, should one go after the open.
    return read_copies([this](ViewCopy& copy) { return memory_.copy_view(copy).has_value(); });
}

std::expected<AppStatus, StatusReadError> AppStatusReader::read_copies(
    const std::function<bool(ViewCopy&)>& take_copy) {
    // 4 KiB: on the heap rather than on the GUI thread's stack.
    auto copy = std::make_unique<ViewCopy>();
    StatusReadError error = StatusReadError::Deserialization;
    for (int attempt = 0; attempt < STATUS_READ_ATTEMPTS; ++attempt) {
        if (!take_copy(*copy)) {
            error = StatusReadError::Deserialization;
            continue;
        }
        auto record = StatusRecord::decode(*copy);
        if (!record) {
            error = StatusReadError::Deserialization;
            continue;
        }
        if (!record->check_value_matches()) {
            error = StatusReadError::Checksum;
            continue;
        }
        // A record of another format that checks out is no torn write: retrying cannot help.
        if (record->version != 1) {
            return std::unexpected(StatusReadError::Version);
        }
        return std::move(record->status);
    }
    return std::unexpected(error);
}

}  // namespace tessaro::winconfig
