// Windows tests: runs a program with arguments and waits for it, at most two minutes, with its
// output dropped; a program that does not end in time is ended and fails the test.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "common/os/windows.hpp"

namespace tessaro::test {

inline DWORD run_program(const std::wstring& exe, const std::wstring& arguments) {
    std::wstring line = L"\"" + exe + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &process)) {
        ADD_FAILURE() << "CreateProcessW failed: " << GetLastError();
        return 0xFFFFFFFF;
    }
    DWORD code = 0xFFFFFFFF;
    if (WaitForSingleObject(process.hProcess, 120000) == WAIT_OBJECT_0) {
        GetExitCodeProcess(process.hProcess, &code);
    } else {
        TerminateProcess(process.hProcess, 1);
        WaitForSingleObject(process.hProcess, 5000);
        ADD_FAILURE() << "the program did not end in two minutes";
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

}  // namespace tessaro::test
