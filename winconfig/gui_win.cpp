#include "winconfig/gui_win.hpp"

#include <commctrl.h>
#include <objbase.h>

#include <fmt/format.h>

#include "common/os/registry.hpp"
#include "common/os/system_error.hpp"

namespace tessaro::winconfig::gui {

namespace {

constexpr const wchar_t* WINDOW_CLASS = L"TessaroWindow";
constexpr const wchar_t* PAGE_CLASS = L"TessaroPage";

Error last_error(std::string_view operation) {
    DWORD code = GetLastError();
    return Error(fmt::format("{}: {}", operation, os::system_error_text(code)));
}

HINSTANCE own_instance() {
    return GetModuleHandleW(nullptr);
}

bool has_class(HWND window, const wchar_t* name) {
    wchar_t buffer[32] = {};
    GetClassNameW(window, buffer, 32);
    return lstrcmpiW(buffer, name) == 0;
}

// The tab control shows the page of the selected tab; pages carry their index as control id.
void show_selected_page(HWND tabs) {
    auto selected = static_cast<int>(SendMessageW(tabs, TCM_GETCURSEL, 0, 0));
    for (HWND child = GetWindow(tabs, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        if (has_class(child, PAGE_CLASS)) {
            ShowWindow(child, page_index(child) == selected ? SW_SHOW : SW_HIDE);
        }
    }
}

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NOTIFY) {
        const auto* header = reinterpret_cast<const NMHDR*>(lparam);
        if (header->code == static_cast<UINT>(TCN_SELCHANGE)) {
            show_selected_page(header->hwndFrom);
            return 0;
        }
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

// Labels on a page are drawn on white, like the page itself.
LRESULT CALLBACK page_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_CTLCOLORSTATIC && has_class(reinterpret_cast<HWND>(lparam), L"Static")) {
        SetBkColor(reinterpret_cast<HDC>(wparam), RGB(255, 255, 255));
        return reinterpret_cast<LRESULT>(GetStockObject(WHITE_BRUSH));
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

VoidResult register_class(const wchar_t* name, WNDPROC proc, HBRUSH background) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = proc;
    wc.hInstance = own_instance();
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = background;
    wc.lpszClassName = name;
    if (RegisterClassExW(&wc) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        return fail(last_error("Failed to register the window class"));
    }
    return {};
}

}  // namespace

std::wstring widen(std::string_view utf8) {
    std::u16string text = os::utf8_to_utf16(utf8);
    return std::wstring(text.begin(), text.end());
}

std::string narrow(std::wstring_view text) {
    return os::utf16_to_utf8(std::u16string(text.begin(), text.end()));
}

Result<std::unique_ptr<GuiLibrary>> GuiLibrary::init() {
    // The visual styles come from the common controls 6 named in the executable's manifest.
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX),
                                  ICC_STANDARD_CLASSES | ICC_BAR_CLASSES | ICC_TAB_CLASSES};
    if (!InitCommonControlsEx(&controls)) {
        return fail("Failed to initialise the common controls");
    }
    if (auto r =
            register_class(WINDOW_CLASS, window_proc, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1));
        !r) {
        return fail(r.error());
    }
    if (auto r =
            register_class(PAGE_CLASS, page_proc, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
        !r) {
        return fail(r.error());
    }
    HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (hr != S_OK && hr != S_FALSE) {
        return fail(fmt::format("Failed to initialise COM: HRESULT 0x{:08X}",
                                static_cast<unsigned long>(hr)));
    }
    return std::unique_ptr<GuiLibrary>(new GuiLibrary());
}

GuiLibrary::~GuiLibrary() {
    CoUninitialize();
}

Result<OwnedFont> create_font(int height, int weight) {
    HFONT font = CreateFontW(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                             DEFAULT_PITCH | FF_DONTCARE, L"Segoe UI");
    if (font == nullptr) {
        return fail(last_error("Failed to create a font"));
    }
    return OwnedFont(font);
}

Result<WindowIcon> load_icon(const wchar_t* resource_name) {
    // Each size picks the group's image closest to it.
    auto load = [resource_name](int width, int height) {
        return OwnedIcon(static_cast<HICON>(
            LoadImageW(own_instance(), resource_name, IMAGE_ICON, width, height, 0)));
    };
    WindowIcon icon{.large = load(GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON)),
                    .small = {}};
    if (!icon.large) {
        return fail(last_error("Failed to load the icon"));
    }
    icon.small = load(GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON));
    if (!icon.small) {
        return fail(last_error("Failed to load the icon"));
    }
    return icon;
}

