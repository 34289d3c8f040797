#include "common/status.hpp"

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

// --- Section owner (release is per platform) --------------------------------------------------

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
