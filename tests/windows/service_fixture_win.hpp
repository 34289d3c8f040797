// The configuration tool beside the real service program (TESSARO_EXE, a Unix path from the
// build): the service "korvel-tessaro" installed and removed by the program's own subcommands and
// read back through the service control manager, a console run of the program as a child, and
// the settings key read back value by value. Every test starts and ends without the service, so
// a failed run leaves nothing behind for the next one.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <string>

#include "tests/run_program_win.hpp"
#include "tests/windows/gui_driver_win.hpp"
#include "tests/windows/tool_fixture_win.hpp"

namespace tessaro::gui_test {

// Runs `tessaro.exe <subcommand>` and waits for it, at most two minutes; its output is dropped.
inline DWORD run_tessaro(const wchar_t* subcommand) {
    return test::run_program(windows_path(TESSARO_EXE), subcommand);
}

// The service's state and process as the manager reports them; none while it is not installed.
struct ServiceState {
    DWORD state = 0;
    DWORD pid = 0;
};

inline std::optional<ServiceState> query_service() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        return std::nullopt;
    }
    SC_HANDLE service = OpenServiceW(manager, L"korvel-tessaro", SERVICE_QUERY_STATUS);
    CloseServiceHandle(manager);
    if (service == nullptr) {
        return std::nullopt;
    }
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    BOOL ok = QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                   reinterpret_cast<BYTE*>(&status), sizeof(status), &needed);
    CloseServiceHandle(service);
    if (!ok) {
        return std::nullopt;
    }
    return ServiceState{status.dwCurrentState, status.dwProcessId};
}

inline bool service_state_is(DWORD state) {
    auto current = query_service();
    return current && current->state == state;
}

// The program's console run (no subcommand) as a child with its output in a file of the build
// tree; ended by its handle when the owner goes.
class ConsoleRun {
  public:
    ConsoleRun() {
        SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
        output_ = CreateFileW(output_path().c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        std::wstring exe = windows_path(TESSARO_EXE);
        std::wstring line = L"\"" + exe + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = output_;
        startup.hStdError = output_;
        PROCESS_INFORMATION info{};
        if (CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                           nullptr, nullptr, &startup, &info)) {
            process_ = info.hProcess;
            CloseHandle(info.hThread);
        } else {
            ADD_FAILURE() << "CreateProcessW failed: " << GetLastError();
        }
    }
    ConsoleRun(const ConsoleRun&) = delete;
    ConsoleRun& operator=(const ConsoleRun&) = delete;
    ~ConsoleRun() {
        if (process_ != nullptr) {
            TerminateProcess(process_, 1);
            WaitForSingleObject(process_, 5000);
            CloseHandle(process_);
        }
        if (output_ != INVALID_HANDLE_VALUE) {
            CloseHandle(output_);
        }
        DeleteFileW(output_path().c_str());
    }

    bool running() const {
        return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
    }
    // What the run wrote so far, for a failure's message.
    std::string output() const {
        HANDLE file =
            CreateFileW(output_path().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            return {};
        }
        std::string text(64 * 1024, '\0');
        DWORD got = 0;
        ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &got, nullptr);
        CloseHandle(file);
        text.resize(got);
        return text;
    }

  private:
    static std::wstring output_path() {
        return windows_path(TESSARO_SCREENSHOT_DIR) + L"\\console_run_" +
               std::to_wstring(GetCurrentProcessId()) + L".log";
    }

    HANDLE process_ = nullptr;
    HANDLE output_ = INVALID_HANDLE_VALUE;
};

// Every value of the settings key, by name: "dword:N" or "sz:text" (other types by their number).
inline std::map<std::string, std::string> settings_values() {
    std::map<std::string, std::string> values;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvel\\Tessaro", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return values;
    }
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD name_length = 256;
        DWORD type = 0;
        std::uint8_t data[1024] = {};
        DWORD size = sizeof(data);
        if (RegEnumValueW(key, index, name, &name_length, nullptr, &type, data, &size) !=
            ERROR_SUCCESS) {
            break;
        }
        std::string text;
        if (type == REG_DWORD && size == 4) {
            DWORD number = 0;
            std::memcpy(&number, data, 4);
            text = "dword:" + std::to_string(number);
        } else if (type == REG_SZ) {
            std::wstring wide_text(reinterpret_cast<const wchar_t*>(data), size / sizeof(wchar_t));
            while (!wide_text.empty() && wide_text.back() == L'\0') {
                wide_text.pop_back();
            }
            text = "sz:" + utf8(wide_text);
        } else {
            text = "type " + std::to_string(type);
        }
        values[utf8(std::wstring_view(name, name_length))] = text;
    }
    RegCloseKey(key);
    return values;
}

inline void write_settings_dword(const wchar_t* name, DWORD number) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Korvel\\Tessaro", 0, nullptr, 0,
                              KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                             sizeof(number)),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

// The tool on a clean settings key, with the service removed before and after each test.
class ServiceToolTest : public ToolTest {
  protected:
    // `uninstall` stops and deletes the service whatever state it is in.
    void SetUp() override {
        ToolTest::SetUp();
        run_tessaro(L"uninstall");
    }
    void TearDown() override {
        ToolTest::TearDown();
        run_tessaro(L"uninstall");
    }
};

}  // namespace tessaro::gui_test
