// The configuration tool's main window: the "Dienst" tab, the two proxy tabs and the window
// around them, created from their declarations in member order (also the tab order), and the
// ConfigView through which the portable model moves texts, items, selections and enabled states.
// ConfigAppUi binds the one event handler that turns the window's messages into model events.
#pragma once

#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "winconfig/config_app.hpp"
#include "winconfig/config_view.hpp"
#include "winconfig/gui_win.hpp"

namespace tessaro::winconfig {

inline constexpr std::string_view DISPLAY_NAME = "Korvel Tessaro";
// The raw handler on the main window that forwards clicks and focus to an open status dialog.
inline constexpr UINT_PTR FOCUS_FORWARDING_HANDLER_ID = 65536;

// The window side of the tabs; the model's ProxyTab (proxy_tab.hpp) drives them through ConfigView.
namespace view {

// The controls of the tab "Dienst", in creation order.
struct ServiceTab {
    gui::OwnedFont heading_font;
    gui::OwnedWindow tab;
    gui::OwnedWindow status_heading;
    gui::OwnedWindow service_label;
    gui::OwnedWindow service_state;
    gui::OwnedWindow service_button;
    gui::OwnedWindow terminal_label;
    gui::OwnedWindow terminal_state;
    gui::OwnedWindow terminal_details;
    gui::OwnedWindow pinpad_label;
    gui::OwnedWindow pinpad_state;
    gui::OwnedWindow pinpad_details;
    gui::OwnedWindow log_heading;
    gui::OwnedWindow log_level_label;
    gui::OwnedWindow log_level_combo;
    gui::OwnedWindow log_level_marker;
    gui::OwnedWindow event_viewer_button;

    [[nodiscard]] VoidResult build(HWND tabs, HFONT default_font);
};

// The controls of one proxy's settings tab, in creation order. The kind-dependent texts carry
// placeholders until the model loads the tab.
struct ProxyTab {
    bool is_pinpad = false;
    gui::OwnedFont heading_font;
    gui::OwnedWindow tab;
    gui::OwnedWindow pc_heading;
    gui::OwnedWindow pc_interface_label;
    gui::OwnedWindow pc_interface_combo;
    gui::OwnedWindow pc_interface_marker;
    gui::OwnedWindow udp_port_label;
    gui::OwnedWindow udp_port;
    gui::OwnedWindow udp_port_marker;
    gui::OwnedWindow sicct_port_label;
    gui::OwnedWindow sicct_port;
    gui::OwnedWindow sicct_port_marker;
    gui::OwnedWindow https_port_label;
    gui::OwnedWindow https_port;
    gui::OwnedWindow https_port_marker;
    gui::OwnedWindow announcement_interval_label;
    gui::OwnedWindow announcement_interval;
    gui::OwnedWindow announcement_interval_marker;
    gui::OwnedWindow announcement_ip_label;
    gui::OwnedWindow announcement_ip;
    gui::OwnedWindow announcement_ip_marker;
    gui::OwnedWindow announcement_port_label;
    gui::OwnedWindow announcement_port;
    gui::OwnedWindow announcement_port_marker;
    gui::OwnedWindow device_heading;
    gui::OwnedWindow device_interface_label;
    gui::OwnedWindow device_interface_combo;
    gui::OwnedWindow device_interface_marker;

    static ProxyTab defaults() { return {}; }
    [[nodiscard]] VoidResult build(HWND tabs, HFONT default_font);
};

// The main window and everything in it; the Win32 side of ConfigView. Members are destroyed in
// reverse order, so every control goes before its parent.
class MainWindow final : public ConfigView {
  public:
    // Builds the window hidden, with its running one-second timer, the tabs and every control; the
    // first failure stops the build.
    [[nodiscard]] static Result<std::unique_ptr<MainWindow>> build(HFONT default_font);

    HWND window() const { return window_.get(); }
    // The control behind a window handle, for the event handler; none for windows the model does
    // not address (labels, pages, the tabs container).
    std::optional<ControlId> control_id(HWND control) const;
    bool is_timer(std::uintptr_t id) const { return timer_ && id == timer_->id(); }

    std::string text(ControlId id) const override;
    void set_text(ControlId id, std::string_view text) override;
    void set_enabled(ControlId id, bool enabled) override;
    void add_item(ControlId id, std::string_view text) override;
    std::optional<std::size_t> selection(ControlId id) const override;
    void select(ControlId id, std::optional<std::size_t> index) override;
    void show_window() override;
    void set_window_enabled(bool enabled) override;
    void bring_to_front() override;
    void quit() override;
    bool message_box(std::string_view text, BoxOwner owner, BoxStyle style) override;
    void print_line(std::string_view line) override;
    // Every notice on the main window is the end of a status dialog, its id the dialog's opening.
    NoticeSender main_notice(std::uintptr_t opening) const override {
        return gui::notice_on(window_.get(), opening);
    }
    [[nodiscard]] VoidResult bind_focus_forwarding(NoticeSender dialog) override;
    [[nodiscard]] VoidResult unbind_focus_forwarding() override;

  private:
    MainWindow() = default;
    HWND handle(ControlId id) const;
    void index_controls();

    gui::WindowIcon icon_;
    gui::OwnedWindow window_;
    std::unique_ptr<gui::Timer> timer_;
    gui::OwnedWindow tabs_;
    gui::OwnedWindow save_button_;
    ServiceTab service_tab_;
    ProxyTab terminal_tab_ = ProxyTab::defaults();
    ProxyTab pinpad_tab_ = ProxyTab::defaults();
    std::unique_ptr<gui::RawHandler> focus_forwarding_;
    std::vector<std::pair<ControlId, HWND>> controls_;
};

}  // namespace view

// What the entry holds while the message loop runs: the shared ConfigApp and the handlers bound
// for it. Destroying it unbinds the handlers first, then releases its share of the ConfigApp.
class ConfigAppUi {
  public:
    [[nodiscard]] static Result<std::unique_ptr<ConfigAppUi>> bind(std::shared_ptr<ConfigApp> app,
                                                                   view::MainWindow& window);
    ConfigAppUi(const ConfigAppUi&) = delete;
    ConfigAppUi& operator=(const ConfigAppUi&) = delete;
    ~ConfigAppUi();

    // Resolves the weak reference and hands the event to the model by its source control.
    static void handle_event(const std::weak_ptr<ConfigApp>& app, const view::MainWindow& window,
                             const gui::Event& event);

  private:
    ConfigAppUi() = default;
    std::shared_ptr<ConfigApp> app_;
    std::vector<std::unique_ptr<gui::BoundHandler>> handlers_;
};

}  // namespace tessaro::winconfig
