#include "winconfig/config_platform.hpp"

#include "common/os/wmi.hpp"

namespace tessaro::winconfig {

namespace {

class WindowsPlatform final : public ConfigPlatform {
  public:
    explicit WindowsPlatform(std::unique_ptr<os::WmiConnection> wmi) : wmi_(std::move(wmi)) {}

    Interfaces scan_adapters() override {
        if (!wmi_) {
            return {};
        }
        return interfaces::get_interfaces_quiet(*wmi_);
    }

  private:
    std::unique_ptr<os::WmiConnection> wmi_;
};

}  // namespace

std::unique_ptr<ConfigPlatform> make_windows_platform(std::unique_ptr<os::WmiConnection> wmi) {
    return std::make_unique<WindowsPlatform>(std::move(wmi));
}

}  // namespace tessaro::winconfig
