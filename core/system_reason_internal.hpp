#pragma once
// How a failure carries the system's reason for it: the library's own
// exception, with a std::system_error nested inside whose what() names the
// file ("X: Permission denied"). Nothing declared here leaves the library.

#include <exception>
#include <string>
#include <system_error>

namespace background::detail {

/// Throws `failure` with a std::system_error of `reason`, described by `what`, nested inside.
template <typename Failure>
[[noreturn]] void throw_with_system_reason(const Failure& failure, std::error_code reason, const std::string& what) {
    try {
        throw std::system_error(reason, what);
    } catch (const std::system_error&) {
        std::throw_with_nested(failure);
    }
}

}  // namespace background::detail
