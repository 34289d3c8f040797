// The configuration tool's model over a fake window and a fake system: the dispatch, the start,
// the Save button, the save with its restart question, the service state and its button, the
// status tick, and the status dialog's opening and end (on real threads with stand-in bodies).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <stdexcept>

#include <gtest/gtest.h>

#include "fake_config_view.hpp"
#include "winconfig/config_app.hpp"

namespace tessaro::winconfig {
namespace {

using testing::FakeConfigView;
using testing::ShownBox;

constexpr ControlId main_id(Field f) {
    return {Page::Main, f};
}

// An in-memory settings key that records its writes and deletes and can refuse one name.
class MemoryKey : public os::RegistryKey {
  public:
    MemoryKey(std::map<std::string, os::RegistryValue>& values, std::vector<std::string>& log,
              std::optional<std::string> refused)
        : values_(values), log_(log), refused_(std::move(refused)) {}

    std::optional<os::RegistryValue> query(std::string_view name) const override {
        auto it = values_.find(std::string(name));
        return it == values_.end() ? std::nullopt : std::optional(it->second);
    }
    os::RegistryVoidResult set(std::string_view name, const os::RegistryValue& value) override {
        log_.push_back("set " + std::string(name));
        if (refused_ == name) {
            return std::unexpected(
                os::RegistryError(os::RegistryErrorKind::AccessDenied, "refused"));
        }
        values_[std::string(name)] = value;
        return {};
    }
    os::RegistryVoidResult remove(std::string_view name) override {
        log_.push_back("remove " + std::string(name));
        values_.erase(std::string(name));
        return {};
    }

  private:
    std::map<std::string, os::RegistryValue>& values_;
    std::vector<std::string>& log_;
    std::optional<std::string> refused_;
};

// The service as the fake manager reports it: absent, or a state (any number, as reported).
struct FakeService {
    std::optional<std::uint32_t> state;
    bool query_fails = false;
    Result<std::uint32_t> stop_result = SERVICE_STATE_RUNNING;  // ControlService's answer
    bool start_fails = false;
    std::vector<std::string> calls;
};

class FakeServiceHandle : public ServiceHandle {
  public:
    explicit FakeServiceHandle(FakeService& service) : service_(service) {}
    Result<std::uint32_t> query_state() override {
        service_.calls.push_back("query");
        if (service_.query_fails) {
            return fail("query failed");
        }
        return *service_.state;
    }
    Result<std::uint32_t> stop() override {
        service_.calls.push_back("stop");
        return service_.stop_result;
    }
    VoidResult start(const std::vector<std::string>& arguments) override {
        std::string call = "start";
        for (const auto& a : arguments) {
            call += " " + a;
        }
        service_.calls.push_back(call);
        if (service_.start_fails) {
            return fail("start failed");
        }
        return {};
    }

  private:
    FakeService& service_;
};

class FakeManager : public ServiceManager {
  public:
    explicit FakeManager(FakeService& service) : service_(service) {}
    Result<std::unique_ptr<ServiceHandle>> open_service(std::uint32_t access) override {
        service_.calls.push_back("open " + std::to_string(access));
        if (!service_.state) {
            return fail("The specified service does not exist as an installed service.");
        }
        return std::make_unique<FakeServiceHandle>(service_);
    }

  private:
    FakeService& service_;
};

using StatusRead = std::expected<AppStatus, StatusReadError>;

class ScriptedStatus : public StatusSource {
  public:
    // Kept as two plain members: g++ 12 misreads a moved std::expected of an enum as
    // uninitialised.
    explicit ScriptedStatus(const StatusRead& read) {
        if (read) {
            status_ = *read;
        } else {
            error_ = read.error();
        }
    }
    StatusRead read() const override {
        if (status_) {
            return *status_;
        }
        return std::unexpected(error_);
    }

  private:
    std::optional<AppStatus> status_;
    StatusReadError error_ = StatusReadError::Deserialization;
};

// The main window's notices as the dialog threads signal them, taken by the test's thread (the
// GUI thread) in order, as the window's message loop would deliver them.
class NoticeQueue {
  public:
    void signal(NoticeSender notice) {
        {
            std::lock_guard lock(mutex_);
            notices_.push_back(notice);
        }
        signalled_.notify_all();
    }
    // The next notice; none when none comes within 30 s.
    std::optional<NoticeSender> next() {
        std::unique_lock lock(mutex_);
        if (!signalled_.wait_for(lock, std::chrono::seconds(30),
                                 [&] { return !notices_.empty(); })) {
            return std::nullopt;
        }
        NoticeSender notice = notices_.front();
        notices_.pop_front();
        return notice;
    }

  private:
    std::mutex mutex_;
    std::condition_variable signalled_;
    std::deque<NoticeSender> notices_;
};

class FakePlatform : public ConfigPlatform {
  public:
    Interfaces scan_adapters() override { return scan; }

    Result<std::unique_ptr<os::RegistryKey>> open_settings_key() override {
        if (key_error) {
            return fail(*key_error);
        }
        return std::make_unique<MemoryKey>(registry, registry_log, refused_value);
    }

    Result<std::unique_ptr<ServiceManager>> open_service_manager() override {
        return std::make_unique<FakeManager>(service);
    }

