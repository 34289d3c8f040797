// The tool's status reader: crafted views through its attempts, and the named sections it opens
// (shm objects natively, file mappings under Wine).
#include "winconfig/status_reader.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "tests/unique_name.hpp"

namespace tessaro::winconfig {
namespace {

using Bytes = std::vector<std::uint8_t>;

void append(Bytes& out, std::initializer_list<std::uint8_t> bytes) {
    out.insert(out.end(), bytes);
}
void append_u32(Bytes& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
}
void append_u64(Bytes& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
}
void append_text(Bytes& out, std::string_view text) {
    append_u64(out, text.size());
    out.insert(out.end(), text.begin(), text.end());
}

const MacAddress PC_MAC{{0x00, 0x11, 0x22, 0x33, 0x44, 0x55}};
const MacAddress DEVICE_MAC{{0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F}};

ProxyStatus connected(std::string name, std::optional<MacAddress> pc_mac = PC_MAC) {
    return ProxyStatus{ProxyStatus::Connected{std::move(name), Ipv4Addr{{192, 168, 1, 10}}, pc_mac,
                                              Ipv4Addr{{192, 168, 2, 2}}, DEVICE_MAC}};
}

const AppStatus STATUS{connected("LAN"), ProxyStatus{}};

// The terminal's connected status by hand, with the MAC texts given, so that forms the writer
// never makes can be stored.
Bytes terminal_body(std::string_view name, std::string_view pc_mac, std::string_view device_mac) {
    Bytes out;
    append_u32(out, 1);
    append_text(out, name);
    append(out, {192, 168, 1, 10, 1});
    append_text(out, pc_mac);
    append(out, {192, 168, 2, 2});
    append_text(out, device_mac);
    append_u32(out, 0);  // the PIN pad is not connected
    return out;
}

// Header bytes, body, and a check value over the header bytes given and `checked`.
Bytes record(std::uint8_t version, std::uint8_t second, const Bytes& body,
             const AppStatus& checked) {
    Bytes out;
    out.reserve(2 + body.size() + 8);
    out.push_back(version);
    out.push_back(second);
    for (std::uint8_t b : body) {
        out.push_back(b);
    }
    append_u64(out, checked.check_value(version, second));
    return out;
}

Bytes encoded(const AppStatus& status) {
    AppStatusReader::ViewCopy view{};
    EXPECT_TRUE(AppStatus::write(view.data(), status).has_value());
    return Bytes(view.begin(), view.end());
}

// The bytes at the start of the view; the rest is `fill`. An unreadable view is one whose copy
// cannot be taken.
struct View {
    Bytes head;
    std::uint8_t fill = 0;
    bool unreadable = false;
};
const View UNREADABLE{{}, 0, true};

struct Outcome {
    std::expected<AppStatus, StatusReadError> result;
    int copies = 0;
};

// A read whose attempt i sees views[i] (the last one again once they run out).
Outcome read_views(const std::vector<View>& views) {
    int copies = 0;
    auto result = AppStatusReader::read_copies([&](AppStatusReader::ViewCopy& copy) {
        const View& v = views[std::min<std::size_t>(copies, views.size() - 1)];
        ++copies;
        copy.fill(v.fill);
        std::copy_n(v.head.begin(), std::min(v.head.size(), copy.size()), copy.begin());
        return !v.unreadable;
    });
    return {std::move(result), copies};
}

TEST(StatusReaderTexts, German) {
    EXPECT_EQ(to_string(StatusReadError::Deserialization), "Deserialisierung fehlgeschlagen");
    EXPECT_EQ(to_string(StatusReadError::Checksum),
              "Pr\xC3\xBC"
              "fsumme ung\xC3\xBC"
              "ltig");
    EXPECT_EQ(to_string(StatusReadError::Version), "Version inkompatibel");
}

TEST(StatusReader, CraftedViews) {
    const Bytes good = encoded(STATUS);
    const Bytes start_record = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                0x00, 0xE6, 0x80, 0x14, 0x7B, 0x2E, 0x7E, 0x8F, 0x36};
    Bytes wrong_check = good;
    wrong_check[88 - 1] ^= 1;
    // The same record half rewritten: the new name is in, the rest is still the old record's.
    Bytes torn = encoded(AppStatus{connected("WAN"), ProxyStatus{}});
    std::copy(good.begin() + 40, good.end(), torn.begin() + 40);

