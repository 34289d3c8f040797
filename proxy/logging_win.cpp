// Windows: the console, mintty's pseudo-terminal pipes and the event log.
#include "proxy/logging.hpp"

#include "common/os/system_error.hpp"
#include "common/os/unique_handle.hpp"
#include "common/os/windows.hpp"

#include <memory>
#include <string>

namespace tessaro::logging {

namespace {

std::wstring to_wide(std::string_view text) {
    if (text.empty()) {
        return {};
    }
    // Bytes that are no UTF-8 become U+FFFD.
    int size =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0) {
        return {};
    }
    std::wstring result(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(),
                        size);
    return result;
}

bool is_console(DWORD std_handle) {
    HANDLE handle = GetStdHandle(std_handle);
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

// mintty (MSYS, Cygwin, Git Bash) hands its programs named pipes, not consoles; the pipe's name
// tells them apart from any other pipe, e.g. "\msys-1888ae32e00d56aa-pty0-to-master".
bool is_pseudo_terminal_pipe(HANDLE handle) {
    constexpr DWORD name_capacity = MAX_PATH;
    alignas(FILE_NAME_INFO) unsigned char
        buffer[sizeof(FILE_NAME_INFO) + name_capacity * sizeof(WCHAR)] = {};
    if (!GetFileInformationByHandleEx(handle, FileNameInfo, buffer, sizeof(buffer))) {
        return false;
    }
    const auto* info = reinterpret_cast<const FILE_NAME_INFO*>(buffer);
    std::wstring_view name(info->FileName, info->FileNameLength / sizeof(WCHAR));
    bool msys_or_cygwin = name.find(L"msys-") != std::wstring_view::npos ||
                          name.find(L"cygwin-") != std::wstring_view::npos;
    return msys_or_cygwin && name.find(L"-pty") != std::wstring_view::npos;
}

// The open event source; closed with the last reporter that holds it.
struct EventSourceTraits {
    using handle_type = HANDLE;
    static handle_type invalid() { return nullptr; }
    static void close(handle_type source) { DeregisterEventSource(source); }
};
using EventSource = os::UniqueHandle<EventSourceTraits>;

}  // namespace

bool stdout_is_terminal() {
    if (is_console(STD_OUTPUT_HANDLE)) {
        return true;
    }
    // When another standard stream is a console, the program runs in a console and not in
    // mintty, so standard output is redirected.
    if (is_console(STD_INPUT_HANDLE) || is_console(STD_ERROR_HANDLE)) {
        return false;
    }
    HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && is_pseudo_terminal_pipe(handle);
}

void enable_virtual_terminal() {
    HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD mode = 0;
    if (!GetConsoleMode(handle, &mode)) {
        return;
    }
    // A console too old for the sequences refuses the mode; the lines then show them as text.
    SetConsoleMode(handle, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

std::tm local_time(std::time_t time) {
    std::tm result{};
    localtime_s(&result, &time);
    return result;
}

void write_stdout(std::string_view line) {
    HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return;  // a service or a detached process: nowhere to write
    }
    DWORD mode = 0;
    if (GetConsoleMode(handle, &mode)) {
        std::wstring wide = to_wide(line);
        DWORD written = 0;
        WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    DWORD written = 0;
    WriteFile(handle, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

Result<EventReporter> open_event_source(std::string_view source_name) {
    std::wstring name = to_wide(source_name);
    HANDLE handle = RegisterEventSourceW(nullptr, name.c_str());
    if (handle == nullptr) {
        DWORD code = GetLastError();
        return fail("Could not open the event log source \"" + std::string(source_name) +
                    "\": " + os::system_error_text(code));
    }
    auto source = std::make_shared<EventSource>(handle);
    return EventReporter([source](EventKind kind, std::string_view message) {
        std::u16string units = event_insertion_text(message);
        // wchar_t is UTF-16 on Windows.
        std::wstring text(units.begin(), units.end());
        LPCWSTR strings[] = {text.c_str()};
        // Nothing to do when reporting fails: there is no other place to say so.
        ReportEventW(source->get(), kind.type, 0, kind.id, nullptr, 1, 0, strings, nullptr);
    });
}

}  // namespace tessaro::logging
