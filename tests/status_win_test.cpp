// The program's own section names on Windows (run under Wine, whose server is private to the build
// tree's prefix): create, read back, the service section's security, and existing sections made
// by someone else that cannot be mapped or read.
#include "common/status.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <optional>
#include <string>

#include "common/os/system_error.hpp"
#include "common/os/windows.hpp"

#include <aclapi.h>
#include <sddl.h>

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

std::string sid_text(PSID sid) {
    char* text = nullptr;
    if (!ConvertSidToStringSidA(sid, &text)) {
        return "?";
    }
    std::string result = text;
    LocalFree(text);
    return result;
}

std::string process_user_sid() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return "?";
    }
    Handle owner{token};
    alignas(TOKEN_USER) std::uint8_t buffer[256] = {};
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size)) {
        return "?";
    }
    return sid_text(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid);
}

// The allowed access of each account in the DACL of the section of that name, as Wine keeps it;
// none when the section has a null DACL.
std::optional<std::map<std::string, ACCESS_MASK>> section_dacl(const char* name) {
    Handle section{OpenFileMappingA(READ_CONTROL, FALSE, name)};
    EXPECT_NE(section.value, nullptr) << GetLastError();
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const DWORD code = GetSecurityInfo(section.value, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION,
                                       nullptr, nullptr, &dacl, nullptr, &descriptor);
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_SUCCESS));
    std::optional<std::map<std::string, ACCESS_MASK>> entries;
    if (code == ERROR_SUCCESS && dacl != nullptr) {
        entries.emplace();
        for (DWORD i = 0; i < dacl->AceCount; ++i) {
            void* ace = nullptr;
            if (!GetAce(dacl, i, &ace)) {
                continue;
            }
            auto* header = static_cast<ACE_HEADER*>(ace);
            if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
                (*entries)["type " + std::to_string(header->AceType)] = 0;
                continue;
            }
            auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
            (*entries)[sid_text(&allowed->SidStart)] |= allowed->Mask;
        }
    }
    LocalFree(descriptor);
    return entries;
}

// Every account may open and read the service's section, and only SYSTEM, the Administrators and
// the account that made it may write it or change its security: a null DACL would let any account
// write fake records or take the section away from the tool.
TEST(SharedMemoryWin, TheServiceSectionLetsEveryAccountReadAndOnlyItsOwnersWrite) {
    auto created = SharedMemory::create(true);
    ASSERT_TRUE(created.has_value()) << created.error().message();

    const auto dacl = section_dacl(STATUS_SECTION_NAME_SERVICE);
    ASSERT_TRUE(dacl.has_value()) << "a null DACL";
    const std::map<std::string, ACCESS_MASK> expected = {
        {"S-1-5-18", SECTION_ALL_ACCESS},      // SYSTEM
        {"S-1-5-32-544", SECTION_ALL_ACCESS},  // the Administrators
        {process_user_sid(), SECTION_ALL_ACCESS},
        {"S-1-1-0", SECTION_QUERY | SECTION_MAP_READ | READ_CONTROL},  // everyone
    };
    EXPECT_EQ(*dacl, expected);

    // Read access is what a reader of another account asks for.
    Handle reading{OpenFileMappingA(FILE_MAP_READ, FALSE, STATUS_SECTION_NAME_SERVICE)};
    EXPECT_NE(reading.value, nullptr) << GetLastError();

    // A second instance of the same account still reuses the section.
    auto second = SharedMemory::create(true);
    ASSERT_TRUE(second.has_value()) << second.error().message();
    second->view()[0] = 0x17;
    EXPECT_EQ(created->view()[0], 0x17);
}

TEST(SharedMemoryWin, TheConsoleSectionKeepsTheDefaultSecurity) {
    auto created = SharedMemory::create(false);
    ASSERT_TRUE(created.has_value()) << created.error().message();
    const auto dacl = section_dacl(STATUS_SECTION_NAME_CONSOLE);
    // Whatever the default gives, it is not the service's grant to everyone.
    if (dacl.has_value()) {
        EXPECT_EQ(dacl->count("S-1-1-0"), 0u);
    }
}

// A section of the console's name that another program of the same account made with SEC_RESERVE
// and never committed: Windows faults on the first read of its view. Wine maps such pages
// readable, so what shows here is the decision taken from VirtualQuery's report (MEM_RESERVE);
// whether ReadProcessMemory refuses a page that cannot come in, Wine cannot show.
TEST(SharedMemoryWin, ASectionWhosePagesWereNeverCommittedFailsTheView) {
    Handle reserved{CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE | SEC_RESERVE,
                                       0, 2 * STATUS_SECTION_SIZE, STATUS_SECTION_NAME_CONSOLE)};
    ASSERT_NE(reserved.value, nullptr) << GetLastError();
    const std::string expected =
        "Could not create shared memory view: " + os::system_error_text(ERROR_NOACCESS);

    auto opened = SharedMemory::open(STATUS_SECTION_NAME_CONSOLE);
    ASSERT_FALSE(opened.has_value());
    EXPECT_EQ(opened.error().message(), expected);
    // The console program refuses it as well, rather than fault at its first record.
    auto created = SharedMemory::create(false);
    ASSERT_FALSE(created.has_value());
    EXPECT_EQ(created.error().message(), expected);

    // Once its maker commits the first page, the 4096 bytes of the view can be read; the second,
    // still reserved page lies outside it.
    void* view = MapViewOfFile(reserved.value, FILE_MAP_ALL_ACCESS, 0, 0, 0);
    ASSERT_NE(view, nullptr) << GetLastError();
    EXPECT_NE(VirtualAlloc(view, STATUS_SECTION_SIZE, MEM_COMMIT, PAGE_READWRITE), nullptr);
    static_cast<std::uint8_t*>(view)[0] = 0x33;
    {
        auto now = SharedMemory::open(STATUS_SECTION_NAME_CONSOLE);
        ASSERT_TRUE(now.has_value()) << now.error().message();
        std::array<std::uint8_t, STATUS_SECTION_SIZE> copy{};
        ASSERT_TRUE(now->copy_view(copy).has_value());
        EXPECT_EQ(copy[0], 0x33);
    }
    UnmapViewOfFile(view);
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
