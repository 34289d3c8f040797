// The configuration tool's main window, driven from outside under Wine on a private X display:
// what it shows at start, its layout and tab order, the inputs' filters and the Save button, the
// adapter lists, and the close. Screenshots of the tabs stay in the build tree.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "common/interfaces.hpp"
#include "common/os/wmi.hpp"
#include "common/settings.hpp"
#include "tests/windows/gui_driver_win.hpp"
#include "tests/windows/tool_fixture_win.hpp"

namespace tessaro::gui_test {
namespace {

// One row of a tab's table: class, text (none: not compared here), size, position, enabled.
struct Expected {
    const char* class_name;
    std::optional<std::string> text;
    int width, height, x, y;
    bool enabled = true;
    LONG extra_style = 0;  // ES_NUMBER, ES_READONLY
    int limit = -1;        // an edit's length limit; -1: not compared
};

const std::optional<std::string> ANY;

std::vector<Expected> service_tab_table() {
    return {
        {"Static", "Status", 495, 25, 5, 8},
        {"Static", "Windows-Dienst:", 180, 25, 5, 38},
        {"Edit", ANY, 205, 25, 190, 35, true, ES_READONLY},  // "..." until the first tick
        {"Button", ANY, 90, 25, 400, 35, false},
        {"Static", "Terminal-Proxy:", 180, 25, 5, 68},
        {"Edit", ANY, 205, 25, 190, 65, true, ES_READONLY},
        {"Button", "Details", 90, 25, 400, 65, false},
        {"Static", "PIN-Pad-Proxy:", 180, 25, 5, 98},
        {"Edit", ANY, 205, 25, 190, 95, true, ES_READONLY},
        {"Button", "Details", 90, 25, 400, 95, false},
        {"Static", "Protokoll", 495, 25, 5, 128},
        {"Static", "Log-Level:", 180, 25, 5, 158},
        {"ComboBox", "Informationen", 295, 25, 190, 155},
        {"Static", "", 130, 25, 490, 158},
        {"Button", "Ereignisanzeige öffnen", 135, 25, 350, 185},
    };
}

std::vector<Expected> proxy_tab_table(DeviceKind kind) {
    bool terminal = kind == DeviceKind::Terminal;
    DeviceSettings d = DeviceSettings::defaults(kind);
    auto number = [](auto v) { return std::optional<std::string>(std::to_string(v)); };
    return {
        {"Static", terminal ? "PC-Schnittstelle" : "Terminal-Schnittstelle", 495, 25, 5, 8},
        {"Static", "Netzwerkadapter:", 180, 25, 5, 38},
        {"ComboBox", "Automatisch", 295, 25, 190, 35},
        {"Static", "", 130, 25, 490, 38},
        {"Static", "UDP-Port:", 180, 25, 5, 68},
        {"Edit", number(d.pc_udp_port), 295, 25, 190, 65, true, ES_NUMBER, 5},
        {"Static", "", 130, 25, 490, 68},
        {"Static", "SICCT-Port:", 180, 25, 5, 98},
        {"Edit", number(d.pc_sicct_port), 295, 25, 190, 95, true, ES_NUMBER, 5},
        {"Static", "", 130, 25, 490, 98},
        {"Static", "HTTPS-Port:", 180, 25, 5, 128},
        {"Edit", number(d.pc_https_port), 295, 25, 190, 125, true, ES_NUMBER, 5},
        {"Static", "", 130, 25, 490, 128},
        {"Static", "Service-Announcement-Intervall:", 180, 25, 5, 158},
        {"Edit", number(d.pc_service_announcement_interval.count()), 295, 25, 190, 155, true,
         ES_NUMBER, 4},
        {"Static", "", 130, 25, 490, 158},
        {"Static", terminal ? "Konnektor-IP-Adresse:" : "Terminal-IP-Addresse", 180, 25, 5, 188},
        {"Edit", "", 295, 25, 190, 185},
        {"Static", "", 130, 25, 490, 188},
        {"Static", terminal ? "Konnektor-UDP-Port:" : "Terminal-UDP-Port", 180, 25, 5, 218},
        {"Edit", number(d.announcement_udp_port), 295, 25, 190, 215, true, ES_NUMBER, 5},
        {"Static", "", 130, 25, 490, 218},
        {"Static", terminal ? "Terminal-Schnittstelle" : "PIN-Pad-Schnittstelle", 495, 25, 5, 248},
        {"Static", "Netzwerkadapter:", 180, 25, 5, 278},
        {"ComboBox", "Automatisch", 295, 25, 190, 275},
        {"Static", "", 130, 25, 490, 278},
    };
}

// The styles each kind of control is made with.
void expect_styles(const ControlInfo& c, const Expected& e, const std::string& where) {
    auto has = [&](LONG bits) { return (c.style & bits) == bits; };
    if (c.class_name == "Static") {
        EXPECT_TRUE(has(WS_VISIBLE | SS_NOPREFIX | SS_NOTIFY)) << where;
    } else if (c.class_name == "Edit") {
        // WS_BORDER is not compared: edits and combo boxes take it off their style when they
        // are made and draw the border themselves.
        EXPECT_TRUE(has(WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL)) << where;
        EXPECT_EQ(c.style & (ES_NUMBER | ES_READONLY), e.extra_style) << where;
        if (e.limit >= 0) {
            EXPECT_EQ(SendMessageW(c.hwnd, EM_GETLIMITTEXT, 0, 0), e.limit) << where;
        }
    } else if (c.class_name == "Button") {
        EXPECT_TRUE(has(WS_VISIBLE | WS_TABSTOP | BS_NOTIFY)) << where;
    } else if (c.class_name == "ComboBox") {
        EXPECT_TRUE(has(WS_VISIBLE | WS_TABSTOP | CBS_DROPDOWNLIST)) << where;
    }
}

void expect_table(const std::vector<ControlInfo>& controls, const std::vector<Expected>& table,
                  const std::string& page) {
    ASSERT_EQ(controls.size(), table.size()) << page;
    for (std::size_t i = 0; i < table.size(); ++i) {
        const ControlInfo& c = controls[i];
        const Expected& e = table[i];
        std::string where = page + " control " + std::to_string(i) + " (" +
                            (e.text ? *e.text : std::string("?")) + ")";
        EXPECT_EQ(c.class_name, e.class_name) << where;
        if (e.text) {
            EXPECT_EQ(c.text, *e.text) << where;
        }
        EXPECT_EQ(c.rect.left, e.x) << where;
        EXPECT_EQ(c.rect.top, e.y) << where;
        EXPECT_EQ(c.width(), e.width) << where;
        // A drop-down list's window is as high as its closed field; the height given at creation
        // is that of the field with its list.
        if (c.class_name != "ComboBox") {
            EXPECT_EQ(c.height(), e.height) << where;
        }
        EXPECT_EQ(c.enabled, e.enabled) << where;
        expect_styles(c, e, where);
    }
}

// The tests' display has no window manager, so no caption is drawn unless Wine draws the frame
// itself, which it does for a program whose windows it is told to keep undecorated. Wine reads
// that when the program starts; the setting goes with the owner.
class WineDrawnFrame {
  public:
    WineDrawnFrame() {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, (APP_KEY + L"\\X11 Driver").c_str(), 0, nullptr, 0,
                            KEY_WRITE, nullptr, &key, nullptr) == ERROR_SUCCESS) {
            const wchar_t value[] = L"N";
            RegSetValueExW(key, L"Decorated", 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                           sizeof(value));
            RegCloseKey(key);
        }
    }
    WineDrawnFrame(const WineDrawnFrame&) = delete;
    WineDrawnFrame& operator=(const WineDrawnFrame&) = delete;
    ~WineDrawnFrame() { RegDeleteTreeW(HKEY_CURRENT_USER, APP_KEY.c_str()); }

