// The "Dienst" tab of the configuration tool against the real service: the tool's window driven
// from outside under Wine on a private X display while tessaro.exe is installed, started and
// stopped as the Windows service "korvel-tessaro"; and the event viewer's button where Wine has
// no "mmc.exe", also with one planted beside the tool or in its working folder, and with a
// stand-in in the system folder that records how the tool started it.
//
// The start argument "tessaro-config" leaves no trace: the service reads and ignores its
// arguments, and the manager keeps none of them. The model's tests check that the tool passes
// exactly that one argument; here the start itself is checked.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/run_program_win.hpp"
#include "tests/windows/gui_driver_win.hpp"
#include "tests/windows/service_fixture_win.hpp"
#include "tests/windows/temp_folder_win.hpp"

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

std::wstring system_folder() {
    std::wstring folder(MAX_PATH, L'\0');
    folder.resize(GetSystemDirectoryW(folder.data(), MAX_PATH));
    return folder;
}

// The whole file; empty when it cannot be read.
std::string file_content(const std::wstring& path) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return {};
    }
    std::string content;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
        content.append(buffer, got);
    }
    CloseHandle(file);
    return content;
}

// Wine has no "mmc.exe" in its system folder. A test may put the stand-in program there under
// that name for its own run; one that an interrupted run left there is known by its content and
// removed before each test, so that the tests see Wine as it is.
class EventViewerTest : public ToolTest {
  protected:
    static std::wstring system_mmc() { return system_folder() + L"\\mmc.exe"; }
    static std::wstring stand_in() { return windows_path(TESSARO_PLANTED_EXE); }

    void SetUp() override {
        ToolTest::SetUp();
        std::string content = file_content(system_mmc());
        if (!content.empty() && content == file_content(stand_in())) {
            DeleteFileW(system_mmc().c_str());
        }
        DeleteFileW((system_mmc() + L".ran").c_str());
    }
    void TearDown() override {
        if (planted_) {
            DeleteFileW(system_mmc().c_str());
            DeleteFileW((system_mmc() + L".ran").c_str());
        }
        ToolTest::TearDown();
    }

    static bool wine_has_mmc() {
        wchar_t found[MAX_PATH];
        return SearchPathW(nullptr, L"mmc.exe", nullptr, MAX_PATH, found, nullptr) != 0;
    }
    // Puts the stand-in in the system folder as "mmc.exe"; the path of its marker.
    std::wstring plant_system_mmc() {
        planted_ = CopyFileW(stand_in().c_str(), system_mmc().c_str(), TRUE) != FALSE;
        EXPECT_TRUE(planted_) << "could not write " << utf8(system_mmc());
        return system_mmc() + L".ran";
    }

  private:
    bool planted_ = false;
};

TEST_F(EventViewerTest, TheEventViewerButtonWithoutMmcShowsProgramNotFound) {
    if (wine_has_mmc()) {
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

// The tool runs with administrator rights: a program named "mmc.exe" in its own folder or in its
// current folder must not be started in the event viewer's place, which only the system folder's
// "mmc.exe" takes.
TEST_F(EventViewerTest, TheEventViewerButtonStartsNoMmcPlantedBesideTheToolOrInItsWorkingFolder) {
    if (wine_has_mmc()) {
        GTEST_SKIP() << "this Wine has an mmc.exe";
    }
    for (bool beside_the_tool : {true, false}) {
        SCOPED_TRACE(beside_the_tool ? "beside the tool" : "in the working folder");
        std::wstring case_name = beside_the_tool ? L"-beside" : L"-working";
        TempFolder tool_folder(L"tessaro-tool" + case_name);
        TempFolder working_folder(L"tessaro-work" + case_name);
        ASSERT_TRUE(tool_folder.created() && working_folder.created());
        std::wstring exe = tool_folder.file(L"tessaro-config.exe");
        ASSERT_TRUE(CopyFileW(windows_path(TESSARO_CONFIG_EXE).c_str(), exe.c_str(), FALSE));
        TempFolder& planted_in = beside_the_tool ? tool_folder : working_folder;
        std::wstring planted = planted_in.file(L"mmc.exe");
        std::wstring marker = planted_in.file(L"mmc.exe.ran");
        ASSERT_TRUE(CopyFileW(windows_path(TESSARO_PLANTED_EXE).c_str(), planted.c_str(), FALSE));
        // The planted program leaves its marker when it runs.
        ASSERT_EQ(test::run_program(planted, L""), 0u);
        ASSERT_TRUE(file_exists(marker));
        ASSERT_TRUE(DeleteFileW(marker.c_str()));

        start_tool_from(exe, working_folder.path());
        click(service_control(14));
        HWND box = tool().wait_for_message_box();
        EXPECT_NE(box, nullptr) << "no box titled \"Korvel Tessaro\"";
        if (box != nullptr) {
            EXPECT_EQ(message_box_text(box), "program not found");
            answer_message_box(box, IDOK);
        }
        EXPECT_FALSE(file_exists(marker)) << "the planted program ran";
        request_close(main_window());
        EXPECT_EQ(tool().wait_for_exit(), 0u);
    }
}

// The system folder's "mmc.exe" (here the stand-in, which records how it was started) gets the
// system folder's console file by its full path and the system folder as its working folder: an
// "eventvwr.msc" in the folder the tool was started in is neither named nor found.
TEST_F(EventViewerTest, TheEventViewerRunsInTheSystemFolderOnItsConsoleFile) {
    if (wine_has_mmc()) {
        GTEST_SKIP() << "this Wine has an mmc.exe";
    }
    TempFolder working_folder(L"tessaro-work-msc");
    ASSERT_TRUE(working_folder.created());
    HANDLE planted = CreateFileW(working_folder.file(L"eventvwr.msc").c_str(), GENERIC_WRITE, 0,
                                 nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(planted, INVALID_HANDLE_VALUE);
    CloseHandle(planted);
    std::wstring marker = plant_system_mmc();
    ASSERT_FALSE(HasFailure());

    start_tool_from(windows_path(TESSARO_CONFIG_EXE), working_folder.path());
    click(service_control(14));
    ASSERT_TRUE(wait_until([&] { return file_exists(marker); })) << "mmc.exe was not started";
    const std::string folder = utf8(system_folder());
    EXPECT_EQ(file_content(marker),
              "mmc.exe " + folder +
                  "\\eventvwr.msc /c:Application \"/f:*[System[Provider[@Name='Korvel "
                  "Tessaro']]]\"\n" +
                  folder + "\n");
    EXPECT_TRUE(tool().top_level_windows(L"#32770").empty());
    request_close(main_window());
    EXPECT_EQ(tool().wait_for_exit(), 0u);
}

}  // namespace
}  // namespace tessaro::gui_test
