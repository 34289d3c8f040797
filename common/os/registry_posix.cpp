// The registry seam's stand-in on POSIX: HKEY_LOCAL_MACHINE lives in one text file in the format
// of registry export files, so that an administrator can read and edit it and tests can prepare
// it:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Korvel\Tessaro]
//   "pc-sicct-port"=dword:0000138c
//   "pc-interface"="{4D36E972-E325-11CE-BFC1-08002BE10318}"
//   "raw"=hex(7):61,00,00,00,00,00
//
// Texts are UTF-8 in the file. A REG_SZ is written in quotes only when it reads back as exactly
// the same bytes (one terminating NUL, valid UTF-16, no control characters); any other data keeps
// its bytes as hex(1). Every operation reads the file again, since the configuration tool and
// the service are separate processes; a write replaces the file atomically (temporary file and
// rename in the same folder). A file that cannot be read or parsed counts as holding no keys and
// is never overwritten: writes then fail and say why, so that nothing in it is lost. Two writers
// at the same moment may lose one's update; only the configuration tool writes.
#include "common/os/registry.hpp"

#include "common/mac_address.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

#include "common/os/system_error.hpp"

namespace tessaro::os {

namespace {

constexpr std::string_view HEADER = "Windows Registry Editor Version 5.00";
constexpr std::string_view ROOT = "HKEY_LOCAL_MACHINE";
constexpr std::string_view DEFAULT_FILE = "/etc/tessaro/registry.reg";
// Far above any real settings file; keeps a stray huge file from costing unbounded memory.
constexpr std::uintmax_t MAX_FILE_SIZE = 16 * 1024 * 1024;

constexpr std::uint32_t KEY_QUERY_VALUE_RIGHT = 0x0001;
constexpr std::uint32_t KEY_SET_VALUE_RIGHT = 0x0002;

struct NamedValue {
    std::string name;
    RegistryValue value;
};

struct Section {
    std::string path;  // with the root, "HKEY_LOCAL_MACHINE\SOFTWARE\..."
    std::vector<NamedValue> values;
};

struct Document {
    std::vector<Section> sections;
};

char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

// Registry names ignore case; the stand-in folds ASCII letters only.
bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (ascii_lower(a[i]) != ascii_lower(b[i])) {
            return false;
        }
    }
    return true;
}

// `path` is `ancestor` itself or lies below it.
bool is_within(std::string_view path, std::string_view ancestor) {
    if (path.size() == ancestor.size()) {
        return same_name(path, ancestor);
    }
    return path.size() > ancestor.size() && path[ancestor.size()] == '\\' &&
           same_name(path.substr(0, ancestor.size()), ancestor);
}

bool has_control_character(std::string_view text) {
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) {
            return true;
        }
    }
    return false;
}

std::string registry_file() {
    const char* env = std::getenv("TESSARO_REGISTRY_FILE");
    return env != nullptr && *env != '\0' ? std::string(env) : std::string(DEFAULT_FILE);
}

// ---- parsing -------------------------------------------------------------------------------

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    return s;
}

// A quoted text with the escapes \\ and \" at the start of `s`; `s` is left after the closing
// quote.
std::optional<std::string> parse_quoted(std::string_view& s) {
    if (s.empty() || s.front() != '"') {
        return std::nullopt;
    }
    std::string out;
    for (std::size_t i = 1; i < s.size(); ++i) {
        char c = s[i];
        if (c == '"') {
            s.remove_prefix(i + 1);
            return out;
        }
        if (c == '\\') {
            if (i + 1 >= s.size() || (s[i + 1] != '\\' && s[i + 1] != '"')) {
                return std::nullopt;
            }
            out += s[++i];
        } else {
            out += c;
        }
    }
    return std::nullopt;
}

std::optional<std::uint32_t> parse_hex_number(std::string_view s) {
    if (s.empty() || s.size() > 8) {
        return std::nullopt;
    }
    std::uint32_t n = 0;
    for (char c : s) {
        int d = hex_digit_value(c);
        if (d < 0) {
            return std::nullopt;
        }
        n = (n << 4) | static_cast<std::uint32_t>(d);
    }
    return n;
}

