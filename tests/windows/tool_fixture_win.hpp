// A test fixture that starts the configuration tool on a clean settings key and finds its main
// window and controls. The tool and the screenshot folder come from the build
// (TESSARO_CONFIG_EXE, TESSARO_SCREENSHOT_DIR, both Unix paths).
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "common/status.hpp"
#include "tests/windows/gui_driver_win.hpp"

namespace tessaro::gui_test {

// A record of both proxies not connected whose check value (bytes 10 to 17) is spoiled, so that
// the tool's read fails with "Prüfsumme ungültig".
[[nodiscard]] inline bool write_bad_check_value(std::uint8_t* view) {
    if (!AppStatus::write(view, AppStatus{})) {
        return false;
    }
    view[10] ^= 0xFF;
    return true;
}

class ToolTest : public ::testing::Test {
  protected:
    static constexpr const wchar_t* KEY = L"SOFTWARE\\Korvel\\Tessaro";

    void SetUp() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, KEY); }
    void TearDown() override {
        tool_.reset();
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, KEY);
    }

    // Starts the tool (the build's, or a copy at a Windows path, in the folder given) and waits
    // until its main window is shown.
    void start_tool() { start_tool_as(std::make_unique<Tool>(TESSARO_CONFIG_EXE)); }
    void start_tool_from(const std::wstring& exe, const std::wstring& current_dir) {
        start_tool_as(std::make_unique<Tool>(exe, current_dir));
    }
    void start_tool_as(std::unique_ptr<Tool> tool) {
        tool_ = std::move(tool);
        ASSERT_TRUE(tool_->started());
        window_ = tool_->wait_for_window("Korvel Tessaro v");
        ASSERT_NE(window_, nullptr) << "the main window did not appear";
    }

    Tool& tool() { return *tool_; }
    HWND main_window() const { return window_; }
    HWND tabs() const { return GetWindow(window_, GW_CHILD); }
    HWND page(int index) const {
        HWND p = GetWindow(tabs(), GW_CHILD);
        for (int i = 0; i < index && p != nullptr; ++i) {
            p = GetWindow(p, GW_HWNDNEXT);
        }
        return p;
    }
    // The control at `index` in the creation order of a page (0: "Dienst", 1: card terminal,
    // 2: PIN pad).
    HWND proxy_control(int page_index, std::size_t index) const {
        auto list = children(page(page_index));
        return index < list.size() ? list[index].hwnd : nullptr;
    }
    HWND service_control(std::size_t index) const { return proxy_control(0, index); }

    void write_settings_value(const wchar_t* name, const wchar_t* text) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, KEY, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        auto bytes = static_cast<DWORD>((wcslen(text) + 1) * sizeof(wchar_t));
        EXPECT_EQ(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    bool settings_key_exists() const {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, KEY, 0, KEY_READ, &key) != ERROR_SUCCESS) {
            return false;
        }
        RegCloseKey(key);
        return true;
    }

    // Keeps what the screen shows of `window` as a test artefact.
    void save_screenshot(HWND window, const std::string& name, bool with_frame = false) {
        std::string path = std::string(TESSARO_SCREENSHOT_DIR) + "/" + name;
        EXPECT_TRUE(screenshot(window, path, with_frame)) << path;
    }

  private:
    std::unique_ptr<Tool> tool_;
    HWND window_ = nullptr;
};

}  // namespace tessaro::gui_test
