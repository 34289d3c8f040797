#include "proxy/app.hpp"

#include <optional>

#include "common/log.hpp"
#include "common/os/wmi.hpp"
#include "common/status.hpp"
#include "proxy/proxy.hpp"

namespace tessaro {

struct App::Impl {
    node::SharedHandler handler;
    std::unique_ptr<node::NodeListener> listener;
    std::unique_ptr<Proxy> terminal;
    std::unique_ptr<Proxy> pinpad;
    std::unique_ptr<os::WmiConnection> wmi_connection;
    std::optional<SharedMemory> shared_memory;
    SignalId stop_signal = 0;
    SignalId check_signal = 0;
    SignalId status_signal = 0;
    bool pinpad_uses_terminal = false;
    AdapterSource adapters;
    std::shared_ptr<spdlog::logger> log = log::get("tessaro::app");

    ~Impl() {
        // Released in this order: the proxies close their sockets while the node still exists,
        // COM goes after them, and the section last, keeping the last record readable till then.
        handler.reset();
        listener.reset();
        terminal.reset();
        pinpad.reset();
        wmi_connection.reset();
        shared_memory.reset();
    }

    void on_event(node::Event& event);
    Result<bool> handle_signal(const node::Event& event);
    void check();
    VoidResult publish_status();
};

Result<std::unique_ptr<App>> App::create(Settings settings, bool service_mode) {
    return create(std::move(settings), service_mode, nullptr);
}

Result<std::unique_ptr<App>> App::create(Settings settings, bool service_mode,
                                         AdapterSource adapters) {
    auto impl = std::make_unique<Impl>();
    impl->log->info("{} {}", PROGRAM_NAME, PROGRAM_VERSION);
    impl->log->info("Configuration: {}", settings.to_string());

    auto node = node::create();
    if (!node) {
        return fail(node.error());
    }
    impl->handler = node->handler;
    impl->listener = std::move(node->listener);

    auto wmi = os::WmiConnection::connect_service();
    if (!wmi) {
        return fail(wmi.error());
    }
    impl->wmi_connection = std::move(*wmi);
    if (adapters) {
        impl->adapters = std::move(adapters);
    } else {
        os::WmiConnection* connection = impl->wmi_connection.get();
        impl->adapters = [connection] { return interfaces::get_interfaces(*connection); };
    }

    auto stop_signal = next_signal_id();
    if (!stop_signal) {
        return fail(stop_signal.error());
    }
    auto check_signal = next_signal_id();
    if (!check_signal) {
        return fail(check_signal.error());
    }
    impl->stop_signal = *stop_signal;
    impl->check_signal = *check_signal;
    impl->handler->signal(impl->check_signal);

    impl->pinpad_uses_terminal = settings.pinpad.pc_interface.is_terminal();
    impl->terminal =
        std::make_unique<Proxy>(std::move(settings.terminal), impl->handler, DeviceKind::Terminal);
    impl->pinpad =
        std::make_unique<Proxy>(std::move(settings.pinpad), impl->handler, DeviceKind::Pinpad);

    auto shared_memory = SharedMemory::create(service_mode);
    if (!shared_memory) {
        return fail(shared_memory.error());
    }
    impl->shared_memory.emplace(std::move(*shared_memory));
    if (auto written = AppStatus::write(impl->shared_memory->view(), AppStatus{}); !written) {
        return fail(written.error());
    }

    auto status_signal = next_signal_id();
    if (!status_signal) {
        return fail(status_signal.error());
    }
    impl->status_signal = *status_signal;
    impl->handler->signal(impl->status_signal);

    std::unique_ptr<App> app(new App());
    app->impl_ = std::move(impl);
    return app;
}

void App::run(std::unique_ptr<App> app) {
    std::unique_ptr<node::NodeListener> listener = std::move(app->impl_->listener);
    auto log = app->impl_->log;
    Impl* impl = app->impl_.get();
    listener->run([impl](node::Event&& event) { impl->on_event(event); });
    app.reset();
    listener.reset();
    log->info("Stopped.");
}

StopHandle App::stop_handle() const {
    return StopHandle{impl_->stop_signal, impl_->handler};
}

App::~App() = default;

void App::Impl::on_event(node::Event& event) {
    auto taken = handle_signal(event);
    if (!taken) {
        log->error("App error: {}", taken.error().message());
        handler->stop();
        return;
    }
    if (*taken) {
        return;
    }
    offer_to_proxies(event, *terminal, *pinpad, *handler);
}

void offer_to_proxies(node::Event& event, Proxy& terminal, Proxy& pinpad, node::NodeHandler& node) {
    auto taken = terminal.on_event(event);
    if (!taken) {
        log::get("tessaro::app")->error("Terminal proxy error: {}", taken.error().message());
        node.stop();
        return;
    }
    if (*taken) {
        return;
    }
    taken = pinpad.on_event(event);
    if (!taken) {
        log::get("tessaro::app")->error("Pinpad proxy error: {}", taken.error().message());
        node.stop();
    }
}

Result<bool> App::Impl::handle_signal(const node::Event& event) {
    const auto* signal = std::get_if<node::Signal>(&event);
    if (signal == nullptr) {
        return false;
    }
    if (signal->id == stop_signal) {
        handler->stop();
        return true;
    }
    if (signal->id == check_signal) {
        check();
        handler->signal_after(check_signal, CHECK_INTERVAL);
        return true;
    }
    if (signal->id == status_signal) {
        if (auto written = publish_status(); !written) {
            return fail(written.error());
        }
        handler->signal_after(status_signal, STATUS_INTERVAL);
        return true;
    }
    return false;
}

void App::Impl::check() {
    Interfaces found = adapters();
    terminal->update_device_interface(found.terminal);
    terminal->update_pc_interface(found.pc);
    pinpad->update_device_interface(found.pinpad);
    if (!pinpad_uses_terminal) {
        pinpad->update_pc_interface(found.pc);
        return;
    }
    // The PIN pad runs on the card terminal's link: its SICCT relay and discovery server on the
    // PC's address there, its HTTPS relay on the card terminal proxy's LAN adapter.
    if (terminal->is_running()) {
        pinpad->start_discovery(
            std::make_shared<const PcInterface>(
                PcInterface::from_device(*terminal->running_device_iface())),
            std::make_shared<const PcInterface>(*terminal->running_sicct_iface()));
    } else {
        pinpad->terminal_disconnected();
    }
}

VoidResult App::Impl::publish_status() {
    return AppStatus::write(shared_memory->view(), AppStatus{terminal->status(), pinpad->status()});
}

}  // namespace tessaro