    // Each open takes the next scripted read; an empty script means no section.
    Result<std::unique_ptr<StatusSource>> open_status_reader() override {
        ++status_opens;
        if (reads.empty()) {
            return fail("Could not open shared memory: not there");
        }
        auto source = std::make_unique<ScriptedStatus>(reads.front());
        reads.pop_front();
        ++status_reads;
        return source;
    }

    VoidResult start_event_viewer() override {
        ++event_viewer_starts;
        return event_viewer_result;
    }

    // The thread's boundary signals the main notice after an abort, as on Windows.
    Result<DialogThread> start_dialog_thread(DialogStart start) override {
        ++dialog_starts;
        auto thread = DialogThread::start(std::move(start), dialog_body,
                                          [this](NoticeSender notice) { notices.signal(notice); });
        if (thread && while_dialog_starts) {
            while_dialog_starts();
        }
        return thread;
    }

    Interfaces scan;
    std::map<std::string, os::RegistryValue> registry;
    std::vector<std::string> registry_log;
    std::optional<std::string> refused_value;
    std::optional<std::string> key_error;
    FakeService service;
    std::deque<StatusRead> reads;
    int status_opens = 0;
    int status_reads = 0;
    VoidResult event_viewer_result;
    int event_viewer_starts = 0;
    DialogBody dialog_body;
    int dialog_starts = 0;
    // Runs once a dialog thread has started, before its opening has received the hand-over.
    std::function<void()> while_dialog_starts;
    NoticeQueue notices;
};

// One scripted read per status tick, in order.
void script_reads(FakePlatform& platform, std::initializer_list<StatusRead> reads) {
    for (const auto& read : reads) {
        platform.reads.push_back(read);
    }
}

ProxyStatus connected_status(std::string name) {
    return ProxyStatus{ProxyStatus::Connected{std::move(name), Ipv4Addr{{192, 168, 1, 5}},
                                              std::nullopt, Ipv4Addr{{169, 254, 1, 2}},
                                              MacAddress{{2, 0, 0, 0, 0, 1}}}};
}

class ConfigAppTest : public ::testing::Test {
  protected:
    void SetUp() override { app.on_init(); }

    bool save_enabled() { return view.control(main_id(Field::SaveButton)).enabled; }
    std::vector<ShownBox> take_boxes() { return std::exchange(view.boxes, {}); }

