#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <unistd.h>

#include "common/os/registry.hpp"
#include "common/settings.hpp"

using namespace tessaro;
using namespace std::string_view_literals;
using os::RegistryValue;

namespace {

constexpr std::string_view KEY = "SOFTWARE\\Korvel\\Tessaro";
constexpr std::uint32_t READ_WRITE = os::KEY_READ_ACCESS | os::KEY_WRITE_ACCESS;

// Every test gets its own registry file in a fresh folder; the file's folder does not exist
// yet, so the first write has to make it.
class RegistryFile : public testing::Test {
  protected:
    void SetUp() override {
        std::string templ = (std::filesystem::temp_directory_path() / "tessaro-registry-XXXXXX");
        ASSERT_NE(mkdtemp(templ.data()), nullptr);
        dir_ = templ;
        file_ = dir_ / "etc" / "registry.reg";
        ASSERT_EQ(setenv("TESSARO_REGISTRY_FILE", file_.c_str(), 1), 0);
    }
    void TearDown() override {
        unsetenv("TESSARO_REGISTRY_FILE");
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    void write_file(std::string_view text) {
        std::filesystem::create_directories(file_.parent_path());
        std::ofstream out(file_, std::ios::binary | std::ios::trunc);
        out << text;
    }
    std::string read_file() const {
        std::ifstream in(file_, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::unique_ptr<os::RegistryKey> create(std::string_view path = KEY) {
        auto key = os::create_local_machine_key(path, READ_WRITE);
        EXPECT_TRUE(key.has_value()) << key.error().message();
        return key ? std::move(*key) : nullptr;
    }
    std::unique_ptr<os::RegistryKey> open(std::string_view path = KEY) {
        auto key = os::open_local_machine_key(path, os::KEY_READ_ACCESS);
        EXPECT_TRUE(key.has_value()) << key.error().message();
        return key ? std::move(*key) : nullptr;
    }

    std::filesystem::path dir_;
    std::filesystem::path file_;
};

RegistryValue raw(std::uint32_t type, std::vector<std::uint8_t> data) {
    return RegistryValue{type, std::move(data)};
}
RegistryValue utf16(std::u16string_view units) {
    RegistryValue v{os::REG_SZ_TYPE, {}};
    for (char16_t u : units) {
        v.data.push_back(static_cast<std::uint8_t>(u & 0xFF));
        v.data.push_back(static_cast<std::uint8_t>(u >> 8));
    }
    return v;
}

}  // namespace

TEST_F(RegistryFile, EveryValueTypeRoundTrips) {
    struct Case {
        const char* name;
        RegistryValue value;
        const char* line;  // how the file spells it
    } cases[] = {
        {"text", RegistryValue::from_string("plain text"), "\"text\"=\"plain text\""},
        {"escapes", RegistryValue::from_string(R"(C:\dir "quoted")"),
         R"("escapes"="C:\\dir \"quoted\"")"},
        {"unicode", RegistryValue::from_string("Gr\xC3\xBC\xC3\x9F\x65 \xF0\x9F\x98\x80"),
         "\"unicode\"=\"Gr\xC3\xBC\xC3\x9F\x65 \xF0\x9F\x98\x80\""},
        {"empty text", RegistryValue::from_string(""), "\"empty text\"=\"\""},
        {"no NUL", utf16(u"abc"), "\"no NUL\"=hex(1):61,00,62,00,63,00"},
        {"after NUL", utf16(u"a\0b\0"sv), "\"after NUL\"=hex(1):61,00,00,00,62,00,00,00"},
        {"surrogate", utf16(u"\xD800\0"sv), "\"surrogate\"=hex(1):00,d8,00,00"},
        {"odd length", raw(os::REG_SZ_TYPE, {'a', 0, 0, 0, 1}),
         "\"odd length\"=hex(1):61,00,00,00,01"},
        {"new line", RegistryValue::from_string("a\nb"),
         "\"new line\"=hex(1):61,00,0a,00,62,00,00,00"},
        {"number", RegistryValue::from_dword(5004), "\"number\"=dword:0000138c"},
        {"max", RegistryValue::from_dword(0xFFFFFFFF), "\"max\"=dword:ffffffff"},
        {"short dword", raw(os::REG_DWORD_TYPE, {1, 2, 3}), "\"short dword\"=hex(4):01,02,03"},
        {"binary", raw(os::REG_BINARY_TYPE, {0x00, 0xAB, 0xFF}), "\"binary\"=hex:00,ab,ff"},
        {"empty binary", raw(os::REG_BINARY_TYPE, {}), "\"empty binary\"=hex:"},
        {"expand", raw(os::REG_EXPAND_SZ_TYPE, {'%', 0, 0, 0}), "\"expand\"=hex(2):25,00,00,00"},
        {"multi", raw(os::REG_MULTI_SZ_TYPE, {'a', 0, 0, 0, 0, 0}),
         "\"multi\"=hex(7):61,00,00,00,00,00"},
        {"qword", raw(os::REG_QWORD_TYPE, {1, 0, 0, 0, 0, 0, 0, 0}),
         "\"qword\"=hex(b):01,00,00,00,00,00,00,00"},
        {"none", raw(os::REG_NONE_TYPE, {}), "\"none\"=hex(0):"},
        {"odd type", raw(0x12345, {7}), "\"odd type\"=hex(12345):07"},
        {"", RegistryValue::from_string("default value"), "@=\"default value\""},
        {"name \"with\" \\ quotes", RegistryValue::from_dword(1),
         R"("name \"with\" \\ quotes"=dword:00000001)"},
    };
    auto key = create();
    ASSERT_NE(key, nullptr);
    for (const auto& c : cases) {
        ASSERT_TRUE(key->set(c.name, c.value).has_value()) << c.name;
    }
    const std::string text = read_file();
    EXPECT_TRUE(text.starts_with("Windows Registry Editor Version 5.00\n")) << text;
    EXPECT_NE(text.find("\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvel\\Tessaro]\n"), std::string::npos)
        << text;
    auto reopened = open();
    ASSERT_NE(reopened, nullptr);
    for (const auto& c : cases) {
        EXPECT_NE(text.find(std::string("\n") + c.line + "\n"), std::string::npos) << c.line << "\n"
                                                                                   << text;
        EXPECT_EQ(reopened->query(c.name), c.value) << c.name;
    }
}

TEST_F(RegistryFile, NamesAndPathsIgnoreCase) {
    auto key = create();
    ASSERT_NE(key, nullptr);
    ASSERT_TRUE(key->set("PC-SICCT-PORT", RegistryValue::from_dword(1)).has_value());
    ASSERT_TRUE(key->set("pc-sicct-port", RegistryValue::from_dword(2)).has_value());
    auto other = open("software\\KORVEL\\tessaro");
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(other->query("Pc-Sicct-Port"), RegistryValue::from_dword(2));
    // One value, keeping the spelling it was first stored with.
    const std::string text = read_file();
    EXPECT_NE(text.find("\"PC-SICCT-PORT\"=dword:00000002"), std::string::npos) << text;
    EXPECT_EQ(text.find("\"pc-sicct-port\""), std::string::npos) << text;

    ASSERT_TRUE(key->remove("pC-sIcCt-PoRt").has_value());
    EXPECT_FALSE(other->query("pc-sicct-port").has_value());
    // A second create of the same key in other case makes no new section.
    ASSERT_NE(create("SOFTWARE\\korvel\\TESSARO"), nullptr);
    const std::string after = read_file();
    EXPECT_EQ(after.find("TESSARO]"), std::string::npos) << after;
}

TEST_F(RegistryFile, MissingFileAndKey) {
    auto missing = os::open_local_machine_key(KEY, os::KEY_READ_ACCESS);
    ASSERT_FALSE(missing.has_value());
    EXPECT_EQ(missing.error().message(),
              "Could not open registry key 'SOFTWARE\\Korvel\\Tessaro': the key does not exist "
              "in '" +
                  file_.string() + "'");
    EXPECT_EQ(Settings::load(), Settings::defaults());
    EXPECT_EQ(Settings::load().to_string(), "Default");

    // Creating makes the folder, the file and every key above.
    ASSERT_NE(create(), nullptr);
    EXPECT_EQ(read_file(),
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvel]\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvel\\Tessaro]\n");
    EXPECT_NE(open("SOFTWARE\\Korvel"), nullptr);
    EXPECT_FALSE(os::open_local_machine_key("SOFTWARE\\Korvel\\Tess", 0).has_value());
    for (std::string_view bad : {""sv, "\\SOFTWARE"sv, "SOFTWARE\\"sv, "SOFTWARE\\\\Korvel"sv}) {
        EXPECT_FALSE(os::create_local_machine_key(bad, READ_WRITE).has_value()) << bad;
    }
}

TEST_F(RegistryFile, ValueErrors) {
    auto key = create();
    ASSERT_NE(key, nullptr);
    auto absent = key->remove("pc-udp-port");
    ASSERT_FALSE(absent.has_value());
    EXPECT_EQ(absent.error().kind(), os::RegistryErrorKind::NotFound);
    EXPECT_EQ(absent.error().message(),
              "Could not delete registry value 'pc-udp-port': no such value");

    auto read_only = open();
    ASSERT_NE(read_only, nullptr);
    auto denied = read_only->set("pc-udp-port", RegistryValue::from_dword(1));
    ASSERT_FALSE(denied.has_value());
    EXPECT_EQ(denied.error().kind(), os::RegistryErrorKind::AccessDenied);
    EXPECT_EQ(read_only->remove("pc-udp-port").error().kind(), os::RegistryErrorKind::AccessDenied);

    // A key that another process deleted takes no more values.
    ASSERT_TRUE(os::delete_local_machine_tree("SOFTWARE\\Korvel", "Tessaro").has_value());
    auto gone = key->set("pc-udp-port", RegistryValue::from_dword(1));
    ASSERT_FALSE(gone.has_value());
    EXPECT_EQ(gone.error().kind(), os::RegistryErrorKind::Other);
    EXPECT_FALSE(os::open_local_machine_key(KEY, os::KEY_READ_ACCESS).has_value());
}

TEST_F(RegistryFile, HandWrittenFileAndOtherWriters) {
    // What an administrator or an export may hold: a byte-order mark, CRLF, comments, blank
    // lines, the default value, wrapped hex data, names of any case.
    write_file(
        "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
        "\r\n"
        "; the proxy\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvel\\Tessaro]\r\n"
        "@=\"ignored\"\r\n"
        "\"LogLevel\"=\"Debug\"\r\n"
        "\"host-sicct-port\"=dword:1388\r\n"
        "\"pinpad-pc-use-terminal\"=dword:00000001\r\n"
        "\"connector-ip-address\"=hex(1):31,00,30,00,2e,00,30,00,2e,00,30,00,2e,00,\\\r\n"
        "  35,00,00,00\r\n"
        "  \"pc-udp-port\" = dword:00000050\r\n");
    Settings expected;
    expected.log_level = LogLevel::Debug;
    expected.terminal.pc_sicct_port = 5000;
    expected.terminal.pc_udp_port = 80;
    expected.terminal.announcement_ip_address = Ipv4Addr{{10, 0, 0, 5}};
    expected.pinpad.pc_interface = InterfaceSelection::terminal();
    EXPECT_EQ(Settings::load(), expected);

    // Every operation reads the file again: what another process wrote is seen by a key that
    // was opened before.
    auto key = open();
    ASSERT_NE(key, nullptr);
    write_file(
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvel\\Tessaro]\n"
        "\"pc-udp-port\"=dword:00000051\n");
    EXPECT_EQ(key->query("pc-udp-port"), RegistryValue::from_dword(81));
    EXPECT_FALSE(key->query("loglevel").has_value());
}

TEST_F(RegistryFile, MalformedFilesReadAsNoKeysAndStayUntouched) {
    const std::string section = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvel\\Tessaro]\n";
    const std::string head = "Windows Registry Editor Version 5.00\n\n" + section;
    struct Case {
        const char* what;
        std::string text;
    } cases[] = {
        {"empty", ""},
        {"only blank lines", "\n\n  \n"},
        {"no header", section + "\"loglevel\"=\"debug\"\n"},
        {"older header", "REGEDIT4\n\n" + section + "\"loglevel\"=\"debug\"\n"},
        {"value before any key",
         "Windows Registry Editor Version 5.00\n\"loglevel\"=\"debug\"\n" + section},
        {"unterminated key", "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\X\n"},
        {"key deletion", head + "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvel]\n"},
        {"value deletion", head + "\"loglevel\"=-\n"},
        {"unterminated name", head + "\"loglevel=\"debug\"\n"},
        {"unterminated text", head + "\"loglevel\"=\"debug\n"},
        {"unknown escape", head + "\"loglevel\"=\"de\\bug\"\n"},
        {"text then junk", head + "\"loglevel\"=\"debug\" x\n"},
        {"no equals sign", head + "\"loglevel\" \"debug\"\n"},
        {"no data", head + "\"loglevel\"=\n"},
        {"dword not hex", head + "\"pc-udp-port\"=dword:xyz\n"},
        {"dword too long", head + "\"pc-udp-port\"=dword:000000001\n"},
        {"dword empty", head + "\"pc-udp-port\"=dword:\n"},
        {"qword prefix", head + "\"pc-udp-port\"=qword:1\n"},
        {"bad hex byte", head + "\"b\"=hex:00,zz\n"},
        {"hex byte too long", head + "\"b\"=hex:100\n"},
        {"empty hex byte", head + "\"b\"=hex:00,,01\n"},
        {"bad hex type", head + "\"b\"=hex(q):00\n"},
        {"unclosed hex type", head + "\"b\"=hex(1:00\n"},
        {"continuation past the end", head + "\"b\"=hex:00,\\"},
        {"binary junk", std::string("Windows Registry Editor Version 5.00\n\0\xFF\x01", 40)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        write_file(c.text);
        auto opened = os::open_local_machine_key(KEY, os::KEY_READ_ACCESS);
        ASSERT_FALSE(opened.has_value());
        EXPECT_NE(opened.error().message().find("Malformed registry file '" + file_.string()),
                  std::string::npos)
            << opened.error().message();
        EXPECT_EQ(Settings::load(), Settings::defaults());
        // A write must not replace what it could not read.
        EXPECT_FALSE(os::create_local_machine_key(KEY, READ_WRITE).has_value());
        EXPECT_FALSE(os::delete_local_machine_tree("SOFTWARE\\Korvel", "Tessaro").has_value());
        EXPECT_EQ(read_file(), c.text);
    }

    // A key opened while the file was sound reads nothing once it is broken, and writes fail.
    write_file(head + "\"pc-udp-port\"=dword:00000050\n");
    auto key = os::open_local_machine_key(KEY, READ_WRITE);
    ASSERT_TRUE(key.has_value());
    write_file(head + "\"pc-udp-port\"=dword:\n");
    EXPECT_FALSE((*key)->query("pc-udp-port").has_value());
    auto set = (*key)->set("pc-udp-port", RegistryValue::from_dword(1));
    ASSERT_FALSE(set.has_value());
    EXPECT_EQ(set.error().kind(), os::RegistryErrorKind::Other);
    EXPECT_EQ(read_file(), head + "\"pc-udp-port\"=dword:\n");
}

TEST_F(RegistryFile, UnreadableFile) {
    // A folder where the file should be cannot be read.
    std::filesystem::create_directories(file_);
    auto opened = os::open_local_machine_key(KEY, os::KEY_READ_ACCESS);
    ASSERT_FALSE(opened.has_value());
    EXPECT_NE(opened.error().message().find("Could not read registry file"), std::string::npos)
        << opened.error().message();
    EXPECT_EQ(Settings::load(), Settings::defaults());
    EXPECT_FALSE(os::create_local_machine_key(KEY, READ_WRITE).has_value());
    EXPECT_TRUE(std::filesystem::is_directory(file_));
}

TEST_F(RegistryFile, RewriteKeepsOtherKeys) {
    write_file(
        "Windows Registry Editor Version 5.00\n\n"
        "[HKEY_CURRENT_USER\\Software\\Other]\n"
        "\"keep\"=\"me\"\n\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n"
        "\"n\"=dword:00000007\n"
        "\"b\"=hex:01,02\n");
    auto key = create();
    ASSERT_NE(key, nullptr);
    ASSERT_TRUE(key->set("pc-sicct-port", RegistryValue::from_dword(5000)).has_value());
    EXPECT_EQ(read_file(),
              "Windows Registry Editor Version 5.00\n\n"
              "[HKEY_CURRENT_USER\\Software\\Other]\n"
              "\"keep\"=\"me\"\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\n"
              "\"n\"=dword:00000007\n"
              "\"b\"=hex:01,02\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvel]\n\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Korvel\\Tessaro]\n"
              "\"pc-sicct-port\"=dword:00001388\n");
    // The rename left no temporary file behind.
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator(file_.parent_path())) {
        ++files;
    }
    EXPECT_EQ(files, 1u);
    EXPECT_EQ(Settings::load().terminal.pc_sicct_port, 5000);
}

