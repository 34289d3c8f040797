// What the configuration tool's model needs of the system besides its window: the adapter scan,
// the settings key, the service, the status section, the event viewer and the status dialog
// thread. The Windows build passes the real facilities; tests pass fakes.
#pragma once

#include <expected>
#include <memory>

#include "common/error.hpp"
#include "common/interfaces.hpp"
#include "common/os/registry.hpp"
#include "common/status.hpp"
#include "winconfig/dialog_thread.hpp"
#include "winconfig/service_control.hpp"
#include "winconfig/status_reader.hpp"

namespace tessaro::os {
class WmiConnection;
}

namespace tessaro::winconfig {

// One opened status section, read once per tick and then dropped.
class StatusSource {
  public:
    virtual ~StatusSource() = default;
    virtual std::expected<AppStatus, StatusReadError> read() const = 0;
};

class ConfigPlatform {
  public:
    virtual ~ConfigPlatform() = default;

    // The tool's one adapter scan; all lists empty without a WMI connection.
    virtual Interfaces scan_adapters() = 0;

    // The settings key, created or opened for reading and writing; the error is the save's box
    // text.
    [[nodiscard]] virtual Result<std::unique_ptr<os::RegistryKey>> open_settings_key() = 0;

    // The service control manager of the local machine.
    [[nodiscard]] virtual Result<std::unique_ptr<ServiceManager>> open_service_manager() = 0;

    // The status section: the service's, else the console's; the error is the second attempt's.
    [[nodiscard]] virtual Result<std::unique_ptr<StatusSource>> open_status_reader() = 0;

    // The event viewer on the service's events, not waited for.
    [[nodiscard]] virtual VoidResult start_event_viewer() = 0;

    // A new thread running the status dialog with `start`.
    [[nodiscard]] virtual Result<DialogThread> start_dialog_thread(DialogStart start) = 0;
};

// The real facilities of the Windows build, over the WMI connection made at start (or none).
std::unique_ptr<ConfigPlatform> make_windows_platform(std::unique_ptr<os::WmiConnection> wmi);

}  // namespace tessaro::winconfig
