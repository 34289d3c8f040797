#include "winconfig/main_window_win.hpp"

#include <commctrl.h>

#include <fmt/format.h>

#include "winconfig/proxy_tab.hpp"

namespace tessaro::winconfig {
namespace view {

namespace {

constexpr std::string_view VERSION = "1.3.2";
constexpr UINT_PTR TIMER_ID = 1;
constexpr UINT STATUS_POLL_INTERVAL_MS = 1000;
constexpr int HEADING_HEIGHT = 16;
constexpr int HEADING_WEIGHT = 1000;

// Creates controls one after the other; after the first failure it creates nothing more and
// keeps that failure.
class Builder {
  public:
    explicit Builder(HFONT default_font) : default_font_(default_font) {}

    void font(gui::OwnedFont& slot) {
        if (!error_) {
            keep(slot, gui::create_font(HEADING_HEIGHT, HEADING_WEIGHT));
        }
    }
    void page(gui::OwnedWindow& slot, HWND tabs, std::string_view caption) {
        if (!error_) {
            keep(slot, gui::add_tab_page(tabs, caption));
        }
    }
    void control(gui::OwnedWindow& slot, const gui::OwnedWindow& parent,
                 const gui::ControlSpec& spec) {
        if (!error_) {
            keep(slot, gui::create_control(parent.get(), spec, default_font_));
        }
    }
    VoidResult result() const {
        if (error_) {
            return fail(*error_);
        }
        return {};
    }

  private:
    template <typename T>
    void keep(T& slot, Result<T> made) {
        if (made) {
            slot = std::move(*made);
        } else {
            error_ = made.error();
        }
    }

