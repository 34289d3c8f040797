// Pieces of the POSIX stand-in for WMI that tests drive directly (POSIX build only).
#pragma once

#include <filesystem>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "common/interfaces.hpp"

namespace tessaro::os::posix {

// The rows for the USB network interfaces under `class_net` (normally /sys/class/net): for each
// interface whose `device` link leads to a USB interface, guid = the interface name and
// PNPDeviceID = "USB\VID_xxxx&PID_xxxx&MI_xx\<USB interface name>", hexadecimal in upper case as
// Windows writes it. Interfaces of other buses, or whose USB attributes cannot be read, give no
// row. Sorted by interface name, so that two reads of an unchanged system agree.
std::vector<AdapterRow> usb_adapter_rows(const std::filesystem::path& class_net);

// The rows of a rows file: a line each, "guid<TAB>PNPDeviceID" (split at the first tab; an
// empty guid gives none), blank lines skipped. An unreadable file and a line without a tab fail.
[[nodiscard]] Result<std::vector<AdapterRow>> rows_file(const std::filesystem::path& path);

}  // namespace tessaro::os::posix
