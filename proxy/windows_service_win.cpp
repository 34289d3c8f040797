// Windows build: the service control manager and the event-log source through advapi32, the
// source's registry key through the registry seam.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/error.hpp"
#include "common/log.hpp"
#include "common/os/registry.hpp"
#include "common/os/system_error.hpp"
#include "common/os/unique_handle.hpp"
#include "common/os/windows.hpp"
#include "common/settings.hpp"
#include "proxy/app.hpp"
#include "proxy/windows_service.hpp"

namespace tessaro::windows_service {

namespace {

constexpr const char* log_target = "tessaro::main_windows";

// The service library's texts; the system's code is deliberately not part of them.
constexpr const char* winapi_error_text = "IO error in winapi call";
constexpr const char* invalid_state_text = "Invalid service state value";

constexpr const char* exe_path_error_text = "Could not determine executable path";
constexpr const char* registry_key_error_text = "Failed to modify registry key";
constexpr const char* registry_value_error_text = "Failed to modify registry value";

constexpr const char* message_file_value = "EventMessageFile";

constexpr DWORD install_manager_access = SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE;
constexpr DWORD uninstall_manager_access = SC_MANAGER_CONNECT;
constexpr DWORD uninstall_service_access = DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS;
static_assert(install_manager_access == 0x3 && uninstall_service_access == 0x10024);

// A running service is given this long to stop before it is deleted; its state is not looked at
// again, since the manager deletes a service that is still stopping once it has stopped.
constexpr DWORD stop_wait_ms = 3000;

// GetModuleFileNameW has no way to ask for the length; the longest path Windows knows is 32767
// units, so the buffer doubles up to that and no further.
constexpr std::size_t max_path_units = 32768;

// Exit code of a start-up step that must succeed.
constexpr int startup_failure_exit_code = 101;

std::wstring to_wide(std::string_view utf8) {
    std::u16string units = os::utf8_to_utf16(utf8);
    return std::wstring(units.begin(), units.end());
}

// One service control manager or service handle, closed once.
struct ScHandleTraits {
    using handle_type = SC_HANDLE;
    static handle_type invalid() { return nullptr; }
    static void close(handle_type handle) { CloseServiceHandle(handle); }
};
using ScHandle = os::UniqueHandle<ScHandleTraits>;

Error winapi_error() {
    return Error(winapi_error_text);
}

// The path of the running executable in UTF-16, as the system reports it.
std::optional<std::wstring> executable_path_wide() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        DWORD length =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return std::nullopt;
        }
        // A full buffer means the path was cut short (the call then returns the buffer size).
        if (length < buffer.size()) {
            buffer.resize(length);
            return buffer;
        }
        if (buffer.size() >= max_path_units) {
            return std::nullopt;
        }
        buffer.resize(std::min(buffer.size() * 2, max_path_units));
    }
}

bool is_valid_utf16(std::wstring_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto unit = static_cast<char16_t>(text[i]);
        if (unit >= 0xD800 && unit <= 0xDBFF) {
            if (i + 1 == text.size()) {
                return false;
            }
            auto next = static_cast<char16_t>(text[i + 1]);
            if (next < 0xDC00 || next > 0xDFFF) {
                return false;
            }
            ++i;
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

// The executable's path in UTF-8; none when it cannot be obtained or is not valid Unicode.
std::optional<std::string> executable_path() {
    std::optional<std::wstring> wide = executable_path_wide();
    if (!wide || !is_valid_utf16(*wide)) {
        return std::nullopt;
    }
    return os::utf16_to_utf8(std::u16string(wide->begin(), wide->end()));
}

std::string event_source_key() {
    return std::string(event_log_base_key) + "\\" + std::string(event_source_name);
}

// Makes the event viewer find the texts of our events: the source's key names this executable,
// which carries the message table, as its message file.
VoidResult register_event_source() {
    std::optional<std::string> exe = executable_path();
    if (!exe) {
        return fail(exe_path_error_text);
    }
    // The base key is opened first so that a machine without it fails here instead of getting
    // a made-up Application log.
    auto base = os::open_local_machine_key(event_log_base_key, os::KEY_WRITE_ACCESS);
    if (!base) {
        return fail(registry_key_error_text);
    }
    auto source = os::create_local_machine_key(event_source_key(), os::KEY_WRITE_ACCESS);
    if (!source) {
        return fail(registry_key_error_text);
    }
    if (auto set = (*source)->set(message_file_value, os::RegistryValue::from_string(*exe)); !set) {
        return fail(registry_value_error_text);
    }
    return {};
}

VoidResult deregister_event_source() {
    auto base = os::open_local_machine_key(event_log_base_key, os::KEY_READ_ACCESS);
    if (!base) {
        return fail(os::path_error_text(base.error().kind(), event_log_base_key));
    }
    if (auto removed = os::delete_local_machine_tree(event_log_base_key, event_source_name);
        !removed) {
        return fail(os::path_error_text(removed.error().kind(), event_source_name));
    }
    return {};
}

[[noreturn]] void end_at_startup(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
    std::exit(startup_failure_exit_code);
}

VoidResult set_service_description(SC_HANDLE service) {
    std::wstring description = to_wide(display_name);
    SERVICE_DESCRIPTIONW info{};
    info.lpDescription = description.data();
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, &info)) {
        return fail(winapi_error());
    }
    return {};
}

