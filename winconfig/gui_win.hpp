// The configuration tool's small window layer over user32, gdi32 and comctl32: owners for windows,
// fonts and icons; controls declared as records and created in declaration order (which Windows
// also takes as the keyboard tab order); one event handler bound to a window and its children;
// notices across threads; the one-second timer; raw message handlers in front of a window's own
// processing; and the message loop with the dialog keyboard handling. It holds only what the tool
// uses. Windows only: included by _win.cpp files.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "common/os/unique_handle.hpp"
#include "common/os/windows.hpp"
#include "winconfig/config_view.hpp"

// After windows.hpp.
#include <commctrl.h>

namespace tessaro::winconfig::gui {

std::wstring widen(std::string_view utf8);
std::string narrow(std::wstring_view text);

struct WindowTraits {
    using handle_type = HWND;
    static handle_type invalid() { return nullptr; }
    static void close(handle_type window) { DestroyWindow(window); }
};
struct FontTraits {
    using handle_type = HFONT;
    static handle_type invalid() { return nullptr; }
    static void close(handle_type font) { DeleteObject(font); }
};
struct IconTraits {
    using handle_type = HICON;
    static handle_type invalid() { return nullptr; }
    static void close(handle_type icon) { DestroyIcon(icon); }
};
using OwnedWindow = os::UniqueHandle<WindowTraits>;
using OwnedFont = os::UniqueHandle<FontTraits>;
using OwnedIcon = os::UniqueHandle<IconTraits>;

// The common controls and the layer's own window classes, then COM as a single-threaded
// apartment on the calling thread, which stays initialised until the owner goes.
class GuiLibrary {
  public:
    [[nodiscard]] static Result<std::unique_ptr<GuiLibrary>> init();
    GuiLibrary(const GuiLibrary&) = delete;
    GuiLibrary& operator=(const GuiLibrary&) = delete;
    ~GuiLibrary();

  private:
    GuiLibrary() = default;
};

// "Segoe UI" at the given height; weight 0 is the font's own default weight.
[[nodiscard]] Result<OwnedFont> create_font(int height, int weight);

// The two images of an icon group that a window shows, each taken at its own size from the group:
// the large one (task bar, Alt+Tab) and the small one of the caption, which a large image scaled
// down would blur.
struct WindowIcon {
    OwnedIcon large;
    OwnedIcon small;
};
// The icon group resource of the running executable.
[[nodiscard]] Result<WindowIcon> load_icon(const wchar_t* resource_name);

// What every control is created with; the font is the caller's default font when none is given.
struct ControlSpec {
    const wchar_t* class_name = L"STATIC";
    std::string_view text;
    int width = 0;
    int height = 0;
    int x = 0;
    int y = 0;
    DWORD style = 0;  // WS_CHILD is always added
    DWORD ex_style = 0;
    HFONT font = nullptr;
    int limit = 0;  // EDIT: the length limit in characters; 0: none
};

// The tool's fixed control kinds, with the styles the tool gives them.
ControlSpec label(std::string_view text, int width, int height, int x, int y, HFONT font = nullptr);
ControlSpec text_input(std::string_view text, int width, int height, int x, int y, DWORD extra,
                       int limit);
ControlSpec button(std::string_view text, int width, int height, int x, int y, bool enabled);
ControlSpec combo_box(int width, int height, int x, int y);

// Creates one control in `parent` with `default_font` unless the control names a font of its own.
[[nodiscard]] Result<OwnedWindow> create_control(HWND parent, const ControlSpec& spec,
                                                 HFONT default_font);

// A top-level window of the layer's class: hidden or visible, with the client size given, created
// at (300, 300) and then centred on its monitor. `init_event` posts the initialisation event that
// the bound handler receives once the message loop runs.
struct TopLevelSpec {
    std::string_view title;
    int client_width = 0;
    int client_height = 0;
    DWORD style = 0;
    const WindowIcon* icon = nullptr;
    bool init_event = false;
};
[[nodiscard]] Result<OwnedWindow> create_top_level(const TopLevelSpec& spec);

// The tabs container: a SysTabControl32 whose pages are child windows of it of the layer's page
// class; the container shows the page of the selected tab.
[[nodiscard]] Result<OwnedWindow> create_tabs(HWND parent, int width, int height, int x, int y,
                                              HFONT font);
// Appends a page with the caption given; the page's index is its position among the pages.
[[nodiscard]] Result<OwnedWindow> add_tab_page(HWND tabs, std::string_view caption);
std::string tab_caption(HWND tabs, int index);
void set_tab_caption(HWND tabs, int index, std::string_view caption);
// The index of a page among the pages of its container.
int page_index(HWND page);

std::string window_text(HWND window);
void set_window_text(HWND window, std::string_view text);

// The events the layer delivers to a bound handler; every other message passes untouched.
enum class EventKind { Init, Click, TextChanged, SelectionChanged, Tick, Notice, Close };
struct Event {
    EventKind kind;
    HWND source;            // the control, or the window that received it
    std::uintptr_t id = 0;  // Notice: the notice id; Tick: the timer id
};
using EventHandler = std::function<void(const Event&)>;

// One handler bound to a window and every child window that exists when it is bound; unbound
// when the owner goes, which must be before the windows are destroyed. Clicks, text and selection
// changes come from any of them; the initialisation, ticks, notices and the close request only from
// the window bound, while the children's own (an edit field's scrolling timer) go on to them.
class BoundHandler {
  public:
    [[nodiscard]] static Result<std::unique_ptr<BoundHandler>> bind(HWND window,
                                                                    EventHandler handler);
    BoundHandler(const BoundHandler&) = delete;
    BoundHandler& operator=(const BoundHandler&) = delete;
    ~BoundHandler();