  private:
    inline static const std::wstring APP_KEY = L"Software\\Wine\\AppDefaults\\tessaro-config.exe";
};

TEST_F(ToolTest, ShowsTheWindowAsBuilt) {
    {
        WineDrawnFrame frame;
        start_tool();
    }
    HWND window = main_window();

    EXPECT_EQ(window_text(window), "Korvel Tessaro v1.3.2");
    SIZE client = client_size(window);
    EXPECT_EQ(client.cx, 515);
    EXPECT_EQ(client.cy, 380);
    LONG style = GetWindowLongW(window, GWL_STYLE);
    EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN),
              WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN);
    EXPECT_EQ(style & (WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_CHILD), 0);
    EXPECT_EQ(GetParent(window), nullptr);
    EXPECT_EQ(GetWindow(window, GW_OWNER), nullptr);

    // Centred on its monitor by the client size.
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor);
    RECT frame{};
    GetWindowRect(window, &frame);
    const RECT& m = monitor.rcMonitor;
    EXPECT_EQ(frame.left, m.left + (m.right - m.left - 515) / 2);
    EXPECT_EQ(frame.top, m.top + (m.bottom - m.top - 380) / 2);
    // The caption with the icon's small image.
    save_screenshot(window, "main_window_frame.png", true);

    // The tabs container and "Speichern", in this order.
    auto top = children(window);
    ASSERT_EQ(top.size(), 2u);
    EXPECT_EQ(top[0].class_name, "SysTabControl32");
    EXPECT_EQ(top[0].rect.left, 5);
    EXPECT_EQ(top[0].rect.top, 5);
    EXPECT_EQ(top[0].width(), 505);
    EXPECT_EQ(top[0].height(), 335);
    EXPECT_TRUE(top[0].ex_style & WS_EX_CONTROLPARENT);
    EXPECT_EQ(top[1].class_name, "Button");
    EXPECT_EQ(top[1].text, "Speichern");
    EXPECT_EQ(top[1].rect.left, 415);
    EXPECT_EQ(top[1].rect.top, 345);
    EXPECT_EQ(top[1].width(), 90);
    EXPECT_EQ(top[1].height(), 25);
    EXPECT_FALSE(top[1].enabled);

    HWND tabs = top[0].hwnd;
    auto pages = children(tabs);
    ASSERT_EQ(pages.size(), 3u);
    const char* captions[] = {"Dienst", "Terminal-Proxy", "PIN-Pad-Proxy"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(tool().tab_caption(tabs, i), captions[i]);
    }
    expect_table(children(pages[0].hwnd), service_tab_table(), "Dienst");
    expect_table(children(pages[1].hwnd), proxy_tab_table(DeviceKind::Terminal), "Terminal");
    expect_table(children(pages[2].hwnd), proxy_tab_table(DeviceKind::Pinpad), "PIN pad");

    HWND level = service_control(12);
    EXPECT_EQ(combo_items(level),
              (std::vector<std::string>{"Debug", "Informationen", "Warnungen", "Fehler"}));
    EXPECT_EQ(combo_selection(level), 1);

    for (int i = 0; i < 3; ++i) {
        select_tab(tabs, i);
        ASSERT_TRUE(wait_until([&] { return IsWindowVisible(pages[i].hwnd) != FALSE; }));
        save_screenshot(window, std::string("main_window_tab") + std::to_string(i) + ".png");
    }
}

