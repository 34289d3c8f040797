// The POSIX stand-in for WMI and the system's adapter list, so that the adapter scan runs on
// Linux with the inputs Windows would give it.
//
// Rows: one per USB network interface found in sysfs, with the PNPDeviceID that Windows gives a
// function of a USB device, plus the lines of the file named by $TESSARO_WMI_ROWS, through which
// tests and demos declare any interface (a veth, say) to be a device's adapter. The WQL text is
// not interpreted: the stand-in's rows are what the query would select, and the scan's own
// byte-exact test decides anyway.
//
// Adapters: getifaddrs (links, IPv4 and IPv6 addresses, MAC) and sysfs (operational state), in
// the order in which the kernel lists the links.
#include "common/os/wmi.hpp"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <sys/socket.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>

#include <fmt/format.h>

#include "common/os/system_error.hpp"
#include "common/os/wmi_posix.hpp"

namespace tessaro::os {

namespace {

// A rows file is a handful of lines written by a test; anything this large is a mistake.
constexpr std::size_t MAX_ROWS_FILE_BYTES = 1 << 20;

std::optional<std::string> read_line_file(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) {
        return std::nullopt;
    }
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) {
        line.pop_back();
    }
    return line;
}

bool is_hex(std::string_view text, std::size_t digits) {
    return text.size() == digits && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
           });
}

std::string upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

class StandInWmiConnection final : public WmiConnection {
  public:
    Result<std::vector<AdapterRow>> query_adapter_rows(std::string_view /*wql*/) override {
        std::vector<AdapterRow> rows = posix::usb_adapter_rows("/sys/class/net");
        const char* file = std::getenv("TESSARO_WMI_ROWS");
        if (file != nullptr && *file != '\0') {
            auto extra = posix::rows_file(file);
            if (!extra.has_value()) {
                return std::unexpected(extra.error());
            }
            rows.insert(rows.end(), std::make_move_iterator(extra->begin()),
                        std::make_move_iterator(extra->end()));
        }
        return rows;
    }
};

struct IfaddrsDeleter {
    void operator()(ifaddrs* list) const { freeifaddrs(list); }
};

// getifaddrs names an IPv4 address by its label, which is the link's name or "<link>:<alias>";
// ':' is not allowed in link names, so the part before it is the link.
std::string link_name(const char* name) {
    std::string text(name);
    if (auto colon = text.find(':'); colon != std::string::npos) {
        text.resize(colon);
    }
    return text;
}

Ipv4Addr ipv4_of(const sockaddr* address) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(address);
    return Ipv4Addr::from_u32(ntohl(in->sin_addr.s_addr));
}

// Windows' IfOperStatusUp. Linux reports "unknown" for links whose driver does not track the
// carrier (dummy and some other virtual links); the kernel counts those as running (IFF_RUNNING),
// and so do we when the link is also administratively up. Where the link's sysfs entry is not
// visible (a network namespace entered without mounting its own sysfs) the flags decide alone.
bool oper_status_up(const std::string& name, unsigned flags) {
    bool running = (flags & IFF_UP) != 0 && (flags & IFF_RUNNING) != 0;
    auto state = read_line_file(std::filesystem::path("/sys/class/net") / name / "operstate");
    if (!state.has_value()) {
        return running;
    }
    return *state == "up" || (*state == "unknown" && running);
}

}  // namespace

