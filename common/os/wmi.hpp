// The WMI connection and the two platform inputs of the adapter scan.
//
// Windows: COM + IWbemServices on "ROOT\CIMV2", and GetAdaptersAddresses. POSIX stand-in: rows
// from sysfs for USB network interfaces (the PNPDeviceID composed as Windows composes it for a
// USB interface) plus the lines of the file named by $TESSARO_WMI_ROWS ("guid<TAB>PNPDeviceID");
// adapters from getifaddrs and sysfs (adapter and friendly name = interface name).
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "common/interfaces.hpp"

namespace tessaro::os {

class WmiConnection {
public:
    // The service program: COM multithreaded with process-wide security, locator, ConnectServer
    // to "ROOT\CIMV2", proxy blanket; COM is uninitialised again on failure and on destruction.
    [[nodiscard]] static Result<std::unique_ptr<WmiConnection>> connect_service();
    // The configuration tool: on the apartment the thread already has, without initialising COM.
    [[nodiscard]] static Result<std::unique_ptr<WmiConnection>> connect_in_apartment();

    virtual ~WmiConnection() = default;

    // The rows of one WQL query, read completely; the first failure discards all rows.
    [[nodiscard]] virtual Result<std::vector<AdapterRow>> query_adapter_rows(std::string_view wql) = 0;
};

// The system's adapter list.
[[nodiscard]] Result<std::vector<SystemAdapter>> list_adapters();

}  // namespace tessaro::os
