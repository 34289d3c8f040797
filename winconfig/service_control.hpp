// The tool's seam to the service control manager, for the Windows service "korvel-tessaro": the
// manager on the local machine's default database, the service opened with the access that an
// operation needs, its current state, the stop request and the start with arguments; and the
// start of the event viewer on the service's events.
//
// Windows: advapi32 and CreateProcessW. POSIX stand-in: fails like a machine without a service
// manager (and without the event viewer), which the tool shows as "Nicht installiert".
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"

namespace tessaro::winconfig {

inline constexpr std::string_view SERVICE_NAME = "korvel-tessaro";

// The accesses the tool asks for.
inline constexpr std::uint32_t SC_MANAGER_CONNECT_ACCESS = 0x1;
inline constexpr std::uint32_t SERVICE_QUERY_STATUS_ACCESS = 0x4;
inline constexpr std::uint32_t SERVICE_START_ACCESS = 0x10;
inline constexpr std::uint32_t SERVICE_STOP_ACCESS = 0x20;

// The service states as the manager reports them (dwCurrentState).
inline constexpr std::uint32_t SERVICE_STATE_STOPPED = 1;
inline constexpr std::uint32_t SERVICE_STATE_RUNNING = 4;
inline constexpr std::uint32_t SERVICE_STATE_MAX = 7;  // PAUSED; 1 to 7 are valid

// An open service; its handle is closed when it goes.
class ServiceHandle {
  public:
    virtual ~ServiceHandle() = default;
    // QueryServiceStatusEx at SC_STATUS_PROCESS_INFO: the current state, as reported.
    [[nodiscard]] virtual Result<std::uint32_t> query_state() = 0;
    // ControlService with SERVICE_CONTROL_STOP: the state in the status it returns, as reported.
    [[nodiscard]] virtual Result<std::uint32_t> stop() = 0;
    // StartServiceW with these arguments.
    [[nodiscard]] virtual VoidResult start(const std::vector<std::string>& arguments) = 0;
};

// An open service control manager; its handle is closed when it goes.
class ServiceManager {
  public:
    virtual ~ServiceManager() = default;
    // OpenServiceW for "korvel-tessaro" with `access`; the error carries the system's text.
    [[nodiscard]] virtual Result<std::unique_ptr<ServiceHandle>> open_service(
        std::uint32_t access) = 0;
};

// OpenSCManagerW on the local machine's default database with SC_MANAGER_CONNECT; the error
// carries the system's text.
[[nodiscard]] Result<std::unique_ptr<ServiceManager>> open_service_manager();

// The event viewer's command, on the events of the source "Korvel Tessaro" in the Application
// log. The tool runs with administrator rights, so nothing that the viewer runs or reads may come
// from the tool's folder or from the folder it was started in: the program, its console file and
// its working folder are all the system folder's.
inline constexpr std::string_view EVENT_VIEWER_PROGRAM = "mmc.exe";
struct EventViewerCommand {
    std::string program;                 // full path of "mmc.exe"
    std::vector<std::string> arguments;  // after the program's name "mmc.exe"
    std::string working_folder;

    bool operator==(const EventViewerCommand&) const = default;
};
EventViewerCommand event_viewer_command(std::string_view system_folder);

// Starts the event viewer's command in this system's folder without waiting for it. Errors:
// "program not found" when "mmc.exe" is not there, else the system's message and " (os error N)".
[[nodiscard]] VoidResult start_event_viewer();

}  // namespace tessaro::winconfig
