#pragma once

#include <cstddef>
#include <vector>

namespace background {

/// Hands memory that the process has freed back to the system, where the C
/// library keeps it otherwise (glibc keeps up to tens of megabytes).
void return_freed_memory();

/// Gives back the storage of `scratch` when it is large and far larger than
/// `needed` elements call for: storage that one long request grew is
/// released once a request needs far less, so that the memory held follows
/// what the stream needs. Returns whether it gave storage back.
template <typename T>
bool give_back_scratch(std::vector<T>& scratch, std::size_t needed) {
    constexpr std::size_t kAlwaysKeptBytes = std::size_t{1} << 20;
    if (scratch.capacity() * sizeof(T) <= kAlwaysKeptBytes || scratch.capacity() <= 4 * needed) return false;
    std::vector<T>().swap(scratch);
    return_freed_memory();
    return true;
}

}  // namespace background
