// The application object: owns the event node, the WMI connection, both device proxies and the
// status section, and reacts to node events one at a time. STOP ends it, CHECK (every 3 s) scans
// the adapters and moves the proxies, STATUS (every 500 ms) publishes their state.
#pragma once

#include <memory>

#include "common/error.hpp"
#include "common/settings.hpp"
#include "proxy/node.hpp"
#include "proxy/signal_id.hpp"

namespace tessaro {

// What another thread needs to stop a running application: a copy of its stop id and a share
// of its node handler. Sending never fails in a way the caller could act on.
struct StopHandle {
    SignalId stop_signal = 0;
    node::SharedHandler handler;

    void operator()() const { handler->signal(stop_signal); }
};

class App {
public:
    // Builds everything in order; on failure releases what was built and returns the error.
    [[nodiscard]] static Result<std::unique_ptr<App>> create(Settings settings, bool service_mode);

    // Runs the event loop on the calling thread until the node stops; destroys the application
    // before it returns and logs "Stopped." last.
    static void run(std::unique_ptr<App> app);

    StopHandle stop_handle() const;

    ~App();

private:
    App() = default;
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tessaro
