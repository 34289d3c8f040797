#include "tests/windows/gui_driver_win.hpp"

#include <commctrl.h>

#include <array>
#include <cstdio>
#include <thread>

namespace tessaro::gui_test {

namespace {

constexpr const wchar_t* TOOL_WINDOW_CLASS = L"TessaroWindow";
constexpr const wchar_t* BOX_TITLE = L"Korvel Tessaro";

DWORD window_pid(HWND window) {
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    return pid;
}

// A PNG of 8-bit RGB rows, compressed with stored deflate blocks: no library needed, and the
// files stay small enough for a few screenshots.
class PngWriter {
  public:
    static bool write(const std::string& path, int width, int height,
                      const std::vector<std::uint8_t>& rgb) {
        std::vector<std::uint8_t> raw;
        raw.reserve(static_cast<std::size_t>(height) * (static_cast<std::size_t>(width) * 3 + 1));
        for (int y = 0; y < height; ++y) {
            raw.push_back(0);  // filter: none
            auto row = rgb.begin() + static_cast<std::ptrdiff_t>(y) * width * 3;
            raw.insert(raw.end(), row, row + static_cast<std::ptrdiff_t>(width) * 3);
        }
        std::vector<std::uint8_t> z = {0x78, 0x01};
        for (std::size_t at = 0; at < raw.size() || at == 0;) {
            std::size_t n = std::min<std::size_t>(65535, raw.size() - at);
            bool last = at + n == raw.size();
            z.push_back(last ? 1 : 0);
            z.push_back(static_cast<std::uint8_t>(n));
            z.push_back(static_cast<std::uint8_t>(n >> 8));
            z.push_back(static_cast<std::uint8_t>(~n));
            z.push_back(static_cast<std::uint8_t>(~n >> 8));
            z.insert(z.end(), raw.begin() + static_cast<std::ptrdiff_t>(at),
                     raw.begin() + static_cast<std::ptrdiff_t>(at + n));
            at += n;
            if (last) {
                break;
            }
        }
        std::uint32_t a = 1, b = 0;
        for (std::uint8_t byte : raw) {
            a = (a + byte) % 65521;
            b = (b + a) % 65521;
        }
        put32(z, (b << 16) | a);

        std::vector<std::uint8_t> out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
        std::vector<std::uint8_t> header;
        put32(header, static_cast<std::uint32_t>(width));
        put32(header, static_cast<std::uint32_t>(height));
        header.insert(header.end(), {8, 2, 0, 0, 0});  // 8-bit RGB, no interlace
        chunk(out, "IHDR", header);
        chunk(out, "IDAT", z);
        chunk(out, "IEND", {});
        FILE* f = std::fopen(path.c_str(), "wb");
        if (f == nullptr) {
            return false;
        }
        bool ok = std::fwrite(out.data(), 1, out.size(), f) == out.size();
        return std::fclose(f) == 0 && ok;
    }

  private:
    static void put32(std::vector<std::uint8_t>& v, std::uint32_t x) {
        v.insert(v.end(), {static_cast<std::uint8_t>(x >> 24), static_cast<std::uint8_t>(x >> 16),
                           static_cast<std::uint8_t>(x >> 8), static_cast<std::uint8_t>(x)});
    }
    static std::uint32_t crc32(const std::vector<std::uint8_t>& data) {
        std::uint32_t crc = 0xFFFFFFFF;
        for (std::uint8_t byte : data) {
            crc ^= byte;
            for (int k = 0; k < 8; ++k) {
                crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
            }
        }
        return ~crc;
    }
    static void chunk(std::vector<std::uint8_t>& out, const char* type,
                      const std::vector<std::uint8_t>& data) {
        put32(out, static_cast<std::uint32_t>(data.size()));
        std::vector<std::uint8_t> typed(type, type + 4);
        typed.insert(typed.end(), data.begin(), data.end());
        out.insert(out.end(), typed.begin(), typed.end());
        put32(out, crc32(typed));
    }
};

}  // namespace

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (condition()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
}

std::wstring windows_path(std::string_view unix_path) {
    std::wstring path = L"Z:" + wide(unix_path);
    for (wchar_t& c : path) {
        if (c == L'/') {
            c = L'\\';
        }
    }
    return path;
}

std::string utf8(std::wstring_view text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

std::wstring wide(std::string_view text) {
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::string window_text(HWND window) {
    // WM_GETTEXT is carried across processes; GetWindowText would not ask another process.
    wchar_t buffer[512] = {};
    SendMessageW(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(buffer));
    return utf8(buffer);
}

std::string class_name(HWND window) {
    wchar_t buffer[64] = {};
    GetClassNameW(window, buffer, 64);
    return utf8(buffer);
}

SIZE client_size(HWND window) {
    RECT r{};
    GetClientRect(window, &r);
    return {r.right - r.left, r.bottom - r.top};
}

ControlInfo inspect(HWND window) {
    ControlInfo info;
    info.hwnd = window;
    info.class_name = class_name(window);
    info.text = window_text(window);
    GetWindowRect(window, &info.rect);
    MapWindowPoints(nullptr, GetParent(window), reinterpret_cast<POINT*>(&info.rect), 2);
    info.style = GetWindowLongW(window, GWL_STYLE);
    info.ex_style = GetWindowLongW(window, GWL_EXSTYLE);
    info.enabled = IsWindowEnabled(window) != FALSE;
    info.visible = IsWindowVisible(window) != FALSE;
    return info;
}

std::vector<ControlInfo> children(HWND parent) {
    std::vector<ControlInfo> list;
    for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        list.push_back(inspect(child));
    }
    return list;
}

Tool::Tool(std::string_view exe_unix_path) : Tool(windows_path(exe_unix_path), std::wstring()) {}

Tool::Tool(const std::wstring& exe, const std::wstring& current_dir) {
    std::wstring command = L"\"" + exe + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                       current_dir.empty() ? nullptr : current_dir.c_str(), &startup, &info)) {
        process_ = info.hProcess;
        thread_ = info.hThread;
        pid_ = info.dwProcessId;
    } else {
        std::fprintf(stderr, "CreateProcessW failed: %lu\n", GetLastError());
    }
}

