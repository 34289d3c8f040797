// The program's own section names on Windows (run under Wine, whose server is private to the build
// tree's prefix): create, read back, and an existing section too small to map.
#include "common/status.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/os/windows.hpp"

namespace tessaro {
namespace {

bool starts_with(const std::string& text, std::string_view prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

struct Handle {
    HANDLE value;
    ~Handle() {
        if (value != nullptr && value != INVALID_HANDLE_VALUE) {
            CloseHandle(value);
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

// A section of 1024 bytes under the console name, made by someone else. It is backed by a
// temporary file: Wine rounds a pagefile-backed section up to a whole page and would map 4096
// bytes of a 1024-byte one, while a file-backed section is exactly as long as its file.
TEST(SharedMemoryWin, ASmallerExistingSectionFailsTheView) {
    char path[MAX_PATH + 32] = {};
    ASSERT_NE(GetTempPathA(MAX_PATH, path), 0u);
    std::strcat(path, "tessaro-status-small.bin");
    Handle file{CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr)};
    ASSERT_NE(file.value, INVALID_HANDLE_VALUE);
    {
        Handle small{CreateFileMappingA(file.value, nullptr, PAGE_READWRITE, 0, 1024,
                                        STATUS_SECTION_NAME_CONSOLE)};
        ASSERT_NE(small.value, nullptr);

        auto created = SharedMemory::create(false);
        ASSERT_FALSE(created.has_value());
        const std::string& message = created.error().message();
        EXPECT_TRUE(starts_with(message, "Could not create shared memory view: ")) << message;
        EXPECT_NE(message.find(" (os error 5)"), std::string::npos) << message;

        auto opened = SharedMemory::open(STATUS_SECTION_NAME_CONSOLE);
        ASSERT_FALSE(opened.has_value());
        EXPECT_TRUE(starts_with(opened.error().message(), "Could not create shared memory view: "))
            << opened.error().message();
    }
    // Both failed calls closed their handles: with the foreign one gone, so is the section.
    EXPECT_FALSE(SharedMemory::open(STATUS_SECTION_NAME_CONSOLE).has_value());
}

}  // namespace
}  // namespace tessaro
