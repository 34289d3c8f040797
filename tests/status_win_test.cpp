// The program's own section names on Windows (run under Wine, whose server is private to the build
// tree's prefix): create, read back, and an existing section too small to map.
#include "common/status.hpp"

#include <gtest/gtest.h>

#include <string>

#include "common/os/windows.hpp"

namespace tessaro {
namespace {

bool starts_with(const std::string& text, std::string_view prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

struct Mapping {
    HANDLE handle;
    ~Mapping() {
        if (handle != nullptr) {
            CloseHandle(handle);
        }
    }
};

TEST(SharedMemoryWin, ConsoleSectionCarriesTheFirstRecord) {
    auto created = SharedMemory::create(false);
    ASSERT_TRUE(created.has_value()) << created.error().message();
    ASSERT_TRUE(AppStatus::write(created->view(), AppStatus{}).has_value());

    auto opened = SharedMemory::open(STATUS_SECTION_NAME_CONSOLE);
    ASSERT_TRUE(opened.has_value()) << opened.error().message();
    const std::uint8_t expected[] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                     0x00, 0xE6, 0x80, 0x14, 0x7B, 0x2E, 0x7E, 0x8F, 0x36};
    EXPECT_EQ(std::memcmp(opened->view(), expected, sizeof expected), 0);
    EXPECT_FALSE(SharedMemory::open(STATUS_SECTION_NAME_SERVICE).has_value());
}

TEST(SharedMemoryWin, ServiceSectionOpensUnderTheGlobalName) {
    auto created = SharedMemory::create(true);
    ASSERT_TRUE(created.has_value()) << created.error().message();
    created->view()[0] = 0x42;
    auto opened = SharedMemory::open(STATUS_SECTION_NAME_SERVICE);
    ASSERT_TRUE(opened.has_value()) << opened.error().message();
    EXPECT_EQ(opened->view()[0], 0x42);
}

TEST(SharedMemoryWin, ASmallerExistingSectionFailsTheView) {
    Mapping small{CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 1024,
                                     STATUS_SECTION_NAME_CONSOLE)};
    ASSERT_NE(small.handle, nullptr);

    auto created = SharedMemory::create(false);
    ASSERT_FALSE(created.has_value());
    const std::string& message = created.error().message();
    EXPECT_TRUE(starts_with(message, "Could not create shared memory view: ")) << message;
    EXPECT_EQ(message.back(), ')') << message;
    EXPECT_NE(message.find(" (os error "), std::string::npos) << message;

    auto opened = SharedMemory::open(STATUS_SECTION_NAME_CONSOLE);
    ASSERT_FALSE(opened.has_value());
    EXPECT_TRUE(starts_with(opened.error().message(), "Could not create shared memory view: "));
}

}  // namespace
}  // namespace tessaro
