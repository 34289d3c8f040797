// Error values: every failure is a message with an optional cause. A layer that raises an error
// names its operation and appends the cause's text after ": ", so `message` alone already reads
// as a whole sentence; `cause` keeps the chain for the places that print it in full.
#pragma once

#include <expected>
#include <memory>
#include <string>
#include <utility>

namespace tessaro {

class Error {
public:
    explicit Error(std::string message) : message_(std::move(message)) {}

    // `prefix` is the operation's text including its own ": " where it wants one, so that the
    // system's fixed messages ("Could not create shared memory: ") stay as they are.
    static Error caused(std::string prefix, Error cause) {
        Error e(prefix + cause.message_);
        e.cause_ = std::make_shared<Error>(std::move(cause));
        return e;
    }

    const std::string& message() const { return message_; }
    const Error* cause() const { return cause_.get(); }

    // The message followed by every cause on its own line, for standard error at start-up.
    std::string full_text() const {
        std::string text = message_;
        for (const Error* c = cause(); c != nullptr; c = c->cause()) {
            text += "\n\nCaused by:\n    " + c->message();
        }
        return text;
    }

private:
    std::string message_;
    std::shared_ptr<const Error> cause_;
};

template <typename T>
using Result = std::expected<T, Error>;

using VoidResult = std::expected<void, Error>;

inline std::unexpected<Error> fail(std::string message) {
    return std::unexpected<Error>(Error(std::move(message)));
}

inline std::unexpected<Error> fail(Error error) { return std::unexpected<Error>(std::move(error)); }

}  // namespace tessaro
