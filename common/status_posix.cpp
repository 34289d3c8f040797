// POSIX stand-in for the named section: a shm_open object of 4096 bytes mapped shared. The
// errors are those of the Windows build, with errno values in place of Win32 codes.
//
// Windows drops a section with its last handle; a POSIX object stays until it is unlinked. So
// that the name lives exactly as long as some program owns the section, every owner made by
// `create` holds a shared flock on its descriptor, and an owner that ends unlinks the name only
// when it can take that lock exclusively, that is when no other owner is left. A second
// instance that ends first so leaves the running one's record readable, and a section left
// behind by a program that was killed goes with the next owner. The kernel drops the lock of a
// killed owner with its descriptor. Readers made by `open` take no lock and never unlink.
//
// Every account that may read the object may also lock it, exclusively and for as long as it
// likes, so no lock is waited for: `create` tries it, and while it cannot be had, starts over after
// a short pause, for a fifth of a second, and then fails.
//
// The name is shared by all accounts of the machine, and any of them may put an object under it.
// An owner takes only an object of its own user, a reader also one of root's, and either only when
// no other account may write it and it has no second name, through which the writer would write
// over some other object.
#include "common/status.hpp"

#include <array>
#include <cerrno>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include "common/os/system_error.hpp"

namespace tessaro {

namespace {

// POSIX object names hold no "/" after the leading one; "\" becomes "_" so that the two
// namespaces of the Windows names stay apart ("/Global_...", "/Local_...").
std::string posix_name(const char* name) {
    std::string result = "/";
    for (const char* p = name; *p != '\0'; ++p) {
        result += (*p == '\\' || *p == '/') ? '_' : *p;
    }
    return result;
}

class Descriptor {
  public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

  private:
    int fd_;
};

// How long `create` keeps starting over, when the name went under it, the object is locked or it
// is not yet sized, and how long it waits before it starts over for a lock or an empty object. The
// lock of an owner that ends lasts only until it has removed the name, and a creator sizes its
// object right after it made it, so one pause is enough for either, unless that program is kept
// from running in between; a lock held for longer is someone else's, and an object that stays
// empty for longer was left by a creator that was killed and is refused as any smaller object is.
constexpr auto CREATE_PATIENCE = std::chrono::milliseconds(200);
constexpr auto LOCKED_PAUSE = std::chrono::milliseconds(20);
constexpr auto EMPTY_PAUSE = std::chrono::milliseconds(1);

Error create_error(int code) {
    return Error::caused("Could not create shared memory: ",
                         Error(os::system_error_text(static_cast<std::uint32_t>(code))));
}

// The writer writes the view in place, so an account that may write the object could forge
// records in it, or shrink it under the writer, which then dies of SIGBUS. Only an object of this
// process's own user that no other account may write is used. One that is ours but writable by
// others is refused rather than narrowed with fchmod: that would not take back a descriptor that
// another account opened for writing while it could, and no object this program makes is ever
// writable by others. Nor does it ever have a second name: one made with link(2) stands for some
// other object too, which the writer would write over.
bool writable_by_others(const struct stat& st) {
    return (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
}

bool ours_alone(const struct stat& st) {
    return st.st_uid == ::geteuid() && !writable_by_others(st) && st.st_nlink <= 1;
}

// Why a reader does not take the object for the service's, or none when it does. The service runs
// as root or, in the development build, as the user who also reads its status; an object of any
// other account was planted under the name, and a reader would show what that account wrote.
std::optional<std::string> foreign_to_reader(const struct stat& st) {
    if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
        return fmt::format("the object of uid {} is neither root's nor this user's", st.st_uid);
    }
    if (writable_by_others(st)) {
        return fmt::format("the object of uid {} may be written by other accounts (mode {:o})",
                           st.st_uid, st.st_mode & 0777);
    }
    if (st.st_nlink > 1) {
        return fmt::format("the object of uid {} has {} links", st.st_uid, st.st_nlink);
    }
    return std::nullopt;
}

Error open_error(Error cause) {
    return Error::caused("Could not open shared memory: ", std::move(cause));
}

Error view_error(int code) {
    return Error::caused("Could not create shared memory view: ",
                         Error(os::system_error_text(static_cast<std::uint32_t>(code))));
}

// Copies the object's first 4096 bytes through its descriptor. They are the pages the view maps,
// but the copy never touches the view: a read of an object shrunk before or during it ends short,
// where touching a page past the end of the view raises SIGBUS, and there is no moment between a
// size check and the copy in which the object could shrink. A short read gives EFAULT, the error
// of a view whose pages are gone.
VoidResult copy_pages(int fd, std::span<std::uint8_t, STATUS_SECTION_SIZE> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        const ssize_t got =
            ::pread(fd, out.data() + done, out.size() - done, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            const int code = errno;
            return fail(Error(os::system_error_text(static_cast<std::uint32_t>(code))));
        }
        if (got == 0) {
            return fail(Error(os::system_error_text(EFAULT)));
        }
        done += static_cast<std::size_t>(got);
    }
    return {};
}

// Maps the first 4096 bytes of the object, with `protection`. An object smaller than that would
// map, but touching its missing pages raises SIGBUS, so it is refused up front, as Windows refuses
// to map it; the view is then copied once, as on Windows.
Result<std::uint8_t*> map_view(int fd, int protection) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int code = errno;
        return fail(view_error(code));
    }
    if (st.st_size < static_cast<off_t>(STATUS_SECTION_SIZE)) {
        return fail(view_error(EINVAL));
    }
    void* mapped = ::mmap(nullptr, STATUS_SECTION_SIZE, protection, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) {
        const int code = errno;
        return fail(view_error(code));
    }
    auto* view = static_cast<std::uint8_t*>(mapped);
    auto probe = std::make_unique<std::array<std::uint8_t, STATUS_SECTION_SIZE>>();
    if (auto copied = copy_pages(fd, *probe); !copied) {
        ::munmap(view, STATUS_SECTION_SIZE);
        return fail(Error::caused("Could not create shared memory view: ", copied.error()));
    }
    return view;
}

}  // namespace

