// The tool's window layer under Wine: which messages the bound handler takes from a window and
// which it leaves to the window's children.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "winconfig/gui_win.hpp"

// After windows.hpp, which the layer's header includes.
#include <commctrl.h>

namespace tessaro::winconfig::gui {
namespace {

class GuiLayer : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        auto library = GuiLibrary::init();
        ASSERT_TRUE(library.has_value()) << library.error().message();
        library_ = std::move(*library);
    }
    static void TearDownTestSuite() { library_.reset(); }

    void SetUp() override {
        auto window = create_top_level(
            {.title = "Layer", .client_width = 200, .client_height = 100, .style = WS_CAPTION});
        ASSERT_TRUE(window.has_value()) << window.error().message();
        window_ = std::move(*window);
    }

    static std::unique_ptr<GuiLibrary> library_;
    OwnedWindow window_;
};
std::unique_ptr<GuiLibrary> GuiLayer::library_;

// Stands for a control's own processing: records what reaches it and answers it itself.
LRESULT CALLBACK record_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam, UINT_PTR,
                             DWORD_PTR data) {
    auto* seen = reinterpret_cast<std::vector<UINT>*>(data);
    if (message == WM_TIMER || message == NOTICE_MESSAGE || message == INIT_MESSAGE ||
        message == WM_CLOSE) {
        seen->push_back(message);
        return 0;
    }
    return DefSubclassProc(window, message, wparam, lparam);
}

TEST_F(GuiLayer, AChildKeepsItsOwnTimerNoticeInitialisationAndClose) {
    // An edit field scrolls a dragged selection on a timer of its own.
    auto edit = create_control(window_.get(), text_input("text", 100, 25, 5, 5, 0, 0), nullptr);
    ASSERT_TRUE(edit.has_value()) << edit.error().message();
    std::vector<UINT> reached_edit;
    // Bound before the handler, so it runs after it, where the edit's own procedure would.
    ASSERT_TRUE(
        SetWindowSubclass(edit->get(), record_proc, 1, reinterpret_cast<DWORD_PTR>(&reached_edit)));
    std::vector<Event> events;
    auto bound =
        BoundHandler::bind(window_.get(), [&](const Event& event) { events.push_back(event); });
    ASSERT_TRUE(bound.has_value()) << bound.error().message();

    const UINT messages[] = {WM_TIMER, NOTICE_MESSAGE, INIT_MESSAGE, WM_CLOSE};
    for (UINT message : messages) {
        SendMessageW(edit->get(), message, 7, reinterpret_cast<LPARAM>(edit->get()));
    }
    EXPECT_EQ(reached_edit, std::vector<UINT>(std::begin(messages), std::end(messages)));
    EXPECT_TRUE(events.empty());
    // Not hidden as a close request of the bound window would be.
    EXPECT_NE(GetWindowLongW(edit->get(), GWL_STYLE) & WS_VISIBLE, 0);

    // The bound window's own are the handler's events.
    SendMessageW(window_.get(), WM_TIMER, 7, 0);
    SendMessageW(window_.get(), NOTICE_MESSAGE, 8, reinterpret_cast<LPARAM>(window_.get()));
    SendMessageW(window_.get(), INIT_MESSAGE, 0, 0);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].kind, EventKind::Tick);
    EXPECT_EQ(events[0].id, 7u);
    EXPECT_EQ(events[1].kind, EventKind::Notice);
    EXPECT_EQ(events[1].id, 8u);
    EXPECT_EQ(events[2].kind, EventKind::Init);
    for (const Event& event : events) {
        EXPECT_EQ(event.source, window_.get());
    }
    bound->reset();
    RemoveWindowSubclass(edit->get(), record_proc, 1);
}

}  // namespace
}  // namespace tessaro::winconfig::gui