std::optional<std::vector<std::uint8_t>> parse_hex_bytes(std::string_view s) {
    std::vector<std::uint8_t> bytes;
    s = trim(s);
    if (s.empty()) {
        return bytes;
    }
    std::size_t start = 0;
    while (true) {
        std::size_t comma = s.find(',', start);
        std::string_view part =
            trim(s.substr(start, comma == std::string_view::npos ? s.npos : comma - start));
        // A trailing comma is allowed (wrapped lines end with one).
        if (part.empty() && comma == std::string_view::npos && !bytes.empty()) {
            break;
        }
        if (part.empty() || part.size() > 2) {
            return std::nullopt;
        }
        auto n = parse_hex_number(part);
        if (!n) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<std::uint8_t>(*n));
        if (comma == std::string_view::npos) {
            break;
        }
        start = comma + 1;
    }
    return bytes;
}

std::optional<RegistryValue> parse_data(std::string_view s) {
    RegistryValue value;
    if (!s.empty() && s.front() == '"') {
        auto text = parse_quoted(s);
        if (!text || !trim(s).empty()) {
            return std::nullopt;
        }
        return RegistryValue::from_string(*text);
    }
    s = trim(s);
    if (s.starts_with("dword:")) {
        auto n = parse_hex_number(s.substr(6));
        if (!n) {
            return std::nullopt;
        }
        return RegistryValue::from_dword(*n);
    }
    if (s.starts_with("hex:")) {
        value.type = REG_BINARY_TYPE;
        s.remove_prefix(4);
    } else if (s.starts_with("hex(")) {
        std::size_t close = s.find("):");
        if (close == std::string_view::npos) {
            return std::nullopt;
        }
        auto type = parse_hex_number(s.substr(4, close - 4));
        if (!type) {
            return std::nullopt;
        }
        value.type = *type;
        s.remove_prefix(close + 2);
    } else {
        return std::nullopt;
    }
    auto bytes = parse_hex_bytes(s);
    if (!bytes) {
        return std::nullopt;
    }
    value.data = std::move(*bytes);
    return value;
}

std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        std::string_view line =
            text.substr(start, end == std::string_view::npos ? text.npos : end - start);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        lines.push_back(line);
        if (end == std::string_view::npos) {
            break;
        }
        start = end + 1;
    }
    return lines;
}

void put_value(Section& section, std::string name, RegistryValue value) {
    for (NamedValue& v : section.values) {
        if (same_name(v.name, name)) {
            v.value = std::move(value);
            return;
        }
    }
    section.values.push_back({std::move(name), std::move(value)});
}

Section& section_for(Document& doc, std::string_view path) {
    for (Section& s : doc.sections) {
        if (same_name(s.path, path)) {
            return s;
        }
    }
    doc.sections.push_back({std::string(path), {}});
    return doc.sections.back();
}

Result<Document> parse_document(std::string_view text) {
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    std::vector<std::string_view> lines = split_lines(text);
    Document doc;
    bool header_seen = false;
    Section* current = nullptr;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::size_t line_number = i + 1;
        auto malformed = [&](std::string_view what) {
            return fail(fmt::format("line {}: {}", line_number, what));
        };
        std::string_view line = trim(lines[i]);
        if (line.empty() || line.front() == ';') {
            continue;
        }
        if (!header_seen) {
            if (line != HEADER) {
                return malformed(
                    "the file does not start with \"Windows Registry Editor Version 5.00\"");
            }
            header_seen = true;
            continue;
        }
        if (line.front() == '[') {
            if (line.back() != ']' || line.size() < 3 || line[1] == '-') {
                return malformed("malformed key line");
            }
            current = &section_for(doc, line.substr(1, line.size() - 2));
            continue;
        }
        if (current == nullptr) {
            return malformed("a value outside of any key");
        }
        std::string name;
        std::string_view rest = line;
        if (rest.front() == '@') {
            rest.remove_prefix(1);
        } else {
            auto quoted = parse_quoted(rest);
            if (!quoted) {
                return malformed("malformed value name");
            }
            name = std::move(*quoted);
        }
        rest = trim(rest);
        if (rest.empty() || rest.front() != '=') {
            return malformed("missing \"=\" after the value name");
        }
        rest = trim(rest.substr(1));
        // Long hex data continues on the next lines after a trailing "\".
        std::string joined;
        if (rest.starts_with("hex")) {
            joined = std::string(rest);
            while (!joined.empty() && joined.back() == '\\') {
                joined.pop_back();
                if (++i >= lines.size()) {
                    return malformed("hex data continues past the end of the file");
                }
                joined += trim(lines[i]);
            }
            rest = joined;
        }
        auto value = parse_data(rest);
        if (!value) {
            return malformed("malformed value data");
        }
        put_value(*current, std::move(name), std::move(*value));
    }
    if (!header_seen) {
        return fail("the file does not start with \"Windows Registry Editor Version 5.00\"");
    }
    return doc;
}

