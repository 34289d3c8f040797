// The status dialog of the configuration tool, driven from outside under Wine on a private X
// display, over a status section that the test writes under the service's name.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/status.hpp"
#include "tests/windows/gui_driver_win.hpp"
#include "tests/windows/tool_fixture_win.hpp"

namespace tessaro::gui_test {
namespace {

constexpr const char* SECTION = "Global\\Korvel-QM4410-LAN-Proxy";

ProxyStatus connected(std::optional<MacAddress> pc_mac, std::uint8_t device_last) {
    return {ProxyStatus::Connected{
        .interface_name = "Ethernet LAN",
        .ip_address = Ipv4Addr{{192, 168, 7, 20}},
        .mac_address = pc_mac,
        .device_ip_address = Ipv4Addr{{169, 254, 1, device_last}},
        .device_mac_address = MacAddress{{0x00, 0x1B, 0xA0, 0x00, 0x00, device_last}},
    }};
}

std::vector<std::string> texts(HWND dialog) {
    std::vector<std::string> list;
    for (const ControlInfo& c : children(dialog)) {
        list.push_back(c.text);
    }
    return list;
}

// Ends the dialog by `end` and checks that the main window is back: enabled and in front.
void expect_dialog_ends(HWND main, HWND dialog, const std::function<void()>& end) {
    end();
    EXPECT_TRUE(wait_until([&] { return IsWindow(dialog) == FALSE; }));
    EXPECT_TRUE(wait_until([&] { return IsWindowEnabled(main) != FALSE; }));
    EXPECT_TRUE(wait_until([&] { return GetForegroundWindow() == main; }));
}

TEST_F(ToolTest, StatusDialogShowsItsSnapshotWhileTheMainWindowWaits) {
    auto section = SharedMemory::create_named(SECTION, true);
    ASSERT_TRUE(section.has_value()) << section.error().message();
    const MacAddress pc_mac{{0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F}};
    ASSERT_TRUE(AppStatus::write(section->view(), {connected(pc_mac, 2), connected({}, 3)}));

    start_tool();
    HWND main = main_window();
    HWND terminal_details = service_control(6);
    HWND pinpad_details = service_control(9);
    ASSERT_TRUE(wait_until(
        [&] { return IsWindowEnabled(terminal_details) && IsWindowEnabled(pinpad_details); }));
    EXPECT_EQ(window_text(service_control(5)), "Verbunden");
    EXPECT_EQ(window_text(service_control(8)), "Verbunden");

    // The card terminal's dialog: layout and texts.
    click(terminal_details);
    HWND dialog = tool().wait_for_window("Terminal-Proxy Status");
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(client_size(dialog).cx, 375);
    EXPECT_EQ(client_size(dialog).cy, 190);
    EXPECT_EQ(GetWindow(dialog, GW_OWNER), nullptr);
    EXPECT_EQ(texts(dialog),
              (std::vector<std::string>{
                  "Aktuelle Schnittstelle:", "Ethernet LAN", "Aktuelle IP-Adresse:", "192.168.7.20",
                  "Aktuelle MAC-Adresse:", "0A:1B:2C:3D:4E:5F", "Terminal IP-Adresse",
                  "169.254.1.2", "Terminal MAC-Adresse", "00:1B:A0:00:00:02", "OK"}));
    auto controls = children(dialog);
    for (std::size_t i = 0; i + 1 < controls.size(); ++i) {
        bool is_value = i % 2 == 1;
        EXPECT_EQ(controls[i].class_name, is_value ? "Edit" : "Static") << i;
        EXPECT_EQ(controls[i].rect.left, is_value ? 190 : 5) << i;
        EXPECT_EQ(controls[i].rect.top, static_cast<LONG>(i / 2 * 30 + (is_value ? 5 : 8))) << i;
        EXPECT_EQ(controls[i].width(), 180) << i;
        EXPECT_EQ(controls[i].height(), 25) << i;
    }
    EXPECT_EQ(controls.back().rect.left, 280);
    EXPECT_EQ(controls.back().rect.top, 155);
    EXPECT_FALSE(IsWindowEnabled(main));
    save_screenshot(dialog, "status_dialog_terminal.png");

    // Focus on the main window, and a click on it, bring the dialog to the front.
    SetForegroundWindow(main);
    EXPECT_TRUE(wait_until([&] { return GetForegroundWindow() == dialog; }));
    HWND other = CreateWindowExW(0, L"STATIC", L"other", WS_POPUP | WS_VISIBLE, 0, 0, 50, 50,
                                 nullptr, nullptr, nullptr, nullptr);
    SetForegroundWindow(other);
    ASSERT_TRUE(wait_until([&] { return GetForegroundWindow() == other; }));
    RECT frame{};
    GetWindowRect(main, &frame);
    mouse_click({frame.left + 20, frame.bottom - 10});
    EXPECT_TRUE(wait_until([&] { return GetForegroundWindow() == dialog; }));
    EXPECT_FALSE(IsWindowEnabled(main));
    DestroyWindow(other);

    expect_dialog_ends(main, dialog, [&] { click(controls.back().hwnd); });

    // A second dialog, the PIN pad's, ended by its close box.
    click(pinpad_details);
    HWND pinpad = tool().wait_for_window("PIN-Pad-Proxy Status");
    ASSERT_NE(pinpad, nullptr);
    EXPECT_EQ(texts(pinpad),
              (std::vector<std::string>{
                  "Aktuelle Schnittstelle:", "Ethernet LAN", "Aktuelle IP-Adresse:", "192.168.7.20",
                  "Aktuelle MAC-Adresse:", "Nicht verfügbar", "PIN-Pad IP-Adresse", "169.254.1.3",
                  "PIN-Pad MAC-Adresse", "00:1B:A0:00:00:03", "OK"}));
    save_screenshot(pinpad, "status_dialog_pinpad.png");
    expect_dialog_ends(main, pinpad, [&] { request_close(pinpad); });

    // A proxy that is not connected has no dialog to open.
    ASSERT_TRUE(AppStatus::write(section->view(), {ProxyStatus{}, connected({}, 3)}));
    EXPECT_TRUE(wait_until([&] { return IsWindowEnabled(terminal_details) == FALSE; }));
    EXPECT_EQ(window_text(service_control(5)), "Nicht verbunden");
    EXPECT_TRUE(IsWindowEnabled(pinpad_details));
}

TEST_F(ToolTest, TheMainWindowStaysDisabledUnderTheDialogAfterTheStatusErrorBox) {
    auto section = SharedMemory::create_named(SECTION, true);
    ASSERT_TRUE(section.has_value()) << section.error().message();
    ASSERT_TRUE(AppStatus::write(section->view(), {connected({}, 2), ProxyStatus{}}));
    start_tool();
    HWND main = main_window();
    HWND terminal_details = service_control(6);
    ASSERT_TRUE(wait_until([&] { return IsWindowEnabled(terminal_details) != FALSE; }));
    click(terminal_details);
    HWND dialog = tool().wait_for_window("Terminal-Proxy Status");
    ASSERT_NE(dialog, nullptr);

    // The read fails while the dialog is open: the box owned by the main window appears.
    ASSERT_TRUE(write_bad_check_value(section->view()));
    HWND box = tool().wait_for_message_box();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(message_box_text(box), "Konnte Service-Status nicht abrufen: Prüfsumme ungültig");
    EXPECT_EQ(GetWindow(box, GW_OWNER), main);
    answer_message_box(box, IDOK);
    ASSERT_TRUE(wait_until([&] { return IsWindow(box) == FALSE; }));

    // The box's end may enable the window for a moment; the tool disables it again, and later
    // ticks leave it so while the dialog stays open.
    EXPECT_TRUE(wait_until([&] { return IsWindowEnabled(main) == FALSE; }, 2s));
    EXPECT_FALSE(wait_until([&] { return IsWindowEnabled(main) != FALSE; }, 2500ms));
    EXPECT_TRUE(IsWindow(dialog));
    EXPECT_TRUE(tool().top_level_windows(L"#32770").empty());
    save_screenshot(main, "status_dialog_after_error_box.png", true);

    expect_dialog_ends(main, dialog, [&] { request_close(dialog); });
}

}  // namespace
}  // namespace tessaro::gui_test
