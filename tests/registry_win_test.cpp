// The registry seam's key removal against the real registry of the test's Wine prefix, under a
// base key that grants what an account without administrator rights gets on the event-log key:
// reading and deleting, but not setting values.
#include <gtest/gtest.h>

#include <string>

#include "common/os/registry.hpp"
#include "common/os/windows.hpp"

using namespace tessaro;

namespace {

class ReadOnlyBase : public testing::Test {
  protected:
    std::string base = "SOFTWARE\\Tessaro Registry Test " + std::to_string(GetCurrentProcessId());

    void SetUp() override {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, wide(base).c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        HKEY source = nullptr;
        ASSERT_EQ(RegCreateKeyExW(key, L"Source\\Below", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  &source, nullptr),
                  ERROR_SUCCESS);
        RegCloseKey(source);
        restrict_to_read_and_delete(key);
        RegCloseKey(key);
    }

    void TearDown() override {
        // Granted: enumeration and queries below, DELETE on the key itself.
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, wide(base).c_str());
    }

    static std::wstring wide(const std::string& text) {
        return std::wstring(text.begin(), text.end());
    }

    // Everyone may read the key and delete it, nothing more.
    static void restrict_to_read_and_delete(HKEY key) {
        SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
        PSID everyone = nullptr;
        ASSERT_TRUE(AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                             &everyone));
        alignas(DWORD) unsigned char acl_bytes[256];
        auto* acl = reinterpret_cast<PACL>(acl_bytes);
        EXPECT_TRUE(InitializeAcl(acl, sizeof acl_bytes, ACL_REVISION));
        EXPECT_TRUE(AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ | DELETE, everyone));
        SECURITY_DESCRIPTOR descriptor;
        EXPECT_TRUE(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION));
        EXPECT_TRUE(SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE));
        EXPECT_EQ(RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor), ERROR_SUCCESS);
        FreeSid(everyone);
    }
};

}  // namespace

TEST_F(ReadOnlyBase, AMissingSubkeyIsNotFoundAndAPresentOneIsDeletedWithItsContents) {
    // The restriction holds: the base cannot be opened for setting values.
    HKEY probe = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, wide(base).c_str(), 0, KEY_SET_VALUE, &probe),
              ERROR_ACCESS_DENIED);

    auto missing = os::delete_local_machine_tree(base, "Korvel Tessaro");
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().kind(), os::RegistryErrorKind::NotFound) << missing.error().message();

    auto removed = os::delete_local_machine_tree(base, "Source");
    EXPECT_TRUE(removed.has_value()) << removed.error().message();
    EXPECT_FALSE(os::open_local_machine_key(base + "\\Source", os::KEY_READ_ACCESS).has_value());
}
