#include "common/os/dll_search.hpp"

namespace tessaro::os {

VoidResult restrict_dll_search_to_system_folder() {
    return {};
}

}  // namespace tessaro::os