// ---- writing -------------------------------------------------------------------------------

std::string quote_text(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
        }
        out += c;
    }
    out += '"';
    return out;
}

std::string hex_bytes(const std::vector<std::uint8_t>& data) {
    std::string out;
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (i != 0) {
            out += ',';
        }
        out += fmt::format("{:02x}", data[i]);
    }
    return out;
}

std::string format_data(const RegistryValue& value) {
    if (value.type == REG_SZ_TYPE) {
        auto text = value.string_value();
        if (text && !has_control_character(*text) && RegistryValue::from_string(*text) == value) {
            return quote_text(*text);
        }
    }
    if (value.type == REG_DWORD_TYPE && value.data.size() == 4) {
        return fmt::format("dword:{:08x}", *value.dword_value());
    }
    if (value.type == REG_BINARY_TYPE) {
        return "hex:" + hex_bytes(value.data);
    }
    return fmt::format("hex({:x}):{}", value.type, hex_bytes(value.data));
}

std::string format_document(const Document& doc) {
    std::string out = std::string(HEADER) + "\n";
    for (const Section& s : doc.sections) {
        out += "\n[" + s.path + "]\n";
        for (const NamedValue& v : s.values) {
            out += v.name.empty() ? std::string("@") : quote_text(v.name);
            out += '=';
            out += format_data(v.value);
            out += '\n';
        }
    }
    return out;
}

// ---- the file ------------------------------------------------------------------------------

// A missing file is an empty registry; one that cannot be read or parsed is an error.
Result<Document> load_document(const std::string& file) {
    std::error_code ec;
    auto status = std::filesystem::status(file, ec);
    if (ec && ec != std::errc::no_such_file_or_directory) {
        return fail(fmt::format("Could not read registry file '{}': {}", file,
                                system_error_text(static_cast<std::uint32_t>(ec.value()))));
    }
    if (!std::filesystem::exists(status)) {
        return Document{};
    }
    if (!std::filesystem::is_regular_file(status)) {
        return fail(fmt::format("Could not read registry file '{}': not a regular file", file));
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        int err = errno;
        return fail(fmt::format("Could not read registry file '{}': {}", file,
                                system_error_text(static_cast<std::uint32_t>(err))));
    }
    std::string text;
    char buffer[8192];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, static_cast<std::size_t>(in.gcount()));
        if (text.size() > MAX_FILE_SIZE) {
            return fail(fmt::format("Could not read registry file '{}': larger than {} bytes", file,
                                    MAX_FILE_SIZE));
        }
    }
    if (in.bad()) {
        return fail(fmt::format("Could not read registry file '{}': read error", file));
    }
    auto doc = parse_document(text);
    if (!doc) {
        return fail(
            Error::caused(fmt::format("Malformed registry file '{}': ", file), doc.error()));
    }
    return doc;
}

