#include "winconfig/service_control.hpp"

namespace tessaro::winconfig {

std::vector<std::string> event_viewer_arguments() {
    return {"eventvwr.msc", "/c:Application",
            std::string("/f:*[System[Provider[@Name='") + "Korvel Tessaro" + "']]]"};
}

}  // namespace tessaro::winconfig
