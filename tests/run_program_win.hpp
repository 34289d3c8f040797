// Windows tests: starts a program with arguments, without a window and with its output dropped,
// and waits for it, at most two minutes; a program that does not end in time is ended and fails
// the test.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "common/os/windows.hpp"

namespace tessaro::test {

// A started program, in the folder given (empty: the test's own); ended by force when its owner
// goes while it still runs.
class ChildProcess {
  public:
    ChildProcess(const std::wstring& exe, const std::wstring& arguments,
                 const std::wstring& current_dir = {}) {
        std::wstring line = L"\"" + exe + L"\" " + arguments;
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        if (!CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                            nullptr, current_dir.empty() ? nullptr : current_dir.c_str(), &startup,
                            &process)) {
            ADD_FAILURE() << "CreateProcessW failed: " << GetLastError();
            return;
        }
        CloseHandle(process.hThread);
        process_ = process.hProcess;
        pid_ = process.dwProcessId;
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() {
        if (process_ == nullptr) {
            return;
        }
        if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_, 1);
            WaitForSingleObject(process_, 5000);
        }
        CloseHandle(process_);
    }

    bool started() const { return process_ != nullptr; }
    DWORD pid() const { return pid_; }
    // The exit code once the program has ended within `timeout_ms`; none while it still runs.
    std::optional<DWORD> wait(DWORD timeout_ms) const {
        DWORD code = 0;
        if (process_ == nullptr || WaitForSingleObject(process_, timeout_ms) != WAIT_OBJECT_0 ||
            !GetExitCodeProcess(process_, &code)) {
            return std::nullopt;
        }
        return code;
    }

  private:
    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
};

inline DWORD run_program(const std::wstring& exe, const std::wstring& arguments,
                         const std::wstring& current_dir = {}) {
    ChildProcess program(exe, arguments, current_dir);
    if (!program.started()) {
        return 0xFFFFFFFF;
    }
    std::optional<DWORD> code = program.wait(120000);
    if (!code) {
        ADD_FAILURE() << "the program did not end in two minutes";
        return 0xFFFFFFFF;
    }
    return *code;
}

}  // namespace tessaro::test