    FakeConfigView view;
    FakePlatform platform;
    ConfigApp app{view, platform, Settings::defaults()};
};

TEST_F(ConfigAppTest, StartSelectsTheSavedLevelLoadsBothTabsAndShowsTheWindow) {
    EXPECT_EQ(view.selection(main_id(Field::LogLevelCombo)), 1u);  // "Informationen"
    EXPECT_EQ(view.text({Page::Terminal, Field::TabCaption}), "Terminal-Proxy");
    EXPECT_EQ(view.text({Page::Pinpad, Field::TabCaption}), "PIN-Pad-Proxy");
    EXPECT_EQ(view.text({Page::Pinpad, Field::UdpPort}),
              std::to_string(DeviceSettings::defaults(DeviceKind::Pinpad).pc_udp_port));
    EXPECT_FALSE(save_enabled());
    EXPECT_EQ(view.shown, 1);
    // Nothing of the service before the first tick.
    EXPECT_TRUE(platform.service.calls.empty());
}

TEST_F(ConfigAppTest, TheSaveButtonFollowsEveryEditOfEitherTabAndTheLevel) {
    auto edit = [&](ControlId id, std::string text) {
        view.set_text(id, text);
        app.handle_event(UiEvent::TextChanged, id);
    };
    edit({Page::Pinpad, Field::SicctPort}, "5000");
    EXPECT_TRUE(save_enabled());
    edit({Page::Terminal, Field::UdpPort}, "99999");  // invalid on the other tab
    EXPECT_FALSE(save_enabled());
    edit({Page::Terminal, Field::UdpPort}, "4742");
    EXPECT_TRUE(save_enabled());
    edit({Page::Pinpad, Field::SicctPort},
         std::to_string(DeviceSettings::defaults(DeviceKind::Pinpad).pc_sicct_port));
    EXPECT_FALSE(save_enabled());

    view.select(main_id(Field::LogLevelCombo), 3);  // "Fehler"
    app.handle_event(UiEvent::SelectionChanged, main_id(Field::LogLevelCombo));
    EXPECT_TRUE(save_enabled());
    EXPECT_EQ(view.text(main_id(Field::LogLevelMarker)), "");

    // Without a level, nothing can be saved, even with a valid change.
    view.select(main_id(Field::LogLevelCombo), std::nullopt);
    edit({Page::Terminal, Field::SicctPort}, "5000");
    EXPECT_EQ(view.text(main_id(Field::LogLevelMarker)), "!");
    EXPECT_FALSE(save_enabled());
}

TEST_F(ConfigAppTest, ClicksCloseAndUnknownSourcesAreDispatchedByTheirSource) {
    app.handle_event(UiEvent::Click, main_id(Field::EventViewerButton));
    EXPECT_EQ(platform.event_viewer_starts, 1);
    // A click from a source that is no button does nothing.
    app.handle_event(UiEvent::Click, main_id(Field::ServiceState));
    app.handle_event(UiEvent::Tick, main_id(Field::Window));
    EXPECT_TRUE(platform.service.calls.empty());
    EXPECT_EQ(platform.status_opens, 0);

    app.handle_event(UiEvent::Click, main_id(Field::ServiceButton));
    EXPECT_EQ(platform.service.calls, std::vector<std::string>{"open 48"});
    EXPECT_EQ(take_boxes(), (std::vector<ShownBox>{{"Konnte den Windows-Dienst nicht öffnen!",
                                                    BoxOwner::None, BoxStyle::Error}}));

    platform.event_viewer_result = fail("program not found");
    app.handle_event(UiEvent::Click, main_id(Field::EventViewerButton));
    EXPECT_EQ(take_boxes(),
              (std::vector<ShownBox>{{"program not found", BoxOwner::None, BoxStyle::Error}}));

    app.handle_event(UiEvent::Close, main_id(Field::Window));
    EXPECT_EQ(view.quits, 1);
}

struct StateCase {
    std::optional<std::uint32_t> state;  // none: not installed
    bool query_fails;
    std::string shown;
    std::string button;  // "Starten" unless the query succeeded otherwise
    bool enabled;
    bool running;
};

TEST_F(ConfigAppTest, TheServiceStateTable) {
    const std::vector<StateCase> cases = {
        {1, false, "Nicht gestartet", "Starten", true, false},
        {2, false, "Nicht gestartet", "Starten", false, false},
        {3, false, "Nicht gestartet", "Starten", false, false},
        {4, false, "Gestartet", "Beenden", true, true},
        {5, false, "Nicht gestartet", "Starten", false, false},
        {6, false, "Nicht gestartet", "Starten", false, false},
        {7, false, "Nicht gestartet", "Starten", false, false},
        {0, false, "Nicht installiert", "", false, false},
        {8, false, "Nicht installiert", "", false, false},
        {4, true, "Nicht installiert", "", false, false},
        {std::nullopt, false, "Nicht installiert", "", false, false},
    };
    for (bool restart : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(::testing::Message() << "state " << c.state.value_or(0) << " query fails "
                                              << c.query_fails << " restart " << restart);
            FakeConfigView v;
            FakePlatform p;
            ConfigApp a(v, p, Settings::defaults());
            p.service.state = c.state;
            // The button's text from before: only a successful query changes it.
            v.set_text(main_id(Field::ServiceButton), "");
            if (restart) {
                // Accepted restart: a save while running, Yes, the stop sent.
                p.service.state = 4;
                a.refresh_service_state();
                v.answer_yes = true;
                a.save();
                ASSERT_TRUE(a.restart_pending());
                p.service.state = c.state;
                p.service.calls.clear();
                v.set_text(main_id(Field::ServiceButton), "");
            }
            p.service.query_fails = c.query_fails;

            a.handle_event(UiEvent::Tick, main_id(Field::Timer));
            EXPECT_EQ(v.text(main_id(Field::ServiceState)), c.shown);
            EXPECT_EQ(v.text(main_id(Field::ServiceButton)), c.button);
            EXPECT_EQ(v.control(main_id(Field::ServiceButton)).enabled, c.enabled);
            EXPECT_EQ(a.service_running(), c.running);

            bool restarts = restart && c.state == 1u && !c.query_fails;
            std::vector<std::string> expected_calls;
            if (c.state) {
                expected_calls = {"open 4", "query"};
            } else {
                expected_calls = {"open 4"};
            }
            if (restarts) {
                expected_calls.push_back("open 48");
                expected_calls.push_back("start tessaro-config");
            }
            EXPECT_EQ(p.service.calls, expected_calls);
            EXPECT_EQ(a.restart_pending(), restart && !restarts);
        }
    }
}

TEST_F(ConfigAppTest, TheServiceButtonStopsWithoutAFreshQueryAndShowsTheLibraryTexts) {
    platform.service.state = 4;
    app.refresh_service_state();
    platform.service.calls.clear();
    platform.service.state = 1;  // stopped by now, but the last query said running

    app.handle_event(UiEvent::Click, main_id(Field::ServiceButton));
    EXPECT_EQ(platform.service.calls, (std::vector<std::string>{"open 48", "stop"}));
    EXPECT_TRUE(view.boxes.empty());
    // The tab shows the new state only at the next query.
    EXPECT_EQ(view.text(main_id(Field::ServiceState)), "Gestartet");

    platform.service.stop_result = fail("The service has not been started.");
    app.toggle_service();
    platform.service.stop_result = 9u;
    app.toggle_service();
    EXPECT_EQ(take_boxes(), (std::vector<ShownBox>{
                                {"IO error in winapi call", BoxOwner::None, BoxStyle::Error},
                                {"Invalid service state value", BoxOwner::None, BoxStyle::Error}}));

    app.refresh_service_state();
    platform.service.calls.clear();
    platform.service.start_fails = true;
    app.toggle_service();
    EXPECT_EQ(platform.service.calls,
              (std::vector<std::string>{"open 48", "start tessaro-config"}));
    EXPECT_EQ(
        take_boxes(),
        (std::vector<ShownBox>{{"IO error in winapi call", BoxOwner::None, BoxStyle::Error}}));
}

TEST_F(ConfigAppTest, SaveStoresWritesAndAsksForARestartOnlyWhileTheServiceRuns) {
    view.set_text({Page::Terminal, Field::SicctPort}, "5000");
    view.select(main_id(Field::LogLevelCombo), 2);  // "Warnungen"
    app.update_save_button();
    ASSERT_TRUE(save_enabled());

    app.handle_event(UiEvent::Click, main_id(Field::SaveButton));
    EXPECT_EQ(app.saved_settings().terminal.pc_sicct_port, 5000);
    EXPECT_EQ(app.saved_settings().log_level, LogLevel::Warn);
    EXPECT_EQ(platform.registry_log,
              (std::vector<std::string>{"set loglevel", "set pc-sicct-port"}));
    EXPECT_EQ(platform.registry.at("loglevel"), os::RegistryValue::from_string("warn"));
    EXPECT_FALSE(save_enabled());
    // The service was never seen running: no question.
    EXPECT_TRUE(view.boxes.empty());

    platform.service.state = 4;
    app.on_timer();
    view.answer_yes = false;
    app.save();
    EXPECT_EQ(take_boxes(),
              (std::vector<ShownBox>{{"Dienst neu starten um die Änderungen zu übernehmen?",
                                      BoxOwner::MainWindow, BoxStyle::YesNoQuestion}}));
    EXPECT_FALSE(app.restart_pending());

    // Yes, but the service has stopped on its own meanwhile: nothing is started or stopped.
    platform.service.state = 1;
    platform.service.calls.clear();
    view.answer_yes = true;
    app.save();
    EXPECT_EQ(platform.service.calls, (std::vector<std::string>{"open 4", "query"}));
    EXPECT_FALSE(app.restart_pending());
}

TEST_F(ConfigAppTest, AFailedSaveKeepsTheLastSavedSettingsAndAsksNothing) {
    platform.service.state = 4;
    app.on_timer();
    const Settings before = app.saved_settings();

    // The key cannot be opened.
    view.set_text({Page::Terminal, Field::SicctPort}, "5000");
    platform.key_error = "Permission denied for given path: SOFTWARE\\Korvel\\Tessaro";
    app.save();
    EXPECT_EQ(app.saved_settings(), before);
    EXPECT_TRUE(save_enabled());
    EXPECT_EQ(take_boxes(),
              (std::vector<ShownBox>{{"Permission denied for given path: SOFTWARE\\Korvel\\Tessaro",
                                      BoxOwner::None, BoxStyle::Error}}));

    // A write fails: what came before stays, nothing after it is touched, and the key's partial
    // writes are no saved state.
    platform.key_error.reset();
    platform.refused_value = "pc-sicct-port";
    view.select(main_id(Field::LogLevelCombo), 0);  // "Debug"
    view.set_text({Page::Pinpad, Field::SicctPort}, "6000");
    app.save();
    EXPECT_EQ(platform.registry_log,
              (std::vector<std::string>{"set loglevel", "set pc-sicct-port"}));
    EXPECT_EQ(take_boxes(),
              (std::vector<ShownBox>{{"Permission denied for given value name: 'pc-sicct-port'",
                                      BoxOwner::None, BoxStyle::Error}}));
    EXPECT_EQ(app.saved_settings(), before);
    EXPECT_TRUE(save_enabled());
    EXPECT_FALSE(app.restart_pending());

    // The same edits saved again once the key takes them: saved, "Speichern" disabled, and the
    // question asked.
    platform.refused_value.reset();
    app.handle_event(UiEvent::Click, main_id(Field::SaveButton));
    EXPECT_EQ(app.saved_settings().log_level, LogLevel::Debug);
    EXPECT_EQ(app.saved_settings().terminal.pc_sicct_port, 5000);
    EXPECT_EQ(app.saved_settings().pinpad.pc_sicct_port, 6000);
    EXPECT_FALSE(save_enabled());
    EXPECT_EQ(take_boxes(),
              (std::vector<ShownBox>{{"Dienst neu starten um die Änderungen zu übernehmen?",
                                      BoxOwner::MainWindow, BoxStyle::YesNoQuestion}}));
}

TEST_F(ConfigAppTest, AnAcceptedRestartStopsAtOnceAndStartsOnceWhenStopped) {
    platform.service.state = 4;
    app.on_timer();
    platform.service.calls.clear();
    view.answer_yes = true;
    app.save();
    EXPECT_TRUE(app.restart_pending());
    EXPECT_EQ(platform.service.calls,
              (std::vector<std::string>{"open 4", "query", "open 48", "stop"}));

    auto tick_calls = [&](std::uint32_t state) {
        platform.service.state = state;
        platform.service.calls.clear();
        app.on_timer();
        return platform.service.calls;
    };
    EXPECT_EQ(tick_calls(3), (std::vector<std::string>{"open 4", "query"}));  // stop pending
    EXPECT_TRUE(app.restart_pending());
    EXPECT_EQ(view.text(main_id(Field::ServiceState)), "Nicht gestartet");
    EXPECT_EQ(tick_calls(1),
              (std::vector<std::string>{"open 4", "query", "open 48", "start tessaro-config"}));
    EXPECT_FALSE(app.restart_pending());
    EXPECT_EQ(tick_calls(1), (std::vector<std::string>{"open 4", "query"}));
    // The question was the only box.
    EXPECT_EQ(view.boxes,
              (std::vector<ShownBox>{{"Dienst neu starten um die Änderungen zu übernehmen?",
                                      BoxOwner::MainWindow, BoxStyle::YesNoQuestion}}));
}

TEST_F(ConfigAppTest, TheStatusTickShowsEachReadErrorOncePerChange) {
    AppStatus good{connected_status("Ethernet"), ProxyStatus{}};
    script_reads(platform, {std::unexpected(StatusReadError::Checksum),
                            std::unexpected(StatusReadError::Checksum), good,
                            std::unexpected(StatusReadError::Checksum),
                            std::unexpected(StatusReadError::Version)});
    std::vector<std::size_t> boxes_after;
    for (int i = 0; i < 5; ++i) {
        app.handle_event(UiEvent::Tick, main_id(Field::Timer));
        boxes_after.push_back(view.boxes.size());
        if (i == 2) {
            EXPECT_EQ(view.text(main_id(Field::TerminalState)), "Verbunden");
            EXPECT_TRUE(view.control(main_id(Field::TerminalDetails)).enabled);
            EXPECT_EQ(view.text(main_id(Field::PinpadState)), "Nicht verbunden");
            EXPECT_FALSE(view.control(main_id(Field::PinpadDetails)).enabled);
            EXPECT_EQ(app.last_status(), good);
            EXPECT_EQ(app.status_error(), std::nullopt);
        }
    }
    EXPECT_EQ(boxes_after, (std::vector<std::size_t>{1, 1, 1, 2, 3}));
    EXPECT_EQ(view.boxes[0], (ShownBox{"Konnte Service-Status nicht abrufen: Prüfsumme ungültig",
                                       BoxOwner::MainWindow, BoxStyle::Error}));
    EXPECT_EQ(view.boxes[2].text, "Konnte Service-Status nicht abrufen: Version inkompatibel");
    EXPECT_EQ(app.status_error(), StatusReadError::Version);
    // A failed read counts as not connected.
    EXPECT_EQ(view.text(main_id(Field::TerminalState)), "Nicht verbunden");
    EXPECT_FALSE(view.control(main_id(Field::TerminalDetails)).enabled);
    EXPECT_EQ(app.last_status(), AppStatus{});

    // No section: one line, both not connected, the error kept.
    app.on_timer();
    EXPECT_EQ(view.lines, std::vector<std::string>{
                              "Could not open app status reader: Could not open shared memory: "
                              "not there"});
    EXPECT_EQ(view.boxes.size(), 3u);
    EXPECT_EQ(app.status_error(), StatusReadError::Version);
}

TEST_F(ConfigAppTest, ATickThatCannotOpenTheSectionAfterAConnectedReadShowsBothNotConnected) {
    script_reads(platform, {AppStatus{connected_status("Ethernet"), connected_status("USB-LAN")}});
    app.on_timer();
    ASSERT_EQ(view.text(main_id(Field::PinpadState)), "Verbunden");

    app.on_timer();  // the section is gone
    for (Field state : {Field::TerminalState, Field::PinpadState}) {
        EXPECT_EQ(view.text(main_id(state)), "Nicht verbunden");
    }
    for (Field details : {Field::TerminalDetails, Field::PinpadDetails}) {
        EXPECT_FALSE(view.control(main_id(details)).enabled);
    }
    EXPECT_EQ(app.last_status(), AppStatus{});
    EXPECT_EQ(app.status_error(), std::nullopt);
    EXPECT_EQ(view.lines.size(), 1u);
    EXPECT_TRUE(view.boxes.empty());
}

TEST_F(ConfigAppTest, ATickNestedInTheReadErrorBoxRefreshesTheServiceButSkipsItsRead) {
    platform.service.state = 4;
    script_reads(platform, {std::unexpected(StatusReadError::Deserialization)});
    int nested = 0;
    view.while_box_open = [&] {
        ++nested;
        platform.service.state = 1;
        platform.service.calls.clear();
        app.handle_event(UiEvent::Tick, main_id(Field::Timer));
        EXPECT_EQ(platform.service.calls, (std::vector<std::string>{"open 4", "query"}));
        EXPECT_EQ(view.text(main_id(Field::ServiceState)), "Nicht gestartet");
    };
    app.on_timer();
    EXPECT_EQ(nested, 1);
    EXPECT_EQ(platform.status_opens, 1);
    EXPECT_EQ(app.status_error(), StatusReadError::Deserialization);

    // Once the box is closed, the next tick reads again.
    view.while_box_open = nullptr;
    app.on_timer();
    EXPECT_EQ(platform.status_opens, 2);
}

// A dialog body that hands its notice over and, once released, signals the main notice and ends
// with `result`, as the real dialog does. A body left unreleased ends by itself after 30 s, so
// that a wrong wait for it fails instead of hanging.
struct ScriptedDialog {
    explicit ScriptedDialog(NoticeQueue& queue) : notices(queue) {}

