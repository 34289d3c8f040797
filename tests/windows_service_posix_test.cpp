// Without a service control manager and an event log the subcommands fail as on a machine that
// lacks them: same log lines, nothing changed, and `service` ends like a dispatcher failure.
#include "proxy/windows_service.hpp"

#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>

#include "common/log.hpp"

namespace {

class WindowsServicePosix : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(lines());
        sink->set_pattern("%l [%n] %v");
        tessaro::log::install_sink(sink);
        tessaro::log::set_max_level(tessaro::LogLevel::Trace);
    }

    void SetUp() override { lines().str(""); }

    static std::ostringstream& lines() {
        static std::ostringstream stream;
        return stream;
    }
};

TEST_F(WindowsServicePosix, InstallStopsAfterTheEventSource) {
    tessaro::windows_service::install();
    EXPECT_EQ(lines().str(),
              "error [tessaro::main_windows] Could not register EventLog source: The event log is "
              "not available on this platform\n");
}

TEST_F(WindowsServicePosix, UninstallLogsBothFailures) {
    tessaro::windows_service::uninstall();
    EXPECT_EQ(lines().str(),
              "error [tessaro::main_windows] Could not deregister EventLog source: The event log "
              "is not available on this platform\n"
              "error [tessaro::main_windows] Could not uninstall Windows service: The service "
              "control manager is not available on this platform\n");
}

TEST_F(WindowsServicePosix, ServiceFailsLikeADispatcherThatCannotStart) {
    testing::internal::CaptureStderr();
    int code = tessaro::windows_service::run_service();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(code, 101);
    EXPECT_NE(err.find("Could not start the service control dispatcher"), std::string::npos);
    EXPECT_TRUE(lines().str().empty());
}

}  // namespace
