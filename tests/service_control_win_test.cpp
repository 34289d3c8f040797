// The tool's service seam against Wine's service control manager and the real tessaro.exe,
// installed and removed by the program's own subcommands; and the event viewer's start where
// Wine has no "mmc.exe".
#include <chrono>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "common/os/windows.hpp"
#include "tests/run_program_win.hpp"
#include "winconfig/service_control.hpp"

namespace tessaro::winconfig {
namespace {

std::wstring module_path() {
    std::wstring buffer(MAX_PATH, L'\0');
    DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    buffer.resize(length);
    return buffer;
}

std::wstring parent_dir(const std::wstring& path) {
    auto slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// This test is <build>\tests\service_control_win_test.exe; the program is
// <build>\proxy\tessaro.exe.
std::wstring built_tessaro() {
    return parent_dir(parent_dir(module_path())) + L"\\proxy\\tessaro.exe";
}

// Runs `tessaro.exe subcommand` and waits for it, at most two minutes; its output is dropped.
DWORD run_tessaro(const std::wstring& subcommand) {
    return test::run_program(built_tessaro(), subcommand);
}

// Queries until the service reports `state`, at most 30 s; the last state seen, or 0.
std::uint32_t wait_for_state(std::uint32_t state) {
    std::uint32_t seen = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        auto manager = open_service_manager();
        if (!manager) {
            return 0;
        }
        auto service = (*manager)->open_service(SERVICE_QUERY_STATUS_ACCESS);
        if (!service) {
            return 0;
        }
        auto current = (*service)->query_state();
        seen = current.value_or(0);
        if (seen == state) {
            return seen;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return seen;
}

class ServiceControlWin : public ::testing::Test {
  protected:
    // `uninstall` stops and deletes the service whatever state it is in.
    void SetUp() override { run_tessaro(L"uninstall"); }
    void TearDown() override { run_tessaro(L"uninstall"); }
};

TEST_F(ServiceControlWin, QueriesStopsAndStartsTheInstalledService) {
    auto manager = open_service_manager();
    ASSERT_TRUE(manager.has_value()) << manager.error().message();
    auto missing = (*manager)->open_service(SERVICE_QUERY_STATUS_ACCESS);
    ASSERT_FALSE(missing.has_value());
    EXPECT_NE(missing.error().message().find("(os error 1060)"), std::string::npos)
        << missing.error().message();

    ASSERT_EQ(run_tessaro(L"install"), 0u);
    auto control = (*manager)->open_service(SERVICE_START_ACCESS | SERVICE_STOP_ACCESS);
    ASSERT_TRUE(control.has_value()) << control.error().message();
    // Installed, not yet started.
    EXPECT_EQ(wait_for_state(SERVICE_STATE_STOPPED), SERVICE_STATE_STOPPED);

    ASSERT_TRUE((*control)->start({"tessaro-config"}).has_value());
    EXPECT_EQ(wait_for_state(SERVICE_STATE_RUNNING), SERVICE_STATE_RUNNING);
    // A second start of a running service fails.
    EXPECT_FALSE((*control)->start({"tessaro-config"}).has_value());

    auto stopped = (*control)->stop();
    ASSERT_TRUE(stopped.has_value()) << stopped.error().message();
    EXPECT_GE(*stopped, SERVICE_STATE_STOPPED);
    EXPECT_LE(*stopped, SERVICE_STATE_MAX);
    EXPECT_EQ(wait_for_state(SERVICE_STATE_STOPPED), SERVICE_STATE_STOPPED);
    // Stopping a stopped service fails.
    EXPECT_FALSE((*control)->stop().has_value());

    ASSERT_TRUE((*control)->start({"tessaro-config"}).has_value());
    EXPECT_EQ(wait_for_state(SERVICE_STATE_RUNNING), SERVICE_STATE_RUNNING);

    // A handle opened for the query only cannot stop the service.
    auto query_only = (*manager)->open_service(SERVICE_QUERY_STATUS_ACCESS);
    ASSERT_TRUE(query_only.has_value());
    EXPECT_EQ((*query_only)->query_state(), SERVICE_STATE_RUNNING);
}

TEST(EventViewerWin, WithoutMmcTheStartFailsWithProgramNotFound) {
    wchar_t found[MAX_PATH];
    if (SearchPathW(nullptr, L"mmc.exe", nullptr, MAX_PATH, found, nullptr) != 0) {
        GTEST_SKIP() << "this Wine has an mmc.exe";
    }
    auto started = start_event_viewer();
    ASSERT_FALSE(started.has_value());
    EXPECT_EQ(started.error().message(), "program not found");
}

}  // namespace
}  // namespace tessaro::winconfig
