// The POSIX stand-in of the named section: its object names, its refusal of a smaller object, of
// one that another account may write or of one with a second name, the access it grants to readers
// of other accounts, and two owners of one user creating it at once.
#include "common/status.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <future>
#include <latch>
#include <map>
#include <optional>
#include <string>
#include <thread>

#include <fmt/format.h>

namespace tessaro {
namespace {

struct Names {
    std::string windows;  // as the program passes it
    std::string posix;    // the object it becomes
};

Names unique_names(const char* prefix) {
    static std::atomic<int> counter{0};
    const std::string tail = fmt::format("Tessaro-Status-Posix-Test-{}-{}", getpid(), counter++);
    return {fmt::format("{}\\{}", prefix, tail), fmt::format("/{}_{}", prefix, tail)};
}

bool object_exists(const std::string& posix_name) {
    const int fd = shm_open(posix_name.c_str(), O_RDONLY, 0);
    if (fd < 0) {
        return false;
    }
    close(fd);
    return true;
}

constexpr uid_t OTHER_USER = 65534;  // nobody
constexpr uid_t THIRD_USER = 65533;

// In a child: takes on `user`'s ids, as a program of that user runs.
bool become(uid_t user) {
    return user == geteuid() ||
           (setresgid(user, user, user) == 0 && setresuid(user, user, user) == 0);
}

// Runs `what` in a child that has taken on `user`'s ids, as a program of that user would, and gives
// what it answered: the empty text for success, else why not.
std::string as_user(uid_t user, const std::function<std::string()>& what) {
    int answer[2];
    if (pipe(answer) != 0) {
        return "pipe";
    }
    const pid_t child = fork();
    if (child == 0) {
        close(answer[0]);
        const std::string text = become(user) ? what() : fmt::format("could not become {}", user);
        (void)!write(answer[1], text.data(), text.size());
        _exit(0);
    }
    close(answer[1]);
    std::string text;
    char buffer[256];
    for (ssize_t got; (got = read(answer[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(got));
    }
    close(answer[0]);
    int status = -1;
    waitpid(child, &status, 0);
    return status == 0 ? text : fmt::format("the child ended with status {}", status);
}

// An object made by `owner` with `mode`, as a program of that user makes it: in a child that takes
// on the user's ids first. Removed at the end of the test whatever happens.
struct ForeignObject {
    std::string name;
    ForeignObject(std::string n, off_t size, mode_t mode = 0600, uid_t owner = geteuid())
        : name(std::move(n)) {
        const pid_t child = fork();
        if (child == 0) {
            const int fd =
                become(owner) ? shm_open(name.c_str(), O_CREAT | O_EXCL | O_RDWR, mode) : -1;
            _exit(fd >= 0 && fchmod(fd, mode) == 0 && ftruncate(fd, size) == 0 ? 0 : 1);
        }
        int status = -1;
        EXPECT_EQ(waitpid(child, &status, 0), child);
        EXPECT_EQ(status, 0) << "could not make " << name;
    }
    ~ForeignObject() { shm_unlink(name.c_str()); }
    bool exists() const { return object_exists(name); }
};

mode_t object_mode(const std::string& posix_name) {
    struct stat st {};
    const int fd = shm_open(posix_name.c_str(), O_RDONLY, 0);
    EXPECT_GE(fd, 0);
    if (fd < 0) {
        return 0;
    }
    fstat(fd, &st);
    close(fd);
    return st.st_mode & 0777;
}

TEST(SharedMemoryPosix, TheObjectNameReplacesTheBackslash) {
    const Names names = unique_names("Local");
    auto created = SharedMemory::create_named(names.windows.c_str(), false);
    ASSERT_TRUE(created.has_value()) << created.error().message();
    EXPECT_EQ(object_mode(names.posix), 0600u);
}

// Every account may read the service's object, only its owner write it: an object that others
// could write could also be shrunk under a reader. The umask narrows neither.
TEST(SharedMemoryPosix, ServiceModeLetsEveryAccountReadTheObjectAndOnlyItsOwnerWrite) {
    for (const mode_t mask : {mode_t{022}, mode_t{077}, mode_t{0}}) {
        SCOPED_TRACE(mask);
        const Names names = unique_names("Global");
        const mode_t old_mask = umask(mask);
        auto created = SharedMemory::create_named(names.windows.c_str(), true);
        umask(old_mask);
        ASSERT_TRUE(created.has_value()) << created.error().message();
        EXPECT_EQ(object_mode(names.posix), 0644u);
    }
}

// An object shrunk under an open view: wholly, so that touching its page would raise SIGBUS, or in
// part, so that it no longer backs the whole view. The copy reports either instead, as `open`
// refuses an object smaller than the view.
TEST(SharedMemoryPosix, AViewShrunkUnderTheReaderFailsTheCopyInsteadOfFaulting) {
    for (const off_t size : {off_t{0}, off_t{2048}}) {
        SCOPED_TRACE(size);
        const Names names = unique_names("Local");
        auto created = SharedMemory::create_named(names.windows.c_str(), false);
        ASSERT_TRUE(created.has_value()) << created.error().message();
        auto opened = SharedMemory::open(names.windows.c_str());
        ASSERT_TRUE(opened.has_value()) << opened.error().message();

        const int fd = shm_open(names.posix.c_str(), O_RDWR, 0);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, size), 0);
        std::array<std::uint8_t, STATUS_SECTION_SIZE> copy{};
        auto copied = opened->copy_view(copy);
        ASSERT_FALSE(copied.has_value());
        EXPECT_EQ(copied.error().message(), "Bad address (os error 14)");

        // Grown again, the pages come back (zero-filled) and the copy succeeds.
        ASSERT_EQ(ftruncate(fd, STATUS_SECTION_SIZE), 0);
        close(fd);
        EXPECT_TRUE(opened->copy_view(copy).has_value());
    }
}

TEST(SharedMemoryPosix, ASmallerExistingObjectFailsTheViewAndStays) {
    const Names names = unique_names("Local");
    ForeignObject foreign(names.posix, 1024);

    auto created = SharedMemory::create_named(names.windows.c_str(), false);
    ASSERT_FALSE(created.has_value());
    EXPECT_EQ(created.error().message(),
              "Could not create shared memory view: Invalid argument (os error 22)");
    auto opened = SharedMemory::open(names.windows.c_str());
    ASSERT_FALSE(opened.has_value());
    EXPECT_EQ(opened.error().message(),
              "Could not create shared memory view: Invalid argument (os error 22)");
    // Not ours: a failed create leaves it where it was.
    EXPECT_TRUE(foreign.exists());
}

// The writer writes the view in place: an account that may write the object could forge records
// in it, or shrink it under the writer, which then dies of SIGBUS. Whoever made such an object, it
// is refused and left as it is; an object of the service's own user that only it may write is
// reused.
TEST(SharedMemoryPosix, AnObjectThatAnotherAccountMayWriteIsRefused) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "making an object as another user needs root";
    }
    struct Case {
        const char* what;
        uid_t owner;
        mode_t mode;
        bool reused;
    };
    const Case cases[] = {
        {"another user's, private", OTHER_USER, 0600, false},
        {"another user's, readable by all", OTHER_USER, 0644, false},
        {"another user's, writable by all", OTHER_USER, 0666, false},
        {"ours, writable by all", geteuid(), 0666, false},
        {"ours, writable by the group", geteuid(), 0620, false},
        {"ours, readable by all", geteuid(), 0644, true},
    };
    for (const Case& c : cases) {
        for (const bool service_mode : {true, false}) {
            SCOPED_TRACE(fmt::format("{}, service mode {}", c.what, service_mode));
            const Names names = unique_names(service_mode ? "Global" : "Local");
            ForeignObject object(names.posix, STATUS_SECTION_SIZE, c.mode, c.owner);
            auto created = SharedMemory::create_named(names.windows.c_str(), service_mode);
            if (c.reused) {
                EXPECT_TRUE(created.has_value()) << created.error().message();
                continue;
            }
            EXPECT_EQ(created ? std::string("reused") : created.error().message(),
                      "Could not create shared memory: Permission denied (os error 13)");
            EXPECT_TRUE(object.exists());
        }
    }
}

