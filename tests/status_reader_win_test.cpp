// The tool's reader beside a section that another program of the same account made under the
// reader's name with SEC_RESERVE and never committed (run under Wine, which maps such pages
// readable, so the refusal shown is the one taken from VirtualQuery's report).
#include "winconfig/status_reader.hpp"

#include <gtest/gtest.h>

#include <string>

#include "common/os/system_error.hpp"
#include "common/os/windows.hpp"
#include "tests/unique_name.hpp"

namespace tessaro::winconfig {
namespace {

struct Reserved {
    HANDLE section;
    explicit Reserved(const std::string& name)
        : section(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE | SEC_RESERVE, 0,
                                     STATUS_SECTION_SIZE, name.c_str())) {
        EXPECT_NE(section, nullptr) << GetLastError();
    }
    Reserved(const Reserved&) = delete;
    Reserved& operator=(const Reserved&) = delete;
    ~Reserved() {
        if (section != nullptr) {
            CloseHandle(section);
        }
    }
};

TEST(StatusReaderWin, AnUncommittedSectionIsAnOpenFailureAndNotAFault) {
    const std::string tail = test::unique_name("Tessaro-Reader-Win-Test");
    const std::string global = "Global\\" + tail;
    const std::string local = "Local\\" + tail;
    const std::string view_error =
        "Could not create shared memory view: " + os::system_error_text(ERROR_NOACCESS);

    // No service section, and the console's name taken by a section that cannot be read: the
    // tick shows this open failure, and both proxies as not connected.
    {
        Reserved squatter(local);
        auto reader = AppStatusReader::open_named(global.c_str(), local.c_str());
        ASSERT_FALSE(reader.has_value());
        EXPECT_EQ(reader.error().message(), view_error);
    }

    // An unreadable service section is passed over for a console one that reads.
    Reserved squatter(global);
    auto console = SharedMemory::create_named(local.c_str(), false);
    ASSERT_TRUE(console.has_value()) << console.error().message();
    ASSERT_TRUE(AppStatus::write(console->view(), AppStatus{}).has_value());
    auto reader = AppStatusReader::open_named(global.c_str(), local.c_str());
    ASSERT_TRUE(reader.has_value()) << reader.error().message();
    EXPECT_EQ(reader->read(), AppStatus{});
}

}  // namespace
}  // namespace tessaro::winconfig
