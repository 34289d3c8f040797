// The configuration tool's state and every decision of its main window, over the window (a
// ConfigView) and the system (a ConfigPlatform). Everything here runs on the GUI thread; message
// boxes run nested message loops that call back into handle_event, so no operation keeps state
// half-updated across a box.
#pragma once

#include "common/settings.hpp"
#include "common/status.hpp"
#include "winconfig/config_platform.hpp"
#include "winconfig/config_view.hpp"

namespace tessaro::winconfig {

class ConfigApp {
  public:
    ConfigApp(ConfigView& view, ConfigPlatform& platform, Settings saved_settings);

    // The dispatch of the main window's events by kind and source control.
    void handle_event(UiEvent event, ControlId source);

    void on_init();

  private:
    ConfigView& view_;
    ConfigPlatform& platform_;
    Settings saved_settings_;
};

}  // namespace tessaro::winconfig
