// One proxy's settings tab (the card terminal's or the PIN pad's): its adapter lists, the texts
// that depend on the device kind, and the rules by which the tab's inputs are checked against
// the saved settings and stored into them. The controls themselves are the view's; the tab keeps
// only the items of its two lists, in the order in which the view shows them.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/interfaces.hpp"
#include "common/ipv4.hpp"
#include "common/log.hpp"
#include "common/mac_address.hpp"
#include "common/settings.hpp"
#include "winconfig/config_view.hpp"

namespace tessaro::winconfig {

// One item of an adapter list.
struct InterfaceItem {
    struct Automatic {
        bool operator==(const Automatic&) const = default;
    };
    // Only in the PIN pad's PC-side list: run on the card terminal proxy's interfaces.
    struct Terminal {
        bool operator==(const Terminal&) const = default;
    };
    // The tab's own copy of what it uses of one scanned adapter.
    struct Adapter {
        std::string adapter_name;
        std::string friendly_name;
        std::optional<MacAddress> mac_address;
        bool operator==(const Adapter&) const = default;
    };
    std::variant<Automatic, Terminal, Adapter> value = Automatic{};

    static InterfaceItem adapter(const Interface& scanned);

    // "Automatisch", "Terminal-Proxy", or the friendly name with " (MAC)" when there is a MAC.
    std::string to_string() const;

    // Whether the item stands for the saved selection: Automatic and Terminal for themselves, an
    // adapter for a Mac equal to its MAC or a Name equal byte for byte to its adapter name. An
    // item that stands for the saved selection is shown selected at load and is no change.
    bool matches(const InterfaceSelection& saved) const;

    // What a save stores: an adapter always by its name.
    InterfaceSelection to_selection() const;

    bool operator==(const InterfaceItem&) const = default;
};

// One item of the log-level list.
struct LogLevelItem {
    LogLevel level = LogLevel::Info;
    // "Fehler", "Warnungen", "Informationen", "Debug" or "Trace".
    std::string_view to_string() const;
};

// The items of the log-level list as the view creates them.
inline constexpr std::array<LogLevelItem, 4> LOG_LEVEL_ITEMS = {
    LogLevelItem{LogLevel::Debug}, LogLevelItem{LogLevel::Info}, LogLevelItem{LogLevel::Warn},
    LogLevelItem{LogLevel::Error}};

// A port field: an optional "+", then one or more ASCII digits, at most 65535; leading zeros and
// 0 are accepted, nothing is trimmed.
std::optional<std::uint16_t> parse_port(std::string_view text);
// The announcement interval: the same form as an unsigned 64-bit number, then 60 to 3600 seconds.
std::optional<std::chrono::seconds> parse_announcement_interval(std::string_view text);
// The announcement address: the empty text (no address) or a strict dotted IPv4 address; the
// outer none means the text is invalid.
std::optional<std::optional<Ipv4Addr>> parse_announcement_ip(std::string_view text);

class ProxyTab {
  public:
    ProxyTab(ConfigView& view, bool is_pinpad);

    bool is_pinpad() const { return is_pinpad_; }
    Page page() const { return is_pinpad_ ? Page::Pinpad : Page::Terminal; }

    // Sets the kind's texts, appends the items after "Automatisch" (Terminal first on the PIN
    // pad's PC side, then the adapters in the scan's order), selects the saved choices and writes
    // the saved numbers and address into the inputs.
    void load(const DeviceSettings& saved, const std::vector<PcInterface>& pc,
              const std::vector<DeviceInterface>& devices);

    struct Check {
        bool valid = true;     // every control holds an acceptable value
        bool changed = false;  // at least one control differs from `saved`
    };
    // Examines every control, sets every marker, and compares with `saved`.
    Check validate(const DeviceSettings& saved);

    // Copies every acceptable control into `settings`; the fields of the others stay as they were.
    void store(DeviceSettings& settings) const;

    const std::vector<InterfaceItem>& pc_items() const { return pc_items_; }
    const std::vector<InterfaceItem>& device_items() const { return device_items_; }

  private:
    ControlId id(Field field) const { return ControlId{page(), field}; }
    // The selected item of a list, or none.
    const InterfaceItem* selected(Field combo, const std::vector<InterfaceItem>& items) const;

    ConfigView& view_;
    bool is_pinpad_;
    // Both lists hold "Automatisch" from their creation.
    std::vector<InterfaceItem> pc_items_{InterfaceItem{}};
    std::vector<InterfaceItem> device_items_{InterfaceItem{}};
};

}  // namespace tessaro::winconfig
