// The "Dienst" tab of the configuration tool against the real service: the tool's window driven
// from outside under Wine on a private X display while tessaro.exe is installed, started and
// stopped as the Windows service "korvel-tessaro"; and the event viewer's button where Wine has
// no "mmc.exe", also with one planted beside the tool or in its working folder.
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

// A folder of the test's own under the temporary folder, removed with what is in it.
class TempFolder {
  public:
    explicit TempFolder(const std::wstring& name) {
        std::wstring temp(MAX_PATH, L'\0');
        temp.resize(GetTempPathW(MAX_PATH, temp.data()));
        path_ = temp + name + L"-" + std::to_wstring(GetCurrentProcessId());
        created_ = CreateDirectoryW(path_.c_str(), nullptr) != FALSE ||
                   GetLastError() == ERROR_ALREADY_EXISTS;
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    ~TempFolder() {
        for (const std::wstring& file : files_) {
            DeleteFileW(file.c_str());
        }
        RemoveDirectoryW(path_.c_str());
    }
    bool created() const { return created_; }
    const std::wstring& path() const { return path_; }
    // The path of `name` in the folder, deleted with the folder.
    std::wstring file(const std::wstring& name) {
        files_.push_back(path_ + L"\\" + name);
        return files_.back();
    }

  private:
    std::wstring path_;
    std::vector<std::wstring> files_;
    bool created_ = false;
};

bool file_exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The tool runs with administrator rights: a program named "mmc.exe" in its own folder or in its
// current folder must not be started in the event viewer's place, which only the system folder's
// "mmc.exe" takes.
TEST_F(ToolTest, TheEventViewerButtonStartsNoMmcPlantedBesideTheToolOrInItsWorkingFolder) {
    wchar_t found[MAX_PATH];
    if (SearchPathW(nullptr, L"mmc.exe", nullptr, MAX_PATH, found, nullptr) != 0) {
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

}  // namespace
}  // namespace tessaro::gui_test