ControlSpec label(std::string_view text, int width, int height, int x, int y, HFONT font) {
    // SS_CENTERIMAGE centres the one line of text vertically in the label.
    return {.class_name = L"STATIC",
            .text = text,
            .width = width,
            .height = height,
            .x = x,
            .y = y,
            .style = WS_VISIBLE | SS_NOPREFIX | SS_NOTIFY | SS_CENTERIMAGE,
            .font = font};
}

ControlSpec text_input(std::string_view text, int width, int height, int x, int y, DWORD extra,
                       int limit) {
    return {.class_name = L"EDIT",
            .text = text,
            .width = width,
            .height = height,
            .x = x,
            .y = y,
            .style = WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL | extra,
            .limit = limit};
}

ControlSpec button(std::string_view text, int width, int height, int x, int y, bool enabled) {
    return {.class_name = L"BUTTON",
            .text = text,
            .width = width,
            .height = height,
            .x = x,
            .y = y,
            .style = WS_VISIBLE | WS_TABSTOP | BS_NOTIFY |
                     (enabled ? DWORD{0} : static_cast<DWORD>(WS_DISABLED))};
}

ControlSpec combo_box(int width, int height, int x, int y) {
    return {.class_name = L"COMBOBOX",
            .text = "",
            .width = width,
            .height = height,
            .x = x,
            .y = y,
            .style = CBS_DROPDOWNLIST | WS_VISIBLE | WS_TABSTOP | WS_BORDER};
}

Result<OwnedWindow> create_control(HWND parent, const ControlSpec& spec, HFONT default_font) {
    std::wstring text = widen(spec.text);
    HWND control =
        CreateWindowExW(spec.ex_style, spec.class_name, text.c_str(), WS_CHILD | spec.style, spec.x,
                        spec.y, spec.width, spec.height, parent, nullptr, own_instance(), nullptr);
    if (control == nullptr) {
        return fail(last_error("Failed to create a control"));
    }
    OwnedWindow owned(control);
    HFONT font = spec.font != nullptr ? spec.font : default_font;
    if (font != nullptr) {
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    }
    if (spec.limit > 0) {
        SendMessageW(control, EM_LIMITTEXT, static_cast<WPARAM>(spec.limit), 0);
    }
    return owned;
}

Result<OwnedWindow> create_top_level(const TopLevelSpec& spec) {
    RECT frame{0, 0, spec.client_width, spec.client_height};
    AdjustWindowRectEx(&frame, spec.style, FALSE, 0);
    std::wstring title = widen(spec.title);
    HWND window = CreateWindowExW(0, WINDOW_CLASS, title.c_str(), spec.style, 300, 300,
                                  frame.right - frame.left, frame.bottom - frame.top, nullptr,
                                  nullptr, own_instance(), nullptr);
    if (window == nullptr) {
        return fail(last_error("Failed to create a window"));
    }
    OwnedWindow owned(window);
    if (spec.icon != nullptr) {
        SendMessageW(window, WM_SETICON, ICON_BIG,
                     reinterpret_cast<LPARAM>(spec.icon->large.get()));
        SendMessageW(window, WM_SETICON, ICON_SMALL,
                     reinterpret_cast<LPARAM>(spec.icon->small.get()));
    }
    // Centred by the client size, as the window is laid out around it.
    MONITORINFO monitor{};
    monitor.cbSize = sizeof(monitor);
    if (GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor)) {
        const RECT& m = monitor.rcMonitor;
        int x = m.left + (m.right - m.left - spec.client_width) / 2;
        int y = m.top + (m.bottom - m.top - spec.client_height) / 2;
        SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    if (spec.init_event) {
        PostMessageW(window, INIT_MESSAGE, 0, 0);
    }
    return owned;
}

Result<OwnedWindow> create_tabs(HWND parent, int width, int height, int x, int y, HFONT font) {
    return create_control(parent,
                          {.class_name = WC_TABCONTROLW,
                           .text = "",
                           .width = width,
                           .height = height,
                           .x = x,
                           .y = y,
                           .style = WS_VISIBLE | WS_CLIPCHILDREN,
                           .ex_style = WS_EX_CONTROLPARENT},
                          font);
}

