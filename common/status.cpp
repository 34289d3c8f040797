#include "common/status.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

namespace tessaro {

// --- SipHash ----------------------------------------------------------------------------------

namespace {

constexpr std::uint64_t load_le64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) {
        v = (v << 8) | p[i];
    }
    return v;
}

struct SipState {
    std::uint64_t& v0;
    std::uint64_t& v1;
    std::uint64_t& v2;
    std::uint64_t& v3;

    void round() {
        v0 += v1;
        v1 = std::rotl(v1, 13);
        v1 ^= v0;
        v0 = std::rotl(v0, 32);
        v2 += v3;
        v3 = std::rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = std::rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = std::rotl(v1, 17);
        v1 ^= v2;
        v2 = std::rotl(v2, 32);
    }
};

}  // namespace

template <int C, int D>
SipHasher<C, D>::SipHasher(std::uint64_t k0, std::uint64_t k1)
    : v0_(k0 ^ 0x736f6d6570736575ULL),
      v1_(k1 ^ 0x646f72616e646f6dULL),
      v2_(k0 ^ 0x6c7967656e657261ULL),
      v3_(k1 ^ 0x7465646279746573ULL) {}

template <int C, int D>
void SipHasher<C, D>::compress(std::uint64_t m) {
    SipState s{v0_, v1_, v2_, v3_};
    v3_ ^= m;
    for (int i = 0; i < C; ++i) {
        s.round();
    }
    v0_ ^= m;
}

template <int C, int D>
void SipHasher<C, D>::write(std::span<const std::uint8_t> bytes) {
    length_ += bytes.size();
    std::size_t i = 0;
    // Complete a block begun by an earlier write first, so that the pieces hash as one sequence.
    while (ntail_ != 0 && i < bytes.size()) {
        tail_ |= std::uint64_t{bytes[i]} << (8 * ntail_);
        ++i;
        if (++ntail_ == 8) {
            compress(tail_);
            tail_ = 0;
            ntail_ = 0;
        }
    }
    for (; i + 8 <= bytes.size(); i += 8) {
        compress(load_le64(bytes.data() + i));
    }
    for (; i < bytes.size(); ++i) {
        tail_ |= std::uint64_t{bytes[i]} << (8 * ntail_);
        ++ntail_;
    }
}

template <int C, int D>
void SipHasher<C, D>::write_u8(std::uint8_t v) {
    write(std::span<const std::uint8_t>(&v, 1));
}

template <int C, int D>
void SipHasher<C, D>::write_u64(std::uint64_t v) {
    std::uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
    write(bytes);
}

template <int C, int D>
std::uint64_t SipHasher<C, D>::finish() const {
    std::uint64_t v0 = v0_, v1 = v1_, v2 = v2_, v3 = v3_;
    SipState s{v0, v1, v2, v3};
    // The last block carries the low byte of the total length in its top byte.
    const std::uint64_t b = (std::uint64_t{length_ & 0xFF} << 56) | tail_;
    v3 ^= b;
    for (int i = 0; i < C; ++i) {
        s.round();
    }
    v0 ^= b;
    v2 ^= 0xFF;
    for (int i = 0; i < D; ++i) {
        s.round();
    }
    return v0 ^ v1 ^ v2 ^ v3;
}

template class SipHasher<1, 3>;
template class SipHasher<2, 4>;

// --- Record encoding --------------------------------------------------------------------------

VoidResult StatusCursor::write(std::span<const std::uint8_t> bytes) {
    // A piece that does not fit is not written at all, so nothing lands beyond the view.
    if (bytes.size() > view_.size() - pos_) {
        return fail(Error::caused("io error: ", Error("failed to write whole buffer")));
    }
    if (!bytes.empty()) {
        std::memcpy(view_.data() + pos_, bytes.data(), bytes.size());
    }
    pos_ += bytes.size();
    return {};
}

