// Linked into test copies of both programs, and into a copy of the planted program, which leaves
// its DLL search as it is. When the program ends normally, after its start-up code and all the rest
// of it has run, it loads by name "tessaro-probe.dll", a DLL that a test puts only into the
// program's own folder, and then leaves the marker "<program path>.probed". A program that keeps
// its DLL search to the system folder does not find the DLL; the DLL leaves a marker of its own
// when it loads. The program's marker tells a program that did not find the DLL from one that never
// looked, because it did not end normally.
#include "common/os/windows.hpp"
#include "tests/windows/marker_win.hpp"

namespace {

class ProbeAtExit {
  public:
    ProbeAtExit() = default;
    ProbeAtExit(const ProbeAtExit&) = delete;
    ProbeAtExit& operator=(const ProbeAtExit&) = delete;
    // Static objects are destroyed once main has returned.
    ~ProbeAtExit() {
        if (HMODULE probe = LoadLibraryW(L"tessaro-probe.dll"); probe != nullptr) {
            FreeLibrary(probe);
        }
        tessaro::gui_test::leave_marker(nullptr, L".probed");
    }
};

ProbeAtExit probe_at_exit;

}  // namespace