// Any account may read the status: a reader of another account reads the service's object, and
// reads the record that the service wrote.
TEST(SharedMemoryPosix, AReaderOfAnotherAccountReadsTheServiceObject) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "reading as another user needs root";
    }
    const Names names = unique_names("Global");
    auto created = SharedMemory::create_named(names.windows.c_str(), true);
    ASSERT_TRUE(created.has_value()) << created.error().message();
    ASSERT_TRUE(AppStatus::write(created->view(), AppStatus{}).has_value());
    const std::uint8_t* written = created->view();

    auto read_it = [&]() -> std::string {
        auto opened = SharedMemory::open(names.windows.c_str());
        if (!opened) {
            return opened.error().message();
        }
        std::array<std::uint8_t, STATUS_SECTION_SIZE> copy{};
        if (auto copied = opened->copy_view(copy); !copied) {
            return copied.error().message();
        }
        if (std::memcmp(copy.data(), written, STATUS_SECTION_SIZE) != 0 ||
            std::memcmp(opened->view(), written, STATUS_SECTION_SIZE) != 0) {
            return "another record";
        }
        return "";
    };
    EXPECT_EQ(as_user(OTHER_USER, read_it), "");
}

// A reader takes an object for the service's only when the service could have made it: owned by
// root or by the reader's own user, and writable by no one else. Another account may make an
// object under the name before the service starts (or after it ended), and would have the tool
// show whatever it wrote there.
TEST(SharedMemoryPosix, AReaderRefusesAnObjectThatAnotherAccountPlantedOrMayWrite) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "making an object as another user needs root";
    }
    struct Case {
        const char* what;
        uid_t owner;
        mode_t mode;
        uid_t reader;
        const char* refusal;  // none when the object is read
    };
    const Case cases[] = {
        {"another user's, to root", OTHER_USER, 0644, 0,
         "the object of uid 65534 is neither root's nor this user's"},
        {"another user's, to a third", THIRD_USER, 0644, OTHER_USER,
         "the object of uid 65533 is neither root's nor this user's"},
        {"another user's, writable by all", OTHER_USER, 0666, 0,
         "the object of uid 65534 is neither root's nor this user's"},
        {"root's, writable by all", 0, 0666, OTHER_USER,
         "the object of uid 0 may be written by other accounts (mode 666)"},
        {"root's, writable by the group", 0, 0664, OTHER_USER,
         "the object of uid 0 may be written by other accounts (mode 664)"},
        {"the reader's own, writable by all", OTHER_USER, 0666, OTHER_USER,
         "the object of uid 65534 may be written by other accounts (mode 666)"},
        {"root's", 0, 0644, OTHER_USER, nullptr},
        {"root's, to root", 0, 0600, 0, nullptr},
        {"the reader's own", OTHER_USER, 0600, OTHER_USER, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Names names = unique_names("Global");
        ForeignObject object(names.posix, STATUS_SECTION_SIZE, c.mode, c.owner);
        const std::string answer = as_user(c.reader, [&] {
            auto opened = SharedMemory::open(names.windows.c_str());
            return opened ? std::string() : opened.error().message();
        });
        EXPECT_EQ(answer, c.refusal == nullptr
                              ? std::string()
                              : fmt::format("Could not open shared memory: {}", c.refusal));
        EXPECT_TRUE(object.exists());
    }
}