TEST_F(ToolTest, StoredTraceLevelShowsInformationen) {
    write_settings_value(L"loglevel", L"TrAcE");
    start_tool();
    EXPECT_EQ(combo_selection(service_control(12)), 1);
    EXPECT_EQ(window_text(service_control(12)), "Informationen");
}

TEST_F(ToolTest, TabMovesThroughTheControlsInCreationOrder) {
    start_tool();
    HWND window = main_window();
    SetForegroundWindow(window);
    // On "Dienst", with the service and both "Details" disabled and "Speichern" disabled.
    const std::vector<HWND> cycle = {service_control(2), service_control(5), service_control(8),
                                     service_control(12), service_control(14)};
    auto position = [&](HWND focus) {
        for (std::size_t i = 0; i < cycle.size(); ++i) {
            if (cycle[i] == focus) {
                return static_cast<int>(i);
            }
        }
        return -1;
    };
    press_tab(false);
    int at = -1;
    ASSERT_TRUE(wait_until([&] { return (at = position(tool().focus(window))) >= 0; }));
    for (int step = 1; step <= 6; ++step) {
        int expected = (at + 1) % static_cast<int>(cycle.size());
        press_tab(false);
        EXPECT_TRUE(wait_until([&] { return position(tool().focus(window)) == expected; }))
            << "Tab step " << step;
        at = expected;
    }
    for (int step = 1; step <= 6; ++step) {
        int expected = (at + static_cast<int>(cycle.size()) - 1) % static_cast<int>(cycle.size());
        press_tab(true);
        EXPECT_TRUE(wait_until([&] { return position(tool().focus(window)) == expected; }))
            << "Shift+Tab step " << step;
        at = expected;
    }
}