TEST_F(RegistryFile, DeleteTree) {
    ASSERT_NE(create("SOFTWARE\\Korvel\\Tessaro\\Sub\\Deeper"), nullptr);
    auto key = create();
    ASSERT_NE(key, nullptr);
    ASSERT_TRUE(key->set("pc-sicct-port", RegistryValue::from_dword(5000)).has_value());
    auto sibling = create("SOFTWARE\\Korvel\\TessaroOld");
    ASSERT_NE(sibling, nullptr);
    ASSERT_TRUE(sibling->set("x", RegistryValue::from_dword(1)).has_value());

    ASSERT_TRUE(os::delete_local_machine_tree("software\\korvel", "TESSARO").has_value());
    EXPECT_FALSE(os::open_local_machine_key(KEY, os::KEY_READ_ACCESS).has_value());
    EXPECT_FALSE(os::open_local_machine_key("SOFTWARE\\Korvel\\Tessaro\\Sub", os::KEY_READ_ACCESS)
                     .has_value());
    // A key whose name only starts with the deleted one stays, and so does the parent.
    EXPECT_EQ(sibling->query("x"), RegistryValue::from_dword(1));
    EXPECT_NE(open("SOFTWARE\\Korvel"), nullptr);
    EXPECT_EQ(Settings::load(), Settings::defaults());

    auto again = os::delete_local_machine_tree("SOFTWARE\\Korvel", "Tessaro");
    ASSERT_FALSE(again.has_value());
    EXPECT_NE(again.error().message().find("Could not delete registry key "
                                           "'SOFTWARE\\Korvel\\Tessaro': the key does not exist"),
              std::string::npos)
        << again.error().message();
}