Result<OwnedWindow> add_tab_page(HWND tabs, std::string_view caption) {
    auto index = static_cast<int>(SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0));
    std::wstring text = widen(caption);
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = text.data();
    if (SendMessageW(tabs, TCM_INSERTITEMW, static_cast<WPARAM>(index),
                     reinterpret_cast<LPARAM>(&item)) < 0) {
        return fail("Failed to add a tab");
    }
    RECT area{};
    GetClientRect(tabs, &area);
    SendMessageW(tabs, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&area));
    // Only the first page is visible until another tab is selected.
    DWORD style = WS_CHILD | WS_CLIPCHILDREN | (index == 0 ? WS_VISIBLE : 0);
    HWND page = CreateWindowExW(WS_EX_CONTROLPARENT, PAGE_CLASS, text.c_str(), style, area.left,
                                area.top, area.right - area.left, area.bottom - area.top, tabs,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(index)),
                                own_instance(), nullptr);
    if (page == nullptr) {
        auto error = last_error("Failed to create a tab page");
        SendMessageW(tabs, TCM_DELETEITEM, static_cast<WPARAM>(index), 0);
        return fail(std::move(error));
    }
    return OwnedWindow(page);
}

std::string tab_caption(HWND tabs, int index) {
    wchar_t buffer[256] = {};
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = buffer;
    item.cchTextMax = 256;
    SendMessageW(tabs, TCM_GETITEMW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
    return narrow(item.pszText);
}

void set_tab_caption(HWND tabs, int index, std::string_view caption) {
    std::wstring text = widen(caption);
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = text.data();
    SendMessageW(tabs, TCM_SETITEMW, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(&item));
}

int page_index(HWND page) {
    return static_cast<int>(GetWindowLongPtrW(page, GWLP_ID));
}

std::string window_text(HWND window) {
    int length = GetWindowTextLengthW(window);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    int copied = GetWindowTextW(window, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(copied));
    return narrow(text);
}

void set_window_text(HWND window, std::string_view text) {
    SetWindowTextW(window, widen(text).c_str());
}

Result<std::unique_ptr<BoundHandler>> BoundHandler::bind(HWND window, EventHandler handler) {
    std::unique_ptr<BoundHandler> bound(new BoundHandler());
    bound->handler_ = std::move(handler);
    bound->windows_.push_back(window);
    EnumChildWindows(
        window,
        [](HWND child, LPARAM list) -> BOOL {
            reinterpret_cast<std::vector<HWND>*>(list)->push_back(child);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&bound->windows_));
    auto id = reinterpret_cast<UINT_PTR>(bound.get());
    for (HWND w : bound->windows_) {
        if (!SetWindowSubclass(w, proc, id, reinterpret_cast<DWORD_PTR>(bound.get()))) {
            return fail("Failed to bind the event handler");
        }
    }
    return bound;
}

BoundHandler::~BoundHandler() {
    auto id = reinterpret_cast<UINT_PTR>(this);
    for (HWND w : windows_) {
        RemoveWindowSubclass(w, proc, id);
    }
}

LRESULT CALLBACK BoundHandler::proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                                    UINT_PTR, DWORD_PTR data) {
    auto* self = reinterpret_cast<BoundHandler*>(data);
    // The handler is installed on the children too, for the notifications that reach them from
    // their own children (a page's controls); their timers (an edit field scrolls a dragged
    // selection on one), notices and close requests are their own and go on to them.
    bool window_message = message == INIT_MESSAGE || message == WM_TIMER ||
                          message == NOTICE_MESSAGE || message == WM_CLOSE;
    if (window_message && window != self->windows_.front()) {
        return DefSubclassProc(window, message, wparam, lparam);
    }
    switch (message) {
        case INIT_MESSAGE:
            self->handler_({EventKind::Init, window});
            return 0;
        case WM_TIMER:
            self->handler_({EventKind::Tick, window, static_cast<std::uintptr_t>(wparam)});
            return 0;
        case NOTICE_MESSAGE:
            self->handler_({EventKind::Notice, window, static_cast<std::uintptr_t>(wparam)});
            return 0;
        case WM_CLOSE:
            // A close request hides the window and leaves the rest to the handler; the window is
            // destroyed by its owner.
            ShowWindow(window, SW_HIDE);
            self->handler_({EventKind::Close, window});
            return 0;
        case WM_COMMAND: {
            auto control = reinterpret_cast<HWND>(lparam);
            if (control == nullptr) {
                break;
            }
            // The notification codes overlap between classes (BN_CLICKED is STN_CLICKED, and
            // CBN_SELCHANGE is STN_DBLCLK), so the class decides.
            WORD code = HIWORD(wparam);
            if (code == BN_CLICKED && has_class(control, L"Button")) {
                self->handler_({EventKind::Click, control});
            } else if (code == EN_CHANGE && has_class(control, L"Edit")) {
                self->handler_({EventKind::TextChanged, control});
            } else if (code == CBN_SELCHANGE && has_class(control, L"ComboBox")) {
                self->handler_({EventKind::SelectionChanged, control});
            }
            break;
        }
        default:
            break;
    }
    return DefSubclassProc(window, message, wparam, lparam);
}

