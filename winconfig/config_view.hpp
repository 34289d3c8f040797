// What the configuration tool's portable model needs of its window: controls addressed by an id,
// their texts, items, selections and enabled states, the main window itself, message boxes and
// the raw handler that forwards clicks and focus to an open status dialog. The Win32 view
// implements it over real controls; tests implement it over plain values.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace tessaro::winconfig {

// Main: the window, "Speichern" and the "Dienst" tab; Terminal and Pinpad: the two proxy tabs.
enum class Page { Main, Terminal, Pinpad };

enum class Field {
    // Page::Main
    Window,
    SaveButton,
    ServiceState,
    ServiceButton,
    TerminalState,
    TerminalDetails,
    PinpadState,
    PinpadDetails,
    LogLevelCombo,
    LogLevelMarker,
    EventViewerButton,
    Notice,
    Timer,
    // Page::Terminal and Page::Pinpad
    TabCaption,
    PcHeading,
    PcInterfaceCombo,
    PcInterfaceMarker,
    UdpPort,
    UdpPortMarker,
    SicctPort,
    SicctPortMarker,
    HttpsPort,
    HttpsPortMarker,
    AnnouncementInterval,
    AnnouncementIntervalMarker,
    AnnouncementIpLabel,
    AnnouncementIp,
    AnnouncementIpMarker,
    AnnouncementPortLabel,
    AnnouncementPort,
    AnnouncementPortMarker,
    DeviceHeading,
    DeviceInterfaceCombo,
    DeviceInterfaceMarker,
};

struct ControlId {
    Page page = Page::Main;
    Field field = Field::Window;
    auto operator<=>(const ControlId&) const = default;
};

// The events of the main window and its controls that the model handles; all others are
// dropped by the view.
enum class UiEvent { Init, Click, TextChanged, SelectionChanged, Tick, Notice, Close };

enum class BoxOwner { None, MainWindow };
enum class BoxStyle { Error, YesNoQuestion };  // MB_OK|MB_ICONERROR, MB_YESNO|MB_ICONQUESTION

// A cross-thread wake-up: the window and the notice id; signalling sends message 0x464 to the
// window without waiting, and the thread that owns the window delivers it as a notice event.
struct NoticeSender {
    std::uintptr_t window = 0;
    std::uintptr_t id = 0;
    bool operator==(const NoticeSender&) const = default;
};

class ConfigView {
  public:
    virtual ~ConfigView() = default;

    // Texts of labels, text fields, buttons, the tab captions (TabCaption) and the window title.
    virtual std::string text(ControlId id) const = 0;
    virtual void set_text(ControlId id, std::string_view text) = 0;
    virtual void set_enabled(ControlId id, bool enabled) = 0;

    // Combo boxes: items are appended; a selection is an item index.
    virtual void add_item(ControlId id, std::string_view text) = 0;
    virtual std::optional<std::size_t> selection(ControlId id) const = 0;
    virtual void select(ControlId id, std::optional<std::size_t> index) = 0;

    // The main window: shown and activated; enabled or disabled; SetForegroundWindow.
    virtual void show_window() = 0;
    virtual void set_window_enabled(bool enabled) = 0;
    virtual void bring_to_front() = 0;
    // Posts the quit message to the GUI thread's queue.
    virtual void quit() = 0;

    // A modal message box titled "Korvel Tessaro" (it runs a nested message loop); true when
    // the answer was Yes.
    virtual bool message_box(std::string_view text, BoxOwner owner, BoxStyle style) = 0;
    // A line on standard output (dropped silently when the process has none).
    virtual void print_line(std::string_view line) = 0;

    // The main window's notice for the status dialog thread of one opening to signal when its
    // dialog ends. Its id is `opening`, which the notice event hands back, so that the model tells
    // the end of the dialog it tracks from that of one it does not.
    virtual NoticeSender main_notice(std::uintptr_t opening) const = 0;
    // The raw handler with id 65536 on the main window that signals `dialog` on WM_SETFOCUS and
    // on WM_SETCURSOR for WM_LBUTTONDOWN; fails when one is bound already.
    [[nodiscard]] virtual VoidResult bind_focus_forwarding(NoticeSender dialog) = 0;
    // A handler that cannot be removed is reported and disarmed: it signals no more and does not
    // keep a later bind from succeeding.
    [[nodiscard]] virtual VoidResult unbind_focus_forwarding() = 0;
};

}  // namespace tessaro::winconfig