    NoticeQueue& notices;
    std::mutex mutex;
    std::condition_variable changed;
    bool released = false;
    int runs = 0;
    int ends = 0;
    std::optional<ProxyStatus> snapshot;
    std::optional<DeviceKind> kind;
    std::optional<NoticeSender> main_notice;
    VoidResult result;

    DialogBody body() {
        return [this](DialogStart start) -> VoidResult {
            {
                std::lock_guard lock(mutex);
                ++runs;
                snapshot = start.snapshot;
                kind = start.kind;
                main_notice = start.main_notice;
            }
            if (auto sent = start.hand_over.send(NoticeSender{99, 3}); !sent) {
                end();
                return fail(sent.error());
            }
            VoidResult r;
            {
                std::unique_lock lock(mutex);
                changed.wait_for(lock, std::chrono::seconds(30), [&] { return released; });
                r = result;
            }
            notices.signal(start.main_notice);
            // Nothing of this record is touched after the end is counted: a detached thread may
            // outlive the test's wait only by its return.
            end();
            return r;
        };
    }
    void release() {
        {
            std::lock_guard lock(mutex);
            released = true;
        }
        changed.notify_all();
    }
    // Every run has ended (at most 30 s).
    bool wait_ended() {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(30), [&] { return ends == runs; });
    }
    int run_count() {
        std::lock_guard lock(mutex);
        return runs;
    }

