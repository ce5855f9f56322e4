#pragma once

#include <utility>
#include <vector>

namespace background {

/// Photo-electrons of a shower or an event: pairs of channel ID and that
/// channel's PE times in seconds, each time list ascending.
using PEList = std::vector<std::pair<int, std::vector<double>>>;

}  // namespace background
