// Stands for a program planted under another program's name: it leaves the marker file
// "<its own path>.ran", which holds two lines in UTF-8, its command line and its working folder,
// and ends. The marker appears whole or not at all. It also stands for a program that does not
// protect itself from DLLs planted beside it: it imports iphlpapi.dll the ordinary way.
#include "common/os/windows.hpp"

#include <iphlpapi.h>

#include <string>

namespace {

std::string utf8(const std::wstring& text) {
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), size,
                        nullptr, nullptr);
    return result;
}

}  // namespace

int main() {
    // Any call will do; it makes the loader resolve iphlpapi.dll when the program starts.
    ULONG size = 0;
    GetAdaptersAddresses(AF_UNSPEC, 0, nullptr, nullptr, &size);

    std::wstring path(MAX_PATH, L'\0');
    DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size()) {
        return 1;
    }
    path.resize(length);
    std::wstring folder(MAX_PATH, L'\0');
    folder.resize(GetCurrentDirectoryW(MAX_PATH, folder.data()));
    std::string text = utf8(GetCommandLineW()) + "\n" + utf8(folder) + "\n";

    std::wstring marker = path + L".ran";
    std::wstring part = marker + L".part";
    HANDLE file = CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return 1;
    }
    DWORD written = 0;
    BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    if (!ok || !MoveFileExW(part.c_str(), marker.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileW(part.c_str());
        return 1;
    }
    return 0;
}
