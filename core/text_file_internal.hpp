#pragma once
// Reading the library's text inputs (settings files, flux tables). Nothing
// declared here leaves the library.

#include <background/core/IOError.hpp>

#include <filesystem>
#include <string>

#pragma GCC visibility push(hidden)

namespace background::detail {

/// The IOError of a file that could not be opened at all (missing, no
/// permission), which some callers report in their own way; `error` is the
/// open's errno.
class OpenError : public IOError {
public:
    OpenError(const std::string& message, int error) : IOError(message), error(error) {}
    int error;
};

/// The whole content of the regular file `path`. Anything else (a FIFO, a
/// device, a directory) is refused at once with IOError, so that a wrong path
/// can neither block the open nor feed the reader without end.
std::string read_text_file(const std::filesystem::path& path);

}  // namespace background::detail

#pragma GCC visibility pop
