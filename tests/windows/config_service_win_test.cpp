// The "Dienst" tab of the configuration tool against the real service: the tool's window driven
// from outside under Wine on a private X display while tessaro.exe is installed, started and
// stopped as the Windows service "korvel-tessaro"; and the event viewer's button where Wine has
// no "mmc.exe".
//
// The start argument "tessaro-config" leaves no trace: the service reads and ignores its
// arguments, and the manager keeps none of them. The model's tests check that the tool passes
// exactly that one argument; here the start itself is checked.
#include <gtest/gtest.h>

#include <string>

#include "tests/windows/gui_driver_win.hpp"
#include "tests/windows/service_fixture_win.hpp"

namespace tessaro::gui_test {
namespace {

// Waits until the tab shows `state` and the service button `button` (enabled or not).
::testing::AssertionResult tab_shows(HWND state_field, HWND button, const std::string& state,
                                     const std::string& button_text, bool enabled,
                                     std::chrono::milliseconds timeout = 20s) {
    if (wait_until(
            [&] {
                return window_text(state_field) == state && window_text(button) == button_text &&
                       (IsWindowEnabled(button) != FALSE) == enabled;
            },
            timeout)) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "the tab shows \"" << window_text(state_field) << "\" and the button \""
           << window_text(button) << "\" " << (IsWindowEnabled(button) ? "enabled" : "disabled")
           << "; expected \"" << state << "\" and \"" << button_text << "\" "
           << (enabled ? "enabled" : "disabled");
}

TEST_F(ServiceToolTest, TheServiceButtonFollowsAndDrivesTheService) {
    start_tool();
    HWND state = service_control(2);
    HWND button = service_control(3);

    // Not installed: the button is disabled and keeps the text it had.
    ASSERT_TRUE(wait_until([&] { return window_text(state) == "Nicht installiert"; }));
    EXPECT_FALSE(IsWindowEnabled(button));

    ASSERT_EQ(run_tessaro(L"install"), 0u);
    ASSERT_TRUE(tab_shows(state, button, "Nicht gestartet", "Starten", true));

    // "Starten" starts the service; the tab follows at a later tick.
    click(button);
    ASSERT_TRUE(wait_until([] { return service_state_is(SERVICE_RUNNING); }, 30s));
    ASSERT_TRUE(tab_shows(state, button, "Gestartet", "Beenden", true));

    // "Beenden" stops it.
    click(button);
    ASSERT_TRUE(wait_until([] { return service_state_is(SERVICE_STOPPED); }, 30s));
    ASSERT_TRUE(tab_shows(state, button, "Nicht gestartet", "Starten", true));

    // And "Starten" starts it again.
    click(button);
    ASSERT_TRUE(wait_until([] { return service_state_is(SERVICE_RUNNING); }, 30s));
    ASSERT_TRUE(tab_shows(state, button, "Gestartet", "Beenden", true));

    // Nothing of this showed a box.
    EXPECT_TRUE(tool().top_level_windows(L"#32770").empty());
}

TEST_F(ToolTest, TheEventViewerButtonWithoutMmcShowsProgramNotFound) {
    wchar_t found[MAX_PATH];
    if (SearchPathW(nullptr, L"mmc.exe", nullptr, MAX_PATH, found, nullptr) != 0) {
        GTEST_SKIP() << "this Wine has an mmc.exe";
    }
    start_tool();
    click(service_control(14));
    HWND box = tool().wait_for_message_box();
    ASSERT_NE(box, nullptr) << "no box titled \"Korvel Tessaro\"";
    EXPECT_EQ(message_box_text(box), "program not found");
    EXPECT_EQ(GetWindow(box, GW_OWNER), nullptr);
    EXPECT_NE(GetDlgItem(box, IDOK), nullptr);
    // Without an owner the main window stays usable while the box is open.
    EXPECT_TRUE(IsWindowEnabled(main_window()));
    answer_message_box(box, IDOK);
    EXPECT_TRUE(wait_until([&] { return IsWindow(box) == FALSE; }));
}

}  // namespace
}  // namespace tessaro::gui_test
