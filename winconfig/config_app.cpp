#include "winconfig/config_app.hpp"

#include <string>
#include <utility>

#include "winconfig/settings_writer.hpp"

namespace tessaro::winconfig {

namespace {

constexpr ControlId main_control(Field field) {
    return ControlId{Page::Main, field};
}

constexpr std::string_view restart_question = "Dienst neu starten um die Änderungen zu übernehmen?";
constexpr std::string_view status_read_error_prefix = "Konnte Service-Status nicht abrufen: ";
constexpr std::string_view status_reader_error_prefix = "Could not open app status reader: ";
constexpr std::string_view connected_text = "Verbunden";
constexpr std::string_view not_connected_text = "Nicht verbunden";

constexpr std::string_view service_started_text = "Gestartet";
constexpr std::string_view service_stopped_text = "Nicht gestartet";
constexpr std::string_view service_missing_text = "Nicht installiert";
constexpr std::string_view start_text = "Starten";
constexpr std::string_view stop_text = "Beenden";
// The service library's texts; the system's code is not shown.
constexpr std::string_view service_open_error_text = "Konnte den Windows-Dienst nicht öffnen!";
constexpr std::string_view winapi_error_text = "IO error in winapi call";
constexpr std::string_view invalid_state_text = "Invalid service state value";

constexpr std::string_view open_dialog_error_prefix = "Could not open dialog: ";
constexpr std::string_view unbind_error_prefix = "Could not unbind raw event handler: ";
constexpr std::string_view dialog_failed_prefix = "Dialog thread failed: ";
// The channel's own text for a receive whose sending end went without a value.
constexpr std::string_view closed_channel_receive_text = "receiving on a closed channel";

bool is_valid_service_state(std::uint32_t state) {
    return state >= SERVICE_STATE_STOPPED && state <= SERVICE_STATE_MAX;
}

bool is_proxy_text_field(Field field) {
    switch (field) {
        case Field::UdpPort:
        case Field::SicctPort:
        case Field::HttpsPort:
        case Field::AnnouncementInterval:
        case Field::AnnouncementIp:
        case Field::AnnouncementPort:
            return true;
        default:
            return false;
    }
}

bool is_selection_source(ControlId source) {
    if (source.page == Page::Main) {
        return source.field == Field::LogLevelCombo;
    }
    return source.field == Field::PcInterfaceCombo || source.field == Field::DeviceInterfaceCombo;
}

// Opens the manager, then the service with `access`; the manager is closed once the service is
// open (or failed to open).
Result<std::unique_ptr<ServiceHandle>> open_service(ConfigPlatform& platform,
                                                    std::uint32_t access) {
    auto manager = platform.open_service_manager();
    if (!manager) {
        return fail(std::move(manager.error()));
    }
    return (*manager)->open_service(access);
}

}  // namespace

ConfigApp::ConfigApp(ConfigView& view, ConfigPlatform& platform, Settings saved_settings)
    : view_(view),
      platform_(platform),
      terminal_tab_(view, false),
      pinpad_tab_(view, true),
      saved_settings_(std::move(saved_settings)) {}

void ConfigApp::handle_event(UiEvent event, ControlId source, std::uintptr_t notice_id) {
    switch (event) {
        case UiEvent::Init:
            if (source == main_control(Field::Window)) {
                on_init();
            }
            break;
        case UiEvent::Click:
            on_click(source);
            break;
        case UiEvent::TextChanged:
            if (source.page != Page::Main && is_proxy_text_field(source.field)) {
                update_save_button();
            }
            break;
        case UiEvent::SelectionChanged:
            if (is_selection_source(source)) {
                update_save_button();
            }
            break;
        case UiEvent::Tick:
            if (source == main_control(Field::Timer)) {
                on_timer();
            }
            break;
        case UiEvent::Notice:
            if (source == main_control(Field::Notice)) {
                on_dialog_closed(notice_id);
            }
            break;
        case UiEvent::Close:
            if (source == main_control(Field::Window)) {
                view_.quit();
            }
            break;
    }
}

void ConfigApp::on_click(ControlId source) {
    if (source == main_control(Field::SaveButton)) {
        save();
    } else if (source == main_control(Field::ServiceButton)) {
        toggle_service();
    } else if (source == main_control(Field::PinpadDetails)) {
        show_pinpad_details();
    } else if (source == main_control(Field::TerminalDetails)) {
        show_terminal_details();
    } else if (source == main_control(Field::EventViewerButton)) {
        open_event_viewer();
    }
}

void ConfigApp::show_error_box(std::string_view text, BoxOwner owner) {
    show_box(text, owner, BoxStyle::Error);
}

bool ConfigApp::show_box(std::string_view text, BoxOwner owner, BoxStyle style) {
    if (owner != BoxOwner::MainWindow) {
        return view_.message_box(text, owner, style);
    }
    ++owned_boxes_open_;
    bool yes = view_.message_box(text, owner, style);
    --owned_boxes_open_;
    // A box's end may enable its owner whether or not the box disabled it (Wine does).
    update_window_state();
    return yes;
}

void ConfigApp::update_window_state() {
    bool enabled = owned_boxes_open_ == 0 && !open_dialog_ && !dialog_opening_;
    view_.set_window_enabled(enabled);
    if (enabled && std::exchange(raise_when_enabled_, false)) {
        view_.bring_to_front();
    }
}

void ConfigApp::on_init() {
    std::optional<std::size_t> level;
    for (std::size_t i = 0; i < LOG_LEVEL_ITEMS.size(); ++i) {
        if (LOG_LEVEL_ITEMS[i].level == saved_settings_.log_level) {
            level = i;
            break;
        }
    }
    view_.select(main_control(Field::LogLevelCombo), level);

    Interfaces scanned = platform_.scan_adapters();
    terminal_tab_.load(saved_settings_.terminal, scanned.pc, scanned.terminal);
    pinpad_tab_.load(saved_settings_.pinpad, scanned.pc, scanned.pinpad);
    update_save_button();
    view_.show_window();
}

void ConfigApp::update_save_button() {
    bool level_selected = false;
    bool level_differs = false;
    auto selection = view_.selection(main_control(Field::LogLevelCombo));
    if (selection && *selection < LOG_LEVEL_ITEMS.size()) {
        level_selected = true;
        level_differs = LOG_LEVEL_ITEMS[*selection].level != saved_settings_.log_level;
    }
    view_.set_text(main_control(Field::LogLevelMarker), level_selected ? "" : "!");

    ProxyTab::Check terminal = terminal_tab_.validate(saved_settings_.terminal);
    ProxyTab::Check pinpad = pinpad_tab_.validate(saved_settings_.pinpad);
    bool enabled = level_selected && terminal.valid && pinpad.valid &&
                   (level_differs || terminal.changed || pinpad.changed);
    view_.set_enabled(main_control(Field::SaveButton), enabled);
}

void ConfigApp::save() {
    // The saved settings take the controls' values only once the key holds all of them: after a
    // failure "Speichern" stays enabled, and the same edits can be saved again.
    Settings edited = saved_settings_;
    auto selection = view_.selection(main_control(Field::LogLevelCombo));
    if (selection && *selection < LOG_LEVEL_ITEMS.size()) {
        edited.log_level = LOG_LEVEL_ITEMS[*selection].level;
    }
    terminal_tab_.store(edited.terminal);
    pinpad_tab_.store(edited.pinpad);

    VoidResult written = [&]() -> VoidResult {
        auto key = platform_.open_settings_key();
        if (!key) {
            return fail(std::move(key.error()));
        }
        // The key is closed when this returns, before any box.
        return save_settings(edited, **key);
    }();
    if (written) {
        saved_settings_ = std::move(edited);
    } else {
        show_error_box(written.error().message());
    }
    update_save_button();

    // No restart on a half-written key; otherwise as the last state query left it.
    if (!written || !service_running_) {
        return;
    }
    if (!show_box(restart_question, BoxOwner::MainWindow, BoxStyle::YesNoQuestion)) {
        return;
    }
    refresh_service_state();
    if (service_running_) {
        restart_pending_ = true;
        toggle_service();
    }
}

void ConfigApp::on_timer() {
    refresh_service_state();
    // A tick nested in the status-read error box leaves the read to the tick that shows it.
    if (status_read_running_) {
        return;
    }
    status_read_running_ = true;

    AppStatus status;  // both proxies not connected unless a read says otherwise
    auto reader = platform_.open_status_reader();
    if (!reader) {
        view_.print_line(std::string(status_reader_error_prefix) + reader.error().message());
    } else {
        auto read = (*reader)->read();
        // The section is released before any box.
        reader->reset();
        if (read) {
            status_error_.reset();
            status = std::move(*read);
        } else if (status_error_ != read.error()) {
            show_error_box(
                std::string(status_read_error_prefix) + std::string(to_string(read.error())),
                BoxOwner::MainWindow);
            status_error_ = read.error();
        }
    }

    bool terminal = status.terminal.is_connected();
    view_.set_enabled(main_control(Field::TerminalDetails), terminal);
    view_.set_text(main_control(Field::TerminalState),
                   terminal ? connected_text : not_connected_text);
    bool pinpad = status.pinpad.is_connected();
    view_.set_enabled(main_control(Field::PinpadDetails), pinpad);
    view_.set_text(main_control(Field::PinpadState), pinpad ? connected_text : not_connected_text);
    last_status_ = std::move(status);

    status_read_running_ = false;
}

void ConfigApp::on_dialog_closed(std::uintptr_t opening) {
    if (!open_dialog_ || open_dialog_->opening != opening) {
        return;
    }
    DialogThread thread = std::move(open_dialog_->thread);
    open_dialog_.reset();

    if (auto unbound = view_.unbind_focus_forwarding(); !unbound) {
        show_error_box(std::string(unbind_error_prefix) + unbound.error().message());
    }
    DialogThreadEnd end = thread.join();
    if (!end) {
        show_error_box(dialog_thread_panicked_error().message());
    } else if (!end->has_value()) {
        show_error_box(std::string(dialog_failed_prefix) + end->error().message());
    }
    // The boxes above run nested loops: a box owned by the window may still be open, or a
    // dialog opened meanwhile from the window that an owned box's end gave back. Either keeps the
    // window, and its own end gives it back and raises it.
    raise_when_enabled_ = true;
    update_window_state();
}

void ConfigApp::refresh_service_state() {
    service_running_ = false;
    auto state = [&]() -> Result<std::uint32_t> {
        auto service = open_service(platform_, SERVICE_QUERY_STATUS_ACCESS);
        if (!service) {
            return fail(std::move(service.error()));
        }
        return (*service)->query_state();
    }();

    if (!state || !is_valid_service_state(*state)) {
        // The button keeps its text: only a successful query changes it.
        view_.set_text(main_control(Field::ServiceState), service_missing_text);
        view_.set_enabled(main_control(Field::ServiceButton), false);
        return;
    }
    bool running = *state == SERVICE_STATE_RUNNING;
    bool stopped = *state == SERVICE_STATE_STOPPED;
    view_.set_text(main_control(Field::ServiceState),
                   running ? service_started_text : service_stopped_text);
    view_.set_text(main_control(Field::ServiceButton), running ? stop_text : start_text);
    view_.set_enabled(main_control(Field::ServiceButton), running || stopped);

    if (stopped && restart_pending_) {
        // Cleared first: the start's error box may run a nested tick that sees STOPPED again.
        restart_pending_ = false;
        toggle_service();
    }
    if (running) {
        service_running_ = true;
    }
}

void ConfigApp::toggle_service() {
    auto service = open_service(platform_, SERVICE_START_ACCESS | SERVICE_STOP_ACCESS);
    if (!service) {
        show_error_box(service_open_error_text);
        return;
    }
    std::optional<std::string_view> error;
    if (service_running_) {
        // The last query's word is taken; the service is not asked again.
        auto state = (*service)->stop();
        if (!state) {
            error = winapi_error_text;
        } else if (!is_valid_service_state(*state)) {
            error = invalid_state_text;
        }
    } else {
        auto started = (*service)->start({std::string(SERVICE_START_ARGUMENT)});
        if (!started) {
            error = winapi_error_text;
        }
    }
    // The service handle is closed before any box.
    service->reset();
    if (error) {
        show_error_box(*error);
    }
}

void ConfigApp::open_event_viewer() {
    if (auto started = platform_.start_event_viewer(); !started) {
        show_error_box(started.error().message());
    }
}

void ConfigApp::show_terminal_details() {
    show_details(DeviceKind::Terminal, last_status_.terminal);
}

void ConfigApp::show_pinpad_details() {
    show_details(DeviceKind::Pinpad, last_status_.pinpad);
}

void ConfigApp::show_details(DeviceKind kind, const ProxyStatus& status) {
    // A copy: the dialog shows the status of this moment, whatever later ticks read.
    ProxyStatus snapshot = status;
    if (auto opened = open_status_dialog(kind, std::move(snapshot)); !opened) {
        show_error_box(std::string(open_dialog_error_prefix) + opened.error().message());
    }
}

VoidResult ConfigApp::open_status_dialog(DeviceKind kind, ProxyStatus snapshot) {
    if (open_dialog_ || dialog_opening_) {
        return {};
    }
    dialog_opening_ = true;
    update_window_state();
    VoidResult opened = start_status_dialog(kind, std::move(snapshot));
    dialog_opening_ = false;
    // Disabled under the tracked dialog; given back when there is none.
    update_window_state();
    return opened;
}

VoidResult ConfigApp::start_status_dialog(DeviceKind kind, ProxyStatus snapshot) {
    std::uintptr_t opening = ++last_opening_;
    auto [sender, receiver] = make_hand_over_channel();
    DialogStart start{view_.main_notice(opening), std::move(snapshot), kind, std::move(sender)};
    auto thread = platform_.start_dialog_thread(std::move(start));
    if (!thread) {
        return fail(std::move(thread.error()));
    }

    // The GUI thread runs no messages until the dialog exists or its thread has ended.
    std::optional<NoticeSender> dialog_notice = receiver.receive();
    if (!dialog_notice) {
        DialogThreadEnd end = thread->join();
        if (!end) {
            return fail(dialog_thread_panicked_error());
        }
        if (!end->has_value()) {
            return fail(std::move(end->error()));
        }
        return fail(std::string(closed_channel_receive_text));
    }

    if (auto bound = view_.bind_focus_forwarding(*dialog_notice); !bound) {
        // The dialog goes on by itself, untracked; its end notice names an opening that is not
        // tracked and does nothing.
        thread->detach();
        return fail(std::move(bound.error()));
    }
    open_dialog_ = OpenDialog{std::move(*thread), opening};
    return {};
}

}  // namespace tessaro::winconfig