    Bytes count_beyond;
    append(count_beyond, {1, 0});
    append_u32(count_beyond, 1);
    append_u64(count_beyond, 4096 - 14 + 1);  // one byte more than the view has behind it
    Bytes huge_count;
    append(huge_count, {1, 0});
    append_u32(huge_count, 1);
    append_u64(huge_count, ~std::uint64_t{0});

    Bytes variant_2 = {1, 0};
    append_u32(variant_2, 2);
    append_u32(variant_2, 0);
    append_u64(variant_2, 0);

    Bytes presence_2 = good;
    presence_2[2 + 4 + 8 + 3 + 4] = 2;
    Bytes invalid_utf8 = good;
    invalid_utf8[2 + 4 + 8] = 0xC3;  // "LAN" becomes C3 41 4E: a lead byte without its tail
    Bytes surrogate = good;
    surrogate[2 + 4 + 8] = 0xED;  // ED A0 80 would encode a surrogate
    surrogate[2 + 4 + 8 + 1] = 0xA0;
    surrogate[2 + 4 + 8 + 2] = 0x80;

    AppStatus version_2_status;
    const Bytes version_2 = record(2, 0, Bytes(8, 0), version_2_status);
    Bytes version_2_wrong_check = version_2;
    version_2_wrong_check.back() ^= 1;

    // Every fixed-width field needs its whole width: a record cut off by the end of the view.
    const std::string long_name(4096 - 2 - 71 - 4 - 8, 'n');
    const AppStatus full{connected(long_name), ProxyStatus{}};
    const Bytes fills_the_view = encoded(full);
    Bytes check_cut_off =
        record(1, 0, terminal_body(long_name + "n", "00:11:22:33:44:55", "0A:0B:0C:0D:0E:0F"),
               AppStatus{connected(long_name + "n"), ProxyStatus{}});

    const AppStatus dashed_status = STATUS;
    const Bytes dashed =
        record(1, 0, terminal_body("LAN", "00-11-22-33-44-55", "0a-0b-0c-0d-0e-0f"), dashed_status);
    const Bytes mixed =
        record(1, 0, terminal_body("LAN", "0-11:22-+33:044-55", "a:b:c:d:e:f"), dashed_status);
    const Bytes bad_mac =
        record(1, 0, terminal_body("LAN", "00:11:22:33:44", "0A:0B:0C:0D:0E:0F"), dashed_status);

