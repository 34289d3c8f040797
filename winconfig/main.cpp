// tessaro-config.exe: the configuration window. Start-up in this order: the DLL search restricted
// to the system folder, the window layer and the COM apartment, the WMI connection on it, the
// default font, the settings, the window, the binding, the message loop; the model's first event
// then fills and shows the window.
#include <cstdio>
#include <memory>

#include "common/os/dll_search.hpp"
#include "common/os/wmi.hpp"
#include "common/settings.hpp"
#include "winconfig/config_app.hpp"
#include "winconfig/config_platform.hpp"
#include "winconfig/gui_win.hpp"
#include "winconfig/main_window_win.hpp"

namespace tessaro::winconfig {

namespace {

constexpr int FATAL_EXIT_CODE = 101;

// A broken start-up precondition: the line goes to standard error (which a windowed program
// usually lacks) and the process ends without a window or a box.
int fatal(const char* what, const Error& error) {
    std::fprintf(stderr, "%s: %s\n", what, error.message().c_str());
    std::fflush(stderr);
    return FATAL_EXIT_CODE;
}

}  // namespace

int main() {
    // First of all: the tool runs elevated, possibly from a download folder, and the window
    // layer's first call already loads a DLL that the loader does not know.
    if (auto restricted = os::restrict_dll_search_to_system_folder(); !restricted) {
        return fatal("Failed to restrict the DLL search", restricted.error());
    }

    auto gui_library = gui::GuiLibrary::init();
    if (!gui_library) {
        return fatal("Failed to init Native Windows GUI", gui_library.error());
    }

    // Without WMI the tool still edits the settings; the adapter lists then stay empty.
    std::unique_ptr<os::WmiConnection> wmi;
    if (auto connected = os::WmiConnection::connect_in_apartment(); connected) {
        wmi = std::move(*connected);
    } else {
        std::wstring text = gui::widen(connected.error().message());
        std::wstring title = gui::widen(DISPLAY_NAME);
        MessageBoxW(nullptr, text.c_str(), title.c_str(), MB_OK | MB_ICONERROR);
    }

    // Without the default font the controls keep the system font.
    auto default_font = gui::create_font(16, 0);
    HFONT font = default_font ? default_font->get() : nullptr;

    Settings settings = Settings::load();
    std::unique_ptr<ConfigPlatform> platform = make_windows_platform(std::move(wmi));

    auto window = view::MainWindow::build(font);
    if (!window) {
        return fatal("Failed to build UI", window.error());
    }
    auto app = std::make_shared<ConfigApp>(**window, *platform, std::move(settings));
    auto ui = ConfigAppUi::bind(std::move(app), **window);
    if (!ui) {
        return fatal("Failed to build UI", ui.error());
    }

    gui::run_message_loop();

    // The handlers go first, then the model, then the window with its controls.
    ui->reset();
    window->reset();
    return 0;
}

}  // namespace tessaro::winconfig

int main() {
    return tessaro::winconfig::main();
}
