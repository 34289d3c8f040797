#include "common/os/dll_search.hpp"

#include "common/os/system_error.hpp"
#include "common/os/windows.hpp"

namespace tessaro::os {

VoidResult restrict_dll_search_to_system_folder() {
    if (!SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        return fail("Could not restrict the DLL search to the system folder: " +
                    system_error_text(GetLastError()));
    }
    return {};
}

}  // namespace tessaro::os
