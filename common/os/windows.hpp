// The one wrapper of the Windows headers. Include it only from _win.cpp files: portable headers
// and sources never see <windows.h>. Winsock comes first, since <windows.h> would otherwise pull
// in the old winsock.h, which clashes with it.
#pragma once

#ifndef _WIN32
#error "common/os/windows.hpp belongs to the Windows build only (_win.cpp files)"
#endif

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00  // Windows 10; the build sets it too
#endif

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