  private:
    // Notified under the lock: the test may destroy the record as soon as its wait can return.
    void end() {
        std::lock_guard lock(mutex);
        ++ends;
        changed.notify_all();
    }
};

// The card terminal's dialog opened over a connected read, with the next read failing on its
// check value; true once the dialog is tracked.
bool open_terminal_dialog_before_a_bad_read(ConfigApp& app, FakePlatform& platform,
                                            ScriptedDialog& dialog) {
    platform.dialog_body = dialog.body();
    script_reads(platform, {AppStatus{connected_status("Ethernet"), ProxyStatus{}},
                            std::unexpected(StatusReadError::Checksum)});
    app.on_timer();
    app.show_terminal_details();
    return app.dialog_open();
}

TEST_F(ConfigAppTest, ADialogOpensOnceWithTheStatusOfTheClickAndEndsOnItsNotice) {
    ScriptedDialog dialog(platform.notices);
    platform.dialog_body = dialog.body();
    script_reads(platform, {AppStatus{ProxyStatus{}, connected_status("USB-LAN")},
                            AppStatus{ProxyStatus{}, connected_status("changed later")}});
    app.on_timer();

    // The quick second click reaches the model while the first opening still waits for the
    // dialog's hand-over; a third comes once the dialog is open.
    int clicks_during_opening = 0;
    platform.while_dialog_starts = [&] {
        if (++clicks_during_opening == 1) {
            app.handle_event(UiEvent::Click, main_id(Field::PinpadDetails));
        }
    };
    app.handle_event(UiEvent::Click, main_id(Field::PinpadDetails));
    app.handle_event(UiEvent::Click, main_id(Field::PinpadDetails));
    EXPECT_EQ(platform.dialog_starts, 1);
    EXPECT_TRUE(app.dialog_open());
    EXPECT_FALSE(view.window_enabled);
    // Disabled from the opening on, and never enabled in between.
    EXPECT_FALSE(view.window_enabled_history.empty());
    EXPECT_EQ(std::ranges::count(view.window_enabled_history, true), 0);
    EXPECT_EQ(view.bound, (NoticeSender{99, 3}));
    EXPECT_TRUE(view.boxes.empty());
    app.on_timer();  // later ticks change nothing of the dialog's copy
    std::optional<NoticeSender> main_notice;
    {
        std::lock_guard lock(dialog.mutex);
        EXPECT_EQ(dialog.snapshot, connected_status("USB-LAN"));
        EXPECT_EQ(dialog.kind, DeviceKind::Pinpad);
        main_notice = dialog.main_notice;
    }
    ASSERT_TRUE(main_notice.has_value());
    EXPECT_EQ(main_notice->window, 1u);

    dialog.release();
    auto end = platform.notices.next();
    ASSERT_EQ(end, main_notice);
    app.handle_event(UiEvent::Notice, main_id(Field::Notice), end->id);
    EXPECT_FALSE(app.dialog_open());
    EXPECT_EQ(view.bound, std::nullopt);
    EXPECT_TRUE(view.window_enabled);
    EXPECT_EQ(view.brought_to_front, 1);
    EXPECT_TRUE(view.boxes.empty());
    EXPECT_EQ(dialog.run_count(), 1);

    // A notice with nothing tracked does nothing.
    app.on_dialog_closed(end->id);
    EXPECT_EQ(view.brought_to_front, 1);
    EXPECT_TRUE(dialog.wait_ended());
}

