// Under Wine: the message table that tessaro.exe carries for its event-log source, and the real
// event source behind the event-log logger.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/os/windows.hpp"
#include "proxy/logging.hpp"

using namespace tessaro;

namespace {

std::wstring tessaro_exe() {
    const char* dir = std::getenv("TESSARO_TEST_BINARY_DIR");
    std::string path = std::string(dir == nullptr ? "." : dir) + "/proxy/tessaro.exe";
    if (path.starts_with("/")) {
        path = "Z:" + path;  // Wine's drive for the Unix root
    }
    return std::wstring(path.begin(), path.end());
}

// The executable loaded as data only, as the event viewer loads a message file.
class MessageFile : public ::testing::Test {
  protected:
    void SetUp() override {
        module_ = LoadLibraryExW(tessaro_exe().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(module_, nullptr) << GetLastError();
    }
    void TearDown() override {
        if (module_ != nullptr) {
            FreeLibrary(module_);
        }
    }
    HMODULE module_ = nullptr;
};

}  // namespace

// Each event's text is its insertion string followed by CR LF, whatever the level.
TEST_F(MessageFile, EveryIdentifierShowsTheMessageAlone) {
    const wchar_t* message = L"Could not start SICCT proxy: gr\u00fc\u00df";
    for (LogLevel level :
         {LogLevel::Error, LogLevel::Warn, LogLevel::Info, LogLevel::Debug, LogLevel::Trace}) {
        DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(message)};
        wchar_t buffer[256] = {};
        DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                      module_, logging::event_kind(level).id, 1033, buffer, 256,
                                      reinterpret_cast<va_list*>(arguments));
        ASSERT_NE(length, 0u) << log_level_name(level) << " " << GetLastError();
        EXPECT_EQ(std::wstring(buffer, length), std::wstring(message) + L"\r\n")
            << log_level_name(level);
    }
}

// The resource itself: RT_MESSAGETABLE 1 in language 1033, three blocks in ascending order, each
// entry stored as UTF-16 "%1" CR LF.
TEST_F(MessageFile, TableLayout) {
    HRSRC resource = FindResourceExW(module_, RT_MESSAGETABLE, MAKEINTRESOURCEW(1),
                                     MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    ASSERT_NE(resource, nullptr);
    DWORD size = SizeofResource(module_, resource);
    HGLOBAL loaded = LoadResource(module_, resource);
    ASSERT_NE(loaded, nullptr);
    const auto* bytes = static_cast<const unsigned char*>(LockResource(loaded));
    ASSERT_NE(bytes, nullptr);
    ASSERT_GE(size, sizeof(MESSAGE_RESOURCE_DATA));

    const auto* data = reinterpret_cast<const MESSAGE_RESOURCE_DATA*>(bytes);
    ASSERT_EQ(data->NumberOfBlocks, 3u);
    struct Block {
        DWORD low, high;
    } expected[] = {{0x40000003, 0x40000005}, {0x80000002, 0x80000002}, {0xC0000001, 0xC0000001}};
    for (DWORD b = 0; b < 3; ++b) {
        const MESSAGE_RESOURCE_BLOCK& block = data->Blocks[b];
        EXPECT_EQ(block.LowId, expected[b].low) << b;
        EXPECT_EQ(block.HighId, expected[b].high) << b;
        DWORD offset = block.OffsetToEntries;
        for (DWORD id = block.LowId; id <= block.HighId; ++id) {
            ASSERT_LT(offset + 4, size);
            const auto* entry = reinterpret_cast<const MESSAGE_RESOURCE_ENTRY*>(bytes + offset);
            EXPECT_EQ(entry->Flags, 1) << std::hex << id;  // MESSAGE_RESOURCE_UNICODE
            ASSERT_LE(offset + entry->Length, size);
            ASSERT_GE(entry->Length, 4 + 8);
            EXPECT_EQ(std::memcmp(entry->Text, L"%1\r\n", 8), 0) << std::hex << id;
            offset += entry->Length;
        }
    }
}

TEST(EventSource, OpensAndReports) {
    auto reporter = logging::open_event_source("Korvel Tessaro");
    ASSERT_TRUE(reporter.has_value()) << reporter.error().message();
    // No way to read Wine's event log back; the call must simply take every size.
    (*reporter)(logging::event_kind(LogLevel::Info), "Korvel Tessaro 1.3.2");
    (*reporter)(logging::event_kind(LogLevel::Error), std::string(40000, 'x'));
}
