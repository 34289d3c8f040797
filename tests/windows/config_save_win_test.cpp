// The configuration tool's save and status tick end to end, under Wine on a private X display:
// both tabs edited and saved into the real settings key; the restart question while the real
// service runs, and the restart that follows a Yes; the console run's section read at each tick;
// and a record with a bad check value shown in one box per change, while the ticks under the box
// go on refreshing the service's state.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>

#include "common/status.hpp"
#include "tests/windows/gui_driver_win.hpp"
#include "tests/windows/service_fixture_win.hpp"
#include "tests/windows/tool_fixture_win.hpp"

namespace tessaro::gui_test {
namespace {

ProxyStatus connected(std::uint8_t device_last) {
    return {ProxyStatus::Connected{
        .interface_name = "Ethernet LAN",
        .ip_address = Ipv4Addr{{192, 168, 7, 20}},
        .mac_address = std::nullopt,
        .device_ip_address = Ipv4Addr{{169, 254, 1, device_last}},
        .device_mac_address = MacAddress{{0x00, 0x1B, 0xA0, 0x00, 0x00, device_last}},
    }};
}

HWND save_button(HWND main) {
    return GetWindow(GetWindow(main, GW_CHILD), GW_HWNDNEXT);
}

TEST_F(ToolTest, SaveWritesWhatDiffersFromTheDefaultsAndDropsTheOlderNames) {
    // An older installation: current and older names side by side.
    write_settings_value(L"loglevel", L"warn");
    write_settings_dword(L"pc-https-port", 8443);
    write_settings_dword(L"host-service-discovery-port", 4900);  // pc-udp-port
    write_settings_dword(L"host-sicct-port", 5000);              // pc-sicct-port
    write_settings_value(L"host-service-announcement-address", L"10.1.2.3");
    write_settings_dword(L"usb-service-discovery-port", 4000);  // not shown by the tool
    write_settings_dword(L"pinpad-pc-udp-port", 64000);
    // An adapter this machine lacks: no item is selected until the test chooses one.
    write_settings_value(L"pinpad-pc-interface", L"{6B29FC40-CA47-1067-B31D-00DD010662DA}");

    start_tool();
    HWND level = service_control(12);
    // Loaded through the older names where the current ones are missing.
    EXPECT_EQ(combo_selection(level), 2);
    EXPECT_EQ(combo_selection(proxy_control(2, 2)), std::nullopt);
    struct Field {
        int page;
        std::size_t control;
        const char* loaded;
        const char* typed;  // null: left as loaded
    };
    const Field fields[] = {
        {1, 5, "4900", "4800"},              // UDP port
        {1, 8, "5000", nullptr},             // SICCT port
        {1, 11, "8443", "443"},              // HTTPS port, back to its default
        {1, 14, "600", "120"},               // announcement interval
        {1, 17, "10.1.2.3", "192.168.7.1"},  // connector address
        {2, 5, "64000", "64742"},            // PIN pad's UDP port, back to its default
        {2, 8, "64742", "60000"},            // PIN pad's SICCT port
    };
    for (const Field& f : fields) {
        HWND edit = proxy_control(f.page, f.control);
        EXPECT_EQ(window_text(edit), f.loaded) << "page " << f.page << " control " << f.control;
        if (f.typed != nullptr) {
            retype(edit, f.typed);
        }
    }
    choose_combo_item(level, 0);                // "Debug"
    choose_combo_item(proxy_control(2, 2), 1);  // the PIN pad on "Terminal-Proxy"

    HWND save = save_button(main_window());
    ASSERT_TRUE(wait_until([&] { return IsWindowEnabled(save) != FALSE; }));
    click(save);
    EXPECT_TRUE(wait_until([&] { return IsWindowEnabled(save) == FALSE; }));

    const std::map<std::string, std::string> expected = {
        {"loglevel", "sz:debug"},
        {"pc-udp-port", "dword:4800"},
        {"pc-sicct-port", "dword:5000"},
        {"pc-service-announcement-interval", "dword:120"},
        {"connector-ip-address", "sz:192.168.7.1"},
        {"terminal-service-discovery-port", "dword:4000"},
        {"pinpad-pc-use-terminal", "dword:1"},
        {"pinpad-pc-sicct-port", "dword:60000"},
    };
    wait_until([&] { return settings_values() == expected; });
    EXPECT_EQ(settings_values(), expected);
    // The service is not installed: no restart question, and the save showed no error.
    EXPECT_TRUE(tool().top_level_windows(L"#32770").empty());
}

TEST_F(ServiceToolTest, SaveWhileTheServiceRunsAsksToRestartAndYesRestartsIt) {
    ASSERT_EQ(run_tessaro(L"install"), 0u);
    start_tool();
    HWND main = main_window();
    HWND state = service_control(2);
    ASSERT_TRUE(wait_until([&] { return window_text(state) == "Nicht gestartet"; }));
    click(service_control(3));
    ASSERT_TRUE(wait_until([&] { return window_text(state) == "Gestartet"; }, 30s));
    auto before = query_service();
    ASSERT_TRUE(before.has_value());
    ASSERT_EQ(before->state, static_cast<DWORD>(SERVICE_RUNNING));

    choose_combo_item(service_control(12), 3);  // "Fehler"
    HWND save = save_button(main);
    ASSERT_TRUE(wait_until([&] { return IsWindowEnabled(save) != FALSE; }));
    click(save);

    HWND box = tool().wait_for_message_box();
    ASSERT_NE(box, nullptr) << "no restart question";
    EXPECT_EQ(message_box_text(box), "Dienst neu starten um die Änderungen zu übernehmen?");
    EXPECT_EQ(GetWindow(box, GW_OWNER), main);
    EXPECT_NE(GetDlgItem(box, IDYES), nullptr);
    EXPECT_NE(GetDlgItem(box, IDNO), nullptr);
    EXPECT_FALSE(IsWindowEnabled(main));
    // Asked after the save: the key already holds the new level.
    EXPECT_EQ(settings_values()["loglevel"], "sz:error");
    save_screenshot(box, "restart_question.png");
    answer_message_box(box, IDYES);

    // Yes stops the service; the first tick that finds it stopped starts it again, as a new
    // process.
    EXPECT_TRUE(wait_until([&] { return window_text(state) == "Nicht gestartet"; }, 30s));
    EXPECT_TRUE(wait_until(
        [&] {
            auto now = query_service();
            return now && now->state == SERVICE_RUNNING && now->pid != before->pid;
        },
        30s));
    EXPECT_TRUE(wait_until([&] { return window_text(state) == "Gestartet"; }));
    EXPECT_TRUE(IsWindowEnabled(main));
    EXPECT_TRUE(tool().top_level_windows(L"#32770").empty());
    save_screenshot(main, "after_restart.png");
}

TEST_F(ToolTest, TheConsoleRunsStartRecordShowsBothProxiesNotConnected) {
    // A record of our own under the console's name first, so that the tool's texts tell when the
    // console run's start record has replaced it: the run maps the section that exists.
    auto section = SharedMemory::create_named(STATUS_SECTION_NAME_CONSOLE, false);
    ASSERT_TRUE(section.has_value()) << section.error().message();
    ASSERT_TRUE(AppStatus::write(section->view(), {connected(2), connected(3)}));

    start_tool();
    HWND terminal_state = service_control(5);
    HWND pinpad_state = service_control(8);
    ASSERT_TRUE(wait_until([&] {
        return window_text(terminal_state) == "Verbunden" &&
               window_text(pinpad_state) == "Verbunden";
    }));

    ConsoleRun run;
    EXPECT_TRUE(wait_until(
        [&] {
            return window_text(terminal_state) == "Nicht verbunden" &&
                   window_text(pinpad_state) == "Nicht verbunden";
        },
        30s))
        << run.output();
    EXPECT_TRUE(run.running()) << run.output();
    EXPECT_FALSE(IsWindowEnabled(service_control(6)));
    EXPECT_FALSE(IsWindowEnabled(service_control(9)));
    EXPECT_TRUE(tool().top_level_windows(L"#32770").empty());
}

TEST_F(ServiceToolTest, ABadCheckValueShowsOneBoxPerChange) {
    auto section = SharedMemory::create_named(STATUS_SECTION_NAME_SERVICE, true);
    ASSERT_TRUE(section.has_value()) << section.error().message();
    std::uint8_t* view = section->view();
    auto write_bad_record = [&] { ASSERT_TRUE(write_bad_check_value(view)); };
    // `while_open` runs while the box is still open.
    auto expect_one_box = [&](const char* when, const std::function<void()>& while_open) {
        HWND box = tool().wait_for_message_box();
        ASSERT_NE(box, nullptr) << when;
        EXPECT_EQ(message_box_text(box), "Konnte Service-Status nicht abrufen: Prüfsumme ungültig")
            << when;
        EXPECT_EQ(GetWindow(box, GW_OWNER), main_window()) << when;
        while_open();
        EXPECT_TRUE(IsWindow(box)) << when;
        answer_message_box(box, IDOK);
        ASSERT_TRUE(wait_until([&] { return IsWindow(box) == FALSE; })) << when;
        // The same error on the following ticks shows nothing more.
        EXPECT_EQ(tool().wait_for_message_box(2500ms), nullptr) << when;
    };

    write_bad_record();
    start_tool();
    // The ticks go on under the box: the service's state is refreshed, only the read waits.
    expect_one_box("at the first bad record", [&] {
        HWND state = service_control(2);
        ASSERT_TRUE(wait_until([&] { return window_text(state) == "Nicht installiert"; }));
        ASSERT_EQ(run_tessaro(L"install"), 0u);
        EXPECT_TRUE(wait_until([&] { return window_text(state) == "Nicht gestartet"; }));
    });
    EXPECT_EQ(window_text(service_control(5)), "Nicht verbunden");

    // A good read clears the error, so the next bad record shows it again.
    ASSERT_TRUE(AppStatus::write(view, {connected(2), ProxyStatus{}}));
    ASSERT_TRUE(wait_until([&] { return window_text(service_control(5)) == "Verbunden"; }));
    write_bad_record();
    expect_one_box("after a good read", [] {});
}

}  // namespace
}  // namespace tessaro::gui_test
