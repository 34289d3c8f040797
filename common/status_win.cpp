// The named section as a pagefile-backed Win32 file mapping. The system drops the section with
// its last handle, so nothing is unlinked here.
#include "common/status.hpp"

#include <array>
#include <memory>
#include <vector>

#include "common/os/system_error.hpp"
#include "common/os/unique_handle.hpp"
#include "common/os/windows.hpp"

#include <aclapi.h>

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

// A kernel handle whose making calls give nullptr on failure: the section handle until a
// SharedMemory takes it over, and the process token.
struct KernelHandleTraits {
    using handle_type = HANDLE;
    static handle_type invalid() { return nullptr; }
    static void close(handle_type handle) { CloseHandle(handle); }
};
using OwnedSection = os::UniqueHandle<KernelHandleTraits>;

// Protections under which a committed page can be read; PAGE_NOACCESS and PAGE_EXECUTE cannot,
// and a PAGE_GUARD page faults once when touched.
constexpr DWORD READABLE_PROTECTIONS = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY |
                                       PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE |
                                       PAGE_EXECUTE_WRITECOPY;

// The view's pages as VirtualQuery reports them: only committed pages can be read, and a
// section made with SEC_RESERVE has none until its maker commits them.
bool pages_committed(const std::uint8_t* view) {
    return view_pages_readable(
        STATUS_SECTION_SIZE, [view](std::size_t offset) -> std::optional<PageRun> {
            const std::uint8_t* at = view + offset;
            MEMORY_BASIC_INFORMATION info{};
            if (VirtualQuery(at, &info, sizeof info) == 0) {
                return std::nullopt;
            }
            const auto* end = static_cast<const std::uint8_t*>(info.BaseAddress) + info.RegionSize;
            const bool readable = info.State == MEM_COMMIT &&
                                  (info.Protect & READABLE_PROTECTIONS) != 0 &&
                                  (info.Protect & PAGE_GUARD) == 0;
            return PageRun{end > at ? static_cast<std::size_t>(end - at) : 0, readable};
        });
}

// A committed page can still fail to come in (a section backed by a file on storage that has
// gone away): ReadProcessMemory on our own process reports that as an error, where a plain copy
// would raise an exception in the middle of it.
VoidResult copy_pages(const std::uint8_t* view, std::span<std::uint8_t, STATUS_SECTION_SIZE> out) {
    if (!pages_committed(view)) {
        return fail(Error(os::system_error_text(ERROR_NOACCESS)));
    }
    SIZE_T copied = 0;
    if (!ReadProcessMemory(GetCurrentProcess(), view, out.data(), out.size(), &copied)) {
        const DWORD code = GetLastError();
        return fail(Error(os::system_error_text(code)));
    }
    if (copied != out.size()) {
        return fail(Error(os::system_error_text(ERROR_PARTIAL_COPY)));
    }
    return {};
}

// Maps 4096 bytes of the section and copies them once, so that a view that cannot be read is
// refused here instead of faulting in its first reader or writer. On failure the caller's owner
// closes the section, after the failing call's own error code has been taken here.
Result<std::uint8_t*> map_view(const OwnedSection& section) {
    void* mapped = MapViewOfFile(section.get(), FILE_MAP_ALL_ACCESS, 0, 0, STATUS_SECTION_SIZE);
    if (mapped == nullptr) {
        const DWORD code = GetLastError();
        return fail(last_error("Could not create shared memory view: ", code));
    }
    auto* view = static_cast<std::uint8_t*>(mapped);
    auto probe = std::make_unique<std::array<std::uint8_t, STATUS_SECTION_SIZE>>();
    if (auto copied = copy_pages(view, *probe); !copied) {
        UnmapViewOfFile(view);
        return fail(Error::caused("Could not create shared memory view: ", copied.error()));
    }
    return view;
}

// Frees what SetEntriesInAclW allocated.
struct AclTraits {
    using handle_type = PACL;
    static handle_type invalid() { return nullptr; }
    static void close(handle_type acl) { LocalFree(acl); }
};
using OwnedAcl = os::UniqueHandle<AclTraits>;

using OwnedToken = os::UniqueHandle<KernelHandleTraits>;

Error dacl_error(DWORD code) {
    return last_error("Could not set security descriptor DACL: ", code);
}

