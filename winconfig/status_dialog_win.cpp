// The status dialog on its own thread: its window and controls, the hand-over of its notice to
// the main window, its message loop, and the notice to the main window once it has ended.
#include <memory>
#include <optional>
#include <vector>

#include "winconfig/dialog_thread.hpp"
#include "winconfig/gui_win.hpp"
#include "winconfig/status_dialog.hpp"

namespace tessaro::winconfig {

namespace {

constexpr std::uintptr_t DIALOG_NOTICE_ID = 1;

// The controls of the dialog, in creation order. Members go in reverse order, so every control
// goes before the window.
struct StatusDialog {
    gui::OwnedFont default_font;
    gui::WindowIcon icon;
    gui::OwnedWindow window;
    NoticeSender notice;
    gui::OwnedWindow interface_label;
    gui::OwnedWindow interface_value;
    gui::OwnedWindow ip_label;
    gui::OwnedWindow ip_value;
    gui::OwnedWindow mac_label;
    gui::OwnedWindow mac_value;
    gui::OwnedWindow device_ip_label;
    gui::OwnedWindow device_ip_value;
    gui::OwnedWindow device_mac_label;
    gui::OwnedWindow device_mac_value;
    gui::OwnedWindow ok_button;

    [[nodiscard]] static Result<std::shared_ptr<StatusDialog>> build();
};

Result<std::shared_ptr<StatusDialog>> StatusDialog::build() {
    auto d = std::make_shared<StatusDialog>();
    // The same default font as the main window's; without it the system font.
    if (auto font = gui::create_font(16, 0); font) {
        d->default_font = std::move(*font);
    }
    auto icon = gui::load_icon(L"ICON_KORVEL");
    if (!icon) {
        return fail(icon.error());
    }
    d->icon = std::move(*icon);
    auto window =
        gui::create_top_level({.title = "New Window",
                               .client_width = 375,
                               .client_height = 190,
                               .style = WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN,
                               .icon = &d->icon,
                               .init_event = false});
    if (!window) {
        return fail(window.error());
    }
    d->window = std::move(*window);
    d->notice = gui::notice_on(d->window.get(), DIALOG_NOTICE_ID);

    // Labels here keep the window's background; the fields are read-only and without limit.
    auto label = [](const char* text, int y) { return gui::label(text, 180, 25, 5, y); };
    auto value = [](int y) { return gui::text_input("...", 180, 25, 190, y, ES_READONLY, 0); };
    const std::pair<gui::OwnedWindow*, gui::ControlSpec> controls[] = {
        {&d->interface_label, label("Aktuelle Schnittstelle:", 8)},
        {&d->interface_value, value(5)},
        {&d->ip_label, label("Aktuelle IP-Adresse:", 38)},
        {&d->ip_value, value(35)},
        {&d->mac_label, label("Aktuelle MAC-Adresse:", 68)},
        {&d->mac_value, value(65)},
        {&d->device_ip_label, label("A label", 98)},
        {&d->device_ip_value, value(95)},
        {&d->device_mac_label, label("A label", 128)},
        {&d->device_mac_value, value(125)},
        {&d->ok_button, gui::button("OK", 90, 25, 280, 155, true)},
    };
    for (const auto& [slot, spec] : controls) {
        auto made = gui::create_control(d->window.get(), spec, d->default_font.get());
        if (!made) {
            return fail(made.error());
        }
        *slot = std::move(*made);
    }
    return d;
}

// The wrapper the dialog thread holds while its loop runs; destroying it unbinds the handlers
// first and then releases the dialog, which destroys its windows.
class StatusDialogUi {
  public:
    explicit StatusDialogUi(std::shared_ptr<StatusDialog> dialog) : dialog_(std::move(dialog)) {}
    StatusDialogUi(const StatusDialogUi&) = delete;
    StatusDialogUi& operator=(const StatusDialogUi&) = delete;
    ~StatusDialogUi() {
        handlers_.clear();
        dialog_.reset();
    }

    [[nodiscard]] VoidResult bind() {
        std::weak_ptr<StatusDialog> weak = dialog_;
        auto handler = gui::BoundHandler::bind(
            dialog_->window.get(), [weak](const gui::Event& event) { handle_event(weak, event); });
        if (!handler) {
            return fail(handler.error());
        }
        handlers_.push_back(std::move(*handler));
        return {};
    }

    static void handle_event(const std::weak_ptr<StatusDialog>& weak, const gui::Event& event) {
        std::shared_ptr<StatusDialog> dialog = weak.lock();
        if (!dialog) {
            return;
        }
        bool ok_clicked =
            event.kind == gui::EventKind::Click && event.source == dialog->ok_button.get();
        bool closed = event.kind == gui::EventKind::Close && event.source == dialog->window.get();
        if (ok_clicked || closed) {
            // Ends this thread's loop only; the main window's loop runs on another thread.
            PostQuitMessage(0);
        } else if (event.kind == gui::EventKind::Notice && event.source == dialog->window.get() &&
                   event.id == dialog->notice.id) {
            gui::flash_caption(dialog->window.get(), 3, 100);
        }
    }

    StatusDialog& dialog() { return *dialog_; }

  private:
    std::shared_ptr<StatusDialog> dialog_;
    std::vector<std::unique_ptr<gui::BoundHandler>> handlers_;
};

}  // namespace

VoidResult run_status_dialog(DialogStart start) {
    auto dialog = StatusDialog::build();
    if (!dialog) {
        return fail(dialog.error());
    }
    auto ui = std::make_unique<StatusDialogUi>(std::move(*dialog));
    if (auto bound = ui->bind(); !bound) {
        return bound;
    }
    if (auto sent = start.hand_over.send(ui->dialog().notice); !sent) {
        return sent;
    }

    StatusDialog& d = ui->dialog();
    StatusDialogTexts texts = status_dialog_texts(start.kind, start.snapshot);
    gui::set_window_text(d.window.get(), texts.title);
    gui::set_window_text(d.device_ip_label.get(), texts.device_ip_label);
    gui::set_window_text(d.device_mac_label.get(), texts.device_mac_label);
    gui::set_window_text(d.interface_value.get(), texts.interface_value);
    gui::set_window_text(d.ip_value.get(), texts.ip_value);
    gui::set_window_text(d.mac_value.get(), texts.mac_value);
    gui::set_window_text(d.device_ip_value.get(), texts.device_ip_value);
    gui::set_window_text(d.device_mac_value.get(), texts.device_mac_value);

    gui::run_message_loop();

    // The main window learns of the end before the windows go, so that its wait for this thread
    // covers only their destruction.
    gui::signal(start.main_notice);
    ui.reset();
    return {};
}

}  // namespace tessaro::winconfig
