// The tool's window layer under Wine: which messages the bound handler takes from a window and
// which it leaves to the window's children, and a raw handler whose subclass cannot be removed.
#include <gtest/gtest.h>

#include <memory>
#include <utility>
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

// Wine's RemoveWindowSubclass fails only for a subclass that is not on the window, even when
// called from another thread than the window's, where Windows' fails and leaves it in place. The
// two failures, put in the removal's place:
BOOL WINAPI removed_by_another_path(HWND window, SUBCLASSPROC proc, UINT_PTR id) {
    RemoveWindowSubclass(window, proc, id);
    return RemoveWindowSubclass(window, proc, id);
}
BOOL WINAPI left_in_place(HWND, SUBCLASSPROC, UINT_PTR) {
    return FALSE;
}

TEST_F(GuiLayer, ARawHandlerWhoseSubclassCannotBeRemovedIsDisarmedAndGivesWayToTheNext) {
    constexpr UINT PROBE = WM_APP + 7;
    constexpr UINT_PTR ID = 65536;
    // Counts the probes it sees; the token's use count tells when its binding is freed.
    auto counting = [](int& calls, const std::shared_ptr<int>& token) -> RawHandlerFn {
        return [&calls, token](HWND, UINT message, WPARAM, LPARAM) {
            if (message == PROBE) {
                ++calls;
            }
        };
    };
    const std::pair<const char*, RawHandler::RemoveSubclass> cases[] = {
        {"removed by another path", removed_by_another_path},
        {"left in place", left_in_place},
    };
    for (const auto& [name, remove] : cases) {
        SCOPED_TRACE(name);
        auto window = create_top_level(
            {.title = "Raw", .client_width = 200, .client_height = 100, .style = WS_CAPTION});
        ASSERT_TRUE(window.has_value()) << window.error().message();
        HWND w = window->get();
        int first_calls = 0;
        auto first_token = std::make_shared<int>();
        auto first = RawHandler::bind(w, ID, counting(first_calls, first_token));
        ASSERT_TRUE(first.has_value()) << first.error().message();
        SendMessageW(w, PROBE, 0, 0);
        EXPECT_EQ(first_calls, 1);

        auto unbound = (*first)->unbind(remove);
        ASSERT_FALSE(unbound.has_value());
        EXPECT_EQ(unbound.error().message(),
                  "The window subclass of the raw event handler with the id 65536 could not be "
                  "removed; the handler is disarmed");
        first->reset();
        SendMessageW(w, PROBE, 0, 0);
        EXPECT_EQ(first_calls, 1);

        // A new handler under the same id takes the left one's place, which frees it.
        int second_calls = 0;
        auto second_token = std::make_shared<int>();
        auto second = RawHandler::bind(w, ID, counting(second_calls, second_token));
        ASSERT_TRUE(second.has_value()) << second.error().message();
        EXPECT_EQ(first_token.use_count(), 1);
        SendMessageW(w, PROBE, 0, 0);
        EXPECT_EQ(second_calls, 1);
        EXPECT_EQ(first_calls, 1);

        // Left on the window once more, it is freed at the window's last message.
        EXPECT_FALSE((*second)->unbind(remove).has_value());
        second->reset();
        SendMessageW(w, PROBE, 0, 0);
        EXPECT_EQ(second_calls, 1);
        EXPECT_EQ(second_token.use_count(), 2);
        window->reset();
        EXPECT_EQ(second_token.use_count(), 1);
    }
}

}  // namespace
}  // namespace tessaro::winconfig::gui
