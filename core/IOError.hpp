#pragma once

#include <ios>
#include <stdexcept>
#include <string>
#include <system_error>

namespace background {

/// The std::ios_base::failure (error code std::io_errc::stream) that every
/// file and record-stream error of the library throws. libstdc++ appends the
/// error code's text (": iostream error") to what() of ios_base::failure;
/// messages here name files and statuses exactly, so what() returns the
/// message alone. The text lives in a runtime_error, whose copies cannot throw.
class IOError : public std::ios_base::failure {
public:
    explicit IOError(const std::string& message)
        : std::ios_base::failure(message, std::io_errc::stream), text(message) {}
    const char* what() const noexcept override { return text.what(); }

private:
    std::runtime_error text;
};

}  // namespace background