VoidResult install_service() {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, install_manager_access));
    if (!manager) {
        return fail(winapi_error());
    }
    std::optional<std::string> exe = executable_path();
    if (!exe) {
        end_at_startup(std::string("Could not install Windows service: ") + exe_path_error_text);
    }
    std::wstring name = to_wide(service_name);
    std::wstring display = to_wide(display_name);
    std::wstring command_line = to_wide(service_command_line(*exe));
    // A double-NUL-terminated list of one service: the literal adds the second NUL.
    const wchar_t* dependencies = L"Tcpip\0";
    ScHandle service(CreateServiceW(manager.get(), name.c_str(), display.c_str(),
                                    SERVICE_CHANGE_CONFIG, SERVICE_WIN32_OWN_PROCESS,
                                    SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, command_line.c_str(),
                                    nullptr, nullptr, dependencies, nullptr, nullptr));
    if (!service) {
        return fail(winapi_error());
    }
    // A failure here leaves the service in place, without its description.
    return set_service_description(service.get());
}

bool is_service_state(DWORD state) {
    return state >= SERVICE_STOPPED && state <= SERVICE_PAUSED;
}

VoidResult uninstall_service() {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, uninstall_manager_access));
    if (!manager) {
        return fail(winapi_error());
    }
    std::wstring name = to_wide(service_name);
    ScHandle service(OpenServiceW(manager.get(), name.c_str(), uninstall_service_access));
    if (!service) {
        return fail(winapi_error());
    }
    SERVICE_STATUS_PROCESS status{};
    static_assert(sizeof(status) == 36);
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<LPBYTE>(&status), sizeof(status), &needed)) {
        return fail(winapi_error());
    }
    if (!is_service_state(status.dwCurrentState)) {
        return fail(invalid_state_text);
    }
    if (status.dwCurrentState != SERVICE_STOPPED) {
        SERVICE_STATUS after_stop{};
        if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &after_stop)) {
            return fail(winapi_error());
        }
        if (!is_service_state(after_stop.dwCurrentState)) {
            return fail(invalid_state_text);
        }
        Sleep(stop_wait_ms);
    }
    if (!DeleteService(service.get())) {
        return fail(winapi_error());
    }
    return {};
}

// What the control handler needs from the application: its stop signal and a share of the node
// handler. The handler registration owns it for the rest of the process, since the dispatcher
// may call the handler until the process ends.
struct ControlContext {
    StopHandle stop;
};

DWORD WINAPI service_control_handler(DWORD control, DWORD /*event_type*/, LPVOID /*event_data*/,
                                     LPVOID context) {
    ControlDecision decision = decide_control(control);
    if (decision.send_stop) {
        auto* control_context = static_cast<ControlContext*>(context);
        if (control_context->stop.handler) {
            control_context->stop();
        }
    }
    return decision.return_code;
}

