// The one owner of a platform handle: an HKEY, an SC_HANDLE, a kernel HANDLE, a COM interface
// pointer, a BSTR. It closes its handle exactly once, when it goes or is reset; it cannot be
// copied, and moving hands the handle over and leaves the source empty.
//
// What differs between handles lies in a traits type beside the code that uses it:
//
//   struct KeyTraits {
//       using handle_type = HKEY;
//       static handle_type invalid() { return nullptr; }
//       static void close(handle_type key) { RegCloseKey(key); }
//   };
//   using OwnedKey = UniqueHandle<KeyTraits>;
//
// `invalid()` is the value that means "no handle" (nullptr for most, INVALID_HANDLE_VALUE for
// some kernel calls); `close` is called only for other values. This header needs no platform
// header, but only the Windows sources use it: POSIX descriptors have their owners where they
// are used.
#pragma once

#include <utility>

namespace tessaro::os {

template <typename Traits>
class UniqueHandle {
  public:
    using handle_type = typename Traits::handle_type;

    UniqueHandle() = default;
    explicit UniqueHandle(handle_type handle) noexcept : handle_(handle) {}
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }
    ~UniqueHandle() { reset(); }

    handle_type get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != Traits::invalid(); }

    // Closes the handle held, if any, and holds `handle` instead.
    void reset(handle_type handle = Traits::invalid()) noexcept {
        handle_type old = std::exchange(handle_, handle);
        if (old != Traits::invalid()) {
            Traits::close(old);
        }
    }

    // Gives the handle up without closing it.
    [[nodiscard]] handle_type release() noexcept {
        return std::exchange(handle_, Traits::invalid());
    }

    // For a call that hands a new handle out through a pointer: closes what is held and lends
    // the empty slot.
    handle_type* put() noexcept {
        reset();
        return &handle_;
    }

  private:
    handle_type handle_ = Traits::invalid();
};

}  // namespace tessaro::os
