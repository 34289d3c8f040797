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
#include "common/status.hpp"

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

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

Error view_error(int code) {
    return Error::caused("Could not create shared memory view: ",
                         Error(os::system_error_text(static_cast<std::uint32_t>(code))));
}

// Copies the view through the kernel, which reports a page that cannot be read (the object was
// shrunk under the view) as EFAULT where a plain copy would take SIGBUS. Where the call is not
// allowed (some container sandboxes refuse it), the object's size, checked just before the plain
// copy, is the best there is.
VoidResult copy_pages(int fd, const std::uint8_t* view,
                      std::span<std::uint8_t, STATUS_SECTION_SIZE> out) {
    iovec local{out.data(), out.size()};
    iovec remote{const_cast<std::uint8_t*>(view), out.size()};
    const ssize_t copied = ::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0);
    if (copied == static_cast<ssize_t>(out.size())) {
        return {};
    }
    const int code = copied < 0 ? errno : EFAULT;
    if (code != ENOSYS && code != EPERM) {
        return fail(Error(os::system_error_text(static_cast<std::uint32_t>(code))));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int stat_code = errno;
        return fail(Error(os::system_error_text(static_cast<std::uint32_t>(stat_code))));
    }
    if (st.st_size < static_cast<off_t>(STATUS_SECTION_SIZE)) {
        return fail(Error(os::system_error_text(EFAULT)));
    }
    std::memcpy(out.data(), view, out.size());
    return {};
}

// Maps the first 4096 bytes of the object. An object smaller than that would map, but touching
// its missing pages raises SIGBUS, so it is refused up front, as Windows refuses to map it; the
// view is then copied once, as on Windows.
Result<std::uint8_t*> map_view(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int code = errno;
        return fail(view_error(code));
    }
    if (st.st_size < static_cast<off_t>(STATUS_SECTION_SIZE)) {
        return fail(view_error(EINVAL));
    }
    void* mapped = ::mmap(nullptr, STATUS_SECTION_SIZE, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) {
        const int code = errno;
        return fail(view_error(code));
    }
    auto* view = static_cast<std::uint8_t*>(mapped);
    auto probe = std::make_unique<std::array<std::uint8_t, STATUS_SECTION_SIZE>>();
    if (auto copied = copy_pages(fd, view, *probe); !copied) {
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
    // the object just before that holds a name that is gone, and starts over. Each round needs
    // another program to end at that very moment, so a few rounds suffice.
    for (int attempt = 0;; ++attempt) {
        bool is_new = true;
        int fd = ::shm_open(object.c_str(), O_CREAT | O_EXCL | O_RDWR, mode);
        if (fd < 0 && errno == EEXIST) {
            // An existing section is used unchanged, whatever it holds.
            is_new = false;
            fd = ::shm_open(object.c_str(), O_RDWR, 0);
        }
        if (fd < 0) {
            const int code = errno;
            return fail(
                Error::caused("Could not create shared memory: ",
                              Error(os::system_error_text(static_cast<std::uint32_t>(code)))));
        }
        Descriptor descriptor(fd);
        struct stat st {};
        if (::flock(fd, LOCK_SH) != 0 || ::fstat(fd, &st) != 0) {
            const int code = errno;
            if (is_new) {
                ::shm_unlink(object.c_str());
            }
            return fail(
                Error::caused("Could not create shared memory: ",
                              Error(os::system_error_text(static_cast<std::uint32_t>(code)))));
        }
        if (st.st_nlink == 0) {
            if (attempt < 8) {
                continue;
            }
            return fail(Error::caused("Could not create shared memory: ",
                                      Error(os::system_error_text(ENOENT))));
        }
        if (is_new) {
            // The umask may have narrowed the mode; service mode wants it as asked.
            if (service_mode) {
                ::fchmod(fd, mode);
            }
            if (::ftruncate(fd, STATUS_SECTION_SIZE) != 0) {
                const int code = errno;
                ::shm_unlink(object.c_str());
                return fail(
                    Error::caused("Could not create shared memory: ",
                                  Error(os::system_error_text(static_cast<std::uint32_t>(code)))));
            }
        }
        auto view = map_view(fd);
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

Result<SharedMemory> SharedMemory::open(const char* name) {
    const int fd = ::shm_open(posix_name(name).c_str(), O_RDWR, 0);
    if (fd < 0) {
        const int code = errno;
        return fail(Error::caused("Could not open shared memory: ",
                                  Error(os::system_error_text(static_cast<std::uint32_t>(code)))));
    }
    Descriptor descriptor(fd);
    auto view = map_view(fd);
    if (!view) {
        return fail(std::move(view.error()));
    }
    SharedMemory memory;
    memory.view_ = *view;
    memory.handle_ = descriptor.release();
    return memory;
}

VoidResult SharedMemory::copy_view(std::span<std::uint8_t, STATUS_SECTION_SIZE> out) const {
    return copy_pages(static_cast<int>(handle_), view_, out);
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
