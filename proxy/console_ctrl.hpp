// The console run's stop on a console control event: Ctrl-C, Ctrl-Break, closing the console,
// logoff and shutdown on Windows; SIGINT, SIGTERM and SIGHUP on POSIX.
//
// The system's handler only counts each event in a semaphore (Windows: CreateSemaphoreA, initial
// count 0, maximum 255; POSIX: an unnamed semaphore, sem_post being async-signal-safe). The
// detached thread "ctrl-c" waits on it without time-out and calls the stop function once per
// event, so events that arrive before the application runs are not lost. The handler, the
// semaphore and the thread live until the process ends; they may be set up once per process.
// If waiting fails, the thread writes "Critical system error while waiting for Ctrl-C" and the
// system's error to standard error and ends; the process goes on.
#pragma once

#include <functional>

#include "common/error.hpp"

namespace tessaro::console_ctrl {

using StopFunction = std::function<void()>;

// Fails when a handler was set up already in this process, or the semaphore, the handler or
// the thread cannot be set up.
[[nodiscard]] VoidResult set_handler(StopFunction stop);

}  // namespace tessaro::console_ctrl