VoidResult store_document(const std::string& file, const Document& doc) {
    auto error = [&file](int err) {
        return fail(fmt::format("Could not write registry file '{}': {}", file,
                                system_error_text(static_cast<std::uint32_t>(err))));
    };
    std::filesystem::path target(file);
    if (target.has_parent_path()) {
        std::error_code ec;
        std::filesystem::create_directories(target.parent_path(), ec);
        if (ec) {
            return error(ec.value());
        }
    }
    // The temporary file lies in the same folder, so that the rename replaces the file in one
    // step and a reader sees either the old or the new file, never a part.
    std::string temp = file + ".XXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0) {
        return error(errno);
    }
    const std::string text = format_document(doc);
    std::size_t written = 0;
    int err = 0;
    if (fchmod(fd, 0644) != 0) {
        err = errno;
    }
    while (err == 0 && written < text.size()) {
        ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            err = errno;
        } else {
            written += static_cast<std::size_t>(n);
        }
    }
    if (err == 0 && fsync(fd) != 0) {
        err = errno;
    }
    if (::close(fd) != 0 && err == 0) {
        err = errno;
    }
    if (err == 0 && std::rename(temp.c_str(), file.c_str()) != 0) {
        err = errno;
    }
    if (err != 0) {
        ::unlink(temp.c_str());
        return error(err);
    }
    return {};
}

// ---- keys ----------------------------------------------------------------------------------

std::string full_path(std::string_view path) {
    return fmt::format("{}\\{}", ROOT, path);
}

VoidResult check_path(std::string_view path) {
    bool bad = path.empty() || path.front() == '\\' || path.back() == '\\' ||
               path.find("\\\\") != std::string_view::npos || has_control_character(path);
    if (bad) {
        return fail(fmt::format("invalid key path '{}'", path));
    }
    return {};
}

// The key exists when it has a section or any key below it has one (importing a file creates
// every key above a section).
bool key_exists(const Document& doc, std::string_view full) {
    for (const Section& s : doc.sections) {
        if (is_within(s.path, full)) {
            return true;
        }
    }
    return false;
}

const Section* find_section(const Document& doc, std::string_view full) {
    for (const Section& s : doc.sections) {
        if (same_name(s.path, full)) {
            return &s;
        }
    }
    return nullptr;
}

RegistryError value_error(RegistryErrorKind kind, std::string_view operation, std::string_view name,
                          std::string_view why) {
    return RegistryError(kind, fmt::format("{} '{}': {}", operation, name, why));
}

class PosixRegistryKey final : public RegistryKey {
  public:
    PosixRegistryKey(std::string file, std::string full, std::uint32_t access)
        : file_(std::move(file)), full_(std::move(full)), access_(access) {}

    std::optional<RegistryValue> query(std::string_view name) const override {
        if ((access_ & KEY_QUERY_VALUE_RIGHT) == 0) {
            return std::nullopt;
        }
        auto doc = load_document(file_);
        if (!doc) {
            return std::nullopt;
        }
        const Section* section = find_section(*doc, full_);
        if (section == nullptr) {
            return std::nullopt;
        }
        for (const NamedValue& v : section->values) {
            if (same_name(v.name, name)) {
                return v.value;
            }
        }
        return std::nullopt;
    }

    RegistryVoidResult set(std::string_view name, const RegistryValue& value) override {
        constexpr std::string_view op = "Could not set registry value";
        if ((access_ & KEY_SET_VALUE_RIGHT) == 0) {
            return std::unexpected(value_error(RegistryErrorKind::AccessDenied, op, name,
                                               "the key was not opened for writing"));
        }
        if (has_control_character(name)) {
            return std::unexpected(value_error(RegistryErrorKind::Other, op, name,
                                               "the name holds a control character"));
        }
        auto doc = load_document(file_);
        if (!doc) {
            return std::unexpected(
                value_error(RegistryErrorKind::Other, op, name, doc.error().message()));
        }
        if (!key_exists(*doc, full_)) {
            return std::unexpected(
                value_error(RegistryErrorKind::Other, op, name, "the key has been deleted"));
        }
        put_value(section_for(*doc, full_), std::string(name), value);
        if (auto stored = store_document(file_, *doc); !stored) {
            return std::unexpected(
                value_error(RegistryErrorKind::Other, op, name, stored.error().message()));
        }
        return {};
    }

