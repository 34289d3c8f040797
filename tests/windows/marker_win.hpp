// Test programs and DLLs: an empty marker file beside a module, "<the module's path><suffix>",
// which a test looks for to learn that the module did something.
#pragma once

#include <string>

#include "common/os/windows.hpp"

namespace tessaro::gui_test {

// `module`: nullptr for the program itself. Leaves nothing when the path cannot be had.
inline void leave_marker(HMODULE module, const wchar_t* suffix) {
    std::wstring path(MAX_PATH, L'\0');
    DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size()) {
        return;
    }
    path.resize(length);
    path += suffix;
    HANDLE marker = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker != INVALID_HANDLE_VALUE) {
        CloseHandle(marker);
    }
}

}  // namespace tessaro::gui_test
