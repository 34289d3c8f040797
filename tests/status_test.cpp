// The status record's bytes and check value, and the named section on the platform at hand.
#include "common/status.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "tests/unique_name.hpp"

namespace tessaro {
namespace {

using Bytes = std::vector<std::uint8_t>;

// "01 00 c0a8" -> bytes; blanks are ignored.
Bytes hex(std::string_view text) {
    Bytes out;
    std::string digits;
    for (char c : text) {
        if (c != ' ') {
            digits += c;
        }
    }
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

Bytes ascii(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

Bytes le64(std::uint64_t v) {
    Bytes out;
    for (int i = 0; i < 8; ++i) {
        out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    return out;
}

MacAddress mac(std::array<std::uint8_t, 6> b) {
    return MacAddress{b};
}

const MacAddress PC_MAC = mac({0x00, 0x11, 0x22, 0x33, 0x44, 0x55});
const MacAddress DEVICE_MAC = mac({0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F});

ProxyStatus connected(std::string name, std::optional<MacAddress> pc_mac) {
    return ProxyStatus{ProxyStatus::Connected{std::move(name), Ipv4Addr{{192, 168, 1, 10}}, pc_mac,
                                              Ipv4Addr{{192, 168, 2, 2}}, DEVICE_MAC}};
}

std::uint64_t sip13(const Bytes& stream) {
    SipHasher13 h;
    h.write(stream);
    return h.finish();
}

// --- SipHash ---------------------------------------------------------------------------------

// The published SipHash-2-4 vectors (key 00..0f, message 00..len-1) check the round function,
// the block handling and the length byte shared by both variants.
TEST(SipHash, MatchesPublishedVectorsForTwoFourRounds) {
    Bytes message;
    for (std::uint8_t i = 0; i < 15; ++i) {
        message.push_back(i);
    }
    const std::uint64_t k0 = 0x0706050403020100ULL, k1 = 0x0f0e0d0c0b0a0908ULL;

    SipHasher<2, 4> empty(k0, k1);
    EXPECT_EQ(empty.finish(), 0x726fdb47dd0e0e31ULL);

    SipHasher<2, 4> whole(k0, k1);
    whole.write(message);
    EXPECT_EQ(whole.finish(), 0xa129ca6149be45e5ULL);

    // Pieces that straddle block boundaries hash as the one sequence.
    SipHasher<2, 4> pieces(k0, k1);
    std::span<const std::uint8_t> all(message);
    pieces.write(all.subspan(0, 1));
    pieces.write(all.subspan(1, 7));
    pieces.write(all.subspan(8, 3));
    pieces.write_u8(message[11]);
    pieces.write(all.subspan(12, 3));
    EXPECT_EQ(pieces.finish(), 0xa129ca6149be45e5ULL);
}

TEST(SipHash, WriteU64IsLittleEndianAndFinishDoesNotConsume) {
    SipHasher13 a;
    a.write_u64(0x0807060504030201ULL);
    EXPECT_EQ(a.finish(), sip13(hex("0102030405060708")));
    EXPECT_EQ(a.finish(), a.finish());
}

// --- Record encoding ---------------------------------------------------------------------------

constexpr std::size_t GUARD = 64;
constexpr std::uint8_t FILL = 0xAA;

// A view with a guard area behind it, so that a write past the 4096 bytes shows.
struct GuardedView {
    Bytes buffer = Bytes(STATUS_SECTION_SIZE + GUARD, FILL);
    std::uint8_t* view() { return buffer.data(); }
    bool guard_intact() const {
        return std::all_of(buffer.begin() + STATUS_SECTION_SIZE, buffer.end(),
                           [](std::uint8_t b) { return b == FILL; });
    }
    Bytes head(std::size_t n) const { return Bytes(buffer.begin(), buffer.begin() + n); }
};

struct RecordCase {
    const char* name;
    AppStatus status;
    Bytes record;
    Bytes hash_stream;
};

std::vector<RecordCase> record_cases() {
    const Bytes pc_mac_text = cat({le64(17), ascii("00:11:22:33:44:55")});
    const Bytes device_mac_text = cat({le64(17), ascii("0A:0B:0C:0D:0E:0F")});
    const Bytes stream_tail = cat({le64(4), hex("C0A80202"), le64(6), hex("0A0B0C0D0E0F")});
    return {
        {"both not connected", AppStatus{}, hex("01 00 00000000 00000000 E680147B2E7E8F36"),
         cat({hex("01 00"), le64(0), le64(0)})},
        {"terminal connected with PC MAC", AppStatus{connected("LAN", PC_MAC), ProxyStatus{}},
         cat({hex("01 00 01000000"), le64(3), ascii("LAN"), hex("C0A8010A 01"), pc_mac_text,
              hex("C0A80202"), device_mac_text, hex("00000000"), hex("0F03F355766733C6")}),
         cat({hex("01 00"), le64(1), ascii("LAN"), hex("FF"), le64(4), hex("C0A8010A"), le64(1),
              le64(6), hex("001122334455"), stream_tail, le64(0)})},
        {"terminal connected without PC MAC",
         AppStatus{connected("LAN", std::nullopt), ProxyStatus{}},
         cat({hex("01 00 01000000"), le64(3), ascii("LAN"), hex("C0A8010A 00"), hex("C0A80202"),
              device_mac_text, hex("00000000"), hex("49410337A7CBCA77")}),
         cat({hex("01 00"), le64(1), ascii("LAN"), hex("FF"), le64(4), hex("C0A8010A"), le64(0),
              stream_tail, le64(0)})},
    };
}

TEST(StatusRecord, EncodesTheKnownRecordsByteForByte) {
    for (const RecordCase& c : record_cases()) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.status.check_value(), sip13(c.hash_stream));
        GuardedView v;
        ASSERT_TRUE(AppStatus::write(v.view(), c.status).has_value());
        EXPECT_EQ(v.head(c.record.size()), c.record);
        // Nothing behind the check value is touched.
        EXPECT_TRUE(std::all_of(v.buffer.begin() + static_cast<std::ptrdiff_t>(c.record.size()),
                                v.buffer.end(), [](std::uint8_t b) { return b == FILL; }));
    }
    EXPECT_EQ(record_cases()[0].record.size(), 18u);
    EXPECT_EQ(record_cases()[1].record.size(), 88u);
    EXPECT_EQ(record_cases()[1].hash_stream.size(), 82u);
    EXPECT_EQ(record_cases()[2].record.size(), 63u);
    EXPECT_EQ(record_cases()[2].hash_stream.size(), 68u);
}

// The decoder beside the encoder: the known records decode to their statuses, and every record
// cut short anywhere fails without reading past the bytes it was given (each prefix lies in a
// buffer of its own size, so a sanitizer build sees any read beyond it).
TEST(StatusRecord, DecodesTheKnownRecordsAndNoPrefixOfThem) {
    for (const RecordCase& c : record_cases()) {
        SCOPED_TRACE(c.name);
        auto decoded = StatusRecord::decode(c.record);
        ASSERT_TRUE(decoded.has_value());
        EXPECT_EQ(decoded->status, c.status);
        EXPECT_EQ(decoded->version, 1);
        EXPECT_EQ(decoded->second, 0);
        EXPECT_TRUE(decoded->check_value_matches());
        for (std::size_t size = 0; size < c.record.size(); ++size) {
            const Bytes prefix(c.record.begin(),
                               c.record.begin() + static_cast<std::ptrdiff_t>(size));
            EXPECT_FALSE(StatusRecord::decode(prefix).has_value()) << size;
        }
    }
}

// An empty name is the count 0 with no bytes, and enters the hash stream as FF alone.
TEST(StatusRecord, EmptyInterfaceName) {
    const AppStatus status{ProxyStatus{}, connected("", PC_MAC)};
    const Bytes stream =
        cat({hex("01 00"), le64(0), le64(1), hex("FF"), le64(4), hex("C0A8010A"), le64(1), le64(6),
             hex("001122334455"), le64(4), hex("C0A80202"), le64(6), hex("0A0B0C0D0E0F")});
    EXPECT_EQ(status.check_value(), sip13(stream));
    const Bytes record = cat({hex("01 00 00000000 01000000"), le64(0), hex("C0A8010A 01"), le64(17),
                              ascii("00:11:22:33:44:55"), hex("C0A80202"), le64(17),
                              ascii("0A:0B:0C:0D:0E:0F"), le64(sip13(stream))});
    GuardedView v;
    ASSERT_TRUE(AppStatus::write(v.view(), status).has_value());
    EXPECT_EQ(v.head(record.size()), record);
    EXPECT_EQ(record.size(), 2u + 4u + 71u + 8u);
}

TEST(StatusRecord, AShorterRecordLeavesTheOlderTailBehind) {
    GuardedView v;
    ASSERT_TRUE(
        AppStatus::write(v.view(), AppStatus{connected("LAN", PC_MAC), ProxyStatus{}}).has_value());
    const Bytes longer = v.head(88);
    ASSERT_TRUE(AppStatus::write(v.view(), AppStatus{}).has_value());
    EXPECT_EQ(v.head(18), record_cases()[0].record);
    EXPECT_EQ(Bytes(v.buffer.begin() + 18, v.buffer.begin() + 88),
              Bytes(longer.begin() + 18, longer.end()));
}

// Two connected statuses with PC MACs take 152 bytes plus both names: 3944 name bytes fill the
// 4096 bytes exactly, one more does not fit, wherever the write runs out.
TEST(StatusRecord, FillsTheViewExactlyAndRefusesOneByteMore) {
    struct Case {
        std::size_t terminal_name, pinpad_name;
        bool fits;
    };
    const Case cases[] = {
        {1972, 1972, true},  {0, 3944, true},
        {3944, 0, true},     {1972, 1973, false},  // only the check value is cut off
        {3945, 0, false},    {4096, 0, false},     // the terminal's name itself overflows
        {5000, 5000, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(fmt::format("{} + {}", c.terminal_name, c.pinpad_name));
        AppStatus status{connected(std::string(c.terminal_name, 't'), PC_MAC),
                         connected(std::string(c.pinpad_name, 'p'), PC_MAC)};
        const std::uint64_t check = status.check_value();
        GuardedView v;
        auto r = AppStatus::write(v.view(), status);
        EXPECT_TRUE(v.guard_intact());
        if (c.fits) {
            ASSERT_TRUE(r.has_value()) << r.error().message();
            EXPECT_EQ(Bytes(v.buffer.begin() + 4088, v.buffer.begin() + 4096), le64(check));
        } else {
            ASSERT_FALSE(r.has_value());
            EXPECT_EQ(r.error().message(),
                      "Failed to serialize status: io error: failed to write whole buffer");
        }
    }
}

TEST(StatusCursor, RefusesAPieceThatDoesNotFitAndWritesNoneOfIt) {
    Bytes buffer(8, FILL);
    StatusCursor cursor(std::span<std::uint8_t>(buffer.data(), 5));
    ASSERT_TRUE(cursor.write(hex("010203")).has_value());
    auto r = cursor.write(hex("040506"));
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().message(), "io error: failed to write whole buffer");
    EXPECT_EQ(cursor.position(), 3u);
    EXPECT_EQ(buffer, hex("010203 AAAAAAAAAA"));
    ASSERT_TRUE(cursor.write(hex("0405")).has_value());
    EXPECT_FALSE(cursor.write(hex("06")).has_value());
}

// --- Shared section ----------------------------------------------------------------------------

// A name of this test process alone, so that test runs side by side never share a section.
std::string unique_name(const char* prefix) {
    return test::unique_name(std::string(prefix) + "\\Tessaro-Status-Test");
}

bool starts_with(const std::string& text, std::string_view prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

TEST(SharedMemory, ASecondOwnerSeesWhatTheCreatorWrote) {
    const std::string name = unique_name("Local");
    auto created = SharedMemory::create_named(name.c_str(), false);
    ASSERT_TRUE(created.has_value()) << created.error().message();
    ASSERT_TRUE(
        AppStatus::write(created->view(), AppStatus{connected("LAN", PC_MAC), {}}).has_value());

    auto opened = SharedMemory::open(name.c_str());
    ASSERT_TRUE(opened.has_value()) << opened.error().message();
    EXPECT_EQ(Bytes(opened->view(), opened->view() + 88), record_cases()[1].record);

    // One section, not two copies: a later write shows in the reader's view.
    created->view()[4095] = 0x5A;
    EXPECT_EQ(opened->view()[4095], 0x5A);
}

TEST(SharedMemory, AnExistingSectionIsReusedUnchanged) {
    const std::string name = unique_name("Local");
    auto first = SharedMemory::create_named(name.c_str(), false);
    ASSERT_TRUE(first.has_value()) << first.error().message();
    std::memset(first->view(), 0x77, STATUS_SECTION_SIZE);

    auto second = SharedMemory::create_named(name.c_str(), false);
    ASSERT_TRUE(second.has_value()) << second.error().message();
    EXPECT_TRUE(std::all_of(second->view(), second->view() + STATUS_SECTION_SIZE,
                            [](std::uint8_t b) { return b == 0x77; }));
    second->view()[0] = 1;
    EXPECT_EQ(first->view()[0], 1);
}

TEST(SharedMemory, OpenNeverCreatesAndTheSectionEndsWithItsCreator) {
    const std::string name = unique_name("Local");
    auto missing = SharedMemory::open(name.c_str());
    ASSERT_FALSE(missing.has_value());
    EXPECT_TRUE(starts_with(missing.error().message(), "Could not open shared memory: "))
        << missing.error().message();
    EXPECT_NE(missing.error().message().find(" (os error "), std::string::npos);
    EXPECT_FALSE(SharedMemory::open(name.c_str()).has_value());

    {
        auto created = SharedMemory::create_named(name.c_str(), false);
        ASSERT_TRUE(created.has_value()) << created.error().message();
        // A reader that goes away first does not take the section with it.
        { ASSERT_TRUE(SharedMemory::open(name.c_str()).has_value()); }
        ASSERT_TRUE(SharedMemory::open(name.c_str()).has_value());
    }
    EXPECT_FALSE(SharedMemory::open(name.c_str()).has_value());
}

TEST(SharedMemory, GlobalAndLocalNamesAreDifferentSections) {
    const std::string local = unique_name("Local");
    const std::string global = "Global" + local.substr(5);
    auto a = SharedMemory::create_named(local.c_str(), false);
    auto b = SharedMemory::create_named(global.c_str(), true);
    ASSERT_TRUE(a.has_value()) << a.error().message();
    ASSERT_TRUE(b.has_value()) << b.error().message();
    a->view()[0] = 1;
    b->view()[0] = 2;
    EXPECT_EQ(a->view()[0], 1);
    EXPECT_EQ(b->view()[0], 2);
}

TEST(SharedMemory, CopyViewTakesTheWholeLiveView) {
    const std::string name = unique_name("Local");
    auto created = SharedMemory::create_named(name.c_str(), false);
    ASSERT_TRUE(created.has_value()) << created.error().message();
    auto opened = SharedMemory::open(name.c_str());
    ASSERT_TRUE(opened.has_value()) << opened.error().message();
    for (std::size_t i = 0; i < STATUS_SECTION_SIZE; ++i) {
        created->view()[i] = static_cast<std::uint8_t>(i * 7);
    }
    std::array<std::uint8_t, STATUS_SECTION_SIZE> copy{};
    auto copied = opened->copy_view(copy);
    ASSERT_TRUE(copied.has_value()) << copied.error().message();
    EXPECT_EQ(std::memcmp(copy.data(), created->view(), STATUS_SECTION_SIZE), 0);
}

// The walk over the runs of pages that the system reports for a view: which offsets it asks for
// and whether it calls the view readable.
TEST(ViewPages, ReadableOnlyWhenRunsOfReadablePagesCoverTheView) {
    struct Case {
        const char* what;
        std::vector<std::optional<PageRun>> runs;  // the answers in the order asked
        bool readable;
        std::vector<std::size_t> asked;
    } cases[] = {
        {"one run over the view", {PageRun{4096, true}}, true, {0}},
        {"a run reaching far beyond the view", {PageRun{1 << 20, true}}, true, {0}},
        {"runs that end inside the view",
         {PageRun{1000, true}, PageRun{96, true}, PageRun{3000, true}},
         true,
         {0, 1000, 1096}},
        {"what follows the view is never asked for",
         {PageRun{4096, true}, PageRun{1, false}},
         true,
         {0}},
        {"reserved pages from the start", {PageRun{4096, false}}, false, {0}},
        {"committed pages, then reserved ones",
         {PageRun{2048, true}, PageRun{2048, false}},
         false,
         {0, 2048}},
        {"a query that fails", {PageRun{2048, true}, std::nullopt}, false, {0, 2048}},
        {"a run of no bytes", {PageRun{0, true}}, false, {0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::size_t> asked;
        const bool readable = view_pages_readable(
            STATUS_SECTION_SIZE, [&](std::size_t offset) -> std::optional<PageRun> {
                asked.push_back(offset);
                if (asked.size() > c.runs.size()) {
                    ADD_FAILURE() << "asked once too often, at " << offset;
                    return std::nullopt;
                }
                return c.runs[asked.size() - 1];
            });
        EXPECT_EQ(readable, c.readable);
        EXPECT_EQ(asked, c.asked);
    }
}

TEST(SharedMemory, MovingKeepsOneOwner) {
    const std::string name = unique_name("Local");
    auto created = SharedMemory::create_named(name.c_str(), false);
    ASSERT_TRUE(created.has_value()) << created.error().message();
    SharedMemory owner = std::move(*created);
    {
        SharedMemory moved_from = std::move(owner);
        owner = std::move(moved_from);
    }
    // The moved-from owners released nothing: the section is still there and mapped.
    owner.view()[0] = 3;
    auto opened = SharedMemory::open(name.c_str());
    ASSERT_TRUE(opened.has_value()) << opened.error().message();
    EXPECT_EQ(opened->view()[0], 3);
}

}  // namespace
}  // namespace tessaro
