// A configuration window of plain values for the model's tests: each control's text, enabled
// state, items and selection, the message boxes shown (with a hook that runs while a box is
// open, as the nested message loop would) and the lines printed.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "winconfig/config_view.hpp"

namespace tessaro::winconfig::testing {

struct FakeControl {
    std::string text;
    bool enabled = true;
    std::vector<std::string> items;
    std::optional<std::size_t> selection;
};

struct ShownBox {
    std::string text;
    BoxOwner owner;
    BoxStyle style;
    bool operator==(const ShownBox&) const = default;
};

class FakeConfigView : public ConfigView {
  public:
    FakeConfigView() {
        // What the window build creates: the lists' fixed items, the disabled buttons.
        for (Page page : {Page::Terminal, Page::Pinpad}) {
            control({page, Field::PcInterfaceCombo}).items = {"Automatisch"};
            control({page, Field::DeviceInterfaceCombo}).items = {"Automatisch"};
        }
        control({Page::Main, Field::LogLevelCombo}).items = {"Debug", "Informationen", "Warnungen",
                                                             "Fehler"};
        for (Field f : {Field::SaveButton, Field::ServiceButton, Field::TerminalDetails,
                        Field::PinpadDetails}) {
            control({Page::Main, f}).enabled = false;
        }
        control({Page::Main, Field::ServiceButton}).text = "Starten";
    }

    FakeControl& control(ControlId id) { return controls_[id]; }
    const FakeControl& control(ControlId id) const { return controls_[id]; }

    std::string text(ControlId id) const override { return controls_[id].text; }
    void set_text(ControlId id, std::string_view text) override {
        controls_[id].text = std::string(text);
    }
    void set_enabled(ControlId id, bool enabled) override { controls_[id].enabled = enabled; }
    void add_item(ControlId id, std::string_view text) override {
        controls_[id].items.emplace_back(text);
    }
    std::optional<std::size_t> selection(ControlId id) const override {
        return controls_[id].selection;
    }
    void select(ControlId id, std::optional<std::size_t> index) override {
        controls_[id].selection = index;
    }

    void show_window() override { ++shown; }
    void set_window_enabled(bool enabled) override {
        window_enabled = enabled;
        window_enabled_history.push_back(enabled);
    }
    void bring_to_front() override { ++brought_to_front; }
    void quit() override { ++quits; }

    // A box owned by the main window disables it while it is open, and its end enables it again
    // whether or not the box disabled it, as under Wine. Neither is the model's own call, so the
    // history does not show them.
    bool message_box(std::string_view text, BoxOwner owner, BoxStyle style) override {
        boxes.push_back({std::string(text), owner, style});
        bool owned = owner == BoxOwner::MainWindow;
        if (owned) {
            window_enabled = false;
        }
        if (while_box_open) {
            while_box_open();
        }
        if (owned) {
            window_enabled = true;
        }
        return answer_yes;
    }
    void print_line(std::string_view line) override { lines.emplace_back(line); }

    NoticeSender main_notice(std::uintptr_t opening) const override {
        return NoticeSender{1, opening};
    }
    VoidResult bind_focus_forwarding(NoticeSender dialog) override {
        if (bind_error) {
            return fail(*bind_error);
        }
        if (bound) {
            return fail("raw handler bound already");
        }
        bound = dialog;
        return {};
    }
    VoidResult unbind_focus_forwarding() override {
        if (unbind_error) {
            // Disarmed: a later bind succeeds.
            bound.reset();
            return fail(*unbind_error);
        }
        bound.reset();
        return {};
    }

    int shown = 0;
    int brought_to_front = 0;
    int quits = 0;
    bool window_enabled = true;
    std::vector<bool> window_enabled_history;
    std::vector<ShownBox> boxes;
    std::vector<std::string> lines;
    bool answer_yes = false;
    // Runs inside each box, as the events that its nested message loop delivers.
    std::function<void()> while_box_open;
    std::optional<NoticeSender> bound;
    std::optional<std::string> bind_error;
    std::optional<std::string> unbind_error;

  private:
    mutable std::map<ControlId, FakeControl> controls_;
};

}  // namespace tessaro::winconfig::testing
