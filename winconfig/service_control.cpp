#include "winconfig/service_control.hpp"

namespace tessaro::winconfig {

EventViewerCommand event_viewer_command(std::string_view system_folder) {
    std::string folder(system_folder);
    return {.program = folder + "\\" + std::string(EVENT_VIEWER_PROGRAM),
            .arguments = {folder + "\\eventvwr.msc", "/c:Application",
                          std::string("/f:*[System[Provider[@Name='") + "Korvel Tessaro" + "']]]"},
            .working_folder = folder};
}

}  // namespace tessaro::winconfig