TEST_F(ConfigAppTest, ADialogThatEndsBeforeTheHandOverLeavesTheWindowEnabled) {
    struct Case {
        DialogBody body;
        std::string box;
    };
    const std::vector<Case> cases = {
        {[](DialogStart) -> VoidResult { return fail("Failed to create window"); },
         "Could not open dialog: Failed to create window"},
        {[](DialogStart) -> VoidResult { throw std::runtime_error("boom"); },
         "Could not open dialog: Dialog thread panicked: Any { .. }"},
        {[](DialogStart) -> VoidResult { return {}; },
         "Could not open dialog: receiving on a closed channel"},
    };
    for (const auto& c : cases) {
        platform.dialog_body = c.body;
        app.handle_event(UiEvent::Click, main_id(Field::TerminalDetails));
        EXPECT_FALSE(app.dialog_open());
        EXPECT_TRUE(view.window_enabled);
        EXPECT_EQ(view.window_enabled_history, (std::vector<bool>{false, true}));
        view.window_enabled_history.clear();
        EXPECT_EQ(take_boxes(), (std::vector<ShownBox>{{c.box, BoxOwner::None, BoxStyle::Error}}));
    }
}

TEST_F(ConfigAppTest, ADialogWhoseHandlerCannotBeBoundGoesOnUntracked) {
    ScriptedDialog dialog(platform.notices);
    platform.dialog_body = dialog.body();
    view.bind_error = "raw handler bound already";
    app.show_terminal_details();
    EXPECT_FALSE(app.dialog_open());
    EXPECT_TRUE(view.window_enabled);
    EXPECT_EQ(take_boxes(), (std::vector<ShownBox>{{"Could not open dialog: raw handler bound "
                                                    "already",
                                                    BoxOwner::None, BoxStyle::Error}}));
    // Its end later finds nothing tracked.
    dialog.release();
    auto end = platform.notices.next();
    ASSERT_TRUE(end.has_value());
    app.handle_event(UiEvent::Notice, main_id(Field::Notice), end->id);
    EXPECT_EQ(view.brought_to_front, 0);
    EXPECT_TRUE(dialog.wait_ended());
}