// A second name of an object of ours (a hard link, which an account may make to a file it can
// write) would have the writer write over whatever the other name stands for, and readers read it.
TEST(SharedMemoryPosix, AnObjectWithASecondNameIsRefusedByOwnersAndReaders) {
    const Names names = unique_names("Global");
    ForeignObject target(names.posix + "-Target", STATUS_SECTION_SIZE, 0644);
    const std::string link = "/dev/shm" + names.posix;
    ASSERT_EQ(::link(("/dev/shm" + target.name).c_str(), link.c_str()), 0);
    struct Unlink {
        std::string path;
        ~Unlink() { unlink(path.c_str()); }
    } unlink_later{link};

    for (const bool service_mode : {true, false}) {
        SCOPED_TRACE(service_mode);
        auto created = SharedMemory::create_named(names.windows.c_str(), service_mode);
        EXPECT_EQ(created ? std::string("reused") : created.error().message(),
                  "Could not create shared memory: Permission denied (os error 13)");
    }
    auto opened = SharedMemory::open(names.windows.c_str());
    EXPECT_EQ(
        opened ? std::string("read") : opened.error().message(),
        fmt::format("Could not open shared memory: the object of uid {} has 2 links", geteuid()));
    // Neither name is ours to remove.
    EXPECT_TRUE(target.exists());
    EXPECT_TRUE(object_exists(names.posix));
}

// Two owners of one user, each creating the section and dropping it again in a loop: a create
// meets the other's object before it is sized, or finds the name gone after it saw it there, and
// must start over in either case instead of failing. Neither leaves the name behind.
TEST(SharedMemoryPosix, TwoOwnersCreatingAndDroppingTheSectionAtOnceNeverFail) {
    const Names names = unique_names("Local");
    constexpr int ROUNDS = 20000;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    struct Tally {
        int rounds = 0;
        std::map<std::string, int> failures;  // how often each error came
    };
    std::latch start(2);
    auto owner = [&](Tally& tally) {
        start.arrive_and_wait();
        for (; tally.rounds < ROUNDS && std::chrono::steady_clock::now() < deadline;
             ++tally.rounds) {
            auto created = SharedMemory::create_named(names.windows.c_str(), false);
            if (!created) {
                ++tally.failures[created.error().message()];
            }
        }
    };
    Tally ours;
    Tally theirs;
    std::thread other(owner, std::ref(theirs));
    owner(ours);
    other.join();
    for (const Tally* tally : {&ours, &theirs}) {
        EXPECT_EQ(tally->failures, (std::map<std::string, int>{}))
            << "in " << tally->rounds << " rounds";
    }
    EXPECT_FALSE(object_exists(names.posix));
}

