#include "winconfig/config_app.hpp"

namespace tessaro::winconfig {

ConfigApp::ConfigApp(ConfigView& view, ConfigPlatform& platform, Settings saved_settings)
    : view_(view), platform_(platform), saved_settings_(std::move(saved_settings)) {}

void ConfigApp::handle_event(UiEvent event, ControlId source) {
    if (event == UiEvent::Init && source == ControlId{Page::Main, Field::Window}) {
        on_init();
    } else if (event == UiEvent::Close && source == ControlId{Page::Main, Field::Window}) {
        view_.quit();
    }
}

void ConfigApp::on_init() {
    view_.show_window();
}

}  // namespace tessaro::winconfig
