#include "proxy/app.hpp"

namespace tessaro {

// Placeholder until the application object lands: the programs link and fail clearly.
struct App::Impl {
    StopHandle stop;
};

Result<std::unique_ptr<App>> App::create(Settings, bool) {
    return fail("Could not build the application object: not available in this build");
}

void App::run(std::unique_ptr<App>) {}

StopHandle App::stop_handle() const { return impl_->stop; }

App::~App() = default;

}  // namespace tessaro
