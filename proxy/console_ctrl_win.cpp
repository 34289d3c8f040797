// Windows: a console control handler releases a semaphore for each event; the thread "ctrl-c"
// waits on it.
#include "proxy/console_ctrl.hpp"

#include "common/os/system_error.hpp"
#include "common/os/windows.hpp"

#include <atomic>
#include <cstdio>
#include <string>

#include <fmt/format.h>

namespace tessaro::console_ctrl {

namespace {

// Process-wide by nature: the system calls the handler with nothing but the event type.
HANDLE events = nullptr;
std::atomic<bool> taken{false};

BOOL WINAPI on_console_event(DWORD) {
    // Past 255 pending events the release fails; those events are lost, the stop is not.
    ReleaseSemaphore(events, 1, nullptr);
    return TRUE;  // handled: the system's default handler would end the process at once
}

// SetThreadDescription exists from Windows 10 1607 on; looked up so that older systems still
// start the program, with an unnamed thread.
void name_current_thread(const wchar_t* name) {
    using SetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    if (kernel32 == nullptr) {
        return;
    }
    // Through the generic function pointer type, which converts to any other without warning.
    auto generic = reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "SetThreadDescription"));
    if (generic != nullptr) {
        reinterpret_cast<SetThreadDescriptionFn>(generic)(GetCurrentThread(), name);
    }
}

// Body of the thread "ctrl-c": one call of the stop function per event, until waiting fails.
DWORD WINAPI ctrl_c_waiter(LPVOID argument) {
    auto* stop = static_cast<StopFunction*>(argument);
    name_current_thread(L"ctrl-c");
    for (;;) {
        DWORD result = WaitForSingleObject(events, INFINITE);
        if (result == WAIT_OBJECT_0) {
            (*stop)();
            continue;
        }
        std::string text = "Critical system error while waiting for Ctrl-C: ";
        if (result == WAIT_FAILED) {
            text += os::system_error_text(GetLastError());
        } else {
            text += fmt::format("unexpected wait result 0x{:X}", result);
        }
        text += "\n";
        std::fputs(text.c_str(), stderr);
        return 0;  // the function stays: the process ends soon enough
    }
}

VoidResult system_failure(const char* what, DWORD code) {
    return fail(std::string("Could not set the console control handler: ") + what + ": " +
                os::system_error_text(code));
}

}  // namespace

VoidResult set_handler(StopFunction stop) {
    if (taken.exchange(true)) {
        return fail("Could not set the console control handler: it is set already");
    }
    events = CreateSemaphoreA(nullptr, 0, 255, nullptr);
    if (events == nullptr) {
        return system_failure("CreateSemaphoreA", GetLastError());
    }
    if (!SetConsoleCtrlHandler(on_console_event, TRUE)) {
        DWORD code = GetLastError();
        CloseHandle(events);
        events = nullptr;
        return system_failure("SetConsoleCtrlHandler", code);
    }
    // Owned by the thread, which runs until the process ends.
    auto* function = new StopFunction(std::move(stop));
    HANDLE thread = CreateThread(nullptr, 0, ctrl_c_waiter, function, 0, nullptr);
    if (thread == nullptr) {
        DWORD code = GetLastError();
        delete function;
        return system_failure("could not start the thread \"ctrl-c\"", code);
    }
    // Never joined: the thread ends with the process.
    CloseHandle(thread);
    return {};
}

}  // namespace tessaro::console_ctrl