TEST_F(ToolTest, InputsFilterKeysAndDriveTheSaveButton) {
    start_tool();
    HWND save = children(main_window())[1].hwnd;
    HWND udp = proxy_control(1, 5);
    HWND udp_marker = proxy_control(1, 6);
    HWND interval = proxy_control(1, 14);
    HWND address = proxy_control(1, 17);
    ASSERT_FALSE(IsWindowEnabled(save));

    // Letters are refused, a sixth digit too.
    retype(udp, "47a");
    EXPECT_EQ(window_text(udp), "47");
    type_after(udp, "1234");
    EXPECT_EQ(window_text(udp), "47123");
    EXPECT_EQ(window_text(udp_marker), "");
    EXPECT_TRUE(wait_until([&] { return IsWindowEnabled(save) != FALSE; }));

    // An empty port is marked, and keeps "Speichern" disabled.
    retype(udp, "");
    EXPECT_TRUE(wait_until([&] { return window_text(udp_marker) == "!"; }));
    EXPECT_FALSE(IsWindowEnabled(save));

    // Typing the saved value back leaves nothing to save.
    retype(udp, "4742");
    EXPECT_TRUE(wait_until([&] { return window_text(udp_marker).empty(); }));
    EXPECT_FALSE(IsWindowEnabled(save));

    // The interval takes four digits; the address field takes any text.
    retype(interval, "06000");
    EXPECT_EQ(window_text(interval), "0600");
    EXPECT_FALSE(IsWindowEnabled(save));
    retype(address, "not an address");
    EXPECT_EQ(window_text(address), "not an address");
    EXPECT_EQ(window_text(proxy_control(1, 18)), "!");
    EXPECT_FALSE(IsWindowEnabled(save));
    retype(address, "");
    EXPECT_TRUE(wait_until([&] { return window_text(proxy_control(1, 18)).empty(); }));

    // A change of the log level alone enables "Speichern".
    choose_combo_item(service_control(12), 3);
    EXPECT_TRUE(wait_until([&] { return IsWindowEnabled(save) != FALSE; }));
    choose_combo_item(service_control(12), 1);
    EXPECT_TRUE(wait_until([&] { return IsWindowEnabled(save) == FALSE; }));
}

TEST_F(ToolTest, AdapterListsShowTheAdaptersWineReports) {
    // The test's own scan, over its own WMI connection, gives the adapters the tool must list.
    auto wmi = os::WmiConnection::connect_service();
    ASSERT_TRUE(wmi.has_value()) << wmi.error().message();
    Interfaces scan = interfaces::get_interfaces_quiet(**wmi);
    auto texts = [](const auto& adapters) {
        std::vector<std::string> list;
        for (const auto& a : adapters) {
            list.push_back(a.mac_address()
                               ? a.friendly_name() + " (" + a.mac_address()->to_string() + ")"
                               : a.friendly_name());
        }
        return list;
    };

    start_tool();
    std::vector<std::string> terminal_pc = {"Automatisch"};
    std::vector<std::string> pinpad_pc = {"Automatisch", "Terminal-Proxy"};
    for (const std::string& t : texts(scan.pc)) {
        terminal_pc.push_back(t);
        pinpad_pc.push_back(t);
    }
    std::vector<std::string> terminal_device = {"Automatisch"};
    for (const std::string& t : texts(scan.terminal)) {
        terminal_device.push_back(t);
    }
    std::vector<std::string> pinpad_device = {"Automatisch"};
    for (const std::string& t : texts(scan.pinpad)) {
        pinpad_device.push_back(t);
    }
    EXPECT_EQ(combo_items(proxy_control(1, 2)), terminal_pc);
    EXPECT_EQ(combo_items(proxy_control(2, 2)), pinpad_pc);
    EXPECT_EQ(combo_items(proxy_control(1, 24)), terminal_device);
    EXPECT_EQ(combo_items(proxy_control(2, 24)), pinpad_device);
    // The saved Automatic choices are selected.
    for (int page : {1, 2}) {
        EXPECT_EQ(combo_selection(proxy_control(page, 2)), 0);
        EXPECT_EQ(combo_selection(proxy_control(page, 24)), 0);
    }
}

TEST_F(ToolTest, CloseEndsTheToolWithoutSaving) {
    start_tool();
    retype(proxy_control(1, 5), "4000");
    request_close(main_window());
    auto code = tool().wait_for_exit();
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0u);
    EXPECT_FALSE(settings_key_exists());
}

}  // namespace
}  // namespace tessaro::gui_test
