// What the configuration tool's model needs of the system besides its window: the adapter scan,
// the settings key, the service, the status section, the event viewer and the status dialog
// thread. The Windows build passes the real facilities; tests pass fakes.
#pragma once

#include <memory>

#include "common/error.hpp"
#include "common/interfaces.hpp"

namespace tessaro::os {
class WmiConnection;
}

namespace tessaro::winconfig {

class ConfigPlatform {
  public:
    virtual ~ConfigPlatform() = default;

    // The tool's one adapter scan; all lists empty without a WMI connection.
    virtual Interfaces scan_adapters() = 0;
};

// The real facilities of the Windows build, over the WMI connection made at start (or none).
std::unique_ptr<ConfigPlatform> make_windows_platform(std::unique_ptr<os::WmiConnection> wmi);

}  // namespace tessaro::winconfig
