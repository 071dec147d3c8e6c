// The one error that ends the host: it travels up to the entry point, which
// writes its text as the final reply.
#pragma once

#include <stdexcept>
#include <string>

#include "platform/platform.h"

namespace nimbra::host {

class FatalError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;

    // The system's own text for an OS failure: "<message> (os error <code>)".
    static FatalError from_os(platform::OsError error) {
        return FatalError(platform::describe(error));
    }
};

// Returns the value, or ends the request with the OS error's text.
template <class T>
T value_or_fatal(platform::Result<T> result) {
    if (!result) throw FatalError::from_os(result.error());
    return std::move(result.value());
}

inline void ok_or_fatal(platform::Status status) {
    if (!status) throw FatalError::from_os(status.error());
}

}  // namespace nimbra::host