namespace {
// The window property that marks a raw handler id as taken on a window: comctl32 exports
// GetWindowSubclass by ordinal only, which MinGW's import library does not name.
std::wstring raw_handler_property(UINT_PTR id) {
    return widen(fmt::format("TessaroRawHandler{}", id));
}
}  // namespace

Result<std::unique_ptr<RawHandler>> RawHandler::bind(HWND window, UINT_PTR id,
                                                     RawHandlerFn handler) {
    std::wstring property = raw_handler_property(id);
    auto* held = static_cast<Binding*>(GetPropW(window, property.c_str()));
    if (held != nullptr && held->armed) {
        return fail(
            fmt::format("A raw event handler with the id {} is already bound to the window", id));
    }
    std::unique_ptr<RawHandler> raw(new RawHandler());
    raw->window_ = window;
    raw->id_ = id;
    auto binding = std::make_unique<Binding>(Binding{.handler = std::move(handler)});
    // A disarmed binding that is still on the window has its subclass's data replaced by this
    // one, after which nothing calls it any more.
    if (!SetWindowSubclass(window, proc, id, reinterpret_cast<DWORD_PTR>(binding.get()))) {
        return fail("Failed to bind the raw event handler");
    }
    SetPropW(window, property.c_str(), binding.get());
    std::unique_ptr<Binding> replaced(held);
    raw->binding_ = std::move(binding);
    return raw;
}

RawHandler::~RawHandler() {
    if (binding_) {
        (void)unbind();
    }
}

VoidResult RawHandler::unbind(RemoveSubclass remove) {
    auto not_bound = [this] {
        return fail(fmt::format("No raw event handler with the id {} is bound to the window", id_));
    };
    if (!binding_) {
        return not_bound();
    }
    if (!remove(window_, proc, id_)) {
        if (!IsWindow(window_)) {
            // A window that is gone took its subclasses and its properties with it.
            binding_.reset();
            return not_bound();
        }
        // The window may call the subclass again (Windows refuses the removal to any other thread
        // than the window's): the binding is disarmed and left to the window. A subclass that was
        // gone already is put back, disarmed, so that the window's last message still frees it.
        binding_->armed = false;
        SetWindowSubclass(window_, proc, id_, reinterpret_cast<DWORD_PTR>(binding_.get()));
        (void)binding_.release();
        return fail(
            fmt::format("The window subclass of the raw event handler with the id {} "
                        "could not be removed; the handler is disarmed",
                        id_));
    }
    RemovePropW(window_, raw_handler_property(id_).c_str());
    binding_.reset();
    return {};
}

LRESULT CALLBACK RawHandler::proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam,
                                  UINT_PTR subclass_id, DWORD_PTR data) {
    auto* binding = reinterpret_cast<Binding*>(data);
    if (binding->armed) {
        binding->handler(window, message, wparam, lparam);
    }
    LRESULT result = DefSubclassProc(window, message, wparam, lparam);
    // The processing below may unbind the handler, which frees an armed binding, or bind a new
    // one, which frees a disarmed one: the binding is looked at again only at the last message.
    if (message == WM_NCDESTROY && !binding->armed) {
        RemoveWindowSubclass(window, proc, subclass_id);
        RemovePropW(window, raw_handler_property(subclass_id).c_str());
        std::unique_ptr<Binding> last(binding);
    }
    return result;
}

NoticeSender notice_on(HWND window, std::uintptr_t id) {
    return {reinterpret_cast<std::uintptr_t>(window), id};
}

void signal(NoticeSender sender) {
    auto window = reinterpret_cast<HWND>(sender.window);
    SendNotifyMessageW(window, NOTICE_MESSAGE, static_cast<WPARAM>(sender.id),
                       reinterpret_cast<LPARAM>(window));
}

Timer::Timer(HWND window, UINT_PTR id, UINT interval_ms)
    : window_(window), id_(id), running_(SetTimer(window, id, interval_ms, nullptr) != 0) {}

Timer::~Timer() {
    if (running_ && IsWindow(window_)) {
        KillTimer(window_, id_);
    }
}

void run_message_loop() {
    MSG msg{};
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        HWND root = msg.hwnd != nullptr ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
        if (root != nullptr && IsDialogMessageW(root, &msg)) {
            continue;
        }
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

void flash_caption(HWND window, UINT count, DWORD interval_ms) {
    SetForegroundWindow(window);
    FLASHWINFO flash{};
    flash.cbSize = sizeof(flash);
    flash.hwnd = window;
    flash.dwFlags = FLASHW_CAPTION;
    flash.uCount = count;
    flash.dwTimeout = interval_ms;
    FlashWindowEx(&flash);
}

}  // namespace tessaro::winconfig::gui
