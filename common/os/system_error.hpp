// The system's own text for an error code, for error messages that name an operation and then
// what the system said: "<text> (os error N)".
//
// Windows: the code is a Win32 error (GetLastError, LSTATUS, WSAGetLastError) and the text comes
// from FormatMessageW. POSIX: the code is an errno value and the text comes from strerror.
#pragma once

#include <cstdint>
#include <string>

namespace tessaro::os {

// The system's message for `code`, trailing whitespace trimmed, then " (os error N)". A code
// without a message text gives "Unknown error (os error N)".
std::string system_error_text(std::uint32_t code);

}  // namespace tessaro::os
