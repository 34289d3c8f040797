// Both programs run with high rights (the service as SYSTEM, the tool elevated), often from a
// folder that others can write: a DLL planted beside them under the name of a system DLL must not
// load, neither when the program starts nor when it first calls into that DLL. The planted
// "iphlpapi.dll" leaves a marker when it loads; the programs import GetAdaptersAddresses from it.
//
// Wine loads its own built-in DLLs whatever lies beside a program. Windows looks for a DLL that
// its loader does not know beside the program first; told to prefer a DLL from a file for
// iphlpapi (this test runs with WINEDLLOVERRIDES holding iphlpapi=n,b, and so does every program
// it starts), Wine searches as Windows does. A program that imports iphlpapi.dll the ordinary way
// shows that it does.
//
// Under Wine that case passes even without the programs' restriction of the DLL search: Wine's
// WMI provider has loaded iphlpapi from the system folder before the programs' own late import
// asks for it. So the restriction is also checked directly, in copies of both programs built
// with one more source (dll_probe_win.cpp): when the copy ends normally, after its start-up code
// and the rest of its run, it loads by name "tessaro-probe.dll", which lies only beside it. It
// must not load; into a program that leaves its search as it is, it does.
#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <optional>
#include <string>
#include <vector>

#include "tests/run_program_win.hpp"
#include "tests/windows/gui_driver_win.hpp"
#include "tests/windows/temp_folder_win.hpp"
#include "tests/windows/tool_fixture_win.hpp"

#include <tlhelp32.h>  // after <windows.h>

namespace tessaro::gui_test {
namespace {

std::wstring lower(std::wstring text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](wchar_t c) { return static_cast<wchar_t>(std::towlower(c)); });
    return text;
}

std::wstring folder_of(UINT(WINAPI* get)(LPWSTR, UINT)) {
    std::wstring folder(MAX_PATH, L'\0');
    folder.resize(get(folder.data(), MAX_PATH));
    return lower(folder) + L"\\";
}

// The paths of the modules loaded in process `pid`, in lower case; none while the snapshot
// fails (it can, while the process is still loading).
std::optional<std::vector<std::wstring>> loaded_modules(DWORD pid) {
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return std::nullopt;
    }
    std::vector<std::wstring> paths;
    MODULEENTRY32W module{};
    module.dwSize = sizeof(module);
    for (BOOL more = Module32FirstW(snapshot, &module); more;
         more = Module32NextW(snapshot, &module)) {
        paths.push_back(lower(module.szExePath));
    }
    CloseHandle(snapshot);
    return paths;
}

// What probe_found() says other than false.
constexpr const char* PROBE_ANSWERS =
    "nullopt: the program did not look for the probe DLL; true: it found the DLL beside it, so "
    "it looks for DLLs outside the system folder";

// A program copied into a folder of its own, with the planted DLL beside it under the names
// "iphlpapi.dll" and "tessaro-probe.dll"; the folder is also the working folder it is started in.
class PlantedFolder {
  public:
    PlantedFolder(const std::wstring& name, std::string_view program_unix_path)
        : folder_(name),
          program_(folder_.file(wide(program_unix_path.substr(program_unix_path.rfind('/') + 1)))) {
        const std::wstring dll = windows_path(TESSARO_PLANTED_DLL);
        created_ = folder_.created() &&
                   CopyFileW(windows_path(program_unix_path).c_str(), program_.c_str(), FALSE) &&
                   CopyFileW(dll.c_str(), folder_.file(L"iphlpapi.dll").c_str(), FALSE) &&
                   CopyFileW(dll.c_str(), folder_.file(L"tessaro-probe.dll").c_str(), FALSE);
    }

    bool created() const { return created_; }
    const std::wstring& folder() const { return folder_.path(); }
    const std::wstring& program() const { return program_; }
    bool planted_dll_loaded() const { return file_exists(folder_.file(L"iphlpapi.dll.loaded")); }

    // After a program with the probe has ended: whether it found the probe DLL beside it when
    // it looked for it by name; nothing when it never looked (it did not end normally).
    std::optional<bool> probe_found() const {
        if (!file_exists(program_ + L".probed")) {
            return std::nullopt;
        }
        return file_exists(folder_.file(L"tessaro-probe.dll.loaded"));
    }