TEST_F(ConfigAppTest, TheEndOfAnUntrackedDialogLeavesTheTrackedOneAlone) {
    // The first dialog goes on untracked after its binding failed; the second is tracked.
    ScriptedDialog untracked(platform.notices);
    ScriptedDialog tracked(platform.notices);
    platform.dialog_body = untracked.body();
    view.bind_error = "raw handler bound already";
    app.show_terminal_details();
    ASSERT_FALSE(app.dialog_open());
    view.bind_error.reset();
    platform.dialog_body = tracked.body();
    app.show_pinpad_details();
    ASSERT_TRUE(app.dialog_open());
    take_boxes();

    // The untracked dialog's end is no end of the tracked one: nothing is unbound, joined or
    // enabled (a join here would wait for the tracked dialog's thread).
    untracked.release();
    auto untracked_end = platform.notices.next();
    ASSERT_TRUE(untracked_end.has_value());
    app.handle_event(UiEvent::Notice, main_id(Field::Notice), untracked_end->id);
    EXPECT_TRUE(app.dialog_open());
    EXPECT_EQ(view.bound, (NoticeSender{99, 3}));
    EXPECT_FALSE(view.window_enabled);
    EXPECT_EQ(tracked.run_count(), 1);
    EXPECT_TRUE(view.boxes.empty());

    tracked.release();
    auto tracked_end = platform.notices.next();
    ASSERT_TRUE(tracked_end.has_value());
    EXPECT_NE(tracked_end->id, untracked_end->id);
    app.handle_event(UiEvent::Notice, main_id(Field::Notice), tracked_end->id);
    EXPECT_FALSE(app.dialog_open());
    EXPECT_TRUE(view.window_enabled);
    EXPECT_EQ(view.brought_to_front, 1);
    EXPECT_TRUE(untracked.wait_ended());
    EXPECT_TRUE(tracked.wait_ended());
}

TEST_F(ConfigAppTest, ADialogEndingUnderTheStatusErrorBoxLeavesTheEnablingToTheBox) {
    ScriptedDialog dialog(platform.notices);
    ASSERT_TRUE(open_terminal_dialog_before_a_bad_read(app, platform, dialog));

    // The box owned by the main window opens while the dialog keeps the window disabled, and the
    // dialog ends while the box is open: the window stays disabled under the box.
    int nested = 0;
    view.while_box_open = [&] {
        ++nested;
        dialog.release();
        auto end = platform.notices.next();
        ASSERT_TRUE(end.has_value());
        app.handle_event(UiEvent::Notice, main_id(Field::Notice), end->id);
        EXPECT_FALSE(app.dialog_open());
        EXPECT_FALSE(view.window_enabled);
        EXPECT_EQ(view.brought_to_front, 0);
    };
    app.on_timer();
    EXPECT_EQ(nested, 1);
    EXPECT_EQ(take_boxes(),
              (std::vector<ShownBox>{{"Konnte Service-Status nicht abrufen: Prüfsumme ungültig",
                                      BoxOwner::MainWindow, BoxStyle::Error}}));
    // The box's end gives the window back.
    EXPECT_TRUE(view.window_enabled);
    EXPECT_EQ(view.brought_to_front, 1);
    EXPECT_TRUE(dialog.wait_ended());
}

TEST_F(ConfigAppTest, AnOwnedBoxEndingUnderAnOpenDialogLeavesTheWindowDisabled) {
    ScriptedDialog dialog(platform.notices);
    ASSERT_TRUE(open_terminal_dialog_before_a_bad_read(app, platform, dialog));

    // The read fails while the dialog is open; its box ends, which enables the window.
    app.on_timer();
    EXPECT_EQ(take_boxes(),
              (std::vector<ShownBox>{{"Konnte Service-Status nicht abrufen: Prüfsumme ungültig",
                                      BoxOwner::MainWindow, BoxStyle::Error}}));
    EXPECT_TRUE(app.dialog_open());
    EXPECT_FALSE(view.window_enabled);
    EXPECT_EQ(view.brought_to_front, 0);

    dialog.release();
    auto end = platform.notices.next();
    ASSERT_TRUE(end.has_value());
    app.handle_event(UiEvent::Notice, main_id(Field::Notice), end->id);
    EXPECT_TRUE(view.window_enabled);
    EXPECT_EQ(view.brought_to_front, 1);
    EXPECT_TRUE(dialog.wait_ended());
}

