// The adapter scan on Linux: the stand-in's rows (sysfs, rows file) and a whole scan inside a
// network namespace of the test's own, with veth links marked as a card terminal's and a PIN
// pad's adapter.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>

#include "common/interfaces.hpp"
#include "common/log.hpp"
#include "common/os/wmi.hpp"
#include "common/os/wmi_posix.hpp"

using namespace tessaro;
namespace fs = std::filesystem;

namespace {

fs::path temp_dir(const std::string& what) {
    fs::path dir = fs::temp_directory_path() / fmt::format("tessaro-{}-{}", what, getpid());
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

void write_file(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

// One line per listed adapter: "<list> <name> <address> <mac or -> <broadcast or ->".
std::string describe(const Interfaces& interfaces) {
    std::string text;
    auto line = [&](const char* list, const Interface& i, Ipv4Addr address,
                    std::optional<Ipv4Addr> broadcast) {
        text += fmt::format("{} {} {} {} {}\n", list, i.adapter_name(), address.to_string(),
                            i.mac_address() ? i.mac_address()->to_string() : "-",
                            broadcast ? broadcast->to_string() : "-");
    };
    for (const auto& i : interfaces.pc) {
        line("pc", i, i.ip_address, i.broadcast_address);
    }
    for (const auto& i : interfaces.terminal) {
        line("terminal", i, i.ip_address, i.broadcast_address);
    }
    for (const auto& i : interfaces.pinpad) {
        line("pinpad", i, i.ip_address, i.broadcast_address);
    }
    return text;
}

}  // namespace

TEST(StandInRows, UsbInterfacesInSysfs) {
    fs::path root = temp_dir("sysfs");
    fs::path usb_device = root / "devices/pci0000:00/0000:00:14.0/usb1/1-4";
    write_file(usb_device / "idVendor", "2b7a\n");
    write_file(usb_device / "idProduct", "0c41\n");
    write_file(usb_device / "1-4:1.0/bInterfaceNumber", "00\n");
    write_file(usb_device / "1-4:1.a/bInterfaceNumber", "0a\n");
    // A USB device whose attributes cannot be read gives no row.
    write_file(root / "devices/usb2/2-1/2-1:1.0/bInterfaceNumber", "00\n");
    write_file(root / "devices/pci0000:00/0000:00:03.0/vendor", "0x8086\n");
    fs::create_directories(root / "class/net/lo");
    fs::create_directories(root / "class/net/usb1");
    fs::create_directories(root / "class/net/usb0");
    fs::create_directories(root / "class/net/eth0");
    fs::create_directories(root / "class/net/usb9");
    fs::create_symlink("../../../devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.a",
                       root / "class/net/usb1/device");
    fs::create_symlink("../../../devices/pci0000:00/0000:00:14.0/usb1/1-4/1-4:1.0",
                       root / "class/net/usb0/device");
    fs::create_symlink("../../../devices/pci0000:00/0000:00:03.0", root / "class/net/eth0/device");
    fs::create_symlink("../../../devices/usb2/2-1/2-1:1.0", root / "class/net/usb9/device");

    std::vector<AdapterRow> expected = {
        {"usb0", "USB\\VID_2B7A&PID_0C41&MI_00\\1-4:1.0"},
        {"usb1", "USB\\VID_2B7A&PID_0C41&MI_0A\\1-4:1.A"},
    };
    EXPECT_EQ(os::posix::usb_adapter_rows(root / "class/net"), expected);
    EXPECT_TRUE(os::posix::usb_adapter_rows(root / "missing").empty());
    fs::remove_all(root);
}

TEST(StandInRows, RowsFile) {
    fs::path dir = temp_dir("rows");
    write_file(dir / "good",
               "veth1\tUSB\\VID_2B7A&PID_0C41&MI_00\\X\r\n"
               "\n"
               "   \n"
               "\tUSB\\VID_2B7A&PID_0C42&MI_00\\Y\n"
               "veth2\tPCI\\A\tB\n"
               "veth3\t");
    auto rows = os::posix::rows_file(dir / "good");
    ASSERT_TRUE(rows.has_value()) << rows.error().message();
    std::vector<AdapterRow> expected = {
        {"veth1", "USB\\VID_2B7A&PID_0C41&MI_00\\X"},
        {std::nullopt, "USB\\VID_2B7A&PID_0C42&MI_00\\Y"},
        {"veth2", "PCI\\A\tB"},
        {"veth3", ""},
    };
    EXPECT_EQ(*rows, expected);

    write_file(dir / "no-tab", "veth1\tUSB\\X\nveth2 USB\\Y\n");
    auto malformed = os::posix::rows_file(dir / "no-tab");
    ASSERT_FALSE(malformed.has_value());
    EXPECT_NE(malformed.error().message().find("line 2"), std::string::npos)
        << malformed.error().message();

    auto missing = os::posix::rows_file(dir / "missing");
    ASSERT_FALSE(missing.has_value());
    EXPECT_NE(missing.error().message().find((dir / "missing").string()), std::string::npos)
        << missing.error().message();

    auto directory = os::posix::rows_file(dir);
    EXPECT_FALSE(directory.has_value());
    fs::remove_all(dir);
}

// A failed query is logged under the scan's target and leaves every adapter to the LAN side.
TEST(StandInScan, FailedQueryIsLoggedAndLeavesNoDevices) {
    // The sink stays installed for the rest of the process, so its stream must outlive the test.
    static std::ostringstream logged;
    auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(logged);
    sink->set_pattern("%n|%l|%v");
    log::install_sink(sink);

    fs::path missing = temp_dir("no-rows") / "rows";
    ASSERT_EQ(setenv("TESSARO_WMI_ROWS", missing.c_str(), 1), 0);
    auto wmi = os::WmiConnection::connect_service();
    ASSERT_TRUE(wmi.has_value());
    Interfaces result = interfaces::get_interfaces(**wmi);
    EXPECT_TRUE(result.terminal.empty());
    EXPECT_TRUE(result.pinpad.empty());
    EXPECT_EQ(logged.str().rfind("common::interfaces|error|WMI query failed: Could not open WMI "
                                 "rows file " +
                                     missing.string() + ": ",
                                 0),
              0u)
        << logged.str();

    logged.str("");
    interfaces::get_interfaces_quiet(**wmi);
    EXPECT_EQ(logged.str(), "");
    unsetenv("TESSARO_WMI_ROWS");
    fs::remove_all(missing.parent_path());
}

namespace {

int sh(const std::string& command) {
    int status = std::system((command + " >/dev/null 2>&1").c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Two namespaces of this process: the scan runs in `scan_ns`, the veths' other ends live in
// `peer_ns`, so that only the links under test are seen.
class NamespaceScan : public ::testing::Test {
  protected:
    std::string scan_ns = fmt::format("tsr-adapters-{}", getpid());
    std::string peer_ns = fmt::format("tsr-adapters-peer-{}", getpid());
    fs::path dir = temp_dir("netns-rows");

    void SetUp() override {
        if (geteuid() != 0 || sh("ip -V") != 0) {
            GTEST_SKIP() << "needs root and iproute2";
        }
        ASSERT_EQ(sh("ip netns add " + scan_ns), 0);
        ASSERT_EQ(sh("ip netns add " + peer_ns), 0);
    }

    void TearDown() override {
        sh("ip netns del " + scan_ns);
        sh("ip netns del " + peer_ns);
        fs::remove_all(dir);
    }

    void in_scan_ns(const std::string& args) {
        ASSERT_EQ(sh("ip -n " + scan_ns + " " + args), 0) << args;
    }

    void add_veth(const std::string& name, const std::string& mac,
                  const std::vector<std::string>& addresses) {
        in_scan_ns(fmt::format("link add {} address {} type veth peer name {}p netns {}", name, mac,
                               name, peer_ns));
        ASSERT_EQ(sh(fmt::format("ip -n {} link set {}p up", peer_ns, name)), 0);
        for (const auto& address : addresses) {
            in_scan_ns(fmt::format("addr add {} dev {}", address, name));
        }
        in_scan_ns("link set " + name + " up");
        ASSERT_TRUE(wait_for_state(name, true)) << name;
    }

    // The kernel settles a link's operational state shortly after the change (link watch), so
    // each change is awaited, for at most 5 s.
    bool wait_for_state(const std::string& name, bool up) {
        const std::string probe =
            fmt::format("ip -n {} link show dev {} | grep -q 'state UP'", scan_ns, name);
        for (int i = 0; i < 100; ++i) {
            if ((sh(probe) == 0) == up) {
                return true;
            }
            usleep(50 * 1000);
        }
        return false;
    }

    // Runs one scan in the scan namespace, in a child process that enters it and mounts the
    // namespace's own sysfs (as `ip netns exec` does), and returns describe() of the result.
    std::string scan(const fs::path& rows) {
        int pipe_fds[2];
        if (pipe(pipe_fds) != 0) {
            return "pipe failed";
        }
        pid_t child = fork();
        if (child == 0) {
            close(pipe_fds[0]);
            std::string out;
            int ns = open(("/run/netns/" + scan_ns).c_str(), O_RDONLY | O_CLOEXEC);
            if (ns < 0 || setns(ns, CLONE_NEWNET) != 0 || unshare(CLONE_NEWNS) != 0 ||
                mount("none", "/", nullptr, MS_REC | MS_SLAVE, nullptr) != 0 ||
                umount2("/sys", MNT_DETACH) != 0 ||
                mount(scan_ns.c_str(), "/sys", "sysfs", 0, nullptr) != 0) {
                out = fmt::format("entering the namespace failed: errno {}", errno);
            } else {
                setenv("TESSARO_WMI_ROWS", rows.c_str(), 1);
                auto wmi = os::WmiConnection::connect_service();
                out = wmi ? describe(interfaces::get_interfaces_quiet(**wmi)) : "connect failed";
            }
            ssize_t written = write(pipe_fds[1], out.data(), out.size());
            _exit(written == static_cast<ssize_t>(out.size()) ? 0 : 1);
        }
        close(pipe_fds[1]);
        std::string result;
        char buffer[4096];
        ssize_t n;
        while ((n = read(pipe_fds[0], buffer, sizeof buffer)) > 0) {
            result.append(buffer, static_cast<std::size_t>(n));
        }
        close(pipe_fds[0]);
        int status = 0;
        waitpid(child, &status, 0);
        return result;
    }
};

}  // namespace

TEST_F(NamespaceScan, SortsLinksIntoTheThreeLists) {
    // The loopback is never a LAN adapter, not even with an address that a LAN adapter could use.
    in_scan_ns("link set lo up");
    in_scan_ns("addr add 10.10.9.1/24 dev lo");
    add_veth("lan0", "02:00:00:00:01:02", {"10.10.1.2/24"});
    add_veth("term0", "02:00:00:00:02:02", {"10.10.2.2/24"});
    add_veth("pin0", "02:00:00:00:03:02", {"10.10.3.2/24", "10.10.3.3/24"});
    add_veth("lan1", "02:00:00:00:04:02", {"10.10.4.2/28"});
    add_veth("bare0", "02:00:00:00:05:02", {});
    // A device adapter on a /32 has no broadcast address: in no list at all.
    add_veth("term1", "02:00:00:00:06:02", {"10.10.6.2/32"});

    write_file(dir / "rows",
               "term0\tUSB\\VID_2B7A&PID_0C41&MI_00\\6&2A4B&0&0000\n"
               "pin0\tUSB\\VID_2B7A&PID_0C42&MI_00\\6&3C5D&0&0000\n"
               "term1\tUSB\\VID_2B7A&PID_0C41&MI_00\\6&4E6F&0&0000\n"
               "lan0\tusb\\vid_2b7a&pid_0c41&mi_00\\6&1&0&0000\n"
               "LAN1\tUSB\\VID_2B7A&PID_0C42&MI_00\\6&1&0&0000\n");
    const std::string lan = "pc lan0 10.10.1.2 02:00:00:00:01:02 10.10.1.255\n";
    const std::string lan1 = "pc lan1 10.10.4.2 02:00:00:00:04:02 10.10.4.15\n";
    const std::string terminal = "terminal term0 10.10.2.2 02:00:00:00:02:02 10.10.2.255\n";
    const std::string pinpad = "pinpad pin0 10.10.3.2 02:00:00:00:03:02 10.10.3.255\n";
    EXPECT_EQ(scan(dir / "rows"), lan + lan1 + terminal + pinpad);

    // Without rows the devices' adapters are LAN adapters, in the system's order.
    EXPECT_EQ(scan(dir / "missing"), lan + "pc term0 10.10.2.2 02:00:00:00:02:02 10.10.2.255\n" +
                                         "pc pin0 10.10.3.2 02:00:00:00:03:02 10.10.3.255\n" +
                                         lan1 + "pc term1 10.10.6.2 02:00:00:00:06:02 -\n");

    // Set down, or its peer set down (no carrier): gone.
    in_scan_ns("link set term0 down");
    ASSERT_EQ(sh(fmt::format("ip -n {} link set lan1p down", peer_ns)), 0);
    ASSERT_TRUE(wait_for_state("term0", false));
    ASSERT_TRUE(wait_for_state("lan1", false));
    EXPECT_EQ(scan(dir / "rows"), lan + pinpad);
}
