// The event viewer's command: the filter on the service's source, and the program, the console
// file and the working folder all taken from the system folder, since the tool runs elevated.
#include "winconfig/service_control.hpp"

#include <gtest/gtest.h>

namespace tessaro::winconfig {
namespace {

TEST(EventViewerCommand, EverythingComesFromTheSystemFolder) {
    EXPECT_EQ(
        event_viewer_command(R"(C:\Windows\system32)"),
        (EventViewerCommand{.program = R"(C:\Windows\system32\mmc.exe)",
                            .arguments = {R"(C:\Windows\system32\eventvwr.msc)", "/c:Application",
                                          "/f:*[System[Provider[@Name='Korvel Tessaro']]]"},
                            .working_folder = R"(C:\Windows\system32)"}));
}

}  // namespace
}  // namespace tessaro::winconfig