// A process that holds an object of the name locked exclusively until it is ended: as another
// user where the test may become one (any account may open the service's object for reading, and
// so lock it), else as our own, whose lock is the same.
struct LockHolder {
    pid_t pid = -1;
    explicit LockHolder(const std::string& name) {
        int ready[2];
        if (pipe(ready) != 0) {
            ADD_FAILURE() << "pipe";
            return;
        }
        pid = fork();
        if (pid == 0) {
            const int fd = become(geteuid() == 0 ? OTHER_USER : geteuid())
                               ? shm_open(name.c_str(), O_RDONLY, 0)
                               : -1;
            const char locked = fd >= 0 && flock(fd, LOCK_EX) == 0 ? 1 : 0;
            (void)!write(ready[1], &locked, 1);
            pause();
            _exit(0);
        }
        close(ready[1]);
        char locked = 0;
        EXPECT_TRUE(read(ready[0], &locked, 1) == 1 && locked == 1) << "could not lock " << name;
        close(ready[0]);
    }
    ~LockHolder() { end(); }
    void end() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }
};

// A create that reuses an object that someone else holds locked (a restart after a crash left it,
// and another account opened it) fails with the section's creation error instead of waiting for as
// long as that account likes; the object stays, and once the lock is gone it is reused.
TEST(SharedMemoryPosix, AnObjectThatSomeoneElseHoldsLockedFailsTheCreateInsteadOfHangingIt) {
    const Names names = unique_names("Global");
    ForeignObject left(names.posix, STATUS_SECTION_SIZE, 0644);
    LockHolder holder(names.posix);

    auto create = std::async(std::launch::async, [&] {
        return SharedMemory::create_named(names.windows.c_str(), true);
    });
    const bool returned = create.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    if (!returned) {
        holder.end();  // lets a create that waits for the lock return, so the test fails
    }
    auto created = create.get();
    ASSERT_TRUE(returned) << "create waited for the lock";
    EXPECT_EQ(created ? std::string("reused") : created.error().message(),
              "Could not create shared memory: Resource temporarily unavailable (os error 11)");
    EXPECT_TRUE(left.exists());

    holder.end();
    auto reused = SharedMemory::create_named(names.windows.c_str(), true);
    EXPECT_TRUE(reused.has_value()) << reused.error().message();
}

// A link planted under the name is not followed: the section would be whatever file of the
// service's user it points at, and the writer would overwrite that file.
TEST(SharedMemoryPosix, ALinkPlantedUnderTheNameIsNotFollowed) {
    const Names names = unique_names("Global");
    ForeignObject target(names.posix + "-Target", STATUS_SECTION_SIZE, 0644);
    const std::string link = "/dev/shm" + names.posix;
    ASSERT_EQ(symlink(("/dev/shm" + target.name).c_str(), link.c_str()), 0);
    auto created = SharedMemory::create_named(names.windows.c_str(), true);
    unlink(link.c_str());
    ASSERT_FALSE(created.has_value());
    EXPECT_EQ(created.error().message(),
              "Could not create shared memory: Too many levels of symbolic links (os error 40)");
}

TEST(SharedMemoryPosix, TheNameStaysUntilItsLastOwnerEnds) {
    const Names names = unique_names("Local");
    std::optional<SharedMemory> running;
    {
        auto created = SharedMemory::create_named(names.windows.c_str(), false);
        ASSERT_TRUE(created.has_value()) << created.error().message();
        running.emplace(std::move(*created));
    }
    ASSERT_TRUE(AppStatus::write(running->view(), AppStatus{}).has_value());
    // A second instance that reuses the section and ends first leaves it to the running one.
    {
        auto second = SharedMemory::create_named(names.windows.c_str(), false);
        ASSERT_TRUE(second.has_value()) << second.error().message();
    }
    {
        auto reader = SharedMemory::open(names.windows.c_str());
        ASSERT_TRUE(reader.has_value()) << reader.error().message();
        EXPECT_EQ(std::memcmp(reader->view(), running->view(), STATUS_SECTION_SIZE), 0);
        EXPECT_EQ(reader->view()[0], 1);
    }

    // Readers hold no claim on the name: it goes with the last owner.
    auto reader = SharedMemory::open(names.windows.c_str());
    ASSERT_TRUE(reader.has_value()) << reader.error().message();
    running.reset();
    EXPECT_FALSE(object_exists(names.posix));
}

TEST(SharedMemoryPosix, AReusedObjectIsUnlinkedByItsOwnerToo) {
    const Names names = unique_names("Local");
    ForeignObject stale(names.posix, 4096);
    {
        auto created = SharedMemory::create_named(names.windows.c_str(), false);
        ASSERT_TRUE(created.has_value()) << created.error().message();
    }
    // A section left by a program that ended without cleaning up goes with the next owner.
    EXPECT_FALSE(stale.exists());
}

}  // namespace
}  // namespace tessaro
