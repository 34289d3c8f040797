// Stands for a DLL planted beside a program under the name of a system DLL that the loader does
// not know ("iphlpapi.dll"): when it loads, it leaves the marker file "<its own path>.loaded".
// It exports GetAdaptersAddresses, so that a program that imports it resolves against it.
#include "common/os/windows.hpp"

#include <string>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason != DLL_PROCESS_ATTACH) {
        return TRUE;
    }
    std::wstring path(MAX_PATH, L'\0');
    DWORD length = GetModuleFileNameW(instance, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0 || length >= path.size()) {
        return TRUE;
    }
    path.resize(length);
    path += L".loaded";
    HANDLE marker = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (marker != INVALID_HANDLE_VALUE) {
        CloseHandle(marker);
    }
    return TRUE;
}

// Declared here, not by <iphlpapi.h>, which declares it imported.
extern "C" ULONG WINAPI GetAdaptersAddresses(ULONG /*family*/, ULONG /*flags*/, PVOID /*reserved*/,
                                             PVOID /*addresses*/, PULONG /*size*/) {
    return ERROR_NOT_SUPPORTED;
}