    HFONT default_font_;
    std::optional<Error> error_;
};

// A marker: an ordinary label whose text is "!" or empty.
gui::ControlSpec marker(int y) {
    return gui::label("!", 130, 25, 490, y);
}

// The port and interval fields take digits only, up to the limit given.
gui::ControlSpec number_input(int y, int limit) {
    return gui::text_input("", 295, 25, 190, y, ES_NUMBER, limit);
}

gui::ControlSpec state_field(int y) {
    return gui::text_input("...", 205, 25, 190, y, ES_READONLY, 0);
}

}  // namespace

VoidResult ServiceTab::build(HWND tabs, HFONT default_font) {
    Builder b(default_font);
    b.font(heading_font);
    b.page(tab, tabs, "Dienst");
    b.control(status_heading, tab, gui::label("Status", 495, 25, 5, 8, heading_font.get()));
    b.control(service_label, tab, gui::label("Windows-Dienst:", 180, 25, 5, 38));
    b.control(service_state, tab, state_field(35));
    b.control(service_button, tab, gui::button("Starten", 90, 25, 400, 35, false));
    b.control(terminal_label, tab, gui::label("Terminal-Proxy:", 180, 25, 5, 68));
    b.control(terminal_state, tab, state_field(65));
    b.control(terminal_details, tab, gui::button("Details", 90, 25, 400, 65, false));
    b.control(pinpad_label, tab, gui::label("PIN-Pad-Proxy:", 180, 25, 5, 98));
    b.control(pinpad_state, tab, state_field(95));
    b.control(pinpad_details, tab, gui::button("Details", 90, 25, 400, 95, false));
    b.control(log_heading, tab, gui::label("Protokoll", 495, 25, 5, 128, heading_font.get()));
    b.control(log_level_label, tab, gui::label("Log-Level:", 180, 25, 5, 158));
    b.control(log_level_combo, tab, gui::combo_box(295, 25, 190, 155));
    b.control(log_level_marker, tab, marker(158));
    b.control(event_viewer_button, tab,
              gui::button("Ereignisanzeige öffnen", 135, 25, 350, 185, true));
    if (auto r = b.result(); !r) {
        return r;
    }
    // The levels the list offers, in the model's order, which maps a selection back to its level;
    // nothing is selected until the model loads.
    for (const LogLevelItem& item : LOG_LEVEL_ITEMS) {
        std::wstring text = gui::widen(item.to_string());
        SendMessageW(log_level_combo.get(), CB_ADDSTRING, 0,
                     reinterpret_cast<LPARAM>(text.c_str()));
    }
    return {};
}

VoidResult ProxyTab::build(HWND tabs, HFONT default_font) {
    Builder b(default_font);
    b.font(heading_font);
    b.page(tab, tabs, "Tab");
    b.control(pc_heading, tab, gui::label("A label", 495, 25, 5, 8, heading_font.get()));
    b.control(pc_interface_label, tab, gui::label("Netzwerkadapter:", 180, 25, 5, 38));
    b.control(pc_interface_combo, tab, gui::combo_box(295, 25, 190, 35));
    b.control(pc_interface_marker, tab, marker(38));
    b.control(udp_port_label, tab, gui::label("UDP-Port:", 180, 25, 5, 68));
    b.control(udp_port, tab, number_input(65, 5));
    b.control(udp_port_marker, tab, marker(68));
    b.control(sicct_port_label, tab, gui::label("SICCT-Port:", 180, 25, 5, 98));
    b.control(sicct_port, tab, number_input(95, 5));
    b.control(sicct_port_marker, tab, marker(98));
    b.control(https_port_label, tab, gui::label("HTTPS-Port:", 180, 25, 5, 128));
    b.control(https_port, tab, number_input(125, 5));
    b.control(https_port_marker, tab, marker(128));
    b.control(announcement_interval_label, tab,
              gui::label("Service-Announcement-Intervall:", 180, 25, 5, 158));
    b.control(announcement_interval, tab, number_input(155, 4));
    b.control(announcement_interval_marker, tab, marker(158));
    b.control(announcement_ip_label, tab, gui::label("A label", 180, 25, 5, 188));
    b.control(announcement_ip, tab, gui::text_input("", 295, 25, 190, 185, 0, 0));
    b.control(announcement_ip_marker, tab, marker(188));
    b.control(announcement_port_label, tab, gui::label("A label", 180, 25, 5, 218));
    b.control(announcement_port, tab, number_input(215, 5));
    b.control(announcement_port_marker, tab, marker(218));
    b.control(device_heading, tab, gui::label("A label", 495, 25, 5, 248, heading_font.get()));
    b.control(device_interface_label, tab, gui::label("Netzwerkadapter:", 180, 25, 5, 278));
    b.control(device_interface_combo, tab, gui::combo_box(295, 25, 190, 275));
    b.control(device_interface_marker, tab, marker(278));
    if (auto r = b.result(); !r) {
        return r;
    }
    // Both lists start with the Automatic item alone; the model appends the rest.
    std::wstring automatic = gui::widen(InterfaceItem{}.to_string());
    for (HWND combo : {pc_interface_combo.get(), device_interface_combo.get()}) {
        SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(automatic.c_str()));
    }
    return {};
}

Result<std::unique_ptr<MainWindow>> MainWindow::build(HFONT default_font) {
    std::unique_ptr<MainWindow> w(new MainWindow());
    auto icon = gui::load_icon(L"ICON_KORVEL");
    if (!icon) {
        return fail(icon.error());
    }
    w->icon_ = std::move(*icon);
    std::string title = fmt::format("{} v{}", DISPLAY_NAME, VERSION);
    auto window = gui::create_top_level({.title = title,
                                         .client_width = 515,
                                         .client_height = 380,
                                         .style = WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN,
                                         .icon = &w->icon_,
                                         .init_event = true});
    if (!window) {
        return fail(window.error());
    }
    w->window_ = std::move(*window);
    w->timer_ = std::make_unique<gui::Timer>(w->window_.get(), TIMER_ID, STATUS_POLL_INTERVAL_MS);
    if (!w->timer_->running()) {
        return fail("Failed to start the timer");
    }
    auto tabs = gui::create_tabs(w->window_.get(), 505, 335, 5, 5, default_font);
    if (!tabs) {
        return fail(tabs.error());
    }
    w->tabs_ = std::move(*tabs);
    auto save = gui::create_control(
        w->window_.get(), gui::button("Speichern", 90, 25, 415, 345, false), default_font);
    if (!save) {
        return fail(save.error());
    }
    w->save_button_ = std::move(*save);
    w->pinpad_tab_.is_pinpad = true;
    if (auto r = w->service_tab_.build(w->tabs_.get(), default_font); !r) {
        return fail(r.error());
    }
    for (ProxyTab* tab : {&w->terminal_tab_, &w->pinpad_tab_}) {
        if (auto r = tab->build(w->tabs_.get(), default_font); !r) {
            return fail(r.error());
        }
    }
    w->index_controls();
    return w;
}

void MainWindow::index_controls() {
    const ServiceTab& s = service_tab_;
    controls_ = {
        {{Page::Main, Field::Window}, window_.get()},
        {{Page::Main, Field::SaveButton}, save_button_.get()},
        {{Page::Main, Field::ServiceState}, s.service_state.get()},
        {{Page::Main, Field::ServiceButton}, s.service_button.get()},
        {{Page::Main, Field::TerminalState}, s.terminal_state.get()},
        {{Page::Main, Field::TerminalDetails}, s.terminal_details.get()},
        {{Page::Main, Field::PinpadState}, s.pinpad_state.get()},
        {{Page::Main, Field::PinpadDetails}, s.pinpad_details.get()},
        {{Page::Main, Field::LogLevelCombo}, s.log_level_combo.get()},
        {{Page::Main, Field::LogLevelMarker}, s.log_level_marker.get()},
        {{Page::Main, Field::EventViewerButton}, s.event_viewer_button.get()},
    };
    for (auto [page, t] :
         {std::pair{Page::Terminal, &terminal_tab_}, {Page::Pinpad, &pinpad_tab_}}) {
        const std::pair<Field, const gui::OwnedWindow*> fields[] = {
            {Field::PcHeading, &t->pc_heading},
            {Field::PcInterfaceCombo, &t->pc_interface_combo},
            {Field::PcInterfaceMarker, &t->pc_interface_marker},
            {Field::UdpPort, &t->udp_port},
            {Field::UdpPortMarker, &t->udp_port_marker},
            {Field::SicctPort, &t->sicct_port},
            {Field::SicctPortMarker, &t->sicct_port_marker},
            {Field::HttpsPort, &t->https_port},
            {Field::HttpsPortMarker, &t->https_port_marker},
            {Field::AnnouncementInterval, &t->announcement_interval},
            {Field::AnnouncementIntervalMarker, &t->announcement_interval_marker},
            {Field::AnnouncementIpLabel, &t->announcement_ip_label},
            {Field::AnnouncementIp, &t->announcement_ip},
            {Field::AnnouncementIpMarker, &t->announcement_ip_marker},
            {Field::AnnouncementPortLabel, &t->announcement_port_label},
            {Field::AnnouncementPort, &t->announcement_port},
            {Field::AnnouncementPortMarker, &t->announcement_port_marker},
            {Field::DeviceHeading, &t->device_heading},
            {Field::DeviceInterfaceCombo, &t->device_interface_combo},
            {Field::DeviceInterfaceMarker, &t->device_interface_marker},
        };
        for (const auto& [field, owned] : fields) {
            controls_.push_back({{page, field}, owned->get()});
        }
    }
}

std::optional<ControlId> MainWindow::control_id(HWND control) const {
    for (const auto& [id, hwnd] : controls_) {
        if (hwnd == control) {
            return id;
        }
    }
    return std::nullopt;
}

HWND MainWindow::handle(ControlId id) const {
    for (const auto& [known, hwnd] : controls_) {
        if (known == id) {
            return hwnd;
        }
    }
    return nullptr;
}

namespace {
// The page of a proxy tab among the pages of the tabs container.
int tab_index(Page page) {
    return page == Page::Terminal ? 1 : page == Page::Pinpad ? 2 : 0;
}
}  // namespace

std::string MainWindow::text(ControlId id) const {
    if (id.field == Field::TabCaption) {
        return gui::tab_caption(tabs_.get(), tab_index(id.page));
    }
    return gui::window_text(handle(id));
}

void MainWindow::set_text(ControlId id, std::string_view text) {
    if (id.field == Field::TabCaption) {
        gui::set_tab_caption(tabs_.get(), tab_index(id.page), text);
        return;
    }
    gui::set_window_text(handle(id), text);
}

void MainWindow::set_enabled(ControlId id, bool enabled) {
    EnableWindow(handle(id), enabled);
}

void MainWindow::add_item(ControlId id, std::string_view text) {
    std::wstring item = gui::widen(text);
    SendMessageW(handle(id), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
}

std::optional<std::size_t> MainWindow::selection(ControlId id) const {
    LRESULT index = SendMessageW(handle(id), CB_GETCURSEL, 0, 0);
    if (index == CB_ERR) {
        return std::nullopt;
    }
    return static_cast<std::size_t>(index);
}

void MainWindow::select(ControlId id, std::optional<std::size_t> index) {
    WPARAM item = index ? static_cast<WPARAM>(*index) : static_cast<WPARAM>(-1);
    SendMessageW(handle(id), CB_SETCURSEL, item, 0);
}

void MainWindow::show_window() {
    ShowWindow(window_.get(), SW_SHOW);
}

void MainWindow::set_window_enabled(bool enabled) {
    EnableWindow(window_.get(), enabled);
}

void MainWindow::bring_to_front() {
    SetForegroundWindow(window_.get());
}

void MainWindow::quit() {
    PostQuitMessage(0);
}

bool MainWindow::message_box(std::string_view text, BoxOwner owner, BoxStyle style) {
    HWND parent = owner == BoxOwner::MainWindow ? window_.get() : nullptr;
    UINT flags = style == BoxStyle::Error ? MB_OK | MB_ICONERROR : MB_YESNO | MB_ICONQUESTION;
    std::wstring body = gui::widen(text);
    std::wstring title = gui::widen(DISPLAY_NAME);
    return MessageBoxW(parent, body.c_str(), title.c_str(), flags) == IDYES;
}

void MainWindow::print_line(std::string_view line) {
    // A windowed program usually has no standard output; the line is then dropped.
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) {
        return;
    }
    std::string text = std::string(line) + "\n";
    DWORD written = 0;
    WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

VoidResult MainWindow::bind_focus_forwarding(NoticeSender dialog) {
    auto raw = gui::RawHandler::bind(window_.get(), FOCUS_FORWARDING_HANDLER_ID,
                                     [dialog](HWND, UINT message, WPARAM, LPARAM lparam) {
                                         // A click anywhere on the disabled window, caption
                                         // included, arrives as WM_SETCURSOR naming the button
                                         // press, whatever the hit-test code.
                                         bool click = message == WM_SETCURSOR &&
                                                      HIWORD(lparam) == WM_LBUTTONDOWN;
                                         if (click || message == WM_SETFOCUS) {
                                             gui::signal(dialog);
                                         }
                                     });
    if (!raw) {
        return fail(raw.error());
    }
    focus_forwarding_ = std::move(*raw);
    return {};
}

VoidResult MainWindow::unbind_focus_forwarding() {
    if (!focus_forwarding_) {
        return fail(fmt::format("No raw event handler with the id {} is bound to the window",
                                FOCUS_FORWARDING_HANDLER_ID));
    }
    auto r = focus_forwarding_->unbind();
    focus_forwarding_.reset();
    return r;
}

}  // namespace view

Result<std::unique_ptr<ConfigAppUi>> ConfigAppUi::bind(std::shared_ptr<ConfigApp> app,
                                                       view::MainWindow& window) {
    std::unique_ptr<ConfigAppUi> ui(new ConfigAppUi());
    std::weak_ptr<ConfigApp> weak = app;
    ui->app_ = std::move(app);
    auto handler = gui::BoundHandler::bind(
        window.window(),
        [weak, &window](const gui::Event& event) { handle_event(weak, window, event); });
    if (!handler) {
        return fail(handler.error());
    }
    ui->handlers_.push_back(std::move(*handler));
    return ui;
}

ConfigAppUi::~ConfigAppUi() {
    handlers_.clear();
    app_.reset();
}

void ConfigAppUi::handle_event(const std::weak_ptr<ConfigApp>& weak, const view::MainWindow& window,
                               const gui::Event& event) {
    std::shared_ptr<ConfigApp> app = weak.lock();
    if (!app) {
        return;
    }
    constexpr ControlId main_window{Page::Main, Field::Window};
    switch (event.kind) {
        case gui::EventKind::Init:
            if (event.source == window.window()) {
                app->handle_event(UiEvent::Init, main_window);
            }
            break;
        case gui::EventKind::Close:
            if (event.source == window.window()) {
                app->handle_event(UiEvent::Close, main_window);
            }
            break;
        case gui::EventKind::Tick:
            if (event.source == window.window() && window.is_timer(event.id)) {
                app->handle_event(UiEvent::Tick, {Page::Main, Field::Timer});
            }
            break;
        case gui::EventKind::Notice:
            if (event.source == window.window()) {
                app->handle_event(UiEvent::Notice, {Page::Main, Field::Notice}, event.id);
            }
            break;
        case gui::EventKind::Click:
        case gui::EventKind::TextChanged:
        case gui::EventKind::SelectionChanged: {
            auto id = window.control_id(event.source);
            if (!id) {
                break;
            }
            UiEvent kind = event.kind == gui::EventKind::Click         ? UiEvent::Click
                           : event.kind == gui::EventKind::TextChanged ? UiEvent::TextChanged
                                                                       : UiEvent::SelectionChanged;
            app->handle_event(kind, *id);
            break;
        }
    }
}

}  // namespace tessaro::winconfig
