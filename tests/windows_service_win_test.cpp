// The service subcommands of the real tessaro.exe, run as child processes against Wine's service
// control manager and registry, and read back through the manager's own queries.
//
// Every test removes the service and the event-log source before and after itself, so a failed
// run leaves nothing behind for the next one.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/os/windows.hpp"

namespace {

constexpr const wchar_t* service_name = L"korvel-tessaro";
constexpr const wchar_t* source_key =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Korvel Tessaro";
constexpr const wchar_t* source_name = L"Korvel Tessaro";
constexpr const wchar_t* event_log_base =
    L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application";

std::string narrow(std::wstring_view text) {
    if (text.empty()) {
        return {};
    }
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size,
                        nullptr, nullptr);
    return out;
}

std::wstring module_path() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        DWORD length =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return {};
        }
        if (length < buffer.size()) {
            buffer.resize(length);
            return buffer;
        }
        buffer.resize(buffer.size() * 2);
    }
}

std::wstring parent_dir(const std::wstring& path) {
    auto slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// This test is <build>\tests\windows_service_win_test.exe; the program is
// <build>\proxy\tessaro.exe.
std::wstring built_tessaro() {
    return parent_dir(parent_dir(module_path())) + L"\\proxy\\tessaro.exe";
}

struct Handle {
    HANDLE h = nullptr;
    Handle() = default;
    explicit Handle(HANDLE handle) : h(handle) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { reset(); }
    void reset() {
        if (h != nullptr && h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
        }
        h = nullptr;
    }
};

struct ScHandle {
    SC_HANDLE h = nullptr;
    explicit ScHandle(SC_HANDLE handle) : h(handle) {}
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    ~ScHandle() {
        if (h != nullptr) {
            CloseServiceHandle(h);
        }
    }
    explicit operator bool() const { return h != nullptr; }
};

std::string read_all(HANDLE pipe) {
    std::string out;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof(buffer), &got, nullptr) && got > 0) {
        out.append(buffer, got);
    }
    return out;
}

struct ProgramRun {
    DWORD exit_code = 0xFFFFFFFF;
    std::vector<std::string> lines;  // standard output, one per log line, colour codes removed
    std::string err;
    std::chrono::milliseconds elapsed{0};
};

std::string strip_colours(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\x1b' && i + 1 < text.size() && text[i + 1] == '[') {
            i += 2;
            while (i < text.size() && text[i] != 'm') {
                ++i;
            }
            continue;
        }
        out.push_back(text[i]);
    }
    return out;
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// Runs `exe argument` with standard output and standard error on pipes; at most two minutes.
ProgramRun run_program(const std::wstring& exe, const std::wstring& argument) {
    ProgramRun run;
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    Handle out_read, out_write, err_read, err_write;
    if (!CreatePipe(&out_read.h, &out_write.h, &inherit, 0) ||
        !CreatePipe(&err_read.h, &err_write.h, &inherit, 0)) {
        ADD_FAILURE() << "CreatePipe failed: " << GetLastError();
        return run;
    }
    SetHandleInformation(out_read.h, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_read.h, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = out_write.h;
    startup.hStdError = err_write.h;
    std::wstring command_line = L"\"" + exe + L"\" " + argument;
    PROCESS_INFORMATION process{};
    auto started = std::chrono::steady_clock::now();
    if (!CreateProcessW(exe.c_str(), command_line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                        nullptr, &startup, &process)) {
        ADD_FAILURE() << "CreateProcessW failed for " << narrow(exe) << ": " << GetLastError();
        return run;
    }
    Handle process_handle(process.hProcess);
    Handle thread_handle(process.hThread);
    // Our copies of the write ends must go, or the reads never see the end of the pipes.
    out_write.reset();
    err_write.reset();

    std::string err;
    std::thread err_reader([&] { err = read_all(err_read.h); });
    std::string out = read_all(out_read.h);
    err_reader.join();
    if (WaitForSingleObject(process_handle.h, 120000) != WAIT_OBJECT_0) {
        TerminateProcess(process_handle.h, 1);
        ADD_FAILURE() << "tessaro " << narrow(argument) << " did not end";
    }
    run.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - started);
    GetExitCodeProcess(process_handle.h, &run.exit_code);
    run.lines = split_lines(strip_colours(out));
    run.err = err;
    return run;
}

