#include "common/os/wmi.hpp"
#include "winconfig/config_platform.hpp"
#include "winconfig/gui_win.hpp"
#include "winconfig/settings_writer.hpp"

namespace tessaro::winconfig {

namespace {

class SectionStatusSource final : public StatusSource {
  public:
    explicit SectionStatusSource(AppStatusReader reader) : reader_(std::move(reader)) {}
    std::expected<AppStatus, StatusReadError> read() const override { return reader_.read(); }

  private:
    AppStatusReader reader_;
};

class WindowsPlatform final : public ConfigPlatform {
  public:
    explicit WindowsPlatform(std::unique_ptr<os::WmiConnection> wmi) : wmi_(std::move(wmi)) {}

    Interfaces scan_adapters() override {
        if (!wmi_) {
            return {};
        }
        return interfaces::get_interfaces_quiet(*wmi_);
    }

    Result<std::unique_ptr<os::RegistryKey>> open_settings_key() override {
        return winconfig::open_settings_key();
    }

    Result<std::unique_ptr<ServiceManager>> open_service_manager() override {
        return winconfig::open_service_manager();
    }

    Result<std::unique_ptr<StatusSource>> open_status_reader() override {
        auto reader = AppStatusReader::open();
        if (!reader) {
            return fail(std::move(reader.error()));
        }
        return std::make_unique<SectionStatusSource>(std::move(*reader));
    }

    VoidResult start_event_viewer() override { return winconfig::start_event_viewer(); }

    Result<DialogThread> start_dialog_thread(DialogStart start) override {
        return DialogThread::start(std::move(start), run_status_dialog, gui::signal);
    }

  private:
    std::unique_ptr<os::WmiConnection> wmi_;
};

}  // namespace

std::unique_ptr<ConfigPlatform> make_windows_platform(std::unique_ptr<os::WmiConnection> wmi) {
    return std::make_unique<WindowsPlatform>(std::move(wmi));
}

}  // namespace tessaro::winconfig
