// POSIX build: there are no status dialogs without Win32 windows; the model's dialog thread is
// tested with stand-in bodies.
#include "winconfig/dialog_thread.hpp"

namespace tessaro::winconfig {

VoidResult run_status_dialog(DialogStart /*start*/) {
    return fail("status dialogs need Windows");
}

}  // namespace tessaro::winconfig
