// What a status dialog shows for one proxy: its title, the two kind-dependent labels and the five
// values, made from the snapshot of the proxy's status that the dialog got when it opened. The
// Win32 dialog (status_dialog_win.cpp) only puts these texts into its controls.
#pragma once

#include <string>

#include "common/settings.hpp"
#include "common/status.hpp"

namespace tessaro::winconfig {

struct StatusDialogTexts {
    std::string title;             // "Terminal-Proxy Status" / "PIN-Pad-Proxy Status"
    std::string device_ip_label;   // "Terminal IP-Adresse" / "PIN-Pad IP-Adresse"
    std::string device_mac_label;  // "Terminal MAC-Adresse" / "PIN-Pad MAC-Adresse"
    // "..." each while the proxy is not connected.
    std::string interface_value;
    std::string ip_value;
    std::string mac_value;  // "Nicht verfügbar" when the PC adapter has no MAC address
    std::string device_ip_value;
    std::string device_mac_value;

    bool operator==(const StatusDialogTexts&) const = default;
};

StatusDialogTexts status_dialog_texts(DeviceKind kind, const ProxyStatus& snapshot);

}  // namespace tessaro::winconfig
