// Stands for a DLL planted beside a program under the name of a system DLL that the loader does
// not know ("iphlpapi.dll"): when it loads, it leaves the marker file "<its own path>.loaded".
// It exports GetAdaptersAddresses, so that a program that imports it resolves against it.
#include "common/os/windows.hpp"
#include "tests/windows/marker_win.hpp"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) {
        tessaro::gui_test::leave_marker(instance, L".loaded");
    }
    return TRUE;
}

// Declared here, not by <iphlpapi.h>, which declares it imported.
extern "C" ULONG WINAPI GetAdaptersAddresses(ULONG /*family*/, ULONG /*flags*/, PVOID /*reserved*/,
                                             PVOID /*addresses*/, PULONG /*size*/) {
    return ERROR_NOT_SUPPORTED;
}
