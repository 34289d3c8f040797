// Where the process looks for the DLLs it loads by name. Both programs run with high rights (the
// service as SYSTEM, the tool elevated), often from a folder that others can write, so every DLL
// they load must come from the system folder, never from the program's folder or the current one.
//
// The DLLs that the loader knows (KnownDLLs) always come from the system folder; the others are
// imported late (cmake/delay-import.cmake), so that they load only after this restriction.
// POSIX: nothing to restrict, the dynamic linker has its own rules.
#pragma once

#include "common/error.hpp"

namespace tessaro::os {

// From now on, every DLL loaded by name, whoever loads it, is looked for in the system folder
// only (SetDefaultDllDirectories with LOAD_LIBRARY_SEARCH_SYSTEM32). Call it first thing in main,
// before anything that could load a DLL; the error carries the system's text.
[[nodiscard]] VoidResult restrict_dll_search_to_system_folder();

}  // namespace tessaro::os