Result<SharedMemory> SharedMemory::create_named(const char* name, bool service_mode) {
    const std::string object = posix_name(name);
    // Service mode: any account may open and read it, as under the service's DACL, and only its
    // user may write it; console: its user only.
    const mode_t mode = service_mode ? 0644 : 0600;

    // An owner that ends removes the name while holding the object exclusively; one that opened
    // the object just before that finds it locked or holds a name that is gone, and one that found
    // the name just before that finds no object to open: each starts over. A creator sizes its
    // object only after it made it: one that opens the object in between finds it empty, and
    // starts over after a short pause. Each round needs another program to be at that very point,
    // but an owner of the same user that creates and drops the section quickly can be there many
    // times in a row, so the rounds end by time, not by count. A lock that lasts longer is held by
    // someone else, and fails the create rather than holding it up.
    const auto give_up = std::chrono::steady_clock::now() + CREATE_PATIENCE;
    const auto patient = [&] { return std::chrono::steady_clock::now() < give_up; };
    for (;;) {
        bool is_new = true;
        // glibc's shm_open adds O_NOFOLLOW (and O_CLOEXEC): a symbolic link planted under the
        // name, which could lead to any file of this user, fails with ELOOP.
        int fd = ::shm_open(object.c_str(), O_CREAT | O_EXCL | O_RDWR, mode);
        if (fd < 0 && errno == EEXIST) {
            // An existing section of our own is used unchanged, whatever it holds.
            is_new = false;
            fd = ::shm_open(object.c_str(), O_RDWR, 0);
            // Its last owner removed the name after the first call found it.
            if (fd < 0 && errno == ENOENT && patient()) {
                continue;
            }
        }
        if (fd < 0) {
            const int code = errno;
            return fail(create_error(code));
        }
        Descriptor descriptor(fd);
        // Looked at before the lock, so that an object of another account is refused as such,
        // whatever that account does with its locks; the descriptor pins the object, and only its
        // owner can change its mode.
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            const int code = errno;
            if (is_new) {
                ::shm_unlink(object.c_str());
            }
            return fail(create_error(code));
        }
        if (!ours_alone(st)) {
            // Not ours to remove either: it stays where it is.
            return fail(create_error(EACCES));
        }
        if (::flock(fd, LOCK_SH | LOCK_NB) != 0 || ::fstat(fd, &st) != 0) {
            const int code = errno;
            if (is_new) {
                ::shm_unlink(object.c_str());
            }
            if (code == EWOULDBLOCK && patient()) {
                std::this_thread::sleep_for(LOCKED_PAUSE);
                continue;
            }
            return fail(create_error(code));
        }
        if (st.st_nlink == 0) {
            if (patient()) {
                continue;
            }
            return fail(create_error(ENOENT));
        }
        if (!is_new && st.st_size == 0 && patient()) {
            std::this_thread::sleep_for(EMPTY_PAUSE);
            continue;
        }
        if (is_new) {
            // The umask may have narrowed the mode; service mode wants it as asked.
            if (service_mode) {
                ::fchmod(fd, mode);
            }
            if (::ftruncate(fd, STATUS_SECTION_SIZE) != 0) {
                const int code = errno;
                ::shm_unlink(object.c_str());
                return fail(create_error(code));
            }
        }
        auto view = map_view(fd, PROT_READ | PROT_WRITE);
        if (!view) {
            if (is_new) {
                ::shm_unlink(object.c_str());
            }
            return fail(std::move(view.error()));
        }
        SharedMemory memory;
        memory.view_ = *view;
        memory.handle_ = descriptor.release();
        memory.unlink_name_ = object;
        return memory;
    }
}

// A reader only reads: the object is opened and mapped read-only, so that a reader of any account
// can open the service's object, which only its owner may write.
Result<SharedMemory> SharedMemory::open(const char* name) {
    const int fd = ::shm_open(posix_name(name).c_str(), O_RDONLY, 0);
    if (fd < 0) {
        const int code = errno;
        return fail(open_error(Error(os::system_error_text(static_cast<std::uint32_t>(code)))));
    }
    Descriptor descriptor(fd);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int code = errno;
        return fail(open_error(Error(os::system_error_text(static_cast<std::uint32_t>(code)))));
    }
    if (auto foreign = foreign_to_reader(st)) {
        return fail(open_error(Error(std::move(*foreign))));
    }
    auto view = map_view(fd, PROT_READ);
    if (!view) {
        return fail(std::move(view.error()));
    }
    SharedMemory memory;
    memory.view_ = *view;
    memory.handle_ = descriptor.release();
    return memory;
}

VoidResult SharedMemory::copy_view(std::span<std::uint8_t, STATUS_SECTION_SIZE> out) const {
    return copy_pages(static_cast<int>(handle_), out);
}

void SharedMemory::release() {
    if (view_ != nullptr) {
        ::munmap(view_, STATUS_SECTION_SIZE);
        view_ = nullptr;
    }
    if (handle_ >= 0) {
        // The name goes only with the last owner, and before its lock does (see the top).
        if (!unlink_name_.empty() && ::flock(static_cast<int>(handle_), LOCK_EX | LOCK_NB) == 0) {
            ::shm_unlink(unlink_name_.c_str());
        }
        ::close(static_cast<int>(handle_));
        handle_ = -1;
    }
    unlink_name_.clear();
}

}  // namespace tessaro
