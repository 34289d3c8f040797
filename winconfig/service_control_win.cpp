// Windows build: the service control manager through advapi32, the event viewer through
// CreateProcessW. Every manager, service, process and thread handle has one owner.
#include <string>
#include <utility>

#include "common/os/registry.hpp"
#include "common/os/system_error.hpp"
#include "common/os/unique_handle.hpp"
#include "common/os/windows.hpp"
#include "winconfig/service_control.hpp"

namespace tessaro::winconfig {

namespace {

static_assert(SC_MANAGER_CONNECT_ACCESS == SC_MANAGER_CONNECT);
static_assert(SERVICE_QUERY_STATUS_ACCESS == SERVICE_QUERY_STATUS);
static_assert(SERVICE_START_ACCESS == SERVICE_START && SERVICE_STOP_ACCESS == SERVICE_STOP);
static_assert(SERVICE_STATE_STOPPED == SERVICE_STOPPED &&
              SERVICE_STATE_RUNNING == SERVICE_RUNNING && SERVICE_STATE_MAX == SERVICE_PAUSED);

struct ScHandleTraits {
    using handle_type = SC_HANDLE;
    static handle_type invalid() { return nullptr; }
    static void close(handle_type handle) { CloseServiceHandle(handle); }
};
using ScHandle = os::UniqueHandle<ScHandleTraits>;

struct KernelHandleTraits {
    using handle_type = HANDLE;
    static handle_type invalid() { return nullptr; }
    static void close(handle_type handle) { CloseHandle(handle); }
};
using KernelHandle = os::UniqueHandle<KernelHandleTraits>;

std::wstring to_wide(std::string_view utf8) {
    std::u16string units = os::utf8_to_utf16(utf8);
    return std::wstring(units.begin(), units.end());
}

Error last_system_error() {
    DWORD code = GetLastError();
    return Error(os::system_error_text(code));
}

class WinServiceHandle final : public ServiceHandle {
  public:
    explicit WinServiceHandle(ScHandle handle) : handle_(std::move(handle)) {}

    Result<std::uint32_t> query_state() override {
        // SERVICE_STATUS_PROCESS is the 36 bytes that SC_STATUS_PROCESS_INFO fills.
        static_assert(sizeof(SERVICE_STATUS_PROCESS) == 36);
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        if (!QueryServiceStatusEx(handle_.get(), SC_STATUS_PROCESS_INFO,
                                  reinterpret_cast<LPBYTE>(&status), sizeof(status), &needed)) {
            return fail(last_system_error());
        }
        return status.dwCurrentState;
    }

    Result<std::uint32_t> stop() override {
        SERVICE_STATUS status{};
        if (!ControlService(handle_.get(), SERVICE_CONTROL_STOP, &status)) {
            return fail(last_system_error());
        }
        return status.dwCurrentState;
    }

    VoidResult start(const std::vector<std::string>& arguments) override {
        std::vector<std::wstring> wide;
        wide.reserve(arguments.size());
        for (const auto& argument : arguments) {
            wide.push_back(to_wide(argument));
        }
        std::vector<LPCWSTR> pointers;
        for (const auto& argument : wide) {
            pointers.push_back(argument.c_str());
        }
        if (!StartServiceW(handle_.get(), static_cast<DWORD>(pointers.size()),
                           pointers.empty() ? nullptr : pointers.data())) {
            return fail(last_system_error());
        }
        return {};
    }

  private:
    ScHandle handle_;
};

class WinServiceManager final : public ServiceManager {
  public:
    explicit WinServiceManager(ScHandle handle) : handle_(std::move(handle)) {}

    Result<std::unique_ptr<ServiceHandle>> open_service(std::uint32_t access) override {
        std::wstring name = to_wide(SERVICE_NAME);
        ScHandle service(OpenServiceW(handle_.get(), name.c_str(), access));
        if (!service) {
            return fail(last_system_error());
        }
        return std::make_unique<WinServiceHandle>(std::move(service));
    }

  private:
    ScHandle handle_;
};

// One argument as the C runtime splits command lines: quoted when it holds a blank, a tab or a
// quote; backslashes doubled before a quote and before the closing quote.
void append_argument(std::wstring& line, const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) {
        line += argument;
        return;
    }
    line += L'"';
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            line.append(backslashes * 2 + 1, L'\\');
        } else {
            line.append(backslashes, L'\\');
        }
        backslashes = 0;
        line += c;
    }
    line.append(backslashes * 2, L'\\');
    line += L'"';
}

}  // namespace

Result<std::unique_ptr<ServiceManager>> open_service_manager() {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        return fail(last_system_error());
    }
    return std::make_unique<WinServiceManager>(std::move(manager));
}

VoidResult start_event_viewer() {
    std::wstring system_folder(MAX_PATH, L'\0');
    UINT length =
        GetSystemDirectoryW(system_folder.data(), static_cast<UINT>(system_folder.size()));
    if (length == 0 || length >= system_folder.size()) {
        return fail(last_system_error());
    }
    system_folder.resize(length);
    EventViewerCommand command = event_viewer_command(
        os::utf16_to_utf8(std::u16string(system_folder.begin(), system_folder.end())));
    std::wstring line;
    append_argument(line, to_wide(EVENT_VIEWER_PROGRAM));
    for (const auto& argument : command.arguments) {
        line += L' ';
        append_argument(line, to_wide(argument));
    }
    // By its full path: the search of the command line's first word would look in the tool's
    // folder and the current folder first.
    std::wstring program = to_wide(command.program);
    std::wstring working_folder = to_wide(command.working_folder);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        working_folder.c_str(), &startup, &process)) {
        DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
            return fail("program not found");
        }
        return fail(os::system_error_text(code));
    }
    // The viewer runs on by itself; we keep nothing of it.
    KernelHandle process_handle(process.hProcess);
    KernelHandle thread_handle(process.hThread);
    return {};
}

}  // namespace tessaro::winconfig