  private:
    BoundHandler() = default;
    static LRESULT CALLBACK proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                                 UINT_PTR subclass_id, DWORD_PTR data);

    EventHandler handler_;
    std::vector<HWND> windows_;
};

// A raw message handler with an id, in front of the window's own processing: it sees every
// message, and the window's processing follows in every case.
using RawHandlerFn = std::function<void(HWND, UINT, WPARAM, LPARAM)>;
class RawHandler {
  public:
    // Fails when the window holds a raw handler with this id already; one left disarmed by a
    // failed removal gives its place up.
    [[nodiscard]] static Result<std::unique_ptr<RawHandler>> bind(HWND window, UINT_PTR id,
                                                                  RawHandlerFn handler);
    RawHandler(const RawHandler&) = delete;
    RawHandler& operator=(const RawHandler&) = delete;
    ~RawHandler();
    // The call that removes a window subclass, RemoveWindowSubclass unless a test puts one in its
    // place that fails as Windows may.
    using RemoveSubclass = BOOL(WINAPI*)(HWND, SUBCLASSPROC, UINT_PTR);
    // Removes the handler; fails when it is no longer bound. When the window still exists but its
    // subclass cannot be removed, the handler is disarmed: it is no longer called, a later bind
    // of the same id takes its place, and the window frees it at its last message.
    [[nodiscard]] VoidResult unbind(RemoveSubclass remove = RemoveWindowSubclass);

  private:
    // What the subclass calls, also named by the window's property of the id. The owner holds it
    // while it is armed; a disarmed one belongs to the window, until its last message or until a
    // new binding of the id replaces it.
    struct Binding {
        RawHandlerFn handler;
        bool armed = true;
    };

    RawHandler() = default;
    static LRESULT CALLBACK proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                                 UINT_PTR subclass_id, DWORD_PTR data);

    HWND window_ = nullptr;
    UINT_PTR id_ = 0;
    std::unique_ptr<Binding> binding_;  // empty once unbound
};

// The message number of a notice (WM_USER + 100): first parameter the notice id, second the
// window handle.
inline constexpr UINT NOTICE_MESSAGE = 0x464;
// Posted to a new top-level window so that its handler, bound after the build, sees the
// initialisation as the first event of the message loop.
inline constexpr UINT INIT_MESSAGE = WM_APP + 1;

// A notice on a window: a wake-up that any thread may signal without waiting.
NoticeSender notice_on(HWND window, std::uintptr_t id);
void signal(NoticeSender sender);

// A Win32 timer on a window, ticking at the interval given until its owner goes.
class Timer {
  public:
    Timer(HWND window, UINT_PTR id, UINT interval_ms);
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;
    ~Timer();
    bool running() const { return running_; }
    UINT_PTR id() const { return id_; }

  private:
    HWND window_;
    UINT_PTR id_;
    bool running_;
};

// Runs the calling thread's message loop until the quit message; every message is first offered
// to the dialog keyboard handling of its window's top-level ancestor.
void run_message_loop();

// Brings a window to the front and flashes its caption `count` times.
void flash_caption(HWND window, UINT count, DWORD interval_ms);

}  // namespace tessaro::winconfig::gui