// The account this process runs as, in a buffer that holds its TOKEN_USER.
Result<std::vector<std::uint8_t>> process_user() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) {
        const DWORD code = GetLastError();
        return fail(dacl_error(code));
    }
    OwnedToken token(raw);
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    if (size == 0) {
        const DWORD code = GetLastError();
        return fail(dacl_error(code));
    }
    std::vector<std::uint8_t> user(size);
    if (!GetTokenInformation(token.get(), TokenUser, user.data(), size, &size)) {
        const DWORD code = GetLastError();
        return fail(dacl_error(code));
    }
    return user;
}

using WellKnownSid = std::array<std::uint8_t, SECURITY_MAX_SID_SIZE>;

Result<WellKnownSid> well_known_sid(WELL_KNOWN_SID_TYPE type) {
    WellKnownSid sid{};
    DWORD size = sid.size();
    if (!CreateWellKnownSid(type, nullptr, sid.data(), &size)) {
        const DWORD code = GetLastError();
        return fail(dacl_error(code));
    }
    return sid;
}

EXPLICIT_ACCESS_W grant(void* sid, DWORD access) {
    EXPLICIT_ACCESS_W entry{};
    entry.grfAccessPermissions = access;
    entry.grfAccessMode = SET_ACCESS;
    entry.grfInheritance = NO_INHERITANCE;
    entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entry.Trustee.TrusteeType = TRUSTEE_IS_UNKNOWN;
    entry.Trustee.ptstrName = static_cast<LPWSTR>(sid);
    return entry;
}

// The service's section: every account may open and read it (the tool included, elevated or
// not), but only SYSTEM, the Administrators and the account that made it may write it or change
// its security. A null DACL would let any local account write fake records into it, or take it
// over by changing its DACL or owner.
Result<OwnedAcl> service_section_dacl() {
    auto user = process_user();
    if (!user) {
        return fail(std::move(user.error()));
    }
    auto system = well_known_sid(WinLocalSystemSid);
    if (!system) {
        return fail(std::move(system.error()));
    }
    auto administrators = well_known_sid(WinBuiltinAdministratorsSid);
    if (!administrators) {
        return fail(std::move(administrators.error()));
    }
    auto everyone = well_known_sid(WinWorldSid);
    if (!everyone) {
        return fail(std::move(everyone.error()));
    }
    auto* token_user = reinterpret_cast<TOKEN_USER*>(user->data());
    // FILE_MAP_READ is SECTION_MAP_READ; READ_CONTROL lets a reader look at the DACL.
    EXPLICIT_ACCESS_W entries[] = {
        grant(system->data(), SECTION_ALL_ACCESS),
        grant(administrators->data(), SECTION_ALL_ACCESS),
        grant(token_user->User.Sid, SECTION_ALL_ACCESS),
        grant(everyone->data(), SECTION_QUERY | SECTION_MAP_READ | READ_CONTROL),
    };
    PACL acl = nullptr;
    // Returns its error code rather than setting the last error.
    const DWORD code =
        SetEntriesInAclW(static_cast<ULONG>(std::size(entries)), entries, nullptr, &acl);
    if (code != ERROR_SUCCESS) {
        return fail(dacl_error(code));
    }
    return OwnedAcl(acl);
}

}  // namespace

Result<SharedMemory> SharedMemory::create_named(const char* name, bool service_mode) {
    SECURITY_DESCRIPTOR descriptor{};
    SECURITY_ATTRIBUTES attributes{};
    SECURITY_ATTRIBUTES* security = nullptr;
    OwnedAcl dacl;  // referred to by the descriptor until the section is made
    if (service_mode) {
        if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION)) {
            const DWORD code = GetLastError();
            return fail(last_error("Could not initialize security descriptor: ", code));
        }
        auto made = service_section_dacl();
        if (!made) {
            return fail(std::move(made.error()));
        }
        dacl = std::move(*made);
        if (!SetSecurityDescriptorDacl(&descriptor, TRUE, dacl.get(), FALSE)) {
            const DWORD code = GetLastError();
            return fail(dacl_error(code));
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

VoidResult SharedMemory::copy_view(std::span<std::uint8_t, STATUS_SECTION_SIZE> out) const {
    return copy_pages(view_, out);
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
