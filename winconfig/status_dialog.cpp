#include "winconfig/status_dialog.hpp"

namespace tessaro::winconfig {

StatusDialogTexts status_dialog_texts(DeviceKind kind, const ProxyStatus& snapshot) {
    bool terminal = kind == DeviceKind::Terminal;
    StatusDialogTexts texts{
        .title = terminal ? "Terminal-Proxy Status" : "PIN-Pad-Proxy Status",
        .device_ip_label = terminal ? "Terminal IP-Adresse" : "PIN-Pad IP-Adresse",
        .device_mac_label = terminal ? "Terminal MAC-Adresse" : "PIN-Pad MAC-Adresse",
        .interface_value = "...",
        .ip_value = "...",
        .mac_value = "...",
        .device_ip_value = "...",
        .device_mac_value = "...",
    };
    if (const auto* c = std::get_if<ProxyStatus::Connected>(&snapshot.value)) {
        texts.interface_value = c->interface_name;
        texts.ip_value = c->ip_address.to_string();
        texts.mac_value = c->mac_address ? c->mac_address->to_string() : "Nicht verfügbar";
        texts.device_ip_value = c->device_ip_address.to_string();
        texts.device_mac_value = c->device_mac_address.to_string();
    }
    return texts;
}

}  // namespace tessaro::winconfig
