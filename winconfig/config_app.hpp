// The configuration tool's state and every decision of its main window, over the window (a
// ConfigView) and the system (a ConfigPlatform). Everything here runs on the GUI thread; message
// boxes run nested message loops that call back into handle_event, so no operation keeps state
// half-updated across a box: the one exception is the status read, whose flag tells a tick nested
// in its error box to skip its own read.
#pragma once

#include <cstdint>
#include <optional>

#include "common/settings.hpp"
#include "common/status.hpp"
#include "winconfig/config_platform.hpp"
#include "winconfig/config_view.hpp"
#include "winconfig/dialog_thread.hpp"
#include "winconfig/proxy_tab.hpp"
#include "winconfig/status_reader.hpp"

namespace tessaro::winconfig {

// The single start argument of a service start by the tool; the service ignores it.
inline constexpr std::string_view SERVICE_START_ARGUMENT = "tessaro-config";

class ConfigApp {
  public:
    ConfigApp(ConfigView& view, ConfigPlatform& platform, Settings saved_settings);

    // The dispatch of the main window's events by kind and source control; a notice also brings
    // its id, which names the dialog opening that signalled it.
    void handle_event(UiEvent event, ControlId source, std::uintptr_t notice_id = 0);

    // The first event: the saved log level, the adapter scan, both tabs, the Save button, and the
    // window shown.
    void on_init();
    // "Speichern" enabled exactly for a valid change; every marker set.
    void update_save_button();
    // The controls stored, the settings written, the Save button updated, and the restart
    // question while the service runs. A failed save keeps the settings of the last successful
    // one, so "Speichern" stays enabled for a retry, and asks nothing.
    void save();
    // Once a second: the service state, then the published status of both proxies.
    void on_timer();
    // The dialog of opening `opening` has ended. When that is the tracked dialog: its handler
    // unbound, its thread joined, the window back and raised (once neither a box owned by the
    // window nor a dialog opened meanwhile holds it). The end of any other dialog (one left
    // untracked, or one that ended before its hand-over) does nothing.
    void on_dialog_closed(std::uintptr_t opening);

    void refresh_service_state();
    void toggle_service();
    void open_event_viewer();

    void show_terminal_details();
    void show_pinpad_details();
    [[nodiscard]] VoidResult open_status_dialog(DeviceKind kind, ProxyStatus snapshot);

    const Settings& saved_settings() const { return saved_settings_; }
    bool service_running() const { return service_running_; }
    bool restart_pending() const { return restart_pending_; }
    const std::optional<StatusReadError>& status_error() const { return status_error_; }
    const AppStatus& last_status() const { return last_status_; }
    bool dialog_open() const { return open_dialog_.has_value(); }

    const ProxyTab& terminal_tab() const { return terminal_tab_; }
    const ProxyTab& pinpad_tab() const { return pinpad_tab_; }

  private:
    // A button click, by its source in the window's order of comparison.
    void on_click(ControlId source);
    void show_details(DeviceKind kind, const ProxyStatus& status);
    void show_error_box(std::string_view text, BoxOwner owner = BoxOwner::None);
    // Every box goes through here: a box owned by the main window keeps all input from it until
    // it ends, so a dialog's end during that box leaves the window's enabling to the box's end;
    // after each owned box the window is set from the model.
    bool show_box(std::string_view text, BoxOwner owner, BoxStyle style);
    // The one rule for the main window, applied wherever what holds it changes: disabled while a
    // dialog is open or opening, or a box owned by it is open, and enabled otherwise; raised when
    // it is enabled after a dialog's end.
    void update_window_state();
    // The opening's work, with the window held by `dialog_opening_`.
    [[nodiscard]] VoidResult start_status_dialog(DeviceKind kind, ProxyStatus snapshot);

    ConfigView& view_;
    ConfigPlatform& platform_;
    ProxyTab terminal_tab_;
    ProxyTab pinpad_tab_;

    Settings saved_settings_;
    std::optional<StatusReadError> status_error_;
    // Set while a status read runs, its error box included.
    bool status_read_running_ = false;
    bool service_running_ = false;
    bool restart_pending_ = false;
    AppStatus last_status_;
    // The tracked dialog's thread and the number of its opening; its raw handler is bound on the
    // window while this is set.
    struct OpenDialog {
        DialogThread thread;
        std::uintptr_t opening = 0;
    };
    std::optional<OpenDialog> open_dialog_;
    // Set from the start of an opening until it is tracked or known to have failed: a Details
    // click that reaches the model meanwhile does nothing, as one while a dialog is open.
    bool dialog_opening_ = false;
    // The number of the last opening; each opening's end notice carries its own (from 1 on).
    std::uintptr_t last_opening_ = 0;
    // Boxes owned by the main window that are open now, nested ones counted.
    int owned_boxes_open_ = 0;
    // A dialog has ended: the window is raised when it is next enabled, once nothing holds it.
    bool raise_when_enabled_ = false;
};

}  // namespace tessaro::winconfig