    // Waits until process `pid` has loaded an iphlpapi.dll; then every module it has loaded
    // that comes neither from the system folder (or one below it) nor from the side-by-side
    // store of the Windows folder, the program itself excepted.
    ::testing::AssertionResult loads_only_system_dlls(DWORD pid) const {
        std::vector<std::wstring> modules;
        bool loaded = wait_until([&] {
            auto found = loaded_modules(pid);
            if (!found) {
                return false;
            }
            modules = std::move(*found);
            return std::any_of(modules.begin(), modules.end(), [](const std::wstring& path) {
                return path.ends_with(L"\\iphlpapi.dll");
            });
        });
        if (!loaded) {
            return ::testing::AssertionFailure() << "no iphlpapi.dll was loaded";
        }
        const std::wstring system = folder_of(GetSystemDirectoryW);
        const std::wstring side_by_side = folder_of(GetWindowsDirectoryW) + L"winsxs\\";
        ::testing::AssertionResult result = ::testing::AssertionSuccess();
        for (const std::wstring& path : modules) {
            if (path != lower(program_) && !path.starts_with(system) &&
                !path.starts_with(side_by_side)) {
                result = ::testing::AssertionFailure();
                result << "loaded from elsewhere: " << utf8(path) << "\n";
            }
        }
        return result;
    }

  private:
    TempFolder folder_;
    std::wstring program_;
    bool created_ = false;
};

// The planted DLL does load into a program that imports iphlpapi.dll the ordinary way, or
// loads a DLL by name, as every program does unless it protects itself.
TEST(PlantedDll, LoadsIntoAProgramThatDoesNotProtectItself) {
    PlantedFolder planted(L"tessaro-dll-control", TESSARO_UNPROTECTED_EXE);
    ASSERT_TRUE(planted.created());
    EXPECT_EQ(test::run_program(planted.program(), L"", planted.folder()), 0u);
    EXPECT_TRUE(planted.planted_dll_loaded())
        << "the environment does not make Wine look beside the program";
    EXPECT_EQ(planted.probe_found(), true);
}

// Even a run that only prints the help, and the console run, which scans the adapters at once.
TEST(ServiceProgramDlls, APlantedDllDoesNotLoad) {
    PlantedFolder planted(L"tessaro-dll-service", TESSARO_EXE);
    ASSERT_TRUE(planted.created());

    EXPECT_EQ(test::run_program(planted.program(), L"--help", planted.folder()), 0u);
    EXPECT_FALSE(planted.planted_dll_loaded()) << "the planted DLL loaded into --help";

    // The desktop is up before the console run starts. Under Wine, a run ended this early in
    // its start-up can otherwise leave behind the desktop process that it started, which keeps
    // the test's standard error open, so that ctest waits for it until the time-out.
    GetDesktopWindow();
    {
        test::ChildProcess console_run(planted.program(), L"", planted.folder());
        ASSERT_TRUE(console_run.started());
        EXPECT_TRUE(planted.loads_only_system_dlls(console_run.pid()));
    }
    EXPECT_FALSE(planted.planted_dll_loaded()) << "the planted DLL loaded into the console run";
}

TEST(ServiceProgramDlls, LooksOnlyInTheSystemFolderAfterItsStartUp) {
    PlantedFolder planted(L"tessaro-dll-service-probe", TESSARO_PROBE_EXE);
    ASSERT_TRUE(planted.created());
    EXPECT_EQ(test::run_program(planted.program(), L"--help", planted.folder()), 0u);
    EXPECT_EQ(planted.probe_found(), false) << PROBE_ANSWERS;
}

// The tool's first event scans the adapters before it shows the window.
TEST_F(ToolTest, APlantedDllDoesNotLoadIntoTheTool) {
    PlantedFolder planted(L"tessaro-dll-tool", TESSARO_CONFIG_EXE);
    ASSERT_TRUE(planted.created());
    start_tool_from(planted.program(), planted.folder());
    EXPECT_TRUE(planted.loads_only_system_dlls(tool().pid()));
    request_close(main_window());
    EXPECT_EQ(tool().wait_for_exit(), 0u);
    EXPECT_FALSE(planted.planted_dll_loaded()) << "the planted DLL loaded into the tool";
}

TEST_F(ToolTest, TheToolLooksOnlyInTheSystemFolderAfterItsStartUp) {
    PlantedFolder planted(L"tessaro-dll-tool-probe", TESSARO_CONFIG_PROBE_EXE);
    ASSERT_TRUE(planted.created());
    start_tool_from(planted.program(), planted.folder());
    request_close(main_window());
    EXPECT_EQ(tool().wait_for_exit(), 0u);
    EXPECT_EQ(planted.probe_found(), false) << PROBE_ANSWERS;
}

}  // namespace
}  // namespace tessaro::gui_test