    struct Case {
        const char* what;
        std::vector<View> views;
        std::expected<AppStatus, StatusReadError> expected;
        int copies;
    } cases[] = {
        {"the service's start record", {{start_record}}, AppStatus{}, 1},
        {"a connected terminal", {{good}}, STATUS, 1},
        {"a torn record healed by the retry", {{torn}, {good}}, STATUS, 2},
        {"six wrong check values", {{wrong_check}}, std::unexpected(StatusReadError::Checksum), 6},
        {"five undecodable, then a wrong check value",
         {{variant_2}, {variant_2}, {variant_2}, {variant_2}, {variant_2}, {wrong_check}},
         std::unexpected(StatusReadError::Checksum),
         6},
        {"five wrong check values, then one undecodable",
         {{wrong_check}, {wrong_check}, {wrong_check}, {wrong_check}, {wrong_check}, {variant_2}},
         std::unexpected(StatusReadError::Deserialization),
         6},
        {"good on the sixth attempt", {{torn}, {torn}, {torn}, {torn}, {torn}, {good}}, STATUS, 6},
        {"version 2 at once", {{version_2}}, std::unexpected(StatusReadError::Version), 1},
        {"version 2 with a wrong check value is retried",
         {{version_2_wrong_check}},
         std::unexpected(StatusReadError::Checksum),
         6},
        {"byte 1 non-zero and covered by the check value",
         {{record(1, 7, Bytes(8, 0), AppStatus{})}},
         AppStatus{},
         1},
        {"byte 1 changed after the check value was made",
         {{[] {
             Bytes b = record(1, 0, Bytes(8, 0), AppStatus{});
             b[1] = 7;
             return b;
         }()}},
         std::unexpected(StatusReadError::Checksum),
         6},
        {"a count beyond the view",
         {{count_beyond}},
         std::unexpected(StatusReadError::Deserialization),
         6},
        {"a count of 2^64 - 1",
         {{huge_count}},
         std::unexpected(StatusReadError::Deserialization),
         6},
        {"invalid UTF-8", {{invalid_utf8}}, std::unexpected(StatusReadError::Deserialization), 6},
        {"an encoded surrogate",
         {{surrogate}},
         std::unexpected(StatusReadError::Deserialization),
         6},
        {"variant 2", {{variant_2}}, std::unexpected(StatusReadError::Deserialization), 6},
        {"presence byte 2", {{presence_2}}, std::unexpected(StatusReadError::Deserialization), 6},
        {"a record that fills the view", {{fills_the_view}}, full, 1},
        {"a check value cut off by the end of the view",
         {{check_cut_off}},
         std::unexpected(StatusReadError::Deserialization),
         6},
        {"MAC texts with \"-\" and lower-case digits", {{dashed}}, dashed_status, 1},
        {"MAC texts in the parser's other forms", {{mixed}}, dashed_status, 1},
        {"a MAC text of five groups",
         {{bad_mac}},
         std::unexpected(StatusReadError::Deserialization),
         6},
        {"bytes behind the check value", {{good, 0xAB}}, STATUS, 1},
        {"an all-zero view", {{{}}}, std::unexpected(StatusReadError::Checksum), 6},
        {"a view that cannot be copied",
         {UNREADABLE},
         std::unexpected(StatusReadError::Deserialization),
         6},
        {"a copy that failed, then a good one", {UNREADABLE, {good}}, STATUS, 2},
        {"five wrong check values, then a copy that failed",
         {{wrong_check}, {wrong_check}, {wrong_check}, {wrong_check}, {wrong_check}, UNREADABLE},
         std::unexpected(StatusReadError::Deserialization),
         6},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Outcome outcome = read_views(c.views);
        EXPECT_EQ(outcome.result, c.expected);
        EXPECT_EQ(outcome.copies, c.copies);
    }
}

// --- Named sections ----------------------------------------------------------------------------

// Names of this test process alone: the real ones belong to the service program and its tests.
struct Names {
    std::string global;
    std::string local;
};
Names unique_names() {
    const std::string tail = test::unique_name("Tessaro-Reader-Test");
    return {"Global\\" + tail, "Local\\" + tail};
}

SharedMemory section(const std::string& name, bool service_mode, const AppStatus& status) {
    auto created = SharedMemory::create_named(name.c_str(), service_mode);
    EXPECT_TRUE(created.has_value()) << created.error().message();
    EXPECT_TRUE(AppStatus::write(created->view(), status).has_value());
    return std::move(*created);
}

TEST(StatusReaderOpen, NeitherSectionGivesTheLocalError) {
    const Names names = unique_names();
    auto reader = AppStatusReader::open_named(names.global.c_str(), names.local.c_str());
    ASSERT_FALSE(reader.has_value());
    auto local = SharedMemory::open(names.local.c_str());
    ASSERT_FALSE(local.has_value());
    EXPECT_EQ(reader.error().message(), local.error().message());
    EXPECT_TRUE(reader.error().message().starts_with("Could not open shared memory: "))
        << reader.error().message();
}

TEST(StatusReaderOpen, TheConsoleSectionWhenThereIsNoServiceOne) {
    const Names names = unique_names();
    SharedMemory local = section(names.local, false, STATUS);
    auto reader = AppStatusReader::open_named(names.global.c_str(), names.local.c_str());
    ASSERT_TRUE(reader.has_value()) << reader.error().message();
    EXPECT_EQ(reader->read(), STATUS);
}

TEST(StatusReaderOpen, TheServiceSectionIsPreferred) {
    const Names names = unique_names();
    const AppStatus service{ProxyStatus{}, connected("Service", std::nullopt)};
    SharedMemory local = section(names.local, false, STATUS);
    SharedMemory global = section(names.global, true, service);
    auto reader = AppStatusReader::open_named(names.global.c_str(), names.local.c_str());
    ASSERT_TRUE(reader.has_value()) << reader.error().message();
    EXPECT_EQ(reader->read(), service);

    // The reader follows the live view, and a shorter record leaves the older tail behind it.
    ASSERT_TRUE(AppStatus::write(global.view(), AppStatus{}).has_value());
    EXPECT_EQ(reader->read(), AppStatus{});
    global.view()[0] = 2;
    EXPECT_EQ(reader->read(), std::unexpected(StatusReadError::Checksum));

    // Moving the reader keeps its one section.
    AppStatusReader moved = std::move(*reader);
    ASSERT_TRUE(AppStatus::write(global.view(), service).has_value());
    EXPECT_EQ(moved.read(), service);
}

}  // namespace
}  // namespace tessaro::winconfig