namespace posix {

std::vector<AdapterRow> usb_adapter_rows(const std::filesystem::path& class_net) {
    std::vector<AdapterRow> rows;
    std::error_code ec;
    std::filesystem::directory_iterator it(class_net, ec);
    if (ec) {
        return rows;
    }
    for (const auto& entry : it) {
        // The device of a USB network interface is the USB interface (bInterfaceNumber); its
        // parent directory is the USB device (idVendor, idProduct).
        std::error_code link_ec;
        auto function = std::filesystem::canonical(entry.path() / "device", link_ec);
        if (link_ec) {
            continue;
        }
        auto number = read_line_file(function / "bInterfaceNumber");
        auto vendor = read_line_file(function.parent_path() / "idVendor");
        auto product = read_line_file(function.parent_path() / "idProduct");
        if (!number || !vendor || !product || !is_hex(*number, 2) || !is_hex(*vendor, 4) ||
            !is_hex(*product, 4)) {
            continue;
        }
        rows.push_back(
            AdapterRow{entry.path().filename().string(),
                       fmt::format("USB\\VID_{}&PID_{}&MI_{}\\{}", upper(*vendor), upper(*product),
                                   upper(*number), upper(function.filename().string()))});
    }
    std::sort(rows.begin(), rows.end(),
              [](const AdapterRow& a, const AdapterRow& b) { return a.guid < b.guid; });
    return rows;
}

Result<std::vector<AdapterRow>> rows_file(const std::filesystem::path& path) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                         &std::fclose);
    if (!file) {
        int error = errno;
        return fail(fmt::format("Could not open WMI rows file {}: {}", path.string(),
                                system_error_text(static_cast<std::uint32_t>(error))));
    }
    std::string content;
    char buffer[4096];
    while (true) {
        std::size_t n = std::fread(buffer, 1, sizeof buffer, file.get());
        if (n == 0) {
            if (std::ferror(file.get())) {
                int error = errno;
                return fail(fmt::format("Could not read WMI rows file {}: {}", path.string(),
                                        system_error_text(static_cast<std::uint32_t>(error))));
            }
            break;
        }
        if (content.size() + n > MAX_ROWS_FILE_BYTES) {
            return fail(fmt::format("WMI rows file {} is larger than {} bytes", path.string(),
                                    MAX_ROWS_FILE_BYTES));
        }
        content.append(buffer, n);
    }

    std::vector<AdapterRow> rows;
    std::size_t line_number = 0;
    std::size_t pos = 0;
    while (pos < content.size()) {
        std::size_t end = content.find('\n', pos);
        if (end == std::string::npos) {
            end = content.size();
        }
        std::string_view line(content.data() + pos, end - pos);
        pos = end + 1;
        ++line_number;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.find_first_not_of(" \t") == std::string_view::npos) {
            continue;
        }
        std::size_t tab = line.find('\t');
        if (tab == std::string_view::npos) {
            return fail(
                fmt::format("WMI rows file {}, line {}: no tab between guid and PNPDeviceID",
                            path.string(), line_number));
        }
        AdapterRow row;
        if (tab != 0) {
            row.guid = std::string(line.substr(0, tab));
        }
        row.PNPDeviceID = std::string(line.substr(tab + 1));
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace posix

Result<std::unique_ptr<WmiConnection>> WmiConnection::connect_service() {
    return std::make_unique<StandInWmiConnection>();
}

Result<std::unique_ptr<WmiConnection>> WmiConnection::connect_in_apartment() {
    return std::make_unique<StandInWmiConnection>();
}

Result<std::vector<SystemAdapter>> list_adapters() {
    ifaddrs* raw = nullptr;
    if (getifaddrs(&raw) != 0) {
        int error = errno;
        return fail("getifaddrs failed: " + system_error_text(static_cast<std::uint32_t>(error)));
    }
    std::unique_ptr<ifaddrs, IfaddrsDeleter> list(raw);

    std::vector<SystemAdapter> adapters;
    std::vector<unsigned> flags;
    auto adapter_of = [&](const std::string& name, unsigned link_flags) -> SystemAdapter& {
        for (std::size_t i = 0; i < adapters.size(); ++i) {
            if (adapters[i].adapter_name == name) {
                return adapters[i];
            }
        }
        SystemAdapter& added = adapters.emplace_back();
        added.adapter_name = name;
        added.friendly_name = name;
        flags.push_back(link_flags);
        return added;
    };

    // The links come first (AF_PACKET, in index order), then the IPv4 and the IPv6 addresses.
    for (const ifaddrs* item = list.get(); item != nullptr; item = item->ifa_next) {
        if (item->ifa_name == nullptr || item->ifa_addr == nullptr) {
            continue;
        }
        // GetAdaptersAddresses lists Windows' loopback pseudo-adapter, but it never reaches the
        // scan there (its one address is excluded). Linux lets any IPv4 address be put on `lo`,
        // which would make it a LAN adapter and the first choice of an Automatic selection.
        if ((item->ifa_flags & IFF_LOOPBACK) != 0) {
            continue;
        }
        SystemAdapter& adapter = adapter_of(link_name(item->ifa_name), item->ifa_flags);
        switch (item->ifa_addr->sa_family) {
            case AF_PACKET: {
                const auto* link = reinterpret_cast<const sockaddr_ll*>(item->ifa_addr);
                std::size_t length = std::min<std::size_t>(link->sll_halen, sizeof link->sll_addr);
                adapter.physical_address.assign(link->sll_addr, link->sll_addr + length);
                break;
            }
            case AF_INET: {
                Ipv4Addr address = ipv4_of(item->ifa_addr);
                adapter.unicast.push_back(AdapterAddress{address});
                // Windows lists the on-link network as a prefix; here it is address AND mask.
                if (item->ifa_netmask != nullptr) {
                    std::uint32_t mask = ipv4_of(item->ifa_netmask).to_u32();
                    adapter.prefixes.push_back(
                        AdapterPrefix{Ipv4Addr::from_u32(address.to_u32() & mask),
                                      static_cast<std::uint8_t>(std::popcount(mask))});
                }
                break;
            }
            case AF_INET6:
                adapter.unicast.push_back(AdapterAddress{std::nullopt});
                break;
            default:
                break;
        }
    }
    for (std::size_t i = 0; i < adapters.size(); ++i) {
        adapters[i].oper_status_up = oper_status_up(adapters[i].adapter_name, flags[i]);
    }
    return adapters;
}

}  // namespace tessaro::os
