// A driver for GUI tests of the configuration tool, run under Wine on a private X display: it
// starts the real tool, finds its windows and controls through user32, reads texts, states and
// geometry, types, selects, clicks, answers message boxes, closes the tool and keeps screenshots
// as PNG files. Every wait is bounded in time.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/os/windows.hpp"

namespace tessaro::gui_test {

using namespace std::chrono_literals;

// Polls `condition` every 20 ms until it holds or `timeout` has passed; true when it held.
bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 10s);

// "/a/b" as Wine's drive Z: sees it.
std::wstring windows_path(std::string_view unix_path);

std::string utf8(std::wstring_view text);
std::wstring wide(std::string_view text);

// One child window as a test sees it: position relative to its parent's client area.
struct ControlInfo {
    HWND hwnd = nullptr;
    std::string class_name;
    std::string text;
    RECT rect{};  // left, top, right, bottom in the parent's client coordinates
    LONG style = 0;
    LONG ex_style = 0;
    bool enabled = false;
    bool visible = false;

    int width() const { return rect.right - rect.left; }
    int height() const { return rect.bottom - rect.top; }
};

ControlInfo inspect(HWND window);
// The direct children of `parent` in Z order, which is their creation order.
std::vector<ControlInfo> children(HWND parent);
std::string window_text(HWND window);
std::string class_name(HWND window);
SIZE client_size(HWND window);

// The tool, started as a child process; ended by force if it still runs when the owner goes.
class Tool {
  public:
    explicit Tool(std::string_view exe_unix_path);
    // The program at a Windows path, started in the folder given (empty: the test's own).
    Tool(const std::wstring& exe, const std::wstring& current_dir);
    Tool(const Tool&) = delete;
    Tool& operator=(const Tool&) = delete;
    ~Tool();

    bool started() const { return process_ != nullptr; }
    DWORD pid() const { return pid_; }
    HANDLE process() const { return process_; }

    // The visible top-level window of the tool of the layer's class whose title starts with
    // `title_prefix`; null when none appears in time.
    HWND wait_for_window(std::string_view title_prefix, std::chrono::milliseconds timeout = 20s);
    std::vector<HWND> top_level_windows(const wchar_t* class_filter) const;
    // A message box of the tool ("#32770" titled "Korvel Tessaro").
    HWND wait_for_message_box(std::chrono::milliseconds timeout = 10s);
    // The exit status once the process has ended, none if it still runs after `timeout`.
    std::optional<DWORD> wait_for_exit(std::chrono::milliseconds timeout = 10s);

    // Reads the caption of a tab of a tab control in the tool's process.
    std::string tab_caption(HWND tabs, int index) const;
    // The control that has the keyboard focus on the tool's GUI thread.
    HWND focus(HWND window) const;

  private:
    HANDLE process_ = nullptr;
    HANDLE thread_ = nullptr;
    DWORD pid_ = 0;
};

// Combo boxes.
std::vector<std::string> combo_items(HWND combo);
std::optional<int> combo_selection(HWND combo);
// Selects an item as the user would, so that the tool sees the change.
void choose_combo_item(HWND combo, int index);

// Replaces the whole text of an edit by typing `text` character by character (WM_CHAR), so that
// the control's own limits and filters apply; an empty text is typed as a backspace.
void retype(HWND edit, std::string_view text);
// Types into an edit after its text (caret at the end).
void type_after(HWND edit, std::string_view text);

// Clicks a button as the user would (the tool may open a box; this does not wait for it).
void click(HWND button);
// Clicks the left mouse button at a point of the screen through the input queue.
void mouse_click(POINT screen_point);
// Presses Tab, or Shift+Tab, through the input queue (the foreground window gets it).
void press_tab(bool shift);
// Asks a window to close, as its close box does.
void request_close(HWND window);

// The text of a message box and its answer by button id (IDOK, IDYES, IDNO).
std::string message_box_text(HWND box);
void answer_message_box(HWND box, int button_id);

// Shows the page of a tab control's tab as a click on it would.
void select_tab(HWND tabs, int index);

// Writes what the screen shows of the client area of `window`, or of the whole window with its
// frame and caption, to a PNG file, once the window has painted.
bool screenshot(HWND window, std::string_view png_unix_path, bool with_frame = false);

}  // namespace tessaro::gui_test
