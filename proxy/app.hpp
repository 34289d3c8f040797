// The application object: owns the event node, the WMI connection, both device proxies and the
// status section, and reacts to node events one at a time. STOP ends it, CHECK (every 3 s) scans
// the adapters and moves the proxies, STATUS (every 500 ms) publishes their state.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string_view>

#include "common/error.hpp"
#include "common/interfaces.hpp"
#include "common/settings.hpp"
#include "proxy/node/node.hpp"

namespace tessaro {

inline constexpr std::string_view PROGRAM_NAME = "Korvel Tessaro";
inline constexpr std::string_view PROGRAM_VERSION = "1.3.2";

inline constexpr std::chrono::seconds CHECK_INTERVAL{3};
inline constexpr std::chrono::milliseconds STATUS_INTERVAL{500};

// What another thread needs to stop a running application: a copy of its stop id and a share
// of its node handler. Sending never fails in a way the caller could act on.
struct StopHandle {
    SignalId stop_signal = 0;
    node::SharedHandler handler;

    void operator()() const { handler->signal(stop_signal); }
};

// Where CHECK gets its adapter lists: the real scan over the WMI connection, or a test's own.
using AdapterSource = std::function<Interfaces()>;

class Proxy;

// The proxies' part of the application's event routing, for an event that the application's own
// handler did not take: the card terminal's proxy first, then the PIN pad's. A proxy's error is
// logged under "tessaro::app" after its prefix ("Terminal proxy error: ", "Pinpad proxy error: "),
// with its own message only, and stops the node; an event that neither takes is dropped.
void offer_to_proxies(node::Event& event, Proxy& terminal, Proxy& pinpad, node::NodeHandler& node);

class App {
  public:
    // Builds everything in order; on failure releases what was built and returns the error.
    [[nodiscard]] static Result<std::unique_ptr<App>> create(Settings settings, bool service_mode);
    // The same with another adapter source in place of the scan (the WMI connection is still
    // made, as the program makes it).
    [[nodiscard]] static Result<std::unique_ptr<App>> create(Settings settings, bool service_mode,
                                                             AdapterSource adapters);

    // Runs the event loop on the calling thread until the node stops; destroys the application
    // before it returns and logs "Stopped." last.
    static void run(std::unique_ptr<App> app);

    StopHandle stop_handle() const;

    App(const App&) = delete;
    App& operator=(const App&) = delete;
    ~App();

    struct Impl;

  private:
    App() = default;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tessaro
