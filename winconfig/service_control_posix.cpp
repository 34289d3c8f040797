// POSIX build: there is no service control manager and no event viewer. Opening the manager
// fails as it does where the manager cannot be reached, so the tool shows "Nicht installiert".
#include <cerrno>

#include "common/os/system_error.hpp"
#include "winconfig/service_control.hpp"

namespace tessaro::winconfig {

Result<std::unique_ptr<ServiceManager>> open_service_manager() {
    return fail(os::system_error_text(ENOSYS));
}

VoidResult start_event_viewer() {
    return fail("program not found");
}

}  // namespace tessaro::winconfig