Tool::~Tool() {
    if (process_ != nullptr) {
        if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_, 1);
            WaitForSingleObject(process_, 5000);
        }
        CloseHandle(thread_);
        CloseHandle(process_);
    }
}

std::vector<HWND> Tool::top_level_windows(const wchar_t* class_filter) const {
    struct Search {
        DWORD pid;
        const wchar_t* class_filter;
        std::vector<HWND> found;
    } search{pid_, class_filter, {}};
    EnumWindows(
        [](HWND window, LPARAM data) -> BOOL {
            auto* s = reinterpret_cast<Search*>(data);
            if (window_pid(window) == s->pid && IsWindowVisible(window) &&
                (s->class_filter == nullptr || wide(class_name(window)) == s->class_filter)) {
                s->found.push_back(window);
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND Tool::wait_for_window(std::string_view title_prefix, std::chrono::milliseconds timeout) {
    HWND result = nullptr;
    wait_until(
        [&] {
            for (HWND w : top_level_windows(TOOL_WINDOW_CLASS)) {
                if (window_text(w).starts_with(title_prefix)) {
                    result = w;
                    return true;
                }
            }
            return false;
        },
        timeout);
    return result;
}

HWND Tool::wait_for_message_box(std::chrono::milliseconds timeout) {
    HWND result = nullptr;
    wait_until(
        [&] {
            for (HWND w : top_level_windows(L"#32770")) {
                if (wide(window_text(w)) == BOX_TITLE) {
                    result = w;
                    return true;
                }
            }
            return false;
        },
        timeout);
    return result;
}

std::optional<DWORD> Tool::wait_for_exit(std::chrono::milliseconds timeout) {
    if (WaitForSingleObject(process_, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
        return std::nullopt;
    }
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return code;
}

std::string Tool::tab_caption(HWND tabs, int index) const {
    // TCM_GETITEMW is not carried across processes: the item and its text buffer live in the
    // tool's memory for the call.
    constexpr SIZE_T text_bytes = 256 * sizeof(wchar_t);
    void* remote = VirtualAllocEx(process_, nullptr, sizeof(TCITEMW) + text_bytes,
                                  MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (remote == nullptr) {
        return {};
    }
    auto* remote_text = static_cast<wchar_t*>(remote) + sizeof(TCITEMW) / sizeof(wchar_t);
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = remote_text;
    item.cchTextMax = 256;
    std::array<wchar_t, 256> text{};
    std::string caption;
    if (WriteProcessMemory(process_, remote, &item, sizeof(item), nullptr) &&
        SendMessageW(tabs, TCM_GETITEMW, static_cast<WPARAM>(index),
                     reinterpret_cast<LPARAM>(remote)) &&
        ReadProcessMemory(process_, remote_text, text.data(), text_bytes, nullptr)) {
        text.back() = L'\0';
        caption = utf8(text.data());
    }
    VirtualFreeEx(process_, remote, 0, MEM_RELEASE);
    return caption;
}

HWND Tool::focus(HWND window) const {
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info)) {
        return nullptr;
    }
    return info.hwndFocus;
}

std::vector<std::string> combo_items(HWND combo) {
    std::vector<std::string> items;
    auto count = SendMessageW(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t buffer[512] = {};
        SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(buffer));
        items.push_back(utf8(buffer));
    }
    return items;
}

std::optional<int> combo_selection(HWND combo) {
    auto index = SendMessageW(combo, CB_GETCURSEL, 0, 0);
    if (index == CB_ERR) {
        return std::nullopt;
    }
    return static_cast<int>(index);
}

void choose_combo_item(HWND combo, int index) {
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    // CB_SETCURSEL alone tells nobody; the parent hears of a user's choice by CBN_SELCHANGE.
    auto id = GetWindowLongPtrW(combo, GWLP_ID);
    SendMessageW(GetParent(combo), WM_COMMAND, MAKEWPARAM(static_cast<WORD>(id), CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(combo));
}

void type_after(HWND edit, std::string_view text) {
    SendMessageW(edit, EM_SETSEL, static_cast<WPARAM>(-1), -1);
    for (wchar_t c : wide(text)) {
        SendMessageW(edit, WM_CHAR, c, 1);
    }
}

void retype(HWND edit, std::string_view text) {
    SendMessageW(edit, EM_SETSEL, 0, -1);
    if (text.empty()) {
        SendMessageW(edit, WM_CHAR, VK_BACK, 1);
        return;
    }
    for (wchar_t c : wide(text)) {
        SendMessageW(edit, WM_CHAR, c, 1);
    }
}

void click(HWND button) {
    PostMessageW(button, BM_CLICK, 0, 0);
}

void mouse_click(POINT screen_point) {
    SetCursorPos(screen_point.x, screen_point.y);
    INPUT input[2] = {};
    input[0].type = INPUT_MOUSE;
    input[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    input[1].type = INPUT_MOUSE;
    input[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(2, input, sizeof(INPUT));
}

void press_tab(bool shift) {
    std::vector<INPUT> inputs;
    auto key = [&](WORD vk, bool up) {
        INPUT in{};
        in.type = INPUT_KEYBOARD;
        in.ki.wVk = vk;
        in.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
        inputs.push_back(in);
    };
    if (shift) {
        key(VK_SHIFT, false);
    }
    key(VK_TAB, false);
    key(VK_TAB, true);
    if (shift) {
        key(VK_SHIFT, true);
    }
    SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
}

void request_close(HWND window) {
    PostMessageW(window, WM_SYSCOMMAND, SC_CLOSE, 0);
}

std::string message_box_text(HWND box) {
    // The message is the box's static control with id 0xFFFF.
    HWND text = GetDlgItem(box, 0xFFFF);
    return text != nullptr ? window_text(text) : std::string();
}

void answer_message_box(HWND box, int button_id) {
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(button_id, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(box, button_id)));
}

void select_tab(HWND tabs, int index) {
    // TCM_SETCURFOCUS sends the selection notifications to the tab control's parent.
    SendMessageW(tabs, TCM_SETCURFOCUS, static_cast<WPARAM>(index), 0);
}

bool screenshot(HWND window, std::string_view png_unix_path, bool with_frame) {
    // Let the window's thread take every message sent or posted so far, paint included: it
    // answers the final WM_NULL only after the messages before it.
    DWORD_PTR ignored = 0;
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
    SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_BLOCK, 5000, &ignored);
    std::this_thread::sleep_for(300ms);
    SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_BLOCK, 5000, &ignored);
    // On the tests' display no window manager draws a frame around the client area; the frame
    // and caption show only where Wine draws them itself.
    RECT r{};
    if (with_frame) {
        GetWindowRect(window, &r);
    } else {
        GetClientRect(window, &r);
        MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&r), 2);
    }
    int width = r.right - r.left;
    int height = r.bottom - r.top;
    if (width <= 0 || height <= 0) {
        return false;
    }
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO bmi{};
    bmi.bmiHeader.biSize = sizeof(bmi.bmiHeader);
    bmi.bmiHeader.biWidth = width;
    bmi.bmiHeader.biHeight = -height;  // top-down rows
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    bmi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool ok = false;
    if (bitmap != nullptr) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        ok = BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY) != FALSE;
        GdiFlush();
        if (ok) {
            std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * height * 3);
            const auto* bgra = static_cast<const std::uint8_t*>(bits);
            for (std::size_t i = 0; i < static_cast<std::size_t>(width) * height; ++i) {
                rgb[i * 3] = bgra[i * 4 + 2];
                rgb[i * 3 + 1] = bgra[i * 4 + 1];
                rgb[i * 3 + 2] = bgra[i * 4];
            }
            ok = PngWriter::write(utf8(windows_path(png_unix_path)), width, height, rgb);
        }
        SelectObject(memory, old);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return ok;
}

}  // namespace tessaro::gui_test