    RegistryVoidResult remove(std::string_view name) override {
        constexpr std::string_view op = "Could not delete registry value";
        if ((access_ & KEY_SET_VALUE_RIGHT) == 0) {
            return std::unexpected(value_error(RegistryErrorKind::AccessDenied, op, name,
                                               "the key was not opened for writing"));
        }
        auto doc = load_document(file_);
        if (!doc) {
            return std::unexpected(
                value_error(RegistryErrorKind::Other, op, name, doc.error().message()));
        }
        auto section = std::find_if(doc->sections.begin(), doc->sections.end(),
                                    [this](const Section& s) { return same_name(s.path, full_); });
        if (section == doc->sections.end()) {
            return std::unexpected(
                value_error(RegistryErrorKind::NotFound, op, name, "no such value"));
        }
        auto& values = section->values;
        auto it = std::find_if(values.begin(), values.end(),
                               [&](const NamedValue& v) { return same_name(v.name, name); });
        if (it == values.end()) {
            return std::unexpected(
                value_error(RegistryErrorKind::NotFound, op, name, "no such value"));
        }
        values.erase(it);
        if (auto stored = store_document(file_, *doc); !stored) {
            return std::unexpected(
                value_error(RegistryErrorKind::Other, op, name, stored.error().message()));
        }
        return {};
    }

  private:
    std::string file_;
    std::string full_;
    std::uint32_t access_;
};

// The document of the registry file, after checking the key path that an operation names.
Result<Document> document_for(std::string_view path, const std::string& file) {
    if (auto valid = check_path(path); !valid) {
        return fail(valid.error());
    }
    return load_document(file);
}

}  // namespace

RegistryResult<std::unique_ptr<RegistryKey>> open_local_machine_key(std::string_view path,
                                                                    std::uint32_t access) {
    auto error = [path](std::string_view why, RegistryErrorKind kind = RegistryErrorKind::Other) {
        return std::unexpected(
            RegistryError(kind, fmt::format("Could not open registry key '{}': {}", path, why)));
    };
    const std::string file = registry_file();
    auto doc = document_for(path, file);
    if (!doc) {
        return error(doc.error().message());
    }
    std::string full = full_path(path);
    if (!key_exists(*doc, full)) {
        return error(fmt::format("the key does not exist in '{}'", file),
                     RegistryErrorKind::NotFound);
    }
    return std::make_unique<PosixRegistryKey>(file, std::move(full), access);
}

RegistryResult<std::unique_ptr<RegistryKey>> create_local_machine_key(std::string_view path,
                                                                      std::uint32_t access) {
    auto error = [path](std::string_view why) {
        return std::unexpected(
            RegistryError(RegistryErrorKind::Other,
                          fmt::format("Could not create registry key '{}': {}", path, why)));
    };
    const std::string file = registry_file();
    auto doc = document_for(path, file);
    if (!doc) {
        return error(doc.error().message());
    }
    std::string full = full_path(path);
    if (!key_exists(*doc, full)) {
        // Every missing key above gets its own section, as an export lists them.
        for (std::size_t pos = path.find('\\'); pos != std::string_view::npos;
             pos = path.find('\\', pos + 1)) {
            std::string ancestor = full_path(path.substr(0, pos));
            if (!key_exists(*doc, ancestor)) {
                section_for(*doc, ancestor);
            }
        }
        section_for(*doc, full);
        if (auto stored = store_document(file, *doc); !stored) {
            return error(stored.error().message());
        }
    }
    return std::make_unique<PosixRegistryKey>(file, std::move(full), access);
}

RegistryVoidResult delete_local_machine_tree(std::string_view path, std::string_view subkey) {
    const std::string name = fmt::format("{}\\{}", path, subkey);
    auto error = [&name](std::string_view why, RegistryErrorKind kind = RegistryErrorKind::Other) {
        return std::unexpected(
            RegistryError(kind, fmt::format("Could not delete registry key '{}': {}", name, why)));
    };
    const std::string file = registry_file();
    auto doc = document_for(name, file);
    if (!doc) {
        return error(doc.error().message());
    }
    const std::string full = full_path(name);
    if (!key_exists(*doc, full)) {
        return error(fmt::format("the key does not exist in '{}'", file),
                     RegistryErrorKind::NotFound);
    }
    std::erase_if(doc->sections, [&full](const Section& s) { return is_within(s.path, full); });
    if (auto stored = store_document(file, *doc); !stored) {
        return error(stored.error().message());
    }
    return {};
}

}  // namespace tessaro::os
