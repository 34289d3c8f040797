// The named section as a pagefile-backed Win32 file mapping. The system drops the section with
// its last handle, so nothing is unlinked here.
#include "common/status.hpp"

#include "common/os/system_error.hpp"
#include "common/os/unique_handle.hpp"
#include "common/os/windows.hpp"

namespace tessaro {

namespace {

Error last_error(const char* prefix, DWORD code) {
    return Error::caused(prefix, Error(os::system_error_text(code)));
}

std::intptr_t to_handle_value(HANDLE handle) {
    return reinterpret_cast<std::intptr_t>(handle);
}

HANDLE to_handle(std::intptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

// The section handle until a SharedMemory takes it over; the calls that make it give nullptr on
// failure.
struct SectionTraits {
    using handle_type = HANDLE;
    static handle_type invalid() { return nullptr; }
    static void close(handle_type handle) { CloseHandle(handle); }
};
using OwnedSection = os::UniqueHandle<SectionTraits>;

// Maps 4096 bytes of the section. On failure the caller's owner closes the section, after the
// mapping call's own error code has been taken here.
Result<std::uint8_t*> map_view(const OwnedSection& section) {
    void* view = MapViewOfFile(section.get(), FILE_MAP_ALL_ACCESS, 0, 0, STATUS_SECTION_SIZE);
    if (view == nullptr) {
        const DWORD code = GetLastError();
        return fail(last_error("Could not create shared memory view: ", code));
    }
    return static_cast<std::uint8_t*>(view);
}

}  // namespace

Result<SharedMemory> SharedMemory::create_named(const char* name, bool service_mode) {
    SECURITY_DESCRIPTOR descriptor{};
    SECURITY_ATTRIBUTES attributes{};
    SECURITY_ATTRIBUTES* security = nullptr;
    if (service_mode) {
        // A null DACL lets every account open the service's section, the tool's included.
        if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION)) {
            const DWORD code = GetLastError();
            return fail(last_error("Could not initialize security descriptor: ", code));
        }
        if (!SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE)) {
            const DWORD code = GetLastError();
            return fail(last_error("Could not set security descriptor DACL: ", code));
        }
        attributes.nLength = sizeof(SECURITY_ATTRIBUTES);
        attributes.lpSecurityDescriptor = &descriptor;
        attributes.bInheritHandle = TRUE;
        security = &attributes;
    }

    // An existing section of this name is returned as it is (ERROR_ALREADY_EXISTS) and reused.
    OwnedSection section(CreateFileMappingA(INVALID_HANDLE_VALUE, security, PAGE_READWRITE, 0,
                                            STATUS_SECTION_SIZE, name));
    if (!section) {
        const DWORD code = GetLastError();
        return fail(last_error("Could not create shared memory: ", code));
    }
    auto view = map_view(section);
    if (!view) {
        return fail(std::move(view.error()));
    }
    SharedMemory memory;
    memory.view_ = *view;
    memory.handle_ = to_handle_value(section.release());
    return memory;
}

Result<SharedMemory> SharedMemory::open(const char* name) {
    OwnedSection section(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name));
    if (!section) {
        const DWORD code = GetLastError();
        return fail(last_error("Could not open shared memory: ", code));
    }
    auto view = map_view(section);
    if (!view) {
        return fail(std::move(view.error()));
    }
    SharedMemory memory;
    memory.view_ = *view;
    memory.handle_ = to_handle_value(section.release());
    return memory;
}

void SharedMemory::release() {
    if (view_ != nullptr) {
        UnmapViewOfFile(view_);
        view_ = nullptr;
    }
    if (handle_ != -1) {
        CloseHandle(to_handle(handle_));
        handle_ = -1;
    }
}

}  // namespace tessaro
