// Errors raised inside the engine. They carry the user-facing message text; the ping loop turns
// them into status codes, so nothing on the ping path shows them.
#pragma once

#include <stdexcept>

class EPingError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
