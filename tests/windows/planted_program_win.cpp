// Stands for a program planted under another program's name: it leaves the marker file
// "<its own path>.ran" and ends.
#include "common/os/windows.hpp"

#include <string>

int main() {
    std::wstring path(MAX_PATH, L'\0');
    DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size()) {
        return 1;
    }
    path.resize(length);
    path += L".ran";
    HANDLE marker = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker == INVALID_HANDLE_VALUE) {
        return 1;
    }
    CloseHandle(marker);
    return 0;
}