namespace {

VoidResult put_u8(StatusCursor& cursor, std::uint8_t v) {
    return cursor.write(std::span<const std::uint8_t>(&v, 1));
}

VoidResult put_u32(StatusCursor& cursor, std::uint32_t v) {
    std::uint8_t bytes[4];
    for (int i = 0; i < 4; ++i) {
        bytes[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
    return cursor.write(bytes);
}

VoidResult put_u64(StatusCursor& cursor, std::uint64_t v) {
    std::uint8_t bytes[8];
    for (int i = 0; i < 8; ++i) {
        bytes[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
    return cursor.write(bytes);
}

std::span<const std::uint8_t> text_bytes(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// A counted text: the 64-bit byte count, then the bytes without a terminator.
VoidResult put_text(StatusCursor& cursor, const std::string& text) {
    if (auto r = put_u64(cursor, text.size()); !r) {
        return r;
    }
    return cursor.write(text_bytes(text));
}

// MAC addresses travel as their 17-character text form.
VoidResult put_mac(StatusCursor& cursor, const MacAddress& mac) {
    return put_text(cursor, mac.to_string());
}

}  // namespace

VoidResult ProxyStatus::serialize(StatusCursor& cursor) const {
    const auto* connected = std::get_if<Connected>(&value);
    if (connected == nullptr) {
        return put_u32(cursor, 0);
    }
    VoidResult r = put_u32(cursor, 1);
    if (r)
        r = put_text(cursor, connected->interface_name);
    if (r)
        r = cursor.write(connected->ip_address.octets);
    if (r)
        r = put_u8(cursor, connected->mac_address ? 1 : 0);
    if (r && connected->mac_address)
        r = put_mac(cursor, *connected->mac_address);
    if (r)
        r = cursor.write(connected->device_ip_address.octets);
    if (r)
        r = put_mac(cursor, connected->device_mac_address);
    return r;
}

void ProxyStatus::hash(SipHasher13& hasher) const {
    const auto* connected = std::get_if<Connected>(&value);
    hasher.write_u64(connected == nullptr ? 0 : 1);
    if (connected == nullptr) {
        return;
    }
    // Texts end in FF, which no UTF-8 text contains, so that neighbouring fields cannot trade
    // bytes; fixed-size byte arrays are preceded by their length.
    hasher.write(text_bytes(connected->interface_name));
    hasher.write_u8(0xFF);
    hasher.write_u64(4);
    hasher.write(connected->ip_address.octets);
    hasher.write_u64(connected->mac_address ? 1 : 0);
    if (connected->mac_address) {
        hasher.write_u64(6);
        hasher.write(connected->mac_address->bytes);
    }
    hasher.write_u64(4);
    hasher.write(connected->device_ip_address.octets);
    hasher.write_u64(6);
    hasher.write(connected->device_mac_address.bytes);
}

std::uint64_t AppStatus::check_value(std::uint8_t version, std::uint8_t second) const {
    SipHasher13 hasher;
    hasher.write_u8(version);
    hasher.write_u8(second);
    terminal.hash(hasher);
    pinpad.hash(hasher);
    return hasher.finish();
}

VoidResult AppStatus::write(std::uint8_t* view, AppStatus status) {
    const std::uint64_t check = status.check_value(1, 0);
    StatusCursor cursor(std::span<std::uint8_t>(view, STATUS_SECTION_SIZE));
    VoidResult r = put_u8(cursor, 1);
    if (r)
        r = put_u8(cursor, 0);
    if (r)
        r = status.terminal.serialize(cursor);
    if (r)
        r = status.pinpad.serialize(cursor);
    if (r)
        r = put_u64(cursor, check);
    if (!r) {
        return fail(Error::caused("Failed to serialize status: ", std::move(r.error())));
    }
    return {};
}

// --- Record decoding --------------------------------------------------------------------------

namespace {

// Well-formed UTF-8 only: no overlong forms, no encoded surrogates, nothing above U+10FFFF, no
// sequence cut off at the end.
bool is_utf8(std::span<const std::uint8_t> bytes) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::uint8_t b0 = bytes[i];
        if (b0 < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        std::uint8_t low = 0x80;  // bounds of the second byte
        std::uint8_t high = 0xBF;
        if (b0 >= 0xC2 && b0 <= 0xDF) {
            length = 2;
        } else if (b0 >= 0xE0 && b0 <= 0xEF) {
            length = 3;
            low = b0 == 0xE0 ? 0xA0 : 0x80;
            high = b0 == 0xED ? 0x9F : 0xBF;
        } else if (b0 >= 0xF0 && b0 <= 0xF4) {
            length = 4;
            low = b0 == 0xF0 ? 0x90 : 0x80;
            high = b0 == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (bytes.size() - i < length || bytes[i + 1] < low || bytes[i + 1] > high) {
            return false;
        }
        for (std::size_t k = 2; k < length; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

std::uint64_t load_le(std::span<const std::uint8_t> bytes) {
    std::uint64_t v = 0;
    for (std::size_t i = bytes.size(); i > 0; --i) {
        v = (v << 8) | bytes[i - 1];
    }
    return v;
}

}  // namespace

std::optional<std::span<const std::uint8_t>> StatusInput::take(std::size_t count) {
    if (count > rest_.size()) {
        return std::nullopt;
    }
    auto piece = rest_.first(count);
    rest_ = rest_.subspan(count);
    return piece;
}

std::optional<std::uint8_t> StatusInput::read_u8() {
    auto piece = take(1);
    if (!piece) {
        return std::nullopt;
    }
    return (*piece)[0];
}

std::optional<std::uint32_t> StatusInput::read_u32() {
    auto piece = take(4);
    if (!piece) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(load_le(*piece));
}

std::optional<std::uint64_t> StatusInput::read_u64() {
    auto piece = take(8);
    if (!piece) {
        return std::nullopt;
    }
    return load_le(*piece);
}

std::optional<Ipv4Addr> StatusInput::read_ipv4() {
    auto piece = take(4);
    if (!piece) {
        return std::nullopt;
    }
    Ipv4Addr address;
    std::copy(piece->begin(), piece->end(), address.octets.begin());
    return address;
}

std::optional<std::string> StatusInput::read_string() {
    auto count = read_u64();
    // The count is compared with what is left before anything is sized from it.
    if (!count || *count > rest_.size()) {
        return std::nullopt;
    }
    auto piece = take(static_cast<std::size_t>(*count));
    if (!piece || !is_utf8(*piece)) {
        return std::nullopt;
    }
    return std::string(piece->begin(), piece->end());
}

std::optional<MacAddress> StatusInput::read_mac() {
    auto text = read_string();
    if (!text) {
        return std::nullopt;
    }
    auto mac = MacAddress::parse(*text);
    if (!mac) {
        return std::nullopt;
    }
    return *mac;
}

std::optional<ProxyStatus> ProxyStatus::deserialize(StatusInput& input) {
    auto variant = input.read_u32();
    if (!variant || *variant > 1) {
        return std::nullopt;
    }
    if (*variant == 0) {
        return ProxyStatus{};
    }
    Connected c;
    auto name = input.read_string();
    auto ip = name ? input.read_ipv4() : std::nullopt;
    auto presence = ip ? input.read_u8() : std::nullopt;
    if (!presence || *presence > 1) {
        return std::nullopt;
    }
    if (*presence == 1) {
        c.mac_address = input.read_mac();
        if (!c.mac_address) {
            return std::nullopt;
        }
    }
    auto device_ip = input.read_ipv4();
    auto device_mac = device_ip ? input.read_mac() : std::nullopt;
    if (!device_mac) {
        return std::nullopt;
    }
    c.interface_name = std::move(*name);
    c.ip_address = *ip;
    c.device_ip_address = *device_ip;
    c.device_mac_address = *device_mac;
    return ProxyStatus{std::move(c)};
}

std::optional<StatusRecord> StatusRecord::decode(std::span<const std::uint8_t> view) {
    StatusInput input(view);
    StatusRecord record;
    auto version = input.read_u8();
    auto second = version ? input.read_u8() : std::nullopt;
    if (!second) {
        return std::nullopt;
    }
    auto terminal = ProxyStatus::deserialize(input);
    auto pinpad = terminal ? ProxyStatus::deserialize(input) : std::nullopt;
    auto check = pinpad ? input.read_u64() : std::nullopt;
    if (!check) {
        return std::nullopt;
    }
    record.version = *version;
    record.second = *second;
    record.status = AppStatus{std::move(*terminal), std::move(*pinpad)};
    record.stored_check_value = *check;
    return record;
}

// --- Section owner (release is per platform) --------------------------------------------------

bool view_pages_readable(std::size_t size,
                         const std::function<std::optional<PageRun>(std::size_t offset)>& query) {
    // Every run reported covers at least one more byte, so this ends after `size` rounds at most.
    std::size_t offset = 0;
    while (offset < size) {
        const std::optional<PageRun> run = query(offset);
        if (!run || !run->readable || run->bytes == 0) {
            return false;
        }
        offset += std::min(run->bytes, size - offset);
    }
    return true;
}

SharedMemory::SharedMemory(SharedMemory&& other) noexcept
    : view_(std::exchange(other.view_, nullptr)),
      handle_(std::exchange(other.handle_, -1)),
      unlink_name_(std::move(other.unlink_name_)) {
    other.unlink_name_.clear();
}

SharedMemory& SharedMemory::operator=(SharedMemory&& other) noexcept {
    if (this != &other) {
        release();
        view_ = std::exchange(other.view_, nullptr);
        handle_ = std::exchange(other.handle_, -1);
        unlink_name_ = std::move(other.unlink_name_);
        other.unlink_name_.clear();
    }
    return *this;
}

SharedMemory::~SharedMemory() {
    release();
}

Result<SharedMemory> SharedMemory::create(bool service_mode) {
    return create_named(service_mode ? STATUS_SECTION_NAME_SERVICE : STATUS_SECTION_NAME_CONSOLE,
                        service_mode);
}

}  // namespace tessaro