// "2024-05-01 12:00:00,123 INFO  [tessaro::main_windows] text" ends with the level and the
// message; the time stamp in front is the console logger's business.
void expect_log_line(const std::vector<std::string>& lines, std::size_t index,
                     const std::string& level, const std::string& message) {
    ASSERT_LT(index, lines.size()) << "too few lines";
    std::string padded = level;
    padded.resize(std::max<std::size_t>(5, level.size()), ' ');
    std::string tail = " " + padded + " [tessaro::main_windows] " + message;
    const std::string& line = lines[index];
    EXPECT_TRUE(line.size() >= tail.size() &&
                line.compare(line.size() - tail.size(), tail.size(), tail) == 0)
        << "line " << index << ": [" << line << "], expected to end with [" << tail << "]";
}

std::optional<SERVICE_STATUS_PROCESS> query_status(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                              sizeof(status), &needed)) {
        return std::nullopt;
    }
    return status;
}

// Waits (bounded) until the service reaches `state` or stops; returns the last status.
std::optional<SERVICE_STATUS_PROCESS> wait_for_state(SC_HANDLE service, DWORD state,
                                                     std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    std::optional<SERVICE_STATUS_PROCESS> status;
    for (;;) {
        status = query_status(service);
        if (!status || status->dwCurrentState == state ||
            status->dwCurrentState == SERVICE_STOPPED ||
            std::chrono::steady_clock::now() >= deadline) {
            return status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

bool service_exists() {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScHandle service(OpenServiceW(manager.h, service_name, SERVICE_QUERY_STATUS));
    return static_cast<bool>(service);
}

bool source_key_exists() {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, source_key, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

// Stops and deletes the service and removes the source key, whatever state they are in.
void remove_installation() {
    {
        ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        ScHandle service(
            OpenServiceW(manager.h, service_name, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
        if (service) {
            auto status = query_status(service.h);
            if (status && status->dwCurrentState != SERVICE_STOPPED) {
                SERVICE_STATUS ignored{};
                ControlService(service.h, SERVICE_CONTROL_STOP, &ignored);
                wait_for_state(service.h, SERVICE_STOPPED, std::chrono::seconds(15));
            }
            DeleteService(service.h);
        }
    }
    // The manager drops a deleted service once the last handle to it is closed.
    for (int i = 0; i < 50 && service_exists(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    HKEY base = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, event_log_base, 0, KEY_READ | KEY_WRITE, &base) ==
        ERROR_SUCCESS) {
        RegDeleteTreeW(base, source_name);
        RegCloseKey(base);
    }
}

struct ServiceConfig {
    std::wstring display_name;
    std::wstring binary_path;
    std::wstring dependencies;  // with the NULs of the list
    std::wstring account;
    std::wstring description;
    DWORD service_type = 0;
    DWORD start_type = 0;
    DWORD error_control = 0;
};

std::optional<ServiceConfig> read_config() {
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScHandle service(OpenServiceW(manager.h, service_name, SERVICE_QUERY_CONFIG));
    if (!service) {
        return std::nullopt;
    }
    DWORD needed = 0;
    QueryServiceConfigW(service.h, nullptr, 0, &needed);
    std::vector<std::uint8_t> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service.h, config, needed, &needed)) {
        return std::nullopt;
    }
    ServiceConfig result;
    result.display_name = config->lpDisplayName ? config->lpDisplayName : L"";
    result.binary_path = config->lpBinaryPathName ? config->lpBinaryPathName : L"";
    result.account = config->lpServiceStartName ? config->lpServiceStartName : L"";
    for (const wchar_t* p = config->lpDependencies; p != nullptr && *p != L'\0';
         p += wcslen(p) + 1) {
        result.dependencies += p;
        result.dependencies += L'\0';
    }
    if (result.dependencies.empty()) {
        // Wine's manager stores the list but leaves it out of the query's answer; its stored
        // form is the same double-NUL-terminated list.
        wchar_t stored[256] = {};
        DWORD size = sizeof(stored) - sizeof(wchar_t);
        if (RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\korvel-tessaro",
                         L"DependOnService", RRF_RT_REG_MULTI_SZ, nullptr, stored,
                         &size) == ERROR_SUCCESS) {
            for (const wchar_t* p = stored; *p != L'\0'; p += wcslen(p) + 1) {
                result.dependencies += p;
                result.dependencies += L'\0';
            }
        }
    }
    result.service_type = config->dwServiceType;
    result.start_type = config->dwStartType;
    result.error_control = config->dwErrorControl;

    needed = 0;
    QueryServiceConfig2W(service.h, SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
    std::vector<std::uint8_t> description(needed + sizeof(SERVICE_DESCRIPTIONW));
    auto* info = reinterpret_cast<SERVICE_DESCRIPTIONW*>(description.data());
    if (QueryServiceConfig2W(service.h, SERVICE_CONFIG_DESCRIPTION, description.data(),
                             static_cast<DWORD>(description.size()), &needed) &&
        info->lpDescription != nullptr) {
        result.description = info->lpDescription;
    }
    return result;
}

std::optional<std::wstring> read_message_file() {
    wchar_t value[4096];
    DWORD size = sizeof(value);
    DWORD type = 0;
    if (RegGetValueW(HKEY_LOCAL_MACHINE, source_key, L"EventMessageFile", RRF_RT_ANY, &type, value,
                     &size) != ERROR_SUCCESS ||
        type != REG_SZ) {
        return std::nullopt;
    }
    return std::wstring(value);
}

// The quoting that a path needs on a command line; our test paths hold blanks at most.
std::wstring expected_command_line(const std::wstring& exe) {
    bool blank = exe.find(L' ') != std::wstring::npos;
    return (blank ? L"\"" + exe + L"\"" : exe) + L" service";
}

class WindowsServiceWin : public ::testing::Test {
  protected:
    void SetUp() override { remove_installation(); }
    void TearDown() override { remove_installation(); }

    const std::wstring tessaro = built_tessaro();
};

TEST_F(WindowsServiceWin, InstallRegistersTheSourceAndCreatesTheService) {
    // Run from a folder with a blank, as under the usual programs folder, so that the written
    // command line has to be quoted. The program is linked statically and runs from anywhere.
    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    std::wstring dir =
        std::wstring(temp) + L"Korvel Tessaro test " + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(dir.c_str(), nullptr);
    std::wstring exe = dir + L"\\tessaro.exe";
    ASSERT_TRUE(CopyFileW(tessaro.c_str(), exe.c_str(), FALSE)) << GetLastError();

    ProgramRun run = run_program(exe, L"install");
    EXPECT_EQ(run.exit_code, 0u);
    ASSERT_EQ(run.lines.size(), 2u) << run.err;
    expect_log_line(run.lines, 0, "INFO", "EventLog source registered");
    expect_log_line(run.lines, 1, "INFO", "Windows service installed");

    auto config = read_config();
    ASSERT_TRUE(config.has_value());
    EXPECT_EQ(config->display_name, L"Korvel Tessaro");
    EXPECT_EQ(config->description, L"Korvel Tessaro");
    EXPECT_EQ(config->service_type, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(config->start_type, static_cast<DWORD>(SERVICE_AUTO_START));
    EXPECT_EQ(config->error_control, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    EXPECT_EQ(config->dependencies, std::wstring(L"Tcpip\0", 6));
    EXPECT_EQ(config->account, L"LocalSystem");
    EXPECT_EQ(narrow(config->binary_path), narrow(L"\"" + exe + L"\" service"));

    auto message_file = read_message_file();
    ASSERT_TRUE(message_file.has_value());
    EXPECT_EQ(narrow(*message_file), narrow(exe));

    // The service must not point at the copy once it is gone.
    remove_installation();
    DeleteFileW(exe.c_str());
    RemoveDirectoryW(dir.c_str());
}

TEST_F(WindowsServiceWin, InstallOverAnInstallationRewritesTheSourceAndFailsTheService) {
    ProgramRun first = run_program(tessaro, L"install");
    ASSERT_EQ(first.exit_code, 0u);
    ASSERT_TRUE(service_exists());

    ProgramRun second = run_program(tessaro, L"install");
    EXPECT_EQ(second.exit_code, 0u);
    ASSERT_EQ(second.lines.size(), 2u) << second.err;
    expect_log_line(second.lines, 0, "INFO", "EventLog source registered");
    expect_log_line(second.lines, 1, "ERROR",
                    "Could not install Windows service: IO error in winapi call");
    // The existing service is left as it was.
    auto config = read_config();
    ASSERT_TRUE(config.has_value());
    EXPECT_EQ(narrow(config->binary_path), narrow(expected_command_line(tessaro)));
}

TEST_F(WindowsServiceWin, UninstallOfAStoppedServiceDeletesItAtOnce) {
    ASSERT_EQ(run_program(tessaro, L"install").exit_code, 0u);
    ASSERT_TRUE(service_exists());
    ASSERT_TRUE(source_key_exists());

    ProgramRun run = run_program(tessaro, L"uninstall");
    EXPECT_EQ(run.exit_code, 0u);
    ASSERT_EQ(run.lines.size(), 2u) << run.err;
    expect_log_line(run.lines, 0, "INFO", "EventLog source deregistered");
    expect_log_line(run.lines, 1, "INFO", "Windows service uninstalled");
    EXPECT_FALSE(source_key_exists());
    for (int i = 0; i < 50 && service_exists(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_FALSE(service_exists());
    // A stopped service is not waited for; the stop wait alone would take 3 s.
    EXPECT_LT(run.elapsed, std::chrono::milliseconds(3000));
}

TEST_F(WindowsServiceWin, UninstallOfNothingLogsBothFailures) {
    ProgramRun run = run_program(tessaro, L"uninstall");
    EXPECT_EQ(run.exit_code, 0u);
    ASSERT_EQ(run.lines.size(), 2u) << run.err;
    expect_log_line(
        run.lines, 0, "ERROR",
        "Could not deregister EventLog source: Provided path not found: Korvel Tessaro");
    expect_log_line(run.lines, 1, "ERROR",
                    "Could not uninstall Windows service: IO error in winapi call");
}

TEST_F(WindowsServiceWin, ServiceStartedByHandEndsWith101) {
    ProgramRun run = run_program(tessaro, L"service");
    EXPECT_EQ(run.exit_code, 101u);
    EXPECT_FALSE(run.err.empty());
    // `service` logs to the event log only.
    EXPECT_TRUE(run.lines.empty());
}

// Starts the installed service with the configuration tool's argument. Returns false when the
// service process ended without ever reporting running, which is what a build without a working
// application object does.
bool start_service_until_running(SC_HANDLE service) {
    const wchar_t* arguments[] = {L"tessaro-config"};
    if (!StartServiceW(service, 1, arguments)) {
        DWORD error = GetLastError();
        // Wine answers a service process that ends before it reports with a request time-out.
        auto status = query_status(service);
        if (error == ERROR_SERVICE_REQUEST_TIMEOUT && status &&
            status->dwCurrentState == SERVICE_STOPPED) {
            return false;
        }
        ADD_FAILURE() << "StartServiceW failed: " << error;
        return true;
    }
    auto status = wait_for_state(service, SERVICE_RUNNING, std::chrono::seconds(15));
    EXPECT_TRUE(status.has_value());
    if (status && status->dwCurrentState == SERVICE_STOPPED) {
        return false;
    }
    EXPECT_EQ(status ? status->dwCurrentState : 0u, static_cast<DWORD>(SERVICE_RUNNING));
    return true;
}

TEST_F(WindowsServiceWin, RunningServicePublishesItsStatusAndStopsOnStop) {
    ASSERT_EQ(run_program(tessaro, L"install").exit_code, 0u);
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScHandle service(OpenServiceW(manager.h, service_name,
                                  SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS |
                                      SERVICE_INTERROGATE | SERVICE_PAUSE_CONTINUE));
    ASSERT_TRUE(service);
    if (!start_service_until_running(service.h)) {
        GTEST_SKIP() << "the service ended before it ran: no application object in this build";
    }
    auto running = query_status(service.h);
    ASSERT_TRUE(running.has_value());
    EXPECT_EQ(running->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    EXPECT_EQ(running->dwControlsAccepted, static_cast<DWORD>(SERVICE_ACCEPT_STOP));

    // The first record: version 1, second byte 0, both proxies not connected, check value.
    {
        Handle section(OpenFileMappingA(FILE_MAP_READ, FALSE, "Global\\Korvel-QM4410-LAN-Proxy"));
        ASSERT_NE(section.h, nullptr) << GetLastError();
        const void* view = MapViewOfFile(section.h, FILE_MAP_READ, 0, 0, 4096);
        ASSERT_NE(view, nullptr);
        const std::uint8_t expected[] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                         0x00, 0xE6, 0x80, 0x14, 0x7B, 0x2E, 0x7E, 0x8F, 0x36};
        EXPECT_EQ(std::vector<std::uint8_t>(static_cast<const std::uint8_t*>(view),
                                            static_cast<const std::uint8_t*>(view) + 18),
                  std::vector<std::uint8_t>(std::begin(expected), std::end(expected)));
        UnmapViewOfFile(view);
    }

    SERVICE_STATUS answer{};
    EXPECT_TRUE(ControlService(service.h, SERVICE_CONTROL_INTERROGATE, &answer)) << GetLastError();
    // Pause is not among the accepted controls: the manager refuses it and the service runs on.
    EXPECT_FALSE(ControlService(service.h, SERVICE_CONTROL_PAUSE, &answer));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_SERVICE_CONTROL));
    EXPECT_EQ(query_status(service.h)->dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));

    ASSERT_TRUE(ControlService(service.h, SERVICE_CONTROL_STOP, &answer)) << GetLastError();
    auto stopped = wait_for_state(service.h, SERVICE_STOPPED, std::chrono::seconds(15));
    ASSERT_TRUE(stopped.has_value());
    EXPECT_EQ(stopped->dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(stopped->dwWin32ExitCode, 0u);
    EXPECT_EQ(stopped->dwServiceSpecificExitCode, 0u);
}

TEST_F(WindowsServiceWin, UninstallOfARunningServiceStopsWaitsAndDeletes) {
    ASSERT_EQ(run_program(tessaro, L"install").exit_code, 0u);
    {
        ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
        ScHandle service(
            OpenServiceW(manager.h, service_name, SERVICE_START | SERVICE_QUERY_STATUS));
        ASSERT_TRUE(service);
        if (!start_service_until_running(service.h)) {
            GTEST_SKIP() << "the service ended before it ran: no application object in this build";
        }
    }
    ProgramRun run = run_program(tessaro, L"uninstall");
    EXPECT_EQ(run.exit_code, 0u);
    ASSERT_EQ(run.lines.size(), 2u) << run.err;
    expect_log_line(run.lines, 0, "INFO", "EventLog source deregistered");
    expect_log_line(run.lines, 1, "INFO", "Windows service uninstalled");
    EXPECT_GE(run.elapsed, std::chrono::milliseconds(3000));
    for (int i = 0; i < 100 && service_exists(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_FALSE(service_exists());
}

}  // namespace