TEST_F(ConfigAppTest, AnOwnedBoxEndingUnderTheRestartQuestionLeavesTheWindowDisabled) {
    platform.service.state = 4;
    app.on_timer();
    // A tick under the question shows the status-read error box, which ends first.
    int boxes_open = 0;
    view.while_box_open = [&] {
        if (++boxes_open == 1) {
            script_reads(platform, {std::unexpected(StatusReadError::Version)});
            app.handle_event(UiEvent::Tick, main_id(Field::Timer));
            EXPECT_FALSE(view.window_enabled);
        }
    };
    app.save();
    EXPECT_EQ(take_boxes(),
              (std::vector<ShownBox>{{"Dienst neu starten um die Änderungen zu übernehmen?",
                                      BoxOwner::MainWindow, BoxStyle::YesNoQuestion},
                                     {"Konnte Service-Status nicht abrufen: Version inkompatibel",
                                      BoxOwner::MainWindow, BoxStyle::Error}}));
    EXPECT_TRUE(view.window_enabled);
}

TEST_F(ConfigAppTest, TheEndOfADialogLeavesTheWindowDisabledUnderADialogOpenedDuringItsBoxes) {
    // Dialog A ends and its unbinding fails; while that unowned box is open, a tick's read error
    // box comes and goes (the window is then enabled: no dialog is open), the next tick reads the
    // terminal connected, and the user opens dialog B from the enabled window.
    ScriptedDialog first(platform.notices);
    ScriptedDialog second(platform.notices);
    platform.dialog_body = first.body();
    script_reads(platform, {AppStatus{connected_status("Ethernet"), ProxyStatus{}}});
    app.on_timer();
    app.show_terminal_details();
    ASSERT_TRUE(app.dialog_open());
    view.unbind_error = "unbind failed";

    int boxes_open = 0;
    view.while_box_open = [&] {
        if (++boxes_open != 1) {
            return;
        }
        script_reads(platform, {std::unexpected(StatusReadError::Checksum),
                                AppStatus{connected_status("Ethernet"), ProxyStatus{}}});
        app.handle_event(UiEvent::Tick, main_id(Field::Timer));
        EXPECT_TRUE(view.window_enabled);
        app.handle_event(UiEvent::Tick, main_id(Field::Timer));
        ASSERT_TRUE(view.control(main_id(Field::TerminalDetails)).enabled);
        view.unbind_error.reset();
        platform.dialog_body = second.body();
        app.handle_event(UiEvent::Click, main_id(Field::TerminalDetails));
        EXPECT_TRUE(app.dialog_open());
        EXPECT_FALSE(view.window_enabled);
    };
    first.release();
    auto first_end = platform.notices.next();
    ASSERT_TRUE(first_end.has_value());
    app.handle_event(UiEvent::Notice, main_id(Field::Notice), first_end->id);
    EXPECT_EQ(take_boxes(),
              (std::vector<ShownBox>{{"Could not unbind raw event handler: unbind failed",
                                      BoxOwner::None, BoxStyle::Error},
                                     {"Konnte Service-Status nicht abrufen: Prüfsumme ungültig",
                                      BoxOwner::MainWindow, BoxStyle::Error}}));
    // A's end, once its box is closed, leaves the window to B.
    EXPECT_TRUE(app.dialog_open());
    EXPECT_FALSE(view.window_enabled);
    EXPECT_EQ(view.brought_to_front, 0);

    view.while_box_open = nullptr;
    second.release();
    auto second_end = platform.notices.next();
    ASSERT_TRUE(second_end.has_value());
    app.handle_event(UiEvent::Notice, main_id(Field::Notice), second_end->id);
    EXPECT_FALSE(app.dialog_open());
    EXPECT_TRUE(view.window_enabled);
    EXPECT_EQ(view.brought_to_front, 1);
    EXPECT_TRUE(view.boxes.empty());
    EXPECT_TRUE(first.wait_ended());
    EXPECT_TRUE(second.wait_ended());
}

TEST_F(ConfigAppTest, TheEndOfADialogReportsEveryFailureAndEnablesTheWindow) {
    struct Case {
        std::optional<std::string> unbind_error;
        bool throws;
        VoidResult result;
        std::vector<std::string> boxes;
    };
    const std::vector<Case> cases = {
        {"unbind failed", false, {}, {"Could not unbind raw event handler: unbind failed"}},
        // Aborted after the hand-over: the thread's boundary signals the main notice.
        {std::nullopt, true, {}, {"Dialog thread panicked: Any { .. }"}},
        {std::nullopt, false, fail("gone wrong"), {"Dialog thread failed: gone wrong"}},
    };
    for (const auto& c : cases) {
        std::atomic<bool> release{false};
        platform.dialog_body = [&](DialogStart start) -> VoidResult {
            EXPECT_TRUE(start.hand_over.send(NoticeSender{99, 3}).has_value());
            while (!release.load()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            if (c.throws) {
                throw std::runtime_error("boom");
            }
            platform.notices.signal(start.main_notice);
            return c.result;
        };
        view.unbind_error = c.unbind_error;
        app.show_terminal_details();
        ASSERT_TRUE(app.dialog_open());
        release = true;
        auto end = platform.notices.next();
        ASSERT_TRUE(end.has_value());
        app.handle_event(UiEvent::Notice, main_id(Field::Notice), end->id);
        std::vector<std::string> texts;
        for (const auto& box : take_boxes()) {
            EXPECT_EQ(box.owner, BoxOwner::None);
            texts.push_back(box.text);
        }
        EXPECT_EQ(texts, c.boxes);
        EXPECT_TRUE(view.window_enabled);
        EXPECT_FALSE(app.dialog_open());
    }
    EXPECT_EQ(view.brought_to_front, 3);
}

}  // namespace
}  // namespace tessaro::winconfig
