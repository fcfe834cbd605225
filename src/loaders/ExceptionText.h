#pragma once

#include <exception>
#include <string>

namespace ek {

// The text of a caught exception, for the log lines of worker threads that go on after it.
inline std::string describe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
}

}  // namespace ek