SERVICE_STATUS make_status(DWORD state, DWORD controls_accepted) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = controls_accepted;
    status.dwWin32ExitCode = NO_ERROR;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = 0;
    status.dwWaitHint = 0;
    return status;
}

// A status report failed: the service cannot go on. The manager is told that it stopped with an
// error (if it still listens), then the process ends.
[[noreturn]] void end_service_after_report_failure(SERVICE_STATUS_HANDLE handle,
                                                   const char* report) {
    DWORD code = GetLastError();
    std::string text =
        std::string("Could not report the service ") + report + ": " + os::system_error_text(code);
    SERVICE_STATUS stopped = make_status(SERVICE_STOPPED, 0);
    stopped.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
    stopped.dwServiceSpecificExitCode = startup_failure_exit_code;
    SetServiceStatus(handle, &stopped);
    end_at_startup(text);
}

void WINAPI service_main(DWORD argc, LPWSTR* argv) {
    // The start arguments ("tessaro-config" from the configuration tool, or anything else)
    // change nothing; they are read only so that nothing is left unconsumed.
    {
        std::vector<std::string> arguments;
        for (DWORD i = 0; i < argc; ++i) {
            std::wstring_view argument(argv[i]);
            arguments.push_back(
                os::utf16_to_utf8(std::u16string(argument.begin(), argument.end())));
        }
    }

    Settings settings = Settings::load();
    auto app = App::create(std::move(settings), true);
    if (!app) {
        end_at_startup("Could not start the service: " + app.error().full_text());
    }

    auto context = std::make_unique<ControlContext>(ControlContext{(*app)->stop_handle()});
    std::wstring name = to_wide(service_name);
    SERVICE_STATUS_HANDLE status_handle =
        RegisterServiceCtrlHandlerExW(name.c_str(), service_control_handler, context.get());
    if (status_handle == nullptr) {
        DWORD code = GetLastError();
        end_at_startup("Could not register the service control handler: " +
                       os::system_error_text(code));
    }
    // From here on the registration owns the context (see ControlContext).
    static_cast<void>(context.release());

    SERVICE_STATUS running = make_status(SERVICE_RUNNING, SERVICE_ACCEPT_STOP);
    if (!SetServiceStatus(status_handle, &running)) {
        end_service_after_report_failure(status_handle, "running");
    }

    App::run(std::move(*app));

    // The same report after a STOP control and after an error that stopped the application.
    SERVICE_STATUS stopped = make_status(SERVICE_STOPPED, 0);
    if (!SetServiceStatus(status_handle, &stopped)) {
        DWORD code = GetLastError();
        end_at_startup("Could not report the service stopped: " + os::system_error_text(code));
    }
}

}  // namespace

void install() {
    auto logger = log::get(log_target);
    if (auto registered = register_event_source(); !registered) {
        logger->error("Could not register EventLog source: {}", registered.error().message());
        return;
    }
    logger->info("EventLog source registered");
    if (auto installed = install_service(); !installed) {
        logger->error("Could not install Windows service: {}", installed.error().message());
        return;
    }
    logger->info("Windows service installed");
}

void uninstall() {
    auto logger = log::get(log_target);
    if (auto deregistered = deregister_event_source(); !deregistered) {
        logger->error("Could not deregister EventLog source: {}", deregistered.error().message());
    } else {
        logger->info("EventLog source deregistered");
    }
    if (auto uninstalled = uninstall_service(); !uninstalled) {
        logger->error("Could not uninstall Windows service: {}", uninstalled.error().message());
        return;
    }
    logger->info("Windows service uninstalled");
}

int run_service() {
    std::wstring name = to_wide(service_name);
    SERVICE_TABLE_ENTRYW table[] = {{name.data(), service_main}, {nullptr, nullptr}};
    // Blocks until the service has stopped; fails at once when the program was not started by
    // the service control manager.
    if (!StartServiceCtrlDispatcherW(table)) {
        DWORD code = GetLastError();
        std::fprintf(stderr, "Could not start the service control dispatcher: %s\n",
                     os::system_error_text(code).c_str());
        return startup_failure_exit_code;
    }
    return 0;
}

}  // namespace tessaro::windows_service
