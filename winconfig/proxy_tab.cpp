#include "winconfig/proxy_tab.hpp"

#include <limits>

namespace tessaro::winconfig {

namespace {

constexpr std::string_view invalid_marker = "!";

struct KindTexts {
    std::string_view caption;
    std::string_view pc_heading;
    std::string_view announcement_ip_label;
    std::string_view announcement_port_label;
    std::string_view device_heading;
};

constexpr KindTexts terminal_texts{"Terminal-Proxy", "PC-Schnittstelle", "Konnektor-IP-Adresse:",
                                   "Konnektor-UDP-Port:", "Terminal-Schnittstelle"};
constexpr KindTexts pinpad_texts{"PIN-Pad-Proxy", "Terminal-Schnittstelle", "Terminal-IP-Addresse",
                                 "Terminal-UDP-Port", "PIN-Pad-Schnittstelle"};

// An optional "+" and one or more ASCII digits, no larger than `limit`.
std::optional<std::uint64_t> parse_unsigned(std::string_view text, std::uint64_t limit) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (limit - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

}  // namespace

InterfaceItem InterfaceItem::adapter(const Interface& scanned) {
    return InterfaceItem{
        Adapter{scanned.adapter_name(), scanned.friendly_name(), scanned.mac_address()}};
}

std::string InterfaceItem::to_string() const {
    if (std::holds_alternative<Automatic>(value)) {
        return "Automatisch";
    }
    if (std::holds_alternative<Terminal>(value)) {
        return "Terminal-Proxy";
    }
    const auto& adapter = std::get<Adapter>(value);
    if (!adapter.mac_address) {
        return adapter.friendly_name;
    }
    return adapter.friendly_name + " (" + adapter.mac_address->to_string() + ")";
}

bool InterfaceItem::matches(const InterfaceSelection& saved) const {
    if (std::holds_alternative<Automatic>(value)) {
        return std::holds_alternative<InterfaceSelection::Automatic>(saved.value);
    }
    if (std::holds_alternative<Terminal>(value)) {
        return std::holds_alternative<InterfaceSelection::Terminal>(saved.value);
    }
    const auto& adapter = std::get<Adapter>(value);
    if (const auto* mac = std::get_if<InterfaceSelection::Mac>(&saved.value)) {
        return adapter.mac_address == mac->mac;
    }
    if (const auto* name = std::get_if<InterfaceSelection::Name>(&saved.value)) {
        return adapter.adapter_name == name->name;
    }
    return false;
}

InterfaceSelection InterfaceItem::to_selection() const {
    if (std::holds_alternative<Automatic>(value)) {
        return InterfaceSelection::automatic();
    }
    if (std::holds_alternative<Terminal>(value)) {
        return InterfaceSelection::terminal();
    }
    return InterfaceSelection::by_name(std::get<Adapter>(value).adapter_name);
}

std::string_view LogLevelItem::to_string() const {
    switch (level) {
        case LogLevel::Error:
            return "Fehler";
        case LogLevel::Warn:
            return "Warnungen";
        case LogLevel::Info:
            return "Informationen";
        case LogLevel::Debug:
            return "Debug";
        case LogLevel::Trace:
            return "Trace";
    }
    return "";
}

std::optional<std::uint16_t> parse_port(std::string_view text) {
    auto value = parse_unsigned(text, std::numeric_limits<std::uint16_t>::max());
    if (!value) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(*value);
}

std::optional<std::chrono::seconds> parse_announcement_interval(std::string_view text) {
    auto value = parse_unsigned(text, std::numeric_limits<std::uint64_t>::max());
    if (!value || *value < 60 || *value > 3600) {
        return std::nullopt;
    }
    return std::chrono::seconds(static_cast<std::int64_t>(*value));
}

std::optional<std::optional<Ipv4Addr>> parse_announcement_ip(std::string_view text) {
    if (text.empty()) {
        return std::optional<Ipv4Addr>{};
    }
    auto address = Ipv4Addr::parse(text);
    if (!address) {
        return std::nullopt;
    }
    return std::optional<Ipv4Addr>{*address};
}

ProxyTab::ProxyTab(ConfigView& view, bool is_pinpad) : view_(view), is_pinpad_(is_pinpad) {}

void ProxyTab::load(const DeviceSettings& saved, const std::vector<PcInterface>& pc,
                    const std::vector<DeviceInterface>& devices) {
    const KindTexts& texts = is_pinpad_ ? pinpad_texts : terminal_texts;
    view_.set_text(id(Field::TabCaption), texts.caption);
    view_.set_text(id(Field::PcHeading), texts.pc_heading);
    view_.set_text(id(Field::AnnouncementIpLabel), texts.announcement_ip_label);
    view_.set_text(id(Field::AnnouncementPortLabel), texts.announcement_port_label);
    view_.set_text(id(Field::DeviceHeading), texts.device_heading);

    auto append = [&](Field combo, std::vector<InterfaceItem>& items, InterfaceItem item) {
        view_.add_item(id(combo), item.to_string());
        items.push_back(std::move(item));
    };
    if (is_pinpad_) {
        append(Field::PcInterfaceCombo, pc_items_, InterfaceItem{InterfaceItem::Terminal{}});
    }
    for (const auto& adapter : pc) {
        append(Field::PcInterfaceCombo, pc_items_, InterfaceItem::adapter(adapter));
    }
    for (const auto& adapter : devices) {
        append(Field::DeviceInterfaceCombo, device_items_, InterfaceItem::adapter(adapter));
    }

    auto select_saved = [&](Field combo, const std::vector<InterfaceItem>& items,
                            const InterfaceSelection& selection) {
        std::optional<std::size_t> index;
        for (std::size_t i = 0; i < items.size(); ++i) {
            if (items[i].matches(selection)) {
                index = i;
                break;
            }
        }
        view_.select(id(combo), index);
    };
    select_saved(Field::PcInterfaceCombo, pc_items_, saved.pc_interface);
    select_saved(Field::DeviceInterfaceCombo, device_items_, saved.device_interface);

    view_.set_text(id(Field::UdpPort), std::to_string(saved.pc_udp_port));
    view_.set_text(id(Field::AnnouncementInterval),
                   std::to_string(saved.pc_service_announcement_interval.count()));
    view_.set_text(id(Field::AnnouncementPort), std::to_string(saved.announcement_udp_port));
    view_.set_text(id(Field::SicctPort), std::to_string(saved.pc_sicct_port));
    view_.set_text(id(Field::HttpsPort), std::to_string(saved.pc_https_port));
    if (saved.announcement_ip_address) {
        view_.set_text(id(Field::AnnouncementIp), saved.announcement_ip_address->to_string());
    }
}

const InterfaceItem* ProxyTab::selected(Field combo,
                                        const std::vector<InterfaceItem>& items) const {
    auto index = view_.selection(id(combo));
    if (!index || *index >= items.size()) {
        return nullptr;
    }
    return &items[*index];
}

ProxyTab::Check ProxyTab::validate(const DeviceSettings& saved) {
    Check check;
    // One control: its marker, and whether it is valid and differs.
    auto mark = [&](Field marker, bool valid, bool differs) {
        view_.set_text(id(marker), valid ? std::string_view() : invalid_marker);
        check.valid = check.valid && valid;
        check.changed = check.changed || (valid && differs);
    };
    auto combo = [&](Field list, Field marker, const std::vector<InterfaceItem>& items,
                     const InterfaceSelection& saved_selection) {
        const InterfaceItem* item = selected(list, items);
        mark(marker, item != nullptr, item != nullptr && !item->matches(saved_selection));
    };
    auto port = [&](Field field, Field marker, std::uint16_t saved_port) {
        auto value = parse_port(view_.text(id(field)));
        mark(marker, value.has_value(), value != saved_port);
    };

    combo(Field::PcInterfaceCombo, Field::PcInterfaceMarker, pc_items_, saved.pc_interface);
    port(Field::UdpPort, Field::UdpPortMarker, saved.pc_udp_port);
    auto interval = parse_announcement_interval(view_.text(id(Field::AnnouncementInterval)));
    mark(Field::AnnouncementIntervalMarker, interval.has_value(),
         interval != saved.pc_service_announcement_interval);
    port(Field::AnnouncementPort, Field::AnnouncementPortMarker, saved.announcement_udp_port);
    auto address = parse_announcement_ip(view_.text(id(Field::AnnouncementIp)));
    mark(Field::AnnouncementIpMarker, address.has_value(),
         address.has_value() && *address != saved.announcement_ip_address);
    port(Field::SicctPort, Field::SicctPortMarker, saved.pc_sicct_port);
    port(Field::HttpsPort, Field::HttpsPortMarker, saved.pc_https_port);
    combo(Field::DeviceInterfaceCombo, Field::DeviceInterfaceMarker, device_items_,
          saved.device_interface);
    return check;
}

void ProxyTab::store(DeviceSettings& settings) const {
    if (const InterfaceItem* item = selected(Field::PcInterfaceCombo, pc_items_)) {
        settings.pc_interface = item->to_selection();
    }
    auto port = [&](Field field, std::uint16_t& target) {
        if (auto value = parse_port(view_.text(id(field)))) {
            target = *value;
        }
    };
    port(Field::UdpPort, settings.pc_udp_port);
    port(Field::SicctPort, settings.pc_sicct_port);
    port(Field::HttpsPort, settings.pc_https_port);
    port(Field::AnnouncementPort, settings.announcement_udp_port);
    if (auto interval = parse_announcement_interval(view_.text(id(Field::AnnouncementInterval)))) {
        settings.pc_service_announcement_interval = *interval;
    }
    if (auto address = parse_announcement_ip(view_.text(id(Field::AnnouncementIp)))) {
        settings.announcement_ip_address = *address;
    }
    if (const InterfaceItem* item = selected(Field::DeviceInterfaceCombo, device_items_)) {
        settings.device_interface = item->to_selection();
    }
}

}  // namespace tessaro::winconfig
